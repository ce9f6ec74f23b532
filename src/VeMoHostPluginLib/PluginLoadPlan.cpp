#include "VeMoHostPluginLib/PluginLoadPlan.h"

#include <algorithm>

int32_t FindLoadedTwin(const CPluginInfo* descriptors, int32_t idx) {
    for (int32_t i = 0; descriptors && i < idx; ++i) {
        const CPluginInfo& earlier = descriptors[static_cast<size_t>(i)];
        if (earlier._isLoaded && descriptors[static_cast<size_t>(idx)].IsSamePlugin(earlier)) return i;
    }
    return -1;
}

bool IsForService(const CPluginInfo& pi, bool bLoadInSystemKontext, bool bLoadInPureMode) {
    return pi._runsInSystemContext == bLoadInSystemKontext && pi._runsInPureMode == bLoadInPureMode;
}

LoadPlan PlanLoad(const CPluginInfo* descriptors, int32_t idx, bool bLoadInSystemKontext, bool bLoadInPureMode) {
    const int32_t twin = FindLoadedTwin(descriptors, idx);
    if (twin >= 0) return {LoadDecision::kDuplicate, twin};
    const CPluginInfo& pi = descriptors[static_cast<size_t>(idx)];
    if (!IsForService(pi, bLoadInSystemKontext, bLoadInPureMode)) return {LoadDecision::kOtherService, -1};
    if (!pi.HasModulePath()) return {LoadDecision::kNoModulePath, -1};
    return {LoadDecision::kLoad, -1};
}

uint32_t LargestUnloadTime(const CPluginInfo* descriptors, int32_t count) {
    uint32_t timeOut = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
    for (int32_t i = 0; descriptors && i < count; ++i) {
        // Unsigned on purpose: a negative time from a file becomes the largest of all.
        timeOut = std::max(timeOut, static_cast<uint32_t>(descriptors[static_cast<size_t>(i)]._timeOutUnload));
    }
    return timeOut;
}
