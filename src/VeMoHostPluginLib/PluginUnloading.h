#pragma once
// The end of every plug-in at service stop: ask, wait up to the largest unload time, terminate
// what still runs, free each module once, and give up the process-wide arrays.
#include <windows.h>

#include <cstdint>

// The interval between two looks at the plug-in threads.
constexpr int32_t kUnloadLookIntervalMs = 300;

void UnloadPlugins();
uint32_t GetPluginsUnloadTime();
bool HaveAllPluginsEnded();
