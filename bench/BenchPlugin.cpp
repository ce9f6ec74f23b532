// A trivial plug-in for the host benches: Run counts itself in and waits for the stop flag.
#include <windows.h>

#include "BenchNames.h"
#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace {
// Cooperative, but not a busy loop: 64 of them must leave the machine to the host.
constexpr DWORD kStopPollMs = 10;
volatile LONG g_running = 0;

// Counts this plug-in in for a bench in another process, if one listens.
void SignalInRun() {
    const vemo::unique_handle semaphore(
        ::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, vemo::bench::kInRunSemaphore));
    if (semaphore) ::ReleaseSemaphore(semaphore.get(), 1, nullptr);
}
}  // namespace

extern "C" {
bool WINAPI Initialize(void) { return true; }
int32_t WINAPI Run(VemoPluginStopFlag pStopFlag) {
    ::InterlockedIncrement(&g_running);
    SignalInRun();
    while (!*pStopFlag) ::Sleep(kStopPollMs);
    ::InterlockedDecrement(&g_running);
    return 0;
}
void WINAPI Uninitialize(void) {}
// For the bench itself, which shares the process: how many plug-ins are inside Run.
LONG WINAPI BenchRunning(void) { return g_running; }
}
