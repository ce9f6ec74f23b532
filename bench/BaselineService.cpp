// The least a service can do: report RUNNING at once and STOPPED on the stop request. The
// service bench measures the host service's start against this one, in the same run. Built a
// second time with VEMO_BENCH_WITH_QUEUE, it first makes the message queue that the host makes
// before RUNNING, which loads user32 into the process.
#include <windows.h>

#include <string>

#include "BenchNames.h"

namespace {
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;
std::wstring g_name;

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
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_name.c_str(), Handler, nullptr);
    if (!g_statusHandle) return;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
#ifdef VEMO_BENCH_WITH_QUEUE
    MSG message;
    ::PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
#endif
    Report(SERVICE_RUNNING);
    ::WaitForSingleObject(g_stopEvent, INFINITE);
    ::CloseHandle(g_stopEvent);
    Report(SERVICE_STOPPED);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    // The bench names the service on the command line it installs.
    g_name = argc > 1 ? argv[1] : vemo::bench::kBaselineServiceName;
    const SERVICE_TABLE_ENTRYW table[] = {{g_name.data(), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
