#include "VeMoHostPluginLib/PluginHostState.h"

#include "VeMoPlugin.h"

std::unique_ptr<CPluginInfo[]> g_vecPluginInfo;
int32_t g_numPluginInfo = 0;
int32_t g_numActivePluginInfo = 0;
std::unique_ptr<vemo::unique_handle[]> g_hPluginsInitialized;
uint32_t g_timeOutInMs = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;

std::atomic<uint64_t> g_barrierGeneration{0};

void MakeBarrier(size_t count) {
    g_hPluginsInitialized.reset();
    g_hPluginsInitialized = std::make_unique<vemo::unique_handle[]>(count);
    ++g_barrierGeneration;
}
