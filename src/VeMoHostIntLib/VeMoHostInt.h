#pragma once
// The user-session host start, the flags on the service's command line, and the start-up pause
// that gives a debugger time to attach.
#include <cstddef>
#include <cstdint>

// Category of the start-up debug pause; starts as "VeMoHost", the entry point sets it.
constexpr size_t kHostCategoryChars = 100;
extern wchar_t g_szVeMoHostCategory[kHostCategoryChars];

// The host program in the product's program directory.
inline constexpr wchar_t kVeMoHostFileName[] = L"VeMoHost.exe";
// The name the start-up looks for in the console session (case does not matter there).
inline constexpr wchar_t kVeMoHostProcessName[] = L"VemoHost.exe";

// ParseCommandLine's results.
constexpr int32_t kParseExamined = -1;
constexpr int32_t kParseNothingToExamine = 0;
constexpr int32_t kParseException = -2;

// Sleeps the seconds of the "WaitForDebugAttach" option, if set.
void Pause2Attach();
// Starts VeMoHost.exe as the desktop user, or hidden as a process of the service when that fails.
bool StartHost();
// bWithoutDaemon is left to the caller to clear.
int32_t ParseCommandLine(bool& bPureMode, bool& bWithoutDaemon);
