#pragma once
// Hosting test plug-ins from specs the way the initialisation thread does.
#include <windows.h>

#include <vector>

#include "TestSupport.h"

namespace vemo::test {

// Describes the specs directly (no discovery), loads them in the system context and starts their
// threads. Returns a handle of its own to every thread, in array order, so exit codes can still
// be read after the unload sequence closed the host's handles.
std::vector<unique_handle> HostDescribed(const std::vector<PluginSpec>& specs);
// Writes the specs as the configuration file, then discovery, loading and threads.
std::vector<unique_handle> HostConfigured(const std::wstring& configFile, const std::vector<PluginSpec>& specs);
// The thread's exit code once it ended; STILL_ACTIVE when it does not end in time.
DWORD ExitCodeAfterEnd(HANDLE thread, DWORD timeoutMs);

}  // namespace vemo::test
