#pragma once
// The state of the machine around the plug-ins: the two services and the user-session host.
#include <windows.h>

#include "CheckModel.h"

namespace vemo::check {

// Installed or not, and the current state through the service manager.
ServiceReport QueryServiceState(const wchar_t* pszServiceName, bool bPure);

// Whether the user-session host runs in the active console session, searched as the service
// searches; *pProcessId gets its id.
bool IsHostRunningInConsole(DWORD* pProcessId);

}  // namespace vemo::check
