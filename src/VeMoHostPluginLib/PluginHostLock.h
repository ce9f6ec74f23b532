#pragma once
// Keeps the start-up's plug-in passes (discovery, loading, starting the threads, the barrier)
// and the unload sequence apart: a stop that gave up waiting for the start-up unloads only after
// the start-up has left the process-wide arrays alone.
#include <mutex>

inline std::mutex& PluginHostMutex() {
    static std::mutex mutex;
    return mutex;
}
