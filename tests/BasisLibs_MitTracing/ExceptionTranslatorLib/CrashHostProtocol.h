#pragma once
// What the crash-host test program and its test agree on.
inline constexpr wchar_t kCrashHostModeVariable[] = L"VEMO_CRASH_HOST_MODE";
inline constexpr wchar_t kCrashHostEvidenceVariable[] = L"VEMO_CRASH_HOST_EVIDENCE";
inline constexpr wchar_t kCrashHostModeRestarted[] = L"restarted";
inline constexpr int kCrashHostExitRestarted = 11;   // the instance started again
inline constexpr int kCrashHostExitSurvived = 12;    // the fault became an exception, no restart
inline constexpr int kCrashHostExitNoFault = 13;
inline constexpr int kCrashHostExitNoEvidence = 14;
