// Waits until the session's shell serves the desktop view, or a minute has passed. Wine starts
// its desktop process (explorer) only when a program asks for the desktop window, and explorer
// registers the view a while later; a test that launches through the shell before then would
// find no desktop and take the route without one.
#include <windows.h>
#include <exdisp.h>
#include <shlobj.h>

namespace {

constexpr DWORD kBoundMs = 60000;
constexpr DWORD kPollMs = 100;

bool DesktopViewAnswers() {
    IShellWindows* windows = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_ALL, IID_IShellWindows,
                                  reinterpret_cast<void**>(&windows)))) {
        return false;
    }
    VARIANT location;
    VARIANT root;
    ::VariantInit(&location);
    ::VariantInit(&root);
    V_VT(&location) = VT_I4;
    V_I4(&location) = CSIDL_DESKTOP;
    LONG window = 0;
    IDispatch* desktop = nullptr;
    const HRESULT hr = windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop);
    if (desktop) desktop->Release();
    windows->Release();
    return hr == S_OK;
}

}  // namespace

int main() {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
    ::GetDesktopWindow();
    const ULONGLONG deadline = ::GetTickCount64() + kBoundMs;
    bool ready = DesktopViewAnswers();
    while (!ready && ::GetTickCount64() < deadline) {
        ::Sleep(kPollMs);
        ready = DesktopViewAnswers();
    }
    ::CoUninitialize();
    return ready ? 0 : 1;
}
