#pragma once
// A Windows service in a process of its own: install, uninstall, start and stop through the
// service control manager from a command line; run by the manager, report the states and call
// the derived class's hooks.
#include <windows.h>

#include <atomic>

class CService {
public:
    CService(const wchar_t* pszName, const wchar_t* pszDisplayName, const wchar_t* pszDescription);
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    virtual BOOL OnStart() = 0;
    virtual BOOL OnStop() = 0;

    bool ProcessCommand(const wchar_t* pszCommand, const wchar_t* pszStartParameter);

    bool IsInstalled();
    bool Install(const wchar_t* pszStartParameter);
    bool Uninstall();
    // The Event Log source of this service, with this executable's message table.
    void RegisterEventLogSource();
    bool Start_Service();
    bool Stop_Service();
    bool Start();
    DWORD GetExitStatus();

    const wchar_t* ServiceName() const { return m_serviceName; }
    // The service the manager runs this process as; the object's own name outside the manager.
    const wchar_t* RunningServiceName() const { return m_runningName[0] ? m_runningName : m_serviceName; }
    const wchar_t* TraceCategory() const { return m_traceCategory; }

    static void WINAPI _ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv);
    static void WINAPI _Handler(DWORD dwControl);

protected:
    void ServiceMain();
    void Handler(DWORD dwControl);
    bool SetServiceStatus(DWORD dwState, DWORD dwCheckpoint, DWORD dwWaitHint);
    // Called once the manager was told a state, whether or not it took it.
    virtual void OnStatusReported(DWORD /*dwState*/) {}

    static constexpr size_t kNameChars = 256;
    static constexpr size_t kDescriptionChars = 1024;
    static constexpr size_t kCategoryChars = 256;

    wchar_t m_serviceName[kNameChars];
    wchar_t m_runningName[kNameChars] = {};
    wchar_t m_displayName[kNameChars];
    wchar_t m_description[kDescriptionChars];
    wchar_t m_traceCategory[kCategoryChars];
    SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
    SERVICE_STATUS m_status;
    DWORD m_threadId = 0;
};

// The most recently constructed service object; the manager's callbacks reach it only here.
extern std::atomic<CService*> g_pService;

// What a command word asks for.
enum class ServiceCommand { Run, Install, Start, Stop, Uninstall };

// The command word after its prefix character, compared without regard to case; no command runs
// the service, and so does any word that is not one of the four.
ServiceCommand ClassifyServiceCommand(const wchar_t* pszCommand);
