#pragma once
// Watching the card readers through PC/SC.
#include <cstdint>

#include "VeMoDaemon.h"

namespace vemo::daemonmodule {

// True once the host asked the module to end.
bool StopRequested(VemoDaemonStopFlag pStopFlag);

// Blocks until a card reader is attached (VEMO_DAEMON_HOST_NEEDED), the stop flag is set
// (VEMO_DAEMON_NO_ANSWER) or PC/SC fails (its SCARD_* code).
int32_t WatchReaders(VemoDaemonStopFlag pStopFlag);

}  // namespace vemo::daemonmodule
