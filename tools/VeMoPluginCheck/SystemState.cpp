#include "SystemState.h"

#include <tlhelp32.h>

#include <cwchar>

#include "common/UniqueHandle.h"

namespace vemo::check {

namespace {
constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
}

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
    if (pProcessId) *pProcessId = 0;
    const DWORD consoleSession = ::WTSGetActiveConsoleSessionId();
    if (consoleSession == kNoConsoleSession) return false;
    unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (::_wcsicmp(entry.szExeFile, kHostProcessName) != 0) continue;
        DWORD session = 0;
        if (::ProcessIdToSessionId(entry.th32ProcessID, &session) && session == consoleSession) {
            if (pProcessId) *pProcessId = entry.th32ProcessID;
            return true;
        }
    }
    return false;
}

}  // namespace vemo::check
