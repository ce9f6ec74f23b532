#pragma once
// The autostart entry of the user-session host and daemon mode: the service either writes the
// entry at once, or first waits inside the daemon module until a card reader makes the host
// worth starting.
#include <windows.h>

#include <atomic>
#include <cstddef>

// Size of the buffer GetDaemonDllPath fills, in characters.
inline constexpr size_t kDaemonDllPathChars = 261;

// bWrite false: bRunKey tells whether the autostart value exists; true when it could be read.
// bWrite true: writes the quoted path of VeMoHost.exe; bRunKey and the result tell whether it was
// written. bRunKey is false on every failure.
bool GetSetVeMoHostRunKey(bool bWrite, bool& bRunKey);

// Runs the daemon module's initialise, check and exit; blocks for as long as the module watches.
// bHostNeeded is true when the module asked for the user-session host. pStopFlag is handed to the
// module, which returns once it turns true. True when all three ran.
bool EnterDaemonMode(bool& bHostNeeded, const std::atomic<bool>* pStopFlag);

// The daemon module's full path in the executable's directory; false when it does not fit.
bool GetDaemonDllPath(wchar_t (&szPath)[kDaemonDllPathChars]);
