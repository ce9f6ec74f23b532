#pragma once
// The state of the machine around the plug-ins: the two services and the user-session host.
#include <windows.h>

#include "CheckModel.h"

namespace vemo::check {

// Installed or not, and the current state through the service manager.
ServiceReport QueryServiceState(const wchar_t* pszServiceName, bool bPure);

// The user-session host's file name, as the service searches for it.
inline constexpr wchar_t kHostProcessName[] = L"VemoHost.exe";

// Whether the user-session host runs in the active console session; *pProcessId gets its id.
// A plain process snapshot until the thread-control library's TC_FindProcessInConsoleSessionW
// is available here; then this becomes a call to it.
bool IsHostRunningInConsole(DWORD* pProcessId);

}  // namespace vemo::check
