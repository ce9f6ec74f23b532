// A plug-in with several behaviours per entry point; the configuration file picks one by export
// name. Each entry point can fail in the four ways a plug-in crashes: access violation, integer
// division by zero, stack overflow and a thrown exception. Every call first appends
// "<export name> <pid> <tid>" to the file named by VEMO_TEST_PLUGIN_LOG, so a test sees which
// entry points ran, in which process and thread, even when the call then throws or faults. VEMO_TEST_PLUGIN_LOAD_DELAY_MS makes loading the module
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
// What a throw of a Visual C++ plug-in is: a structured exception with this code.
constexpr DWORD kMsvcCppExceptionCode = 0xE06D7363;
constexpr size_t kRecursionFrameBytes = 1024;

// Written through, so the compiler keeps every faulting operation and every frame.
volatile int g_faultSink = 0;
// Zero: no depth limit. Read at run time, so the compiler cannot prove the recursion endless.
volatile int g_recursionLimit = 0;

// An exception leaving the plug-in. On x64 a GCC exception unwinds through the service's frames
// like any other. On x86 GCC unwinds by tables that a statically linked plug-in cannot follow into
// the service (the runtime ends the process), so it throws as the plug-ins of existing
// installations, built with Visual C++, do: a structured exception.
[[noreturn]] void ThrowOut() {
#if defined(__i386__)
    ::RaiseException(kMsvcCppExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
#else
    throw std::runtime_error(kThrowText);
#endif
}

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

[[noreturn]] void DivideByZero() {
    // Volatile operands: the division runs on the processor and traps there.
    volatile int numerator = kFaultValue;
    volatile int denominator = 0;
    g_faultSink = numerator / denominator;
    for (;;) ::Sleep(INFINITE);
}

// Each frame keeps its buffer alive across the call and adds to its result: no tail call, no loop.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char frame[kRecursionFrameBytes];
    frame[0] = static_cast<char>(depth);
    frame[kRecursionFrameBytes - 1] = frame[0];
    if (g_recursionLimit != 0 && depth >= g_recursionLimit) return depth;
    return Recurse(depth + 1) + frame[kRecursionFrameBytes - 1];
}

[[noreturn]] void OverflowStack() {
    g_faultSink = Recurse(0);
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
    ThrowOut();
}
bool WINAPI InitializeFault(void) {
    Evidence("InitializeFault");
    Fault();
}
bool WINAPI InitializeDivZero(void) {
    Evidence("InitializeDivZero");
    DivideByZero();
}
bool WINAPI InitializeStackOverflow(void) {
    Evidence("InitializeStackOverflow");
    OverflowStack();
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
    ThrowOut();
}
int32_t WINAPI RunDivZero(VemoPluginStopFlag) {
    Evidence("RunDivZero");
    DivideByZero();
}
int32_t WINAPI RunStackOverflow(VemoPluginStopFlag) {
    Evidence("RunStackOverflow");
    OverflowStack();
}
int32_t WINAPI RunReturn3(VemoPluginStopFlag) {
    Evidence("RunReturn3");
    return kRunResultThree;
}

void WINAPI Uninitialize(void) { Evidence("Uninitialize"); }
void WINAPI Unitialize(void) { Evidence("Unitialize"); }
void WINAPI UninitializeFault(void) {
    Evidence("UninitializeFault");
    Fault();
}
void WINAPI UninitializeDivZero(void) {
    Evidence("UninitializeDivZero");
    DivideByZero();
}
void WINAPI UninitializeStackOverflow(void) {
    Evidence("UninitializeStackOverflow");
    OverflowStack();
}
void WINAPI UninitializeThrow(void) {
    Evidence("UninitializeThrow");
    ThrowOut();
}

}  // extern "C"
