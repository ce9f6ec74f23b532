// A plug-in with several behaviours per entry point; the configuration file picks one by export
// name. Every call first appends "<export name> <pid> <tid>" to the file named by
// VEMO_TEST_PLUGIN_LOG, so a test sees which entry points ran, in which process and thread,
// even when the call then throws or faults. VEMO_TEST_PLUGIN_LOAD_DELAY_MS makes loading the module
// take that long, for a slow discovery.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace {
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr wchar_t kLogMutexName[] = L"VeMoTestPluginEvidence";
constexpr DWORD kLogMutexWaitMs = 5000;
constexpr wchar_t kLoadDelayVariable[] = L"VEMO_TEST_PLUGIN_LOAD_DELAY_MS";
constexpr DWORD kDelayTextChars = 16;
constexpr DWORD kLogPathChars = MAX_PATH * 4;
constexpr size_t kLineBytes = 256;
constexpr char kLineFormat[] = "%s %lu %lu\r\n";
constexpr DWORD kStopPollMs = 10;
constexpr DWORD kSlowInitializeMs = 5000;
constexpr int32_t kRunNormalEnd = 0;
constexpr int32_t kRunResultThree = 3;
constexpr int kFaultValue = 1;
constexpr char kThrowText[] = "TestPlugin: geworfene Ausnahme";

// Open, append, close per line: several threads and processes may write the same file.
void Evidence(const char* pszExport) {
    wchar_t szPath[kLogPathChars];
    const DWORD nChars = ::GetEnvironmentVariableW(kLogVariable, szPath, kLogPathChars);
    if (nChars == 0 || nChars >= kLogPathChars) return;
    char szLine[kLineBytes];
    const int nBytes = std::snprintf(szLine, sizeof(szLine), kLineFormat, pszExport,
                                     static_cast<unsigned long>(::GetCurrentProcessId()),
                                     static_cast<unsigned long>(::GetCurrentThreadId()));
    if (nBytes <= 0 || static_cast<size_t>(nBytes) >= sizeof(szLine)) return;
    // Wine loses lines when several writers append to one file at the same moment: one at a time.
    const vemo::unique_handle hMutex(::CreateMutexW(nullptr, FALSE, kLogMutexName));
    const DWORD wait = hMutex ? ::WaitForSingleObject(hMutex.get(), kLogMutexWaitMs) : WAIT_FAILED;
    const bool owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    {
        const vemo::unique_hfile hFile(::CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD nWritten = 0;
        if (hFile) ::WriteFile(hFile.get(), szLine, static_cast<DWORD>(nBytes), &nWritten, nullptr);
    }
    if (owned) ::ReleaseMutex(hMutex.get());
}

[[noreturn]] void Fault() {
    // Volatile on both sides: the compiler may neither drop the store nor turn it into a trap.
    volatile int* volatile pTarget = nullptr;
    *pTarget = kFaultValue;
    for (;;) ::Sleep(INFINITE);
}

int32_t PollUntilStopped(VemoPluginStopFlag pStopFlag) {
    while (!*pStopFlag) ::Sleep(kStopPollMs);
    return kRunNormalEnd;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        wchar_t szDelay[kDelayTextChars];
        const DWORD nChars = ::GetEnvironmentVariableW(kLoadDelayVariable, szDelay, kDelayTextChars);
        if (nChars > 0 && nChars < kDelayTextChars) ::Sleep(static_cast<DWORD>(_wtoi(szDelay)));
    }
    return TRUE;
}

extern "C" {

bool WINAPI Initialize(void) {
    Evidence("Initialize");
    return true;
}
bool WINAPI InitializeTrue(void) {
    Evidence("InitializeTrue");
    return true;
}
bool WINAPI InitializeFalse(void) {
    Evidence("InitializeFalse");
    return false;
}
bool WINAPI InitializeThrow(void) {
    Evidence("InitializeThrow");
    throw std::runtime_error(kThrowText);
}
bool WINAPI InitializeFault(void) {
    Evidence("InitializeFault");
    Fault();
}
bool WINAPI InitializeSlow(void) {
    Evidence("InitializeSlow");
    ::Sleep(kSlowInitializeMs);
    return true;
}

int32_t WINAPI Run(VemoPluginStopFlag pStopFlag) {
    Evidence("Run");
    return PollUntilStopped(pStopFlag);
}
int32_t WINAPI RunPollStop(VemoPluginStopFlag pStopFlag) {
    Evidence("RunPollStop");
    return PollUntilStopped(pStopFlag);
}
int32_t WINAPI RunIgnoreStop(VemoPluginStopFlag) {
    Evidence("RunIgnoreStop");
    // Never looks at the flag: only terminating the thread ends this.
    for (;;) ::Sleep(kStopPollMs);
}
int32_t WINAPI RunFault(VemoPluginStopFlag) {
    Evidence("RunFault");
    Fault();
}
int32_t WINAPI RunThrow(VemoPluginStopFlag) {
    Evidence("RunThrow");
    throw std::runtime_error(kThrowText);
}
int32_t WINAPI RunReturn3(VemoPluginStopFlag) {
    Evidence("RunReturn3");
    return kRunResultThree;
}

void WINAPI Uninitialize(void) { Evidence("Uninitialize"); }
void WINAPI Unitialize(void) { Evidence("Unitialize"); }

}  // extern "C"
