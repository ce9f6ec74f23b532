#include "VeMoHostServiceLib/VeMoHostService.h"

#include <ctime>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "VeMoHostIntLib/DaemonMode.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginHostLock.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "common/ProductIds.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;
using vemo::kCategoryVHService;

std::atomic<bool> g_daemonModeIdle{true};

namespace {
constexpr wchar_t kInitEventFormat[] = L"Global\\InitEvent_%d";
constexpr size_t kInitEventNameChars = 128;
constexpr wchar_t kInitThreadName[] = L"InitThread";
constexpr DWORD kIdlePollMs = 50;
constexpr DWORD kInitEventWaitMs = 25000;
constexpr double kClockTicksPerSecond = CLOCKS_PER_SEC;
constexpr int kLineSetRunKey = 24;
constexpr int kLineInitThread = 66;
constexpr int kLineConstructor = 187;
constexpr int kLineOnStart = 213;
constexpr int kLineOnStop = 232;
constexpr int kLineStopDaemonMode = 269;
constexpr int kLineGetStopFlag = 275;
constexpr wchar_t kEventTraced[] = L"Ereignisprotokoll: Ereignis <%d> gemeldet: %s";
constexpr wchar_t kEventInsertSeparator[] = L"; ";
constexpr DWORD kEventNumberMask = 0xFFFF;

// ConfigDB's own lines go to the host's trace: errors always, the rest whenever the detail
// level is traced at all, whatever the host category says.
void ConfigDbTraceCallback(bool bIsError, const wchar_t* pszText) {
    if (bIsError) {
        TraceWriteW(kLevelError, kCategoryVeMoHost, pszText);
    } else if (TraceShouldTrace(kLevelDetail)) {
        TraceWriteW(kLevelDetail, kCategoryVeMoHost, pszText);
    }
}
// Every event also as a trace line, so the trace tells what the log was told.
void TraceReportedEvent(DWORD eventId, const std::vector<std::wstring>& inserts) {
    std::wstring joined;
    for (const std::wstring& insert : inserts) joined += (joined.empty() ? L"" : kEventInsertSeparator) + insert;
    TraceFormatW(kLevelInfo, kCategoryVHService, kEventTraced, static_cast<int>(eventId & kEventNumberMask),
                 joined.c_str());
}
}  // namespace

CVemoHostService::CVemoHostService(const wchar_t* pszName, const wchar_t* pszDisplayName,
                                   const wchar_t* pszDescription)
    : CService(pszName, pszDisplayName, pszDescription) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"CVemoHostService::CVemoHostService", kLineConstructor);
    TraceFormatW(kLevelInfo, kCategoryVHService, L"name <%s>, displayname <%s>, description <%s>", pszName,
                 pszDisplayName, pszDescription);
    m_stopFlag = false;

    wchar_t eventName[kInitEventNameChars] = {};
    vemo::FormatToBufferW(eventName, kInitEventNameChars, kInitEventFormat,
                          static_cast<int>(::GetCurrentProcessId()));
    // Lives as long as the process: the entry point never destroys its service objects.
    m_initEvent.reset(::CreateEventW(nullptr, FALSE, FALSE, eventName));
    if (m_initEvent) {
        TraceFormatW(kLevelInfo, kCategoryVHService, L"%s created successfully!!!!", eventName);
    } else {
        TraceFormatW(kLevelError, kCategoryVHService, L"%s creation failed with <%d>!", eventName,
                     ::GetLastError());
    }
}

std::atomic<bool>& CVemoHostService::GetVeMoHostServiceStopFlag() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"CVemoHostService::GetVeMoHostServiceStopFlag",
                 kLineGetStopFlag);
    return m_stopFlag;
}

BOOL CVemoHostService::OnStart() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"CVemoHostService::OnStart", kLineOnStart);
    CDB_SetTraceCallback(&ConfigDbTraceCallback);
    ThreadControl::TC_SetTraceCategory(kCategoryVHService);
    vemo::eventlog::SetSource(RunningServiceName());
    vemo::eventlog::SetTraceMirror(&TraceReportedEvent);
    // Run by the manager, the start-up begins once RUNNING has been reported (OnStatusReported):
    // starting it here would only delay the report.
    if (!m_statusHandle) StartInitThread();
    return TRUE;
}

void CVemoHostService::StartInitThread() {
    // Nobody joins the initialisation thread: its end is told through the InitEvent.
    const vemo::unique_handle thread(ThreadControl::_CreateThread(&InitThread, this, kInitThreadName));
}

void SetRunKey(bool& bRunKeyOk) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"SetRunKey", kLineSetRunKey);
    bool written = false;
    if (!GetSetVeMoHostRunKey(true, written)) {
        bRunKeyOk = false;
        TraceWriteW(kLevelError, kCategoryVHService, L"Run-Key could not be set!!!");
    }
}

void CVemoHostService::OnStatusReported(DWORD dwState) {
    if (dwState == SERVICE_RUNNING) StartInitThread();
}

DWORD WINAPI CVemoHostService::InitThread(void* pService) {
    Pause2Attach();
    vemo::seh::SetSehTranslator(&TranslateSEHExceptionToStdException);
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"InitThread", kLineInitThread);
    auto* service = static_cast<CVemoHostService*>(pService);
    if (!service) {
        TraceWriteW(kLevelError, kCategoryVHService, L"no class instance!!!");
        return 0;
    }
    bool bPureMode = false;
    bool bWithoutDaemon = false;
    ParseCommandLine(bPureMode, bWithoutDaemon);

    bool bStartHost = false;
    bool bRunKeyOk = true;
    bool bRunKeyPresent = false;
    if (!GetSetVeMoHostRunKey(false, bRunKeyPresent)) {
        TraceWriteW(kLevelInfo, kCategoryVHService, L"Run-Key could not be read!!!");
    }
    const bool daemonInstalled = CDB_IsComponentInstalled(vemo::kDaemonComponentId);
    const bool basisInstalled = CDB_IsComponentInstalled(vemo::kBasisComponentId);
    if (daemonInstalled && !basisInstalled) {
        g_daemonModeIdle = false;
        bool bHostNeeded = false;
        if (!EnterDaemonMode(bHostNeeded, &service->GetVeMoHostServiceStopFlag())) {
            TraceWriteW(kLevelException, kCategoryVHService, L"Der Daemon-Mode wurde fehlerhaft beendet!");
            g_daemonModeIdle = true;
            return 0;
        }
        if (bHostNeeded) {
            SetRunKey(bRunKeyOk);
            TraceWriteW(kLevelInfo, kCategoryVHService, L"Start-Flag für VeMoHost wurde gesetzt...");
            bStartHost = true;
        }
        g_daemonModeIdle = true;
    } else {
        SetRunKey(bRunKeyOk);
    }

    bRunKeyPresent = false;
    if (GetSetVeMoHostRunKey(false, bRunKeyPresent) && bRunKeyPresent) {
        DWORD processId = 0;
        if (!ThreadControl::TC_FindProcessInConsoleSessionW(kVeMoHostProcessName, &processId)) {
            TraceWriteW(kLevelInfo, kCategoryVHService,
                        L"VeMoHost läuft noch nicht, Start-Flag für VeMoHost wurde gesetzt...");
            bStartHost = true;
        }
    }

    if (!service->GetVeMoHostServiceStopFlag() && bRunKeyOk) service->HostPluginsUnlessStopping(bPureMode, bStartHost);

    vemo::eventlog::Report(VEMO_EVENT_SERVICE_STARTED,
                           {service->RunningServiceName(), std::to_wstring(service->m_hostedPlugins.load())});

    // Under the lock: a stop that gave up waiting closes the event under it.
    const std::lock_guard<std::mutex> lock(PluginHostMutex());
    if (service->m_initEvent) {
        ::SetEvent(service->m_initEvent.get());
        TraceWriteW(kLevelInfo, kCategoryVHService, L"InitEvent set");
    } else {
        TraceWriteW(kLevelError, kCategoryVHService, L"InitEvent NOT set");
    }
    return 0;
}

void CVemoHostService::HostPluginsUnlessStopping(bool bPureMode, bool bStartHost) {
    {
        const std::lock_guard<std::mutex> lock(PluginHostMutex());
        // A stop that gave up waiting may already have unloaded: then nothing more is loaded.
        if (GetVeMoHostServiceStopFlag()) return;
        GetPluginData(bPureMode);
        // Discovery and loading may take long; threads are started only while nobody is stopping,
        // and the modules just loaded are left to the unload sequence.
        if (GetVeMoHostServiceStopFlag()) return;
        HostPlugins();
        m_hostedPlugins = CountHostedPlugins();
        if (!bStartHost) return;
        const clock_t start = clock();
        WaitForPluginInitialization(&m_stopFlag);  // watched, not read: no scope lines
        TraceFormatW(kLevelInfo, kCategoryVHService,
                     L"Es wurde <%.3f> Sekunden auf die Initialisierung der Plugins gewartet, bevor der VeMoHost "
                     L"gestartet wird.",
                     static_cast<double>(clock() - start) / kClockTicksPerSecond);
    }
    // The barrier may have lasted 30 s: a stop meanwhile wants no new desktop program.
    if (GetVeMoHostServiceStopFlag()) return;
    if (!StartHost()) TraceWriteW(kLevelWarning, kCategoryVHService, L"Fehler beim Starten des VeMoHosts.");
}

BOOL CVemoHostService::OnStop() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVHService, L"CVemoHostService::OnStop", kLineOnStop);
    {
        METHOD_TRACE(stopTrace, kLevelInfo, kCategoryVHService, L"CVemoHostService::StopDaemonMode",
                     kLineStopDaemonMode);
        m_stopFlag = true;
    }
    // Unbounded: the daemon module returns once it sees the stop flag.
    while (!g_daemonModeIdle) {
        ::Sleep(kIdlePollMs);
        TraceWriteW(kLevelInfo, kCategoryVHService, L"Daemon-Mode-Run-Flag is still active!");
    }
    if (!m_initEvent) TraceWriteW(kLevelInfo, kCategoryVHService, L"InitEvent is missing!");
    if (m_initEvent && ::WaitForSingleObject(m_initEvent.get(), kInitEventWaitMs) == WAIT_OBJECT_0) {
        TraceWriteW(kLevelInfo, kCategoryVHService, L"InitEvent received!");
    } else {
        TraceWriteW(kLevelError, kCategoryVHService, L"InitEvent not received!");
    }
    const std::lock_guard<std::mutex> lock(PluginHostMutex());
    m_initEvent.reset();
    UnloadPlugins();
    vemo::eventlog::Report(VEMO_EVENT_SERVICE_STOPPED, {RunningServiceName()});
    return TRUE;
}
