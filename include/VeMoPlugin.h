/* The contract between the VeMo host service and a plug-in module.
 *
 * A plug-in is a DLL that exports, by plain (undecorated) name and with the platform's standard
 * calling convention (WINAPI), the entry points below. Its configuration file may name other
 * exports for each role. The host calls, in the plug-in's own thread:
 *
 *   1. Initialize()          once; return true when the plug-in is ready. On false nothing else
 *                            is called.
 *   2. Run(pStopFlag)        once all plug-ins are ready (or after at most 30 s). Poll *pStopFlag:
 *                            it turns true (1) when the service stops, and Run must then return.
 *                            Return 0 for a normal end.
 *   3. Uninitialize()        once, after Run returned ("Unitialize" is accepted as well).
 *
 * A plug-in that has not returned from Run within its unload time ("timeoutUnload" in its
 * configuration file, default 2000 ms; the host waits for the largest of all plug-ins) is
 * terminated and its module is freed. An exception or a processor fault that leaves an entry
 * point ends that plug-in only. "RunMenu" may be exported; the service resolves but never calls it.
 */
#ifndef VEMO_PLUGIN_H
#define VEMO_PLUGIN_H

#include <windows.h>

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#define VEMO_PLUGIN_INITIALIZE_NAME "Initialize"
#define VEMO_PLUGIN_RUN_NAME "Run"
#define VEMO_PLUGIN_UNINITIALIZE_NAME "Uninitialize"
#define VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME "Unitialize"
#define VEMO_PLUGIN_RUN_MENU_NAME "RunMenu"
#define VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS 2000

/* The stop flag is one byte that the host writes once, from another thread: read it through
 * this volatile pointer on every poll. */
typedef const volatile bool* VemoPluginStopFlag;

typedef bool(WINAPI* PFN_VEMO_PLUGIN_INITIALIZE)(void);
typedef int32_t(WINAPI* PFN_VEMO_PLUGIN_RUN)(VemoPluginStopFlag pStopFlag);
typedef void(WINAPI* PFN_VEMO_PLUGIN_UNINITIALIZE)(void);
typedef void(WINAPI* PFN_VEMO_PLUGIN_RUN_MENU)(void);

#ifdef __cplusplus
}
#endif

#endif /* VEMO_PLUGIN_H */
