#include "SystemState.h"

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "common/UniqueHandle.h"

namespace vemo::check {

ServiceReport QueryServiceState(const wchar_t* pszServiceName, bool bPure) {
    ServiceReport report;
    report.name = pszServiceName;
    report.pure = bPure;
    unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        report.error = ::GetLastError();
        return report;
    }
    unique_schandle service(::OpenServiceW(manager.get(), pszServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) report.error = error;
        return report;
    }
    report.installed = true;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed)) {
        report.error = ::GetLastError();
        return report;
    }
    report.state = status.dwCurrentState;
    report.processId = status.dwProcessId;
    return report;
}

bool IsHostRunningInConsole(DWORD* pProcessId) {
    DWORD processId = 0;
    const bool running = ThreadControl::TC_FindProcessInConsoleSessionW(kVeMoHostProcessName, &processId);
    if (pProcessId) *pProcessId = running ? processId : 0;
    return running;
}

}  // namespace vemo::check
