#include "VeMoHostPluginLib/PluginLoading.h"

#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoadPlan.h"
#include "common/EventLog.h"
#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

namespace {
constexpr wchar_t kReasonNoModule[] = L"BinaryName oder Path fehlt";
constexpr wchar_t kReasonNotLoadable[] = L"das Modul kann nicht geladen werden (siehe Trace)";
constexpr wchar_t kReasonNoEntryPoints[] = L"Initialize, Run oder Uninitialize wird nicht exportiert";

void ReportNotLoaded(const CPluginInfo& pi) {
    const wchar_t* reason = !pi.HasModulePath()                        ? kReasonNoModule
                            : pi.GetPluginHndl()                        ? kReasonNoEntryPoints
                                                                        : kReasonNotLoadable;
    vemo::eventlog::Report(VEMO_EVENT_PLUGIN_NOT_LOADED, {pi._name, pi._path + pi._binaryName, reason});
}
}  // namespace

void LoadPlugins(bool bLoadInSystemKontext, bool bLoadInPureMode) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"LoadPlugins", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"bLoadInSystemKontext <%d>", bLoadInSystemKontext ? 1 : 0);
    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"g_numActivePluginInfo <%d>", g_numActivePluginInfo);
    int menuPosition = 0;
    for (int32_t i = 0; i < g_numActivePluginInfo; ++i) {
        const size_t idx = static_cast<size_t>(i);
        bool setEventNow = true;
        if (g_hPluginsInitialized) {
            // Manual reset, not signalled: the plug-in's thread or this pass signals it.
            g_hPluginsInitialized[idx].reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        } else {
            TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"g_hPluginsInitialized == NULL");
        }
        CPluginInfo* pi = g_vecPluginInfo ? &g_vecPluginInfo[idx] : nullptr;
        if (!IsAlreadyLoaded(i)) {
            if (!pi) {
                TraceWriteW(kLevelWarning, kCategoryVeMoHost, L"pi == NULL");
            } else {
                TraceFormatW(kLevelInfo, kCategoryVeMoHost,
                             L"bLoadInSystemKontext <%d>, pi->RunInSystemContext() <%d>, bLoadInPureMode <%d>, "
                             L"pi->RunInPureMode() <%d>, Plugin <%s>",
                             bLoadInSystemKontext ? 1 : 0, pi->RunInSystemContext() ? 1 : 0, bLoadInPureMode ? 1 : 0,
                             pi->RunInPureMode() ? 1 : 0, pi->_name.c_str());
                if (IsForService(*pi, bLoadInSystemKontext, bLoadInPureMode)) {
                    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"Plugin <%s> wird geladen.", pi->_name.c_str());
                    pi->LoadPlugin();
                    if (!pi->_isLoaded) ReportNotLoaded(*pi);
                    setEventNow = pi->_type == CPluginInfo::kTypeListener || !pi->_initOk;
                    if (pi->_initOk) pi->_menuPosition = ++menuPosition;
                    TraceFormatW(kLevelInfo, kCategoryVeMoHost, L"setEventNow <%d>, Plugin <%s>", setEventNow ? 1 : 0,
                                 pi->_name.c_str());
                }
            }
        }
        if (g_hPluginsInitialized && setEventNow && g_hPluginsInitialized[idx]) {
            ::SetEvent(g_hPluginsInitialized[idx].get());
        }
    }
}
