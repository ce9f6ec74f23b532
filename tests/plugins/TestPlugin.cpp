// A plug-in with several behaviours per entry point, picked by export name in the configuration. Every
// call first appends "<export name> <pid> <tid>" to the file named by VEMO_TEST_PLUGIN_LOG, even when it
// then faults; VEMO_TEST_PLUGIN_LOAD_DELAY_MS makes loading the module take that long.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace {
volatile int g_faultSink = 0;        // written through: the compiler keeps every fault and every frame
volatile int g_recursionLimit = 0;   // 0: none; read at run time, so the recursion is not provably endless

// On x64 a GCC exception unwinds through the service's frames like any other. On x86 GCC unwinds
// by tables that a statically linked plug-in cannot follow into the service (the runtime ends the
// process), so it throws as Visual C++ plug-ins do: a structured exception (0xE06D7363).
[[noreturn]] void ThrowOut() {
#if defined(__i386__)
    ::RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
#else
    throw std::runtime_error("TestPlugin: geworfene Ausnahme");
#endif
}

// Open, append, close per line, one writer at a time: Wine loses lines of concurrent appenders.
void Evidence(const char* pszExport) {
    wchar_t szPath[MAX_PATH * 4];
    const DWORD nChars = ::GetEnvironmentVariableW(L"VEMO_TEST_PLUGIN_LOG", szPath, ARRAYSIZE(szPath));
    char szLine[256];
    const int nBytes = std::snprintf(szLine, sizeof(szLine), "%s %lu %lu\r\n", pszExport, ::GetCurrentProcessId(),
                                     ::GetCurrentThreadId());
    if (nChars == 0 || nChars >= ARRAYSIZE(szPath) || nBytes <= 0 || static_cast<size_t>(nBytes) >= sizeof(szLine)) return;
    const vemo::unique_handle hMutex(::CreateMutexW(nullptr, FALSE, L"VeMoTestPluginEvidence"));
    const DWORD wait = hMutex ? ::WaitForSingleObject(hMutex.get(), 5000) : WAIT_FAILED;
    {
        const vemo::unique_hfile hFile(::CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD nWritten = 0;
        if (hFile) ::WriteFile(hFile.get(), szLine, static_cast<DWORD>(nBytes), &nWritten, nullptr);
    }
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ::ReleaseMutex(hMutex.get());
}

// Volatile operands: the processor faults, not a trap the compiler put in.
[[noreturn]] void Fault() {
    volatile int* volatile pTarget = nullptr;
    *pTarget = 1;
    for (;;) ::Sleep(INFINITE);
}
[[noreturn]] void DivideByZero() {
    volatile int numerator = 1, denominator = 0;
    g_faultSink = numerator / denominator;
    for (;;) ::Sleep(INFINITE);
}

// Each frame keeps its buffer alive across the call and adds to its result: no tail call, no loop.
__attribute__((noinline)) int Recurse(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    frame[sizeof(frame) - 1] = frame[0];
    if (g_recursionLimit != 0 && depth >= g_recursionLimit) return depth;
    return Recurse(depth + 1) + frame[sizeof(frame) - 1];
}

[[noreturn]] void OverflowStack() {
    g_faultSink = Recurse(0);
    for (;;) ::Sleep(INFINITE);
}

int32_t PollUntilStopped(VemoPluginStopFlag pStopFlag) {
    while (!*pStopFlag) ::Sleep(10);
    return 0;
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    wchar_t szDelay[16];
    const DWORD nChars =
        dwReason == DLL_PROCESS_ATTACH ? ::GetEnvironmentVariableW(L"VEMO_TEST_PLUGIN_LOAD_DELAY_MS", szDelay, 16) : 0;
    if (nChars > 0 && nChars < 16) ::Sleep(static_cast<DWORD>(_wtoi(szDelay)));
    return TRUE;
}

// One exported entry point: its evidence line, then its behaviour.
#define VEMO_ENTRY(result, name, parameters, ...) \
    extern "C" result WINAPI name parameters {    \
        Evidence(#name);                          \
        __VA_ARGS__;                              \
    }

VEMO_ENTRY(bool, Initialize, (void), return true)
VEMO_ENTRY(bool, InitializeTrue, (void), return true)
VEMO_ENTRY(bool, InitializeFalse, (void), return false)
VEMO_ENTRY(bool, InitializeThrow, (void), ThrowOut())
VEMO_ENTRY(bool, InitializeFault, (void), Fault())
VEMO_ENTRY(bool, InitializeDivZero, (void), DivideByZero())
VEMO_ENTRY(bool, InitializeStackOverflow, (void), OverflowStack())
VEMO_ENTRY(bool, InitializeSlow, (void), ::Sleep(5000); return true)

VEMO_ENTRY(int32_t, Run, (VemoPluginStopFlag pStopFlag), return PollUntilStopped(pStopFlag))
VEMO_ENTRY(int32_t, RunPollStop, (VemoPluginStopFlag pStopFlag), return PollUntilStopped(pStopFlag))
// Never looks at the flag: only terminating the thread ends this.
VEMO_ENTRY(int32_t, RunIgnoreStop, (VemoPluginStopFlag), for (;;) ::Sleep(10))
VEMO_ENTRY(int32_t, RunFault, (VemoPluginStopFlag), Fault())
VEMO_ENTRY(int32_t, RunThrow, (VemoPluginStopFlag), ThrowOut())
VEMO_ENTRY(int32_t, RunDivZero, (VemoPluginStopFlag), DivideByZero())
VEMO_ENTRY(int32_t, RunStackOverflow, (VemoPluginStopFlag), OverflowStack())
VEMO_ENTRY(int32_t, RunReturn3, (VemoPluginStopFlag), return 3)

VEMO_ENTRY(void, Uninitialize, (void), )
VEMO_ENTRY(void, Unitialize, (void), )
VEMO_ENTRY(void, UninitializeFault, (void), Fault())
VEMO_ENTRY(void, UninitializeDivZero, (void), DivideByZero())
VEMO_ENTRY(void, UninitializeStackOverflow, (void), OverflowStack())
VEMO_ENTRY(void, UninitializeThrow, (void), ThrowOut())
