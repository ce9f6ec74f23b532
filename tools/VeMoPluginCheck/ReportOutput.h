#pragma once
// Puts text on a standard handle: wide to a console, UTF-8 to a file or pipe.
#include <windows.h>

#include <string>

namespace vemo::check {

bool WriteText(DWORD nStdHandle, const std::wstring& text);

}  // namespace vemo::check
