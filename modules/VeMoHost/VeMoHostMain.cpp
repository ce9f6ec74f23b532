// The user-session host: one hidden top-level window and its message loop, so that closing the
// window, a quit message or the end of the user's session ends it cleanly. The service decides
// whether another instance is needed, so a second one is not refused here.
#include <windows.h>

#include <cwchar>

#include "common/DllSearch.h"
#include "common/HostWindow.h"
#include "common/UniqueHandle.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "common/TraceCategories.h"
#include "tracing/Trace.h"

namespace {

constexpr wchar_t kWindowTitle[] = L"VeMoHost";
constexpr wchar_t kMsgStarted[] = L"VeMoHost gestartet, pid <%d>";
constexpr wchar_t kMsgNoWindow[] = L"VeMoHost: Fenster konnte nicht erzeugt werden, Fehler <%d>!";
constexpr int kExitFailure = 1;
// "VeMoHost.exe /close": ends every running host of this session, as the installer needs before
// it replaces or removes the program's files.
constexpr wchar_t kCloseCommand[] = L"/close";
constexpr DWORD kCloseWaitMs = 10000;

// Asks each host window to close and waits, bounded, until its process has ended.
int CloseRunningHosts() {
    while (HWND window = ::FindWindowW(vemo::kHostWindowClass, nullptr)) {
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        const vemo::unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        if (!process || ::WaitForSingleObject(process.get(), kCloseWaitMs) != WAIT_OBJECT_0) return kExitFailure;
    }
    return 0;
}

// Called by the system: only plain API calls here, nothing that throws.
LRESULT CALLBACK HostWindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    switch (message) {
        case WM_CLOSE:
            ::DestroyWindow(hWnd);
            return 0;
        case WM_ENDSESSION:
            // The session ends: leave now, the process may not get another message.
            if (wParam) ::DestroyWindow(hWnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR pszCmdLine, int) {
    vemo::RemoveCurrentDirectoryFromDllSearch();
    if (pszCmdLine && _wcsicmp(pszCmdLine, kCloseCommand) == 0) return CloseRunningHosts();
    wcsncpy(g_szExceptionTranslatorCategory, vemo::kCategoryVeMoHost, kExceptionTranslatorCategoryChars - 1);
    InstallProcessCrashHandlers(&ThreadControl::TC_StartProcessAsyncA);
    TraceFormatW(vemo::tracing::kLevelInfo, vemo::kCategoryVeMoHost, kMsgStarted,
                 static_cast<int>(::GetCurrentProcessId()));

    WNDCLASSEXW windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &HostWindowProc;
    windowClass.hInstance = hInstance;
    windowClass.lpszClassName = vemo::kHostWindowClass;
    // Never shown, but top-level: only such windows receive WM_ENDSESSION.
    if (!::RegisterClassExW(&windowClass) ||
        !::CreateWindowExW(0, vemo::kHostWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr)) {
        TraceFormatW(vemo::tracing::kLevelError, vemo::kCategoryVeMoHost, kMsgNoWindow,
                     static_cast<int>(::GetLastError()));
        return kExitFailure;
    }

    MSG msg;
    BOOL result;
    while ((result = ::GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return result == 0 ? static_cast<int>(msg.wParam) : kExitFailure;
}
