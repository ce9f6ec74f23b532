#pragma once
// One thread per loaded plug-in, and the initialisation barrier they and the service's
// initialisation thread wait on.
#include <windows.h>

#include <cstdint>

#include "VeMoHostIntLib/PluginInfo.h"

// Exit code of a plug-in thread that an exception ended.
constexpr DWORD kPluginThreadExceptionExitCode = 4711;
// The barrier's time-out for each waiter.
constexpr DWORD kPluginInitializationTimeoutMs = 30000;
// Reserved, not committed, per plug-in thread.
constexpr SIZE_T kPluginThreadStackReservation = 256000;

void HostPlugins();
// How many plug-in threads HostPlugins started.
int32_t CountHostedPlugins();
DWORD WINAPI PluginThreadProcedure(LPVOID pPluginInfo);
int32_t HostPluginDll(CPluginInfo* pi);
// True when there were events to wait on, whether or not they all came in time.
bool WaitForPluginInitialization();
