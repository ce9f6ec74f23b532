#include "PluginHosting.h"

#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "VeMoHostPluginLib/PluginThreads.h"

namespace vemo::test {

namespace {
std::vector<unique_handle> StartThreads() {
    HostPlugins();
    std::vector<unique_handle> threads;
    for (int32_t i = 0; g_vecPluginInfo && i < g_numActivePluginInfo; ++i) {
        const HANDLE hostHandle = g_vecPluginInfo[static_cast<size_t>(i)]._hThread.get();
        unique_handle& own = threads.emplace_back();
        if (hostHandle) ::DuplicateHandle(::GetCurrentProcess(), hostHandle, ::GetCurrentProcess(), own.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    return threads;
}
}  // namespace

std::vector<unique_handle> HostDescribed(const std::vector<PluginSpec>& specs) {
    const size_t n = specs.size();
    g_vecPluginInfo = std::make_unique<CPluginInfo[]>(n);
    MakeBarrier(n);
    g_numPluginInfo = g_numActivePluginInfo = static_cast<int32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        CPluginInfo& pi = g_vecPluginInfo[i];
        const PluginSpec& spec = specs[i];
        pi._name = spec.name;
        pi._binaryName = spec.binary;
        pi._path = spec.path.empty() ? PluginDirectory() : spec.path;
        pi._initializeName = spec.initialize;
        pi._runName = spec.run;
        pi._uninitializeName = spec.uninitialize;
        pi._type = spec.listener ? CPluginInfo::kTypeListener : CPluginInfo::kTypeDll;
        pi._runsInSystemContext = spec.system;
        if (spec.timeoutUnload) pi._timeOutUnload = *spec.timeoutUnload;
    }
    LoadPlugins(true, false);
    return StartThreads();
}

std::vector<unique_handle> HostConfigured(const std::wstring& configFile, const std::vector<PluginSpec>& specs) {
    if (!WritePluginConfiguration(configFile, specs)) return {};
    GetPluginData(false);
    return StartThreads();
}

DWORD ExitCodeAfterEnd(HANDLE thread, DWORD timeoutMs) {
    if (!thread || ::WaitForSingleObject(thread, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeThread(thread, &code);
    return code;
}

}  // namespace vemo::test
