// A trivial plug-in for the host bench: Run counts itself in and waits for the stop flag.
#include <windows.h>

#include "VeMoPlugin.h"

namespace {
constexpr DWORD kStopPollMs = 1;
volatile LONG g_running = 0;
}  // namespace

extern "C" {
bool WINAPI Initialize(void) { return true; }
int32_t WINAPI Run(VemoPluginStopFlag pStopFlag) {
    ::InterlockedIncrement(&g_running);
    while (!*pStopFlag) ::Sleep(kStopPollMs);
    ::InterlockedDecrement(&g_running);
    return 0;
}
void WINAPI Uninitialize(void) {}
// For the bench itself, which shares the process: how many plug-ins are inside Run.
LONG WINAPI BenchRunning(void) { return g_running; }
}
