#include "VeMoHostPluginLib/PluginUnloading.h"

#include <algorithm>
#include <vector>

#include "VeMoHostApi/Slumber.h"
#include "VeMoHostPluginLib/PluginHostState.h"
#include "VeMoHostPluginLib/PluginLoadPlan.h"
#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
CPluginInfo* Descriptor(int32_t i) { return g_vecPluginInfo ? &g_vecPluginInfo[static_cast<size_t>(i)] : nullptr; }

void RequestStops() {
    for (int32_t i = 0; i < g_numActivePluginInfo; ++i) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"CPluginInfo für i = %d ermitteln", i);
        CPluginInfo* pi = Descriptor(i);
        if (!pi) {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"Freiwilliges Beenden nicht möglich, da pi == NULL");
            continue;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Beenden von Plugin <%s>", pi->_name.c_str());
        pi->_stopRequested = true;
    }
}

// Terminates what still runs; true when every thread is gone.
bool KillRemainingThreads() {
    bool allGone = true;
    for (int32_t i = 0; i < g_numActivePluginInfo; ++i) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"CPluginInfo für i = %d ermitteln", i);
        CPluginInfo* pi = Descriptor(i);
        if (!pi) {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"Abschiessen nicht möglich, da pi == NULL");
            continue;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugin-Thread <%s> soll abgeschossen werden", pi->_name.c_str());
        pi->KillThread();
        if (pi->MayStillRun()) allGone = false;
    }
    return allGone;
}

// Frees each distinct module once, except those a surviving thread may still execute.
// The trace names the first descriptor of a module; later ones sharing it only drop their reference.
void FreeModules() {
    std::vector<HMODULE> freed;
    for (int32_t i = 0; i < g_numActivePluginInfo; ++i) {
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugins entladen - CPluginInfo für i = %d ermitteln", i);
        CPluginInfo* pi = Descriptor(i);
        TraceFormatW(kLevelDetail, kCategoryVeMoHost, L"pi <%s>", pi ? L"Gültig" : L"NULL");
        if (!pi) {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"Entladen nicht möglich, da pi == NULL");
            continue;
        }
        TraceFormatW(kLevelDetail, kCategoryVeMoHost, L"CPluginInfo für <%s>", pi->_name.c_str());
        const HMODULE hModule = pi->GetPluginHndl();
        TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"nach pi->GetPluginHndl");
        const bool seen = !hModule || std::find(freed.begin(), freed.end(), hModule) != freed.end();
        TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"nach std::vector<HMODULE>::iterator");
        if (seen) {
            // Every descriptor that loaded the module holds a reference of its own: give it back
            // quietly, so the module is unmapped when the last one lets go.
            if (hModule && !pi->MayStillRun()) pi->UnloadPlugin();
            continue;
        }
        freed.push_back(hModule);
        if (pi->MayStillRun()) {
            // Its code may still be executing: the module stays mapped until the process ends.
            TraceFormatW(kLevelError, kCategoryVeMoHost,
                         L"Plugin <%s> bleibt geladen, da sein Thread nicht beendet werden konnte.", pi->_name.c_str());
            continue;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Entladen von Plugin <%s>", pi->_name.c_str());
        pi->UnloadPlugin();
        TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"hier war mal ein Sleep von 250ms (deaktiviert!)");
    }
}
}  // namespace

uint32_t GetPluginsUnloadTime() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"GetPluginsUnloadTime", __LINE__);
    g_timeOutInMs = LargestUnloadTime(g_vecPluginInfo.get(), g_numActivePluginInfo);
    trace.SetReturnValueFormatW(L"g_timeOutInMs <%d>", static_cast<int>(g_timeOutInMs));
    return g_timeOutInMs;
}

bool HaveAllPluginsEnded() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"HaveAllPluginsEnded", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost,
                 L"Prüfen, ob Plugins noch aktiv sind, g_timeOutInMs <%d>, sleepTimeOut <%d>, g_numActivePluginInfo <%d>",
                 static_cast<int>(g_timeOutInMs), kUnloadLookIntervalMs, g_numActivePluginInfo);
    // Read as signed on purpose: a time-out above INT_MAX (a negative one from a file) leaves no
    // time to wait at all. 64 bits, so that INT_MIN minus one interval stays negative.
    for (int64_t remaining = int64_t{static_cast<int32_t>(g_timeOutInMs)} - kUnloadLookIntervalMs; remaining >= 0;
         remaining -= kUnloadLookIntervalMs) {
        bool anyActive = false;
        for (int32_t i = 0; i < g_numActivePluginInfo && !anyActive; ++i) {
            const CPluginInfo* pi = Descriptor(i);
            anyActive = pi && pi->IsThreadStillActive();
        }
        if (!anyActive) {
            TraceWriteW(kLevelInfo, kCategoryVeMoHost, L"Keine aktiven Plugins mehr vorhanden!");
            return true;
        }
        CSlumber::Slumber(kUnloadLookIntervalMs);
    }
    return false;
}

void UnloadPlugins() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"UnloadPlugins", __LINE__);
    GetPluginsUnloadTime();
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"g_numActivePluginInfo <%d>", g_numActivePluginInfo);
    RequestStops();
    bool allGone = true;
    if (!HaveAllPluginsEnded()) {
        allGone = KillRemainingThreads();
    } else {
        for (int32_t i = 0; i < g_numActivePluginInfo; ++i) {
            if (CPluginInfo* pi = Descriptor(i)) pi->CloseThreadHandle();
        }
    }
    FreeModules();

    TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"delete g_vecPluginInfo");
    if (allGone) {
        g_vecPluginInfo.reset();
    } else {
        // A surviving thread still reads its descriptor, its module and the barrier: ownership
        // is dropped and all of it stays where it is until the process ends.
        static_cast<void>(g_vecPluginInfo.release());
        static_cast<void>(g_hPluginsInitialized.release());
        TraceWriteW(kLevelError, kCategoryVeMoHost,
                    L"Plugin-Verwaltung bleibt bestehen, da nicht alle Plugin-Threads beendet werden konnten.");
    }
    TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"nach delete g_vecPluginInfo");
    TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"delete g_hPluginsInitialized");
    g_hPluginsInitialized.reset();  // closes the events: no thread waits on them any more
    TraceWriteW(kLevelDetail, kCategoryVeMoHost, L"nach g_hPluginsInitialized");
    g_numActivePluginInfo = 0;
    g_numPluginInfo = 0;
}
