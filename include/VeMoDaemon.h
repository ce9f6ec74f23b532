/* The contract between the VeMo host service and the daemon module QRNCSAVeMoDaemon001.dll.
 *
 * The module lies in the directory of the host service's executable and exports, by plain
 * (undecorated) name and with the platform's standard calling convention (WINAPI):
 *
 *   1. VeMoDaemonInit(1)               0 when the module is ready; anything else is a failure,
 *                                      and then nothing else is called.
 *   2. VeMoDaemonCheckLeser(pStopFlag) blocks while the module watches the card readers.
 *                                      0: the user-session host is needed; 12: ended without an
 *                                      answer (the stop flag was set); anything else: an error
 *                                      code. It must return soon after *pStopFlag turns true.
 *   3. VeMoDaemonExit()                once after every check, before the module is freed; its
 *                                      result is ignored.
 *
 * The module is loaded anew for every round, so it keeps no state from one load to the next.
 */
#ifndef VEMO_DAEMON_H
#define VEMO_DAEMON_H

#include <windows.h>

#ifdef __cplusplus
#include <cstdint>
extern "C" {
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#define VEMO_DAEMON_MODULE_NAME L"QRNCSAVeMoDaemon001.dll"
#define VEMO_DAEMON_INIT_NAME "VeMoDaemonInit"
#define VEMO_DAEMON_CHECK_LESER_NAME "VeMoDaemonCheckLeser"
#define VEMO_DAEMON_EXIT_NAME "VeMoDaemonExit"

/* The only argument the host passes to VeMoDaemonInit: the version of this contract. */
#define VEMO_DAEMON_INIT_ARGUMENT 1
#define VEMO_DAEMON_INIT_OK 0

#define VEMO_DAEMON_HOST_NEEDED 0
#define VEMO_DAEMON_NO_ANSWER 12

/* One byte that the host writes once, from another thread: read it through this volatile
 * pointer on every poll. */
typedef const volatile bool* VemoDaemonStopFlag;

typedef int32_t(WINAPI* PFN_VEMO_DAEMON_INIT)(int32_t iInterfaceVersion);
typedef int32_t(WINAPI* PFN_VEMO_DAEMON_CHECK_LESER)(VemoDaemonStopFlag pStopFlag);
typedef int32_t(WINAPI* PFN_VEMO_DAEMON_EXIT)(void);

#ifdef __cplusplus
}
#endif

#endif /* VEMO_DAEMON_H */
