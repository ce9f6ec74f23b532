#pragma once
// Starts a program as a new process of the caller's account and session without waiting for its
// end; or as the desktop user through the shell; and finds a running program in the console
// session. Program paths must be absolute.
#include <windows.h>

namespace ThreadControl {

// Result codes of a process start.
constexpr DWORD kStartProcessSucceeded = 0;        // created, whatever the readiness wait gave
constexpr DWORD kStartProcessBadArguments = 1000;  // both null, parameters too long, path not absolute
constexpr DWORD kStartProcessRefused = 1002;       // the system did not create the process
constexpr DWORD kStartProcessNoMemory = 1003;      // out of memory, or an exception inside the start
constexpr DWORD kStartProcessException = 0xFFFFFFFF;  // an exception around the start

// pszParameters and pStartupInfo may be null; without startup information a zero-filled record is used.
DWORD TC_StartProcessAsyncW(const wchar_t* pszProgram, const wchar_t* pszParameters,
                            const STARTUPINFOW* pStartupInfo);
// The program without parameters and with the default startup information.
DWORD TC_StartProcessAsyncA(const char* pszProgram);

// Asks the desktop shell of the logged-on user to start the program (absolute path) with the
// parameters (null: none). True when the shell took the launch; nothing waits for the program.
// Initialises COM on the calling thread for the call.
bool TC_ExecuteProcessAsUserW(const wchar_t* pszProgram, const wchar_t* pszParameters);

// True when a process with the file name of pszProcessName runs in the session attached to the
// console; its id then goes to *pdwProcessId (0 otherwise; may be null).
bool TC_FindProcessInConsoleSessionW(const wchar_t* pszProcessName, DWORD* pdwProcessId);

// A drive (or a UNC prefix of two backslashes) and a directory.
bool _IsAbsolutePath(const wchar_t* pszPath);

}  // namespace ThreadControl
