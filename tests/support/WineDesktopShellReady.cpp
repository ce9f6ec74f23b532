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

int main() {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    ::GetDesktopWindow();
    HRESULT created = E_FAIL, found = E_FAIL;
    for (const ULONGLONG deadline = ::GetTickCount64() + 15000; found != S_OK && ::GetTickCount64() < deadline;) {
        vemo::com_ptr<IShellWindows> windows;
        created = ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows, windows.put_void());
        if (SUCCEEDED(created)) {
            vemo::unique_variant location, root;
            V_VT(location.get()) = VT_I4;
            V_I4(location.get()) = CSIDL_DESKTOP;
            LONG window = 0;
            vemo::com_ptr<IDispatch> desktop;
            found = windows->FindWindowSW(location.get(), root.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.put());
        }
        // Waits while handling this thread's messages: a broadcast the starting desktop sends
        // must not wait for us.
        for (const ULONGLONG pause = ::GetTickCount64() + 100; found != S_OK && ::GetTickCount64() < pause;) {
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
        }
    }
    ::CoUninitialize();
    if (found == S_OK) {
        const vemo::unique_handle keeper(::OpenEventW(EVENT_MODIFY_STATE, FALSE, vemo::test::kDesktopReadyEvent));
        if (keeper) ::SetEvent(keeper.get());
        return 0;
    }
    std::fprintf(stderr, "the shell serves no desktop view: CoCreateInstance 0x%08lX, FindWindowSW 0x%08lX\n",
                 static_cast<unsigned long>(created), static_cast<unsigned long>(found));
    return 1;
}
