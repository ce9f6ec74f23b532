#pragma once
// The process start behind the public forms of ProcessControl.h.
#include <windows.h>

#include <string>

namespace ThreadControl {

// Checks and quotes the program, builds "<quoted program> <parameters>", creates the process and
// waits a bounded time for it to become ready for input. Returns a kStartProcess* code.
DWORD _StartProcess(const wchar_t* pszProgram, const wchar_t* pszParameters, const STARTUPINFOW* pStartupInfo);

// The runtime's multibyte-to-wide conversion; empty (and a trace line) when it fails.
std::wstring ConvertToUnicode(const char* pszText);

}  // namespace ThreadControl
