// Waits until the session's shell serves the desktop view, or 15 s have passed. Wine starts
// its desktop process (explorer) only when a program asks for the desktop window, and explorer
// registers the view a while later; a test that launches through the shell before then would
// find no desktop and take the route without one. Run once the session's services answer: an
// explorer started while they are still coming up may never register the view.
#include <windows.h>
#include <exdisp.h>
#include <shlobj.h>

#include <cstdio>

#include "SessionNames.h"
#include "common/UniqueHandle.h"

namespace {

constexpr DWORD kBoundMs = 15000;
constexpr DWORD kPollMs = 100;

HRESULT g_lastCreate = E_FAIL;
HRESULT g_lastFind = E_FAIL;

bool DesktopViewAnswers() {
    vemo::com_ptr<IShellWindows> windows;
    g_lastCreate = ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
    if (FAILED(g_lastCreate)) return false;
    vemo::unique_variant location;
    vemo::unique_variant root;
    V_VT(location.get()) = VT_I4;
    V_I4(location.get()) = CSIDL_DESKTOP;
    LONG window = 0;
    vemo::com_ptr<IDispatch> desktop;
    g_lastFind = windows->FindWindowSW(location.get(), root.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                       desktop.put());
    return g_lastFind == S_OK;
}

// Waits while handling this thread's messages: a broadcast the starting desktop sends must not
// wait for us.
void PumpFor(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    }
}

}  // namespace

int main() {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    ::GetDesktopWindow();
    const ULONGLONG deadline = ::GetTickCount64() + kBoundMs;
    bool ready = DesktopViewAnswers();
    while (!ready && ::GetTickCount64() < deadline) {
        PumpFor(kPollMs);
        ready = DesktopViewAnswers();
    }
    ::CoUninitialize();
    if (ready) {
        const vemo::unique_handle keeper(::OpenEventW(EVENT_MODIFY_STATE, FALSE, vemo::test::kDesktopReadyEvent));
        if (keeper) ::SetEvent(keeper.get());
        return 0;
    }
    std::fprintf(stderr, "the shell serves no desktop view: CoCreateInstance 0x%08lX, FindWindowSW 0x%08lX\n",
                 static_cast<unsigned long>(g_lastCreate), static_cast<unsigned long>(g_lastFind));
    return 1;
}
