#pragma once
// Whether a program already runs for the user at the physical console: a process snapshot
// searched by executable file name and session.
#include <windows.h>

namespace ThreadControl {

// As a search argument: any session. As the console's session: none attached.
constexpr DWORD kAnySession = 0xFFFFFFFF;
constexpr DWORD kNoConsoleSession = kAnySession;

// The search of TC_FindProcessInConsoleSessionW in the session attached to the console.
bool _FindProcessInConsoleSession(const wchar_t* pszProcessName, DWORD* pdwProcessId);

// True when a process with the file name and extension of pszProcessName (case ignored) runs in
// dwSessionId, or anywhere for kAnySession. *pdwProcessId is set to 0 first and receives the
// process id only when a particular session was searched; pdwProcessId may be null.
bool _IsProcessRunning(const wchar_t* pszProcessName, DWORD dwSessionId, DWORD* pdwProcessId);

}  // namespace ThreadControl
