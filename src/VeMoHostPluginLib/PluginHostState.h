#pragma once
// The hosting state of the running service, owned in one place: the descriptors with their
// modules and threads, the initialisation barrier and the unload time-out. Discovery fills it,
// the loading pass and the plug-in threads work on it, and the unload sequence ends it. It is
// written only on the initialisation thread before any plug-in thread starts, and by the stop
// after every thread has ended or been terminated.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "VeMoHostIntLib/PluginInfo.h"
#include "common/UniqueHandle.h"

// All descriptors; the first g_numActivePluginInfo were filled by the reader.
extern std::unique_ptr<CPluginInfo[]> g_vecPluginInfo;
extern int32_t g_numPluginInfo;
extern int32_t g_numActivePluginInfo;
// One initialisation event per active descriptor, same index.
extern std::unique_ptr<vemo::unique_handle[]> g_hPluginsInitialized;
// Counts the barriers made: a later array may reuse an earlier one's address.
extern std::atomic<uint64_t> g_barrierGeneration;
// A new barrier of count empty slots in g_hPluginsInitialized.
void MakeBarrier(size_t count);
// The overall unload time-out of the last unload sequence.
extern uint32_t g_timeOutInMs;
