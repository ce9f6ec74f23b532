#pragma once
// One thread per loaded plug-in, and the initialisation barrier they and the service's
// initialisation thread wait on.
#include <windows.h>

#include <atomic>
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
// How often a waiter that watches a stop flag looks at it.
constexpr DWORD kBarrierStopLookIntervalMs = 100;
// True when there were events to wait on, whether or not they all came in time. With a stop
// flag (the service's, or a plug-in's own) the wait also ends within one look interval of the
// flag being set, so a stop during the barrier does not wait out its 30 s.
bool WaitForPluginInitialization(const std::atomic<bool>* stopFlag = nullptr);
