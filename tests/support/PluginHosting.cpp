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
        unique_handle own;
        if (hostHandle) {
            ::DuplicateHandle(::GetCurrentProcess(), hostHandle, ::GetCurrentProcess(), own.put(), 0, FALSE,
                              DUPLICATE_SAME_ACCESS);
        }
        threads.push_back(std::move(own));
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
        pi._name = specs[i].name;
        pi._binaryName = specs[i].binary;
        pi._path = specs[i].path.empty() ? PluginDirectory() : specs[i].path;
        pi._initializeName = specs[i].initialize;
        pi._runName = specs[i].run;
        pi._uninitializeName = specs[i].uninitialize;
        pi._type = specs[i].listener ? CPluginInfo::kTypeListener : CPluginInfo::kTypeDll;
        pi._runsInSystemContext = specs[i].system;
        if (specs[i].timeoutUnload) pi._timeOutUnload = *specs[i].timeoutUnload;
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
