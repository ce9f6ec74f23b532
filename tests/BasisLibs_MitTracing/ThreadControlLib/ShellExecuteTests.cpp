// Start as the desktop user through the shell, and the user-session host VeMoHost.exe it starts.
// The host lies in the common bin folder beside the real trace module, so its start line lands
// in the configured trace file; the tests read that file from the size it had before the start.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <iterator>
#include <string>
#include <thread>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "QnUmTraceSystem001/TraceSettings.h"
#include "TestSupport.h"
#include "ThreadControlTraceTest.h"
#include "common/HostWindow.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"

using vemo::test::Latin1;
namespace tracemodule = vemo::tracemodule;

namespace {

constexpr wchar_t kHostRelativePath[] = L"..\\VeMoHost.exe";
constexpr wchar_t kHostName[] = L"VemoHost.exe";
constexpr wchar_t kRelativeProgram[] = L"VeMoHost.exe";
constexpr DWORD kBoundMs = 30000;
constexpr wchar_t kUncProgram[] = L"\\\\vemo-kein-server.invalid\\freigabe\\VeMo\\VeMoHost.exe";
constexpr wchar_t kHostLineFormat[] = L"\t8\tVeMoHost\tVeMoHost gestartet, pid <%d>\r\n";

constexpr char kMsgNotAbsolute[] =
    "Der übergebene Dateiname wurde nicht absolut angegeben!Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgLaunchingFormat[] = L"Programm <%s> soll mit Parameter <%s> gestartet werden.";
constexpr wchar_t kEmptyArgument[] = L"(leer)";
// Wine's shell answers a launch that fails with S_FALSE; the Windows shell reports it in a dialog.
constexpr char kMsgWineLaunchFailed[] = "ShellExecute() mit Fehler <1> fehlgeschlagen!";
constexpr char kScopePublic[] = "---> Beginn: ThreadControl::TC_ExecuteProcessAsUserW (";
constexpr char kScopeInternal[] = "---> Beginn: ThreadControl::_ExecuteProcessAsUser (";
constexpr char kScopeFindView[] = "---> Beginn: ThreadControl::FindDesktopFolderView (";

using vemo::test::RunningUnderWine;

std::wstring HostPath() {
    const std::wstring relative = vemo::test::ExecutableDirectory() + kHostRelativePath;
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : relative;
}

// The file the real trace module writes: the configured one, else its default.
std::wstring TraceFilePath() {
    vemo::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, tracemodule::kRegistryKey, 0, KEY_READ | tracemodule::kRegistryView,
                        key.put()) == ERROR_SUCCESS) {
        wchar_t value[MAX_PATH] = {};
        DWORD bytes = sizeof(value);
        if (::RegGetValueW(key.get(), nullptr, tracemodule::kValueTraceFile, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ,
                           nullptr, value, &bytes) == ERROR_SUCCESS &&
            value[0] != L'\0') {
            return value;
        }
    }
    vemo::unique_cotaskmem folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr,
                                      reinterpret_cast<PWSTR*>(folder.put())))) {
        return std::wstring();
    }
    return std::wstring(static_cast<const wchar_t*>(folder.get())) + L"\\" +
           tracemodule::kDefaultTraceFileBelowProgramData;
}

size_t FileSize(const std::wstring& path) { return vemo::test::ReadFileBytes(path).size(); }

::testing::AssertionResult WaitForHostLine(const std::wstring& traceFile, size_t from, DWORD processId) {
    const std::string line = Latin1(vemo::FormatW(kHostLineFormat, static_cast<int>(processId)));
    const bool found = vemo::test::WaitFor(
        [&] {
            const std::string bytes = vemo::test::ReadFileBytes(traceFile);
            return bytes.size() > from && bytes.find(line, from) != std::string::npos;
        },
        kBoundMs);
    if (found) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no start line of pid " << processId << " in " << Latin1(traceFile);
}

struct WindowSearch {
    DWORD processId;
    HWND window;
};

BOOL CALLBACK MatchProcessWindow(HWND window, LPARAM context) noexcept {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) return TRUE;
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, static_cast<int>(std::size(className)));
    if (std::wcscmp(className, vemo::kHostWindowClass) != 0) return TRUE;
    search->window = window;
    return FALSE;
}

HWND TopLevelWindowOf(DWORD processId) {
    WindowSearch search{processId, nullptr};
    ::EnumWindows(&MatchProcessWindow, reinterpret_cast<LPARAM>(&search));
    return search.window;
}

// A host this test started: ended by a message in the test, terminated here if it is still there.
class HostProcess {
public:
    explicit HostProcess(DWORD processId)
        : m_id(processId),
          m_process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                  processId)) {}
    ~HostProcess() {
        if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.get(), 1);
            ::WaitForSingleObject(m_process.get(), kBoundMs);
        }
    }
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    bool valid() const { return m_process.is_valid(); }
    DWORD id() const { return m_id; }

    ::testing::AssertionResult EndsOn(UINT message, WPARAM wParam) const {
        HWND window = nullptr;
        if (!vemo::test::WaitFor([&] { return (window = TopLevelWindowOf(m_id)) != nullptr; }, kBoundMs)) {
            return ::testing::AssertionFailure() << "host " << m_id << " shows no top-level window";
        }
        if (::IsWindowVisible(window)) return ::testing::AssertionFailure() << "the host's window is visible";
        if (!::PostMessageW(window, message, wParam, 0)) return ::testing::AssertionFailure() << "post failed";
        if (::WaitForSingleObject(m_process.get(), kBoundMs) != WAIT_OBJECT_0) {
            return ::testing::AssertionFailure() << "host " << m_id << " still runs after message " << message;
        }
        DWORD exitCode = STILL_ACTIVE;
        ::GetExitCodeProcess(m_process.get(), &exitCode);
        if (exitCode != 0) return ::testing::AssertionFailure() << "host ended with " << exitCode;
        return ::testing::AssertionSuccess();
    }

private:
    DWORD m_id;
    vemo::unique_handle m_process;
};

// A plain start with the default startup record; the id, or 0.
DWORD StartDirectly(const std::wstring& program) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info)) {
        return 0;
    }
    const vemo::unique_handle process(info.hProcess), thread(info.hThread);
    return info.dwProcessId;
}

class ThreadControlShell : public vemo::test::ThreadControlTraceTest {
protected:
    bool HostRunning(DWORD& processId) const {
        return ThreadControl::TC_FindProcessInConsoleSessionW(kHostName, &processId);
    }
};

TEST_F(ThreadControlShell, PathsWithoutDriveOrDirectoryAreRejectedBeforeTheShellIsAsked) {
    const wchar_t* const programs[] = {kRelativeProgram, L"VeMo\\VeMoHost.exe", L"C:VeMoHost.exe", L"", nullptr};
    for (const wchar_t* program : programs) {
        recorder.Reset();
        EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(program, nullptr)) << Latin1(program ? program : L"null");
        EXPECT_EQ(1u, Count(2, kMsgNotAbsolute));
        EXPECT_EQ(1u, Texts(2).size());
        EXPECT_EQ(0u, CountStartingWith(16, kScopeFindView)) << "the shell was asked";
    }
    const auto scopes = Texts(16);
    ASSERT_GE(scopes.size(), 2u);
    EXPECT_TRUE(vemo::test::StartsWith(scopes[0], kScopePublic)) << scopes[0];
    EXPECT_TRUE(vemo::test::StartsWith(scopes[1], kScopeInternal)) << scopes[1];
}

// The call initialises COM for itself and leaves the caller's apartment, or none, as it found it.
TEST_F(ThreadControlShell, TheCallersComStateIsLeftAsItWas) {
    struct Case {
        bool initialise;
        DWORD model;
        HRESULT afterwards;  // what initialising once more then answers
    };
    const Case cases[] = {
        {false, COINIT_APARTMENTTHREADED, S_OK},
        {true, COINIT_APARTMENTTHREADED, S_FALSE},
        {true, COINIT_MULTITHREADED, S_FALSE},
    };
    for (const Case& c : cases) {
        HRESULT afterwards = E_UNEXPECTED;
        bool result = true;
        // A thread of its own, so that neither the main thread's COM nor an earlier case counts.
        std::thread([&] {
            const HRESULT before = c.initialise ? ::CoInitializeEx(nullptr, c.model) : E_UNEXPECTED;
            result = ThreadControl::TC_ExecuteProcessAsUserW(kRelativeProgram, nullptr);
            afterwards = ::CoInitializeEx(nullptr, c.model);
            if (SUCCEEDED(afterwards)) ::CoUninitialize();
            if (c.initialise && SUCCEEDED(before)) ::CoUninitialize();
        }).join();
        EXPECT_FALSE(result);
        EXPECT_EQ(c.afterwards, afterwards) << "initialised before: " << c.initialise << ", model " << c.model;
    }
}

TEST_F(ThreadControlShell, AUncPathIsHandedToTheShell) {
    EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(kUncProgram, nullptr));
    EXPECT_EQ(0u, Count(2, kMsgNotAbsolute));
    EXPECT_EQ(1u, CountStartingWith(16, kScopeFindView));
    if (RunningUnderWine()) {
        // Wine serves the desktop view without a display, so the launch itself is what fails.
        EXPECT_EQ(1u, Count(8, Latin1(vemo::FormatW(kMsgLaunchingFormat, kUncProgram, kEmptyArgument))))
            << Lines(4);
        EXPECT_EQ(1u, Count(2, kMsgWineLaunchFailed)) << Lines(2);
    }
}

TEST_F(ThreadControlShell, TheHostStartedAsDesktopUserIsFoundWritesItsLineAndEndsOnClose) {
    DWORD processId = 0;
    ASSERT_FALSE(HostRunning(processId)) << "a host of an earlier run is still there: " << processId;
    const std::wstring host = HostPath();
    const std::wstring traceFile = TraceFilePath();
    const size_t traceSize = FileSize(traceFile);

    recorder.Reset();
    const bool viaShell = ThreadControl::TC_ExecuteProcessAsUserW(host.c_str(), nullptr);
    if (viaShell) {
        EXPECT_EQ(1u, Count(8, Latin1(vemo::FormatW(kMsgLaunchingFormat, host.c_str(), kEmptyArgument))));
    } else {
        // Without a desktop the host is started hidden in the caller's session, as the service does.
        STARTUPINFOW hidden;
        ZeroMemory(&hidden, sizeof(hidden));
        hidden.cb = sizeof(hidden);
        hidden.dwFlags = STARTF_USESHOWWINDOW;
        hidden.wShowWindow = SW_HIDE;
        ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(host.c_str(), L"", &hidden));
    }
    // Wine's explorer serves the desktop view even without a display: the shell route works there.
    if (RunningUnderWine()) {
        EXPECT_TRUE(viaShell) << Lines(4);
    }

    ASSERT_TRUE(vemo::test::WaitFor([&] { return HostRunning(processId); }, kBoundMs));
    const HostProcess started(processId);
    ASSERT_TRUE(started.valid());
    EXPECT_TRUE(WaitForHostLine(traceFile, traceSize, processId));
    EXPECT_TRUE(started.EndsOn(WM_CLOSE, 0));
    EXPECT_FALSE(HostRunning(processId));
}

TEST_F(ThreadControlShell, ASecondHostRunsBesideTheFirstAndEachEndsOnSessionEndOrQuit) {
    const std::wstring host = HostPath();
    const std::wstring traceFile = TraceFilePath();
    const size_t traceSize = FileSize(traceFile);
    const HostProcess first(StartDirectly(host));
    const HostProcess second(StartDirectly(host));
    ASSERT_TRUE(first.valid() && second.valid());

    EXPECT_TRUE(WaitForHostLine(traceFile, traceSize, first.id()));
    EXPECT_TRUE(WaitForHostLine(traceFile, traceSize, second.id()));
    EXPECT_TRUE(first.EndsOn(WM_ENDSESSION, TRUE));
    EXPECT_TRUE(second.EndsOn(WM_QUIT, 0));
}

}  // namespace
