#include "BasisLibs_MitTracing/ThreadControlLib/ShellExecuteFromExplorer.h"

#include <exdisp.h>
#include <servprov.h>

#include <exception>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"
#include "common/LateBoundApi.h"
#include "common/ProductIds.h"

using namespace vemo::tracing;

namespace ThreadControl {

namespace {

constexpr wchar_t kMethodExecuteProcessAsUser[] = L"ThreadControl::_ExecuteProcessAsUser";
constexpr wchar_t kMethodGetDesktopAutomationObject[] = L"ThreadControl::GetDesktopAutomationObject";
constexpr wchar_t kMethodFindDesktopFolderView[] = L"ThreadControl::FindDesktopFolderView";
constexpr int kLineExecuteProcessAsUser = 145;
constexpr int kLineGetDesktopAutomationObject = 85;
constexpr int kLineFindDesktopFolderView = 16;

constexpr wchar_t kMsgNotAbsolute[] =
    L"Der übergebene Dateiname wurde nicht absolut angegeben!Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgNoAutomationObject[] = L"GetDesktopAutomationObject() fehlgeschlagen!";
constexpr wchar_t kMsgGetApplicationFailed[] = L"get_Application() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgLaunching[] = L"Programm <%s> soll mit Parameter <%s> gestartet werden.";
constexpr wchar_t kEmptyArgumentText[] = L"(leer)";
constexpr wchar_t kMsgShellExecuteFailed[] = L"ShellExecute() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgNoDesktopView[] =
    L"FindDesktopFolderView() ist fehlgeschlagen! Möglicherweise (noch) keine Desktop-Instanz vorhanden?";
constexpr wchar_t kMsgGetItemObjectFailed[] = L"GetItemObject() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgQueryInterfaceFailed[] = L"QueryInterface() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgCoCreateInstanceFailed[] = L"CoCreateInstance() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgFindWindowFailed[] = L"FindWindowSW() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgQueryServiceFailed[] = L"QueryService() mit Fehler <%d> fehlgeschlagen!";
constexpr wchar_t kMsgQueryActiveViewFailed[] = L"QueryActiveShellView() mit Fehler <%d> fehlgeschlagen!";

// The identities are spelled out here rather than taken from the SDK's import library.
constexpr CLSID kClsidShellWindows = {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
constexpr IID kIidShellWindows = {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
constexpr IID kIidServiceProvider = {0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
constexpr GUID kSidTopLevelBrowser = {0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
constexpr IID kIidShellBrowser = {0x000214E2, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidShellView = {0x000214E3, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIidShellFolderViewDual = {0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
constexpr IID kIidShellDispatch2 = {0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

// In-process server and handler, local and remote server: wherever the user's shell serves it.
constexpr DWORD kShellWindowsClassContext = 0x17;
static_assert(kShellWindowsClassContext ==
              (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER));
// FindWindowSW: the desktop folder (CSIDL_DESKTOP) as location, the desktop window class, and a
// dispatch object wanted back.
constexpr LONG kDesktopLocation = 0;
constexpr int kShellWindowClassDesktop = 8;
constexpr int kFindOptionNeedDispatch = 1;
static_assert(kShellWindowClassDesktop == SWC_DESKTOP && kFindOptionNeedDispatch == SWFO_NEEDDISPATCH);
constexpr UINT kViewItemBackground = 0;
static_assert(kViewItemBackground == SVGIO_BACKGROUND);
// The show state handed to the shell with the launch.
constexpr LONG kLaunchShowState = 0;
constexpr wchar_t kEmptyText[] = L"";

// A COM failure inside an operation, carried to its catch-all like the other exceptions.
class ShellComError : public std::exception {
public:
    explicit ShellComError(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Error() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "shell automation error"; }

private:
    HRESULT m_hr;
};

// A null text gives a null BSTR, as the automation interfaces read an empty string.
vemo::unique_bstr MakeBstr(const wchar_t* pszText) {
    if (!pszText) return vemo::unique_bstr();
    vemo::unique_bstr text(vemo::late::SysAllocString(pszText));
    if (!text) throw ShellComError(E_OUTOFMEMORY);
    return text;
}

void SetBstrVariant(vemo::unique_variant& variant, const wchar_t* pszText) {
    vemo::unique_bstr text = MakeBstr(pszText);
    vemo::late::VariantClear(variant.get());
    V_VT(variant.get()) = VT_BSTR;
    V_BSTR(variant.get()) = text.release();
}

int AsDecimal(HRESULT hr) { return static_cast<int>(hr); }

bool FindDesktopFolderViewSteps(vemo::com_ptr<IShellView>& view) {
    const wchar_t* const category = _GetTraceCategory();
    vemo::com_ptr<IShellWindows> shellWindows;
    HRESULT hr = vemo::late::CoCreateInstance(kClsidShellWindows, nullptr, kShellWindowsClassContext, kIidShellWindows,
                                    shellWindows.put_void());
    if (hr != S_OK) {
        TraceFormatW(kLevelWarning, category, kMsgCoCreateInstanceFailed, AsDecimal(hr));
        return false;
    }

    vemo::unique_variant location;
    V_VT(location.get()) = VT_I4;
    V_I4(location.get()) = kDesktopLocation;
    vemo::unique_variant root;
    LONG window = 0;
    vemo::com_ptr<IDispatch> desktop;
    hr = shellWindows->FindWindowSW(location.get(), root.get(), kShellWindowClassDesktop, &window,
                                    kFindOptionNeedDispatch, desktop.put());
    // S_FALSE as well: no desktop window, which is the case while nobody is logged on.
    if (hr != S_OK) {
        TraceFormatW(kLevelWarning, category, kMsgFindWindowFailed, AsDecimal(hr));
        return false;
    }

    vemo::com_ptr<IServiceProvider> services;
    if (!desktop || desktop->QueryInterface(kIidServiceProvider, services.put_void()) != S_OK) return false;
    vemo::com_ptr<IShellBrowser> browser;
    hr = services->QueryService(kSidTopLevelBrowser, kIidShellBrowser, browser.put_void());
    if (hr != S_OK) {
        TraceFormatW(kLevelWarning, category, kMsgQueryServiceFailed, AsDecimal(hr));
        return false;
    }

    vemo::com_ptr<IShellView> activeView;
    hr = browser->QueryActiveShellView(activeView.put());
    if (hr != S_OK || !activeView) {
        TraceFormatW(kLevelWarning, category, kMsgQueryActiveViewFailed, AsDecimal(hr));
        return false;
    }
    vemo::com_ptr<IShellView> result;
    hr = activeView->QueryInterface(kIidShellView, result.put_void());
    if (hr != S_OK) {
        TraceFormatW(kLevelWarning, category, kMsgQueryInterfaceFailed, AsDecimal(hr));
        return false;
    }
    view = std::move(result);
    return true;
}

bool GetDesktopAutomationObjectSteps(vemo::com_ptr<IShellFolderViewDual>& view) {
    const wchar_t* const category = _GetTraceCategory();
    vemo::com_ptr<IShellView> shellView;
    if (!FindDesktopFolderView(shellView)) {
        TraceWriteW(kLevelWarning, category, kMsgNoDesktopView);
        return false;
    }
    vemo::com_ptr<IDispatch> background;
    HRESULT hr = shellView->GetItemObject(kViewItemBackground, kIidDispatch, background.put_void());
    if (hr != S_OK || !background) {
        TraceFormatW(kLevelError, category, kMsgGetItemObjectFailed, AsDecimal(hr));
        return false;
    }
    vemo::com_ptr<IShellFolderViewDual> result;
    hr = background->QueryInterface(kIidShellFolderViewDual, result.put_void());
    if (hr != S_OK) {
        TraceFormatW(kLevelError, category, kMsgQueryInterfaceFailed, AsDecimal(hr));
        return false;
    }
    view = std::move(result);
    return true;
}

bool ExecuteProcessAsUserSteps(const wchar_t* pszProgram, const wchar_t* pszParameters) {
    const wchar_t* const category = _GetTraceCategory();
    if (!_IsAbsolutePath(pszProgram)) {
        TraceWriteW(kLevelError, category, kMsgNotAbsolute);
        return false;
    }

    vemo::com_ptr<IShellFolderViewDual> view;
    if (!GetDesktopAutomationObject(view)) {
        TraceWriteW(kLevelError, category, kMsgNoAutomationObject);
        return false;
    }
    vemo::com_ptr<IDispatch> application;
    HRESULT hr = view->get_Application(application.put());
    if (hr != S_OK || !application) {
        TraceFormatW(kLevelError, category, kMsgGetApplicationFailed, AsDecimal(hr));
        return false;
    }

    TraceFormatW(kLevelInfo, category, kMsgLaunching, pszProgram ? pszProgram : kEmptyArgumentText,
                 pszParameters ? pszParameters : kEmptyArgumentText);

    vemo::com_ptr<IShellDispatch2> shell;
    if (application->QueryInterface(kIidShellDispatch2, shell.put_void()) != S_OK || !shell) return false;

    const vemo::unique_bstr file = MakeBstr(pszProgram);
    vemo::unique_variant arguments;
    SetBstrVariant(arguments, pszParameters ? pszParameters : kEmptyText);
    vemo::unique_variant directory;
    SetBstrVariant(directory, kEmptyText);
    vemo::unique_variant operation;  // empty: the shell's default verb
    SetBstrVariant(operation, kEmptyText);
    vemo::unique_variant show;
    V_VT(show.get()) = VT_I4;
    V_I4(show.get()) = kLaunchShowState;

    // The variants go by value and stay owned here; the shell copies what it keeps.
    hr = shell->ShellExecute(file.get(), *arguments.get(), *directory.get(), *operation.get(), *show.get());
    if (hr != S_OK) {
        TraceFormatW(kLevelError, category, kMsgShellExecuteFailed, AsDecimal(hr));
        return false;
    }
    return true;
}

}  // namespace

bool FindDesktopFolderView(vemo::com_ptr<IShellView>& view) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodFindDesktopFolderView, kLineFindDesktopFolderView);
    try {
        return FindDesktopFolderViewSteps(view);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodFindDesktopFolderView);
        return false;
    }
}

bool GetDesktopAutomationObject(vemo::com_ptr<IShellFolderViewDual>& view) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodGetDesktopAutomationObject,
                 kLineGetDesktopAutomationObject);
    try {
        return GetDesktopAutomationObjectSteps(view);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodGetDesktopAutomationObject);
        return false;
    }
}

bool _ExecuteProcessAsUser(const wchar_t* pszProgram, const wchar_t* pszParameters) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodExecuteProcessAsUser, kLineExecuteProcessAsUser);
    try {
        return ExecuteProcessAsUserSteps(pszProgram, pszParameters);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodExecuteProcessAsUser);
        return false;
    }
}

}  // namespace ThreadControl
