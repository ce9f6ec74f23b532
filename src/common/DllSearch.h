#pragma once
// The first step of every program of the product: a DLL planted in the current directory is never
// loaded. (Services start in the system directory; the desktop program and the check tool may be
// started from any folder.)
#include <windows.h>

namespace vemo {

inline void RemoveCurrentDirectoryFromDllSearch() { ::SetDllDirectoryW(L""); }

}  // namespace vemo
