#include "VeMoHostPluginLib/PluginThreads.h"

#include <atomic>
#include <ctime>
#include <string>
#include <exception>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "common/AnsiText.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
constexpr int32_t kNoPluginResult = -1;
constexpr double kClockTicksPerSecond = CLOCKS_PER_SEC;
constexpr char kUnknownException[] = "Unknown exception";

constexpr wchar_t kUnknownExceptionW[] = L"Unknown exception";
constexpr wchar_t kNameSeparator[] = L", ";

// Every waiter at the barrier sees the same time-out: one event per barrier, told apart by its
// generation (a new array may land where the last one was).
std::atomic<uint64_t> g_barrierReported{0};

void ReportBarrierTimeoutOnce() {
    const vemo::unique_handle* barrier = g_hPluginsInitialized.get();
    const uint64_t generation = g_barrierGeneration.load();
    if (g_barrierReported.exchange(generation) == generation) return;
    std::wstring late;
    for (int32_t i = 0; barrier && g_vecPluginInfo && i < g_numActivePluginInfo; ++i) {
        const HANDLE event = barrier[static_cast<size_t>(i)].get();
        if (event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0) continue;
        if (!late.empty()) late += kNameSeparator;
        late += g_vecPluginInfo[static_cast<size_t>(i)]._name;
    }
    vemo::eventlog::Report(VEMO_EVENT_BARRIER_TIMEOUT, {late});
}

double SecondsSince(clock_t start) { return static_cast<double>(clock() - start) / kClockTicksPerSecond; }

// Everything of HostPluginDll that may meet a plug-in's exception.
int32_t RunPluginSteps(CPluginInfo* pi) {
    clock_t start = clock();
    if (!pi->InitializePlugin()) {
        TraceFormatW(kLevelError, kCategoryVeMoHost,
                     L"---> Initialize() in Plugin <%s> fehlgeschlagen! Run() wird nicht gestartet!", pi->_name.c_str());
        vemo::eventlog::Report(VEMO_EVENT_PLUGIN_INIT_FAILED, {pi->_name});
        pi->IAmInitialized();
        return 0;
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"PlugIn<%s>::Init dauerte <%.3f> Sekunden", pi->_name.c_str(),
                 SecondsSince(start));
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"pi->SyncPlugin() <%d>, Plugin <%s>", pi->SyncPlugin() ? 1 : 0,
                 pi->_name.c_str());
    if (pi->SyncPlugin()) {
        pi->IAmInitialized();
        if (g_hPluginsInitialized) {
            TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"WaitForMultipleObjects, g_numActivePluginInfo <%d>, Plugin <%s>",
                         g_numActivePluginInfo, pi->_name.c_str());
            start = clock();
            // A stop meanwhile ends the wait: Run then sees the stop at once.
            WaitForPluginInitialization(&pi->_stopRequested);
            TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"PlugIn<%s>::wartete <%.3f> Sekunden auf andere",
                         pi->_name.c_str(), SecondsSince(start));
        } else {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"g_hPluginsInitialized == NULL");
        }
    }
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Init() fertig - PluginName <%s>, rufen Run()", pi->_name.c_str());
    const int32_t runResult = pi->_pfnRun(reinterpret_cast<VemoPluginStopFlag>(&pi->_stopRequested));
    TraceFormatW(runResult == 0 ? kLevelInfo : kLevelWarning, kCategoryVeMoHost,
                 L"Run() aus PluginName <%s> zurückgekehrt mit Returncode <%d> , rufen UnInit()", pi->_name.c_str(),
                 runResult);
    start = clock();
    pi->_pfnUninitialize();
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"PlugIn<%s>::UN-Init dauerte <%.3f> Sekunden.", pi->_name.c_str(),
                 SecondsSince(start));
    return 0;
}
}  // namespace

void HostPlugins() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"HostPlugins", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"g_numActivePluginInfo <%d>", g_numActivePluginInfo);
    for (int32_t i = 0; g_vecPluginInfo && i < g_numActivePluginInfo; ++i) {
        CPluginInfo& pi = g_vecPluginInfo[static_cast<size_t>(i)];
        if (!pi.IsPluginLoaded()) {
            TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugin <%s> nicht geladen", pi._name.c_str());
            continue;
        }
        pi._hRunEvent = g_hPluginsInitialized ? &g_hPluginsInitialized[static_cast<size_t>(i)] : nullptr;
        pi._hThread.reset(::CreateThread(nullptr, kPluginThreadStackReservation, &PluginThreadProcedure, &pi,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    }
}

DWORD WINAPI PluginThreadProcedure(LPVOID pPluginInfo) {
    vemo::seh::SetSehTranslator(&TranslateSEHExceptionToStdException);
    vemo::seh::SetThreadInvalidParameterHandler(&InvalidParameterHandler);
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"PluginThreadProcedure", __LINE__);
    auto* pi = static_cast<CPluginInfo*>(pPluginInfo);
    int32_t returnCode = 0;
    try {
        // A fault in plug-in code becomes an exception of this thread, without a dump.
        vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
        vemo::seh::GuardedCall([&] {
            if (!pi) {
                TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"pi == NULL");
                return;
            }
            TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"pi->Type() <%d> in plugin <%s>", pi->Type(),
                         pi->_name.c_str());
            if (pi->Type() == CPluginInfo::kTypeDll) returnCode = HostPluginDll(pi);
            TraceFormatW(kLevelDetail, kCategoryVeMoHost, L"Ende PluginThreadProcedure, Plugin-Name: <%s>",
                         pi->_name.c_str());
        });
    } catch (const std::exception& e) {
        trace.SetErrorFormat(__LINE__, "Es ist eine Exception aufgetreten: %s", e.what() ? e.what() : kUnknownException);
    } catch (...) {
        trace.SetError("Es ist eine Exception aufgetreten.", __LINE__);
    }
    trace.SetReturnValueFormat("returnCode <%d>", returnCode);
    return static_cast<DWORD>(returnCode);
}

int32_t HostPluginDll(CPluginInfo* pi) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"HostPluginDll", __LINE__);
    int32_t result = 0;
    if (!pi) {
        TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"pi == NULL");
        result = kNoPluginResult;
    } else {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"pi->IsPluginLoaded() <%d>, Plugin <%s>",
                     pi->IsPluginLoaded() ? 1 : 0, pi->_name.c_str());
        if (pi->IsPluginLoaded()) {
            std::wstring fault;
            try {
                vemo::seh::GuardedCall([&] { result = RunPluginSteps(pi); });
            } catch (const std::exception& e) {
                if (!vemo::AnsiToWide(e.what() ? e.what() : "", fault) || fault.empty()) fault = kUnknownExceptionW;
            } catch (...) {
                fault = kUnknownExceptionW;
            }
            if (!fault.empty()) {
                TraceFormatW(kLevelError, kCategoryVeMoHost, L"Exception in HostPluginDll, plugin: <%s>!",
                             pi->_name.c_str());
                vemo::eventlog::Report(VEMO_EVENT_PLUGIN_FAULT, {pi->_name, fault});
                result = static_cast<int32_t>(kPluginThreadExceptionExitCode);
            }
        }
    }
    trace.SetReturnValueFormatW(L"returnCode <%d>", result);
    return result;
}

bool WaitForPluginInitialization(const std::atomic<bool>* stopFlag) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"WaitForPluginInitialization", __LINE__);
    if (g_numActivePluginInfo <= 0 || !g_hPluginsInitialized) {
        TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"Keine Plugins vorhanden");
        return false;
    }
    std::vector<HANDLE> events(static_cast<size_t>(g_numActivePluginInfo));
    for (size_t i = 0; i < events.size(); ++i) events[i] = g_hPluginsInitialized[i].get();
    // More than MAXIMUM_WAIT_OBJECTS events make the wait fail at once, like a time-out.
    const ULONGLONG deadline = ::GetTickCount64() + kPluginInitializationTimeoutMs;
    DWORD outcome = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        const DWORD slice = stopFlag && left > kBarrierStopLookIntervalMs ? kBarrierStopLookIntervalMs : left;
        outcome = ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), TRUE, slice);
        if (outcome != WAIT_TIMEOUT || slice == left) break;
        if (stopFlag->load()) return true;  // a stop: nobody is late, the start-up just ends
    }
    if (outcome >= WAIT_OBJECT_0 + static_cast<DWORD>(g_numActivePluginInfo)) {
        TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"Initialization-Timer überschritten");
        ReportBarrierTimeoutOnce();
    }
    return true;
}

int32_t CountHostedPlugins() {
    int32_t hosted = 0;
    for (int32_t i = 0; g_vecPluginInfo && i < g_numActivePluginInfo; ++i) {
        hosted += g_vecPluginInfo[static_cast<size_t>(i)].MayStillRun() ? 1 : 0;
    }
    return hosted;
}
