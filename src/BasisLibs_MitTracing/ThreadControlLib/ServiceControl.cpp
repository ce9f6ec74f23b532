#include "BasisLibs_MitTracing/ThreadControlLib/ServiceControl.h"

#include <cwchar>
#include <string>

#include "common/WideFormat.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using vemo::unique_schandle;
using namespace vemo::tracing;

std::atomic<CService*> g_pService{nullptr};

namespace {

constexpr DWORD kManagerAccess = SC_MANAGER_ALL_ACCESS;
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr wchar_t kLoadOrderGroup[] = L"SmartCardGroup";
constexpr DWORD kStatusWaitHintMs = 3000;
constexpr DWORD kStopPollMs = 100;
constexpr DWORD kReportedServiceType = SERVICE_WIN32_OWN_PROCESS;
constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr size_t kBinaryPathChars = MAX_PATH;

// Source lines of the method-trace scopes, as the traces of this class have always shown them.
constexpr int kLineConstructor = 33;
constexpr int kLineIsInstalled = 50;
constexpr int kLineInstall = 94;
constexpr int kLineUninstall = 178;
constexpr int kLineStartService = 243;
constexpr int kLineStopService = 304;
constexpr int kLineStart = 402;
constexpr int kLineStaticServiceMain = 431;
constexpr int kLineStaticHandler = 445;
constexpr int kLineServiceMain = 462;
constexpr int kLineHandler = 511;
constexpr int kLineSetServiceStatus = 549;
constexpr int kLineGetExitStatus = 613;

constexpr DWORD kProcessExitWaitMs = 10000;

// This executable's path: the services' binary path and the event sources' message file.
std::wstring ModulePath() {
    wchar_t modulePath[kBinaryPathChars] = {};
    ::GetModuleFileNameW(nullptr, modulePath, kBinaryPathChars);
    return modulePath;
}

// The running service's process, to wait for its end; none when it does not run.
vemo::unique_handle OpenServiceProcess(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof(process),
                                &needed) ||
        process.dwProcessId == 0) {
        return {};
    }
    return vemo::unique_handle(::OpenProcess(SYNCHRONIZE, FALSE, process.dwProcessId));
}

constexpr wchar_t kMsgOpenManagerFailed[] = L"could not open service manager. LastError: <%d>";
constexpr wchar_t kMsgEventSourceNotRegistered[] = L"event source \"%s\" could not be registered, LastError <%d>";
constexpr wchar_t kMsgEventSourceNotRemoved[] = L"event source \"%s\" could not be removed";
constexpr wchar_t kMsgOpenServiceFailed[] = L"could not open service \"%s\", LastError: <%d>";

using vemo::CopyBounded;

const wchar_t* CategoryOfCurrentService() {
    CService* service = g_pService.load();
    return service ? service->TraceCategory() : L"";
}

unique_schandle OpenManager() {
    return unique_schandle(::OpenSCManagerW(nullptr, nullptr, kManagerAccess));
}

// The manager, and the named service in it with the rights asked for.
struct OpenedService {
    unique_schandle manager;
    unique_schandle service;
};

// Traces the failure; on any failure both handles are empty.
OpenedService OpenNamedService(const wchar_t* category, const wchar_t* name, DWORD access) {
    OpenedService opened{OpenManager(), {}};
    if (!opened.manager) {
        TraceFormatW(kLevelError, category, kMsgOpenManagerFailed, ::GetLastError());
        return {};
    }
    opened.service.reset(::OpenServiceW(opened.manager.get(), name, access));
    if (!opened.service) {
        const DWORD error = ::GetLastError();
        opened.manager.reset();
        TraceFormatW(kLevelError, category, kMsgOpenServiceFailed, name, error);
    }
    return opened;
}

}  // namespace

ServiceCommand ClassifyServiceCommand(const wchar_t* pszCommand) {
    if (!pszCommand || !*pszCommand) return ServiceCommand::Run;
    const wchar_t* word = pszCommand + 1;
    if (_wcsicmp(word, L"install") == 0) return ServiceCommand::Install;
    if (_wcsicmp(word, L"start") == 0) return ServiceCommand::Start;
    if (_wcsicmp(word, L"stop") == 0) return ServiceCommand::Stop;
    if (_wcsicmp(word, L"uninstall") == 0) return ServiceCommand::Uninstall;
    return ServiceCommand::Run;
}

CService::CService(const wchar_t* pszName, const wchar_t* pszDisplayName, const wchar_t* pszDescription) {
    CopyBounded(m_traceCategory, kCategoryChars, vemo::kCategoryVHService);
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::CService", kLineConstructor);
    ZeroMemory(&m_status, sizeof(m_status));
    CopyBounded(m_serviceName, kNameChars, pszName);
    CopyBounded(m_displayName, kNameChars, pszDisplayName);
    CopyBounded(m_description, kDescriptionChars, pszDescription);
    TraceFormatW(kLevelInfo, m_traceCategory, L"servicename<%s>, displayname <%s>, description <%s>",
                 m_serviceName, m_displayName, m_description);
    g_pService = this;
}

bool CService::ProcessCommand(const wchar_t* pszCommand, const wchar_t* pszStartParameter) {
    switch (ClassifyServiceCommand(pszCommand)) {
        case ServiceCommand::Install: return Install(pszStartParameter);
        case ServiceCommand::Start: return Start_Service();
        case ServiceCommand::Stop: return Stop_Service();
        case ServiceCommand::Uninstall: return Uninstall();
        case ServiceCommand::Run: break;
    }
    return Start();
}

bool CService::IsInstalled() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::IsInstalled", kLineIsInstalled);
    bool installed = false;
    unique_schandle manager = OpenManager();
    if (!manager) {
        TraceFormatW(kLevelError, m_traceCategory, L"OpenService() failed with <%d>!", ::GetLastError());
    } else {
        unique_schandle service(::OpenServiceW(manager.get(), m_serviceName, SERVICE_QUERY_CONFIG));
        if (service) {
            installed = true;
        } else {
            TraceFormatW(kLevelError, m_traceCategory, L"OpenService() failed with <%d>!", ::GetLastError());
        }
    }
    TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is%sinstalled", m_serviceName,
                 installed ? L" " : L" not ");
    return installed;
}

bool CService::Install(const wchar_t* pszStartParameter) {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Install", kLineInstall);
    // The event source also for a service installed by an older version: it changes nothing else.
    RegisterEventLogSource();
    if (IsInstalled()) {
        TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is already installed", m_serviceName);
        return true;
    }
    unique_schandle manager = OpenManager();
    if (!manager) {
        TraceFormatW(kLevelError, m_traceCategory, kMsgOpenManagerFailed, ::GetLastError());
        return false;
    }

    // Quoted module path, then a blank and the start parameter; cut rather than overrun when
    // the whole does not fit.
    wchar_t binaryPath[kBinaryPathChars] = {};
    std::wstring path = L"\"" + ModulePath() + L"\"";
    if (pszStartParameter && *pszStartParameter) path += L" " + std::wstring(pszStartParameter);
    CopyBounded(binaryPath, kBinaryPathChars, path.c_str());

    unique_schandle service(::CreateServiceW(manager.get(), m_serviceName, m_displayName, SERVICE_ALL_ACCESS,
                                             kServiceType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath,
                                             kLoadOrderGroup, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = ::GetLastError();
        manager.reset();
        TraceFormatW(kLevelError, m_traceCategory, L"could not create service \"%s\", LastError: <%d>",
                     m_serviceName, error);
        return false;
    }
    SERVICE_DESCRIPTIONW description{m_description};
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        TraceFormatW(kLevelError, m_traceCategory, L"Could not set the description of service, GetLastError <%d>",
                     ::GetLastError());
    }
    service.reset();
    manager.reset();
    TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is now installed", m_serviceName);
    return true;
}

bool CService::Uninstall() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Uninstall", kLineUninstall);
    if (!IsInstalled()) {
        TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is not installed", m_serviceName);
        return true;
    }
    auto [manager, service] = OpenNamedService(m_traceCategory, m_serviceName, DELETE | SERVICE_STOP);
    if (!service) return false;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);  // nothing waits for the stop
    const BOOL deleted = ::DeleteService(service.get());
    const DWORD error = ::GetLastError();
    service.reset();
    manager.reset();
    if (!deleted) {
        TraceFormatW(kLevelError, m_traceCategory, L"service \"%s\" could not be deleted, LastError <%d>",
                     m_serviceName, error);
        return false;
    }
    if (!vemo::eventlog::RemoveSource(m_serviceName)) {
        TraceFormatW(kLevelWarning, m_traceCategory, kMsgEventSourceNotRemoved, m_serviceName);
    }
    TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is now uninstalled", m_serviceName);
    return true;
}

void CService::RegisterEventLogSource() {
    if (!vemo::eventlog::RegisterSource(m_serviceName, ModulePath().c_str())) {
        TraceFormatW(kLevelWarning, m_traceCategory, kMsgEventSourceNotRegistered, m_serviceName,
                     static_cast<int>(::GetLastError()));
    }
}

bool CService::Start_Service() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Start_Service", kLineStartService);
    if (!IsInstalled()) {
        TraceFormatW(kLevelInfo, m_traceCategory, L"could not start service \"%s\", because it is not installed",
                     m_serviceName);
        return false;
    }
    auto [manager, service] = OpenNamedService(m_traceCategory, m_serviceName, SERVICE_START);
    if (!service) return false;
    if (::StartServiceW(service.get(), 0, nullptr)) {
        service.reset();
        manager.reset();
        TraceFormatW(kLevelInfo, m_traceCategory, L"call to start service \"%s\" was successful", m_serviceName);
        return true;
    }
    TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" could not be started (Error: %d)", m_serviceName,
                 ::GetLastError());
    return false;
}

bool CService::Stop_Service() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Stop_Service", kLineStopService);
    if (!IsInstalled()) {
        TraceFormatW(kLevelInfo, m_traceCategory, L"could not stop service \"%s\", because it is not installed",
                     m_serviceName);
        return true;
    }
    auto [manager, service] = OpenNamedService(m_traceCategory, m_serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) return false;
    // The process outlives its STOPPED report for a moment; whoever replaces the program's files
    // after a stop needs it gone, so it is waited for too (bounded).
    const vemo::unique_handle serviceProcess = OpenServiceProcess(service.get());
    SERVICE_STATUS status{};
    if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = ::GetLastError();
        service.reset();
        manager.reset();
        TraceFormatW(kLevelError, m_traceCategory, L"service \"%s\" could not be stopped (Error: %d)",
                     m_serviceName, error);
        // Already stopping (an installer's own stop came first): still the failure it is, but
        // whoever replaces the files next needs the process gone, as after a stop of ours.
        if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && serviceProcess) {
            ::WaitForSingleObject(serviceProcess.get(), kProcessExitWaitMs);
        }
        return false;
    }
    TraceFormatW(kLevelInfo, m_traceCategory, L"call to stop service \"%s\" was successful, waiting until stopped...",
                 m_serviceName);
    for (int repetition = 0;;) {
        SERVICE_STATUS_PROCESS process{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                    sizeof(process), &needed)) {
            TraceFormatW(kLevelWarning, m_traceCategory,
                         L"service state of \"%s\" could not be retrieved. Error <%d>! - Aborting!", m_serviceName,
                         ::GetLastError());
            break;
        }
        if (process.dwCurrentState == SERVICE_STOPPED) {
            TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" has stopped.", m_serviceName);
            if (serviceProcess) ::WaitForSingleObject(serviceProcess.get(), kProcessExitWaitMs);
            break;
        }
        ++repetition;
        TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" is still running, repitition <%d>...",
                     m_serviceName, repetition);
        ::Sleep(kStopPollMs);
    }
    return true;
}

bool CService::Start() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Start", kLineStart);
    SERVICE_TABLE_ENTRYW table[] = {{m_serviceName, &CService::_ServiceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        const DWORD error = ::GetLastError();
        // The second object of the entry point's loop meets this one: its service already ran.
        if (error != ERROR_SERVICE_ALREADY_RUNNING) {
            TraceFormatW(kLevelError, m_traceCategory, L"error starting Windows-service <%s>. LastError <%d>",
                         m_serviceName, error);
        }
    }
    return true;
}

void WINAPI CService::_ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) {
    METHOD_TRACE(trace, kLevelInfo, CategoryOfCurrentService(), L"CService::_ServiceMain", kLineStaticServiceMain);
    try {
        if (CService* service = g_pService.load()) {
            // The dispatcher serves whichever service the manager started this process for.
            if (dwArgc > 0 && lpszArgv && lpszArgv[0]) {
                wcsncpy(service->m_runningName, lpszArgv[0], kNameChars - 1);
            }
            service->ServiceMain();
        }
    } catch (...) {
        trace.SetError("Exception in <CService::_ServiceMain> aufgetreten!", __LINE__);
    }
}

void CService::ServiceMain() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::ServiceMain", kLineServiceMain);
    m_statusHandle = ::RegisterServiceCtrlHandlerW(m_serviceName, &CService::_Handler);
    if (!m_statusHandle) {
        TraceFormatW(kLevelError, m_traceCategory, L"handler not installed. LastError <%d>", ::GetLastError());
        return;
    }
    SetServiceStatus(SERVICE_START_PENDING, 1, kStatusWaitHintMs);
    m_threadId = ::GetCurrentThreadId();
    // The thread gets its message queue before anyone can post to it: a stop that arrives right
    // after RUNNING must still find the queue and end the loop below.
    MSG msg;
    ::PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    if (!OnStart()) return;

    TraceFormatW(kLevelInfo, m_traceCategory, L"service \"%s\" started", m_serviceName);
    SetServiceStatus(SERVICE_RUNNING, 0, 0);
    TraceWriteW(kLevelInfo, m_traceCategory, L"starting message-queue");
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);

    if (!OnStop()) TraceWriteW(kLevelError, m_traceCategory, L"OnStop was not successful!");
    TraceFormatW(kLevelInfo, m_traceCategory, L"setting stop-state for \"%s\"", m_serviceName);
    SetServiceStatus(SERVICE_STOPPED, 0, 0);
}

void WINAPI CService::_Handler(DWORD dwControl) {
    METHOD_TRACE(trace, kLevelInfo, CategoryOfCurrentService(), L"CService::_Handler", kLineStaticHandler);
    try {
        if (CService* service = g_pService.load()) service->Handler(dwControl);
    } catch (...) {
        trace.SetError("Exception in <CService::_Handler> aufgetreten!", __LINE__);
    }
}

void CService::Handler(DWORD dwControl) {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::Handler", kLineHandler);
    switch (dwControl) {
        case SERVICE_CONTROL_STOP:
            SetServiceStatus(SERVICE_STOP_PENDING, 1, kStatusWaitHintMs);
            ::PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN:
            break;
        default:
            TraceWriteW(kLevelError, m_traceCategory, L"bad service request!");
            break;
    }
}

bool CService::SetServiceStatus(DWORD dwState, DWORD dwCheckpoint, DWORD dwWaitHint) {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::SetServiceStatus", kLineSetServiceStatus);
    m_status.dwServiceType = kReportedServiceType;
    m_status.dwCurrentState = dwState;
    TraceFormatW(kLevelDetail, m_traceCategory, L"try to set service status <%d>!", dwState);
    m_status.dwControlsAccepted = dwState == SERVICE_START_PENDING ? 0 : kAcceptedControls;
    m_status.dwWin32ExitCode = 0;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwCheckPoint = dwCheckpoint;
    m_status.dwWaitHint = dwWaitHint;
    const BOOL reported = ::SetServiceStatus(m_statusHandle, &m_status);
    OnStatusReported(dwState);
    if (!reported) {
        if (dwState == SERVICE_RUNNING) OnStop();
        TraceWriteW(kLevelError, m_traceCategory, L"error setting service status!");
        return false;
    }
    return true;
}

DWORD CService::GetExitStatus() {
    METHOD_TRACE(trace, kLevelInfo, m_traceCategory, L"CService::GetExitStatus", kLineGetExitStatus);
    return m_status.dwWin32ExitCode;
}
