#pragma once
// The loading rules as functions of the descriptors alone: the service's loading pass asks them
// one by one between its trace lines, and the plug-in check tool asks them through PlanLoad, so
// the tool's verdicts are the service's.
#include <cstdint>

#include "VeMoHostIntLib/PluginInfo.h"

// The host loads its plug-ins in the system context; only the pure-mode flag tells the services apart.
inline constexpr bool kServiceLoadsInSystemContext = true;

enum class LoadDecision { kLoad, kDuplicate, kOtherService, kNoModulePath };

struct LoadPlan {
    LoadDecision decision;
    int32_t twin;  // the earlier loaded descriptor of the same name, or -1
};

// The first of descriptors[0..idx) that is loaded and names the same plug-in, or -1.
int32_t FindLoadedTwin(const CPluginInfo* descriptors, int32_t idx);
// Whether the service with these flags loads the plug-in at all.
bool IsForService(const CPluginInfo& pi, bool bLoadInSystemKontext, bool bLoadInPureMode);
// The decision for descriptor idx, given which earlier descriptors are loaded: duplicates
// first, then context and mode, then the module path.
LoadPlan PlanLoad(const CPluginInfo* descriptors, int32_t idx, bool bLoadInSystemKontext, bool bLoadInPureMode);
// The largest unload time of the first count descriptors, at least the default.
uint32_t LargestUnloadTime(const CPluginInfo* descriptors, int32_t count);
