#pragma once
// The switch that makes the daemon module's answer predictable, for tests and for trying out a
// machine without card readers. Shared with the tests so that the names exist once.
#include <windows.h>

namespace vemo::daemonmodule {

// HKEY_LOCAL_MACHINE, always the 32-bit view, like every other setting of the product.
inline constexpr wchar_t kRegistryKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
inline constexpr REGSAM kRegistryView = KEY_WOW64_32KEY;

inline constexpr wchar_t kValueTestMode[] = L"DaemonTestMode";        // REG_DWORD, a DaemonTestMode
inline constexpr wchar_t kValueTestDelayMs[] = L"DaemonTestDelayMs";  // REG_DWORD, default 0
inline constexpr wchar_t kValueTestResult[] = L"DaemonTestResult";    // REG_DWORD, default 0
// Written by the module while a test mode is on: one letter per call of an export, appended.
inline constexpr wchar_t kValueTestCalls[] = L"DaemonTestCalls";      // REG_SZ
inline constexpr wchar_t kCallInit = L'I';
inline constexpr wchar_t kCallCheckLeser = L'C';
inline constexpr wchar_t kCallExit = L'E';

enum class DaemonTestMode : DWORD {
    WatchReaders = 0,  // the real work: PC/SC decides (also when the value is missing)
    HostNeeded = 1,    // "host needed" after DaemonTestDelayMs
    WaitForStop = 2,   // no answer: returns 12 once the stop flag is set
    ReturnResult = 3,  // DaemonTestResult as the check's result after DaemonTestDelayMs
    InitFails = 4,     // VeMoDaemonInit returns DaemonTestResult, or kDefaultInitFailure for 0
    Fault = 5,         // an access violation in the check after DaemonTestDelayMs
};

// Failures of VeMoDaemonInit that the module reports itself.
inline constexpr int kDefaultInitFailure = ERROR_GEN_FAILURE;
inline constexpr int kUnknownTestMode = ERROR_INVALID_DATA;
inline constexpr int kUnknownInterfaceVersion = ERROR_REVISION_MISMATCH;
// The check's result without a stop flag to watch.
inline constexpr int kNoStopFlag = ERROR_INVALID_PARAMETER;

// Longest wait between two looks at the stop flag.
inline constexpr DWORD kStopPollMs = 20;

}  // namespace vemo::daemonmodule
