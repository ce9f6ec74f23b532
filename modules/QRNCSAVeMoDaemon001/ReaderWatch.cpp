#include "ReaderWatch.h"

#include <windows.h>
#include <winscard.h>

#include <atomic>

#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "common/UniqueHandle.h"

namespace vemo::daemonmodule {
namespace {

using unique_scardcontext = unique_any<SCARDCONTEXT, &::SCardReleaseContext>;

// Reader arrivals and removals are reported on this pseudo reader (Windows 7 and later).
constexpr wchar_t kPnpNotificationReader[] = L"\\\\?PnP?\\Notification";
constexpr DWORD kPnpReaderCount = 1;
// An empty reader list is one or two terminators; any reader name makes it longer.
constexpr DWORD kEmptyReaderListChars = 2;

}  // namespace

bool StopRequested(VemoDaemonStopFlag pStopFlag) {
    const bool stop = *pStopFlag;
    std::atomic_thread_fence(std::memory_order_acquire);
    return stop;
}

int32_t WatchReaders(VemoDaemonStopFlag pStopFlag) {
    unique_scardcontext context;
    const LONG established = ::SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context.put());
    if (established != SCARD_S_SUCCESS) return static_cast<int32_t>(established);

    SCARD_READERSTATEW pnp = {};
    pnp.szReader = kPnpNotificationReader;
    pnp.dwCurrentState = SCARD_STATE_UNAWARE;
    while (!StopRequested(pStopFlag)) {
        DWORD readerChars = 0;
        const LONG listed = ::SCardListReadersW(context.get(), nullptr, nullptr, &readerChars);
        if (listed == SCARD_S_SUCCESS && readerChars > kEmptyReaderListChars) return VEMO_DAEMON_HOST_NEEDED;
        if (listed != SCARD_S_SUCCESS && listed != static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
            return static_cast<int32_t>(listed);
        }
        // Short waits keep the stop flag in view; a change means a reader came or went: list again.
        const LONG changed = ::SCardGetStatusChangeW(context.get(), kStopPollMs, &pnp, kPnpReaderCount);
        if (changed == SCARD_S_SUCCESS) {
            pnp.dwCurrentState = pnp.dwEventState;
        } else if (changed != static_cast<LONG>(SCARD_E_TIMEOUT)) {
            // Without arrival notices the list alone still finds a new reader.
            ::Sleep(kStopPollMs);
        }
    }
    return VEMO_DAEMON_NO_ANSWER;
}

}  // namespace vemo::daemonmodule
