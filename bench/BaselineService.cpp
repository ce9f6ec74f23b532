// The least a service can do: report RUNNING at once and STOPPED on the stop request. The
// service bench measures the host service's start against this one, in the same run.
#include <windows.h>

#include "BenchNames.h"

namespace {
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) ::SetEvent(g_stopEvent);
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(vemo::bench::kBaselineServiceName, Handler, nullptr);
    if (!g_statusHandle) return;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    ::WaitForSingleObject(g_stopEvent, INFINITE);
    ::CloseHandle(g_stopEvent);
    Report(SERVICE_STOPPED);
}
}  // namespace

int wmain() {
    wchar_t name[] = L"" VEMO_BENCH_BASELINE_SERVICE;
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
