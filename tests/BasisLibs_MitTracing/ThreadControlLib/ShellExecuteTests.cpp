// Start as the desktop user through the shell, and the user-session host VeMoHost.exe it starts.
// The host lies in the common bin folder beside the real trace module, so its start line lands
// in the configured trace file; the tests read that file from the size it had before the start.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>
#include <thread>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "QnUmTraceSystem001/TraceSettings.h"
#include "TestSupport.h"
#include "ThreadControlTraceTest.h"
#include "common/HostWindow.h"
#include "common/UniqueHandle.h"

using namespace vemo::test;
namespace tracemodule = vemo::tracemodule;

namespace {

constexpr DWORD kBoundMs = 30000;
constexpr wchar_t kUncProgram[] = L"\\\\vemo-kein-server.invalid\\freigabe\\VeMo\\VeMoHost.exe";
constexpr char kMsgNotAbsolute[] =
    "Der übergebene Dateiname wurde nicht absolut angegeben!Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgLaunchingFormat[] = L"Programm <%s> soll mit Parameter <%s> gestartet werden.";
constexpr char kScopeFindView[] = "---> Beginn: ThreadControl::FindDesktopFolderView (";

std::wstring HostPath() {
    wchar_t full[MAX_PATH] = {};
    ::GetFullPathNameW((ExecutableDirectory() + L"..\\VeMoHost.exe").c_str(), MAX_PATH, full, nullptr);
    return full;
}

// The file the real trace module writes: the configured one, else its default.
std::wstring TraceFilePath() {
    vemo::unique_hkey key;
    wchar_t value[MAX_PATH] = {};
    DWORD bytes = sizeof(value);
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, tracemodule::kRegistryKey, 0, KEY_READ | tracemodule::kRegistryView, key.put()) ==
            ERROR_SUCCESS &&
        ::RegGetValueW(key.get(), nullptr, tracemodule::kValueTraceFile, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, value,
                       &bytes) == ERROR_SUCCESS &&
        value[0] != L'\0') {
        return value;
    }
    vemo::unique_cotaskmem folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put())))) return {};
    return std::wstring(static_cast<const wchar_t*>(folder.get())) + L"\\" + tracemodule::kDefaultTraceFileBelowProgramData;
}

::testing::AssertionResult WaitForHostLine(const std::wstring& traceFile, size_t from, DWORD processId) {
    const std::string line = Line(L"\t8\tVeMoHost\tVeMoHost gestartet, pid <%d>\r\n", static_cast<int>(processId));
    if (WaitFor([&] { return ReadFileBytes(traceFile).find(line, from) != std::string::npos; }, kBoundMs)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no start line of pid " << processId << " in " << Latin1(traceFile);
}

// A host this test started: ended by a message in the test, terminated here if it is still there.
class HostProcess {
public:
    explicit HostProcess(DWORD processId)
        : m_id(processId), m_process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                   FALSE, processId)) {}
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

    // Found by its class: every GUI thread under Wine has an extra top-level window.
    ::testing::AssertionResult EndsOn(UINT message, WPARAM wParam) const {
        HWND window = nullptr;
        const auto find = [&] {
            for (window = ::FindWindowExW(nullptr, nullptr, vemo::kHostWindowClass, nullptr); window;
                 window = ::FindWindowExW(nullptr, window, vemo::kHostWindowClass, nullptr)) {
                DWORD owner = 0;
                ::GetWindowThreadProcessId(window, &owner);
                if (owner == m_id) return true;
            }
            return false;
        };
        if (!WaitFor(find, kBoundMs)) return ::testing::AssertionFailure() << "host " << m_id << " shows no window";
        if (::IsWindowVisible(window)) return ::testing::AssertionFailure() << "the host's window is visible";
        DWORD exitCode = STILL_ACTIVE;
        if (!::PostMessageW(window, message, wParam, 0) || ::WaitForSingleObject(m_process.get(), kBoundMs) != WAIT_OBJECT_0 ||
            !::GetExitCodeProcess(m_process.get(), &exitCode) || exitCode != 0) {
            return ::testing::AssertionFailure() << "host " << m_id << " did not end with 0 on message " << message;
        }
        return ::testing::AssertionSuccess();
    }

private:
    DWORD m_id;
    vemo::unique_handle m_process;
};

DWORD StartDirectly(const std::wstring& program) {
    STARTUPINFOW startup{.cb = sizeof(startup)};
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return 0;
    }
    const vemo::unique_handle process(info.hProcess), thread(info.hThread);
    return info.dwProcessId;
}

class ThreadControlShell : public ThreadControlTraceTest {
protected:
    bool HostRunning(DWORD& processId) const { return ThreadControl::TC_FindProcessInConsoleSessionW(L"VemoHost.exe", &processId); }
};

TEST_F(ThreadControlShell, PathsWithoutDriveOrDirectoryAreRejectedBeforeTheShellIsAsked) {
    for (const wchar_t* program : {L"VeMoHost.exe", L"VeMo\\VeMoHost.exe", L"C:VeMoHost.exe", L"", (const wchar_t*)nullptr}) {
        recorder.Reset();
        EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(program, nullptr));
        EXPECT_EQ(std::vector<std::string>{kMsgNotAbsolute}, Texts(2));
        EXPECT_EQ(0u, CountStartingWith(16, kScopeFindView)) << "the shell was asked";
    }
}

// The call initialises COM for itself and leaves the caller's apartment, or none, as it found it.
TEST_F(ThreadControlShell, TheCallersComStateIsLeftAsItWas) {
    struct Case {
        bool initialise;
        DWORD model;
        HRESULT afterwards;  // what initialising once more then answers
    };
    for (const Case& c : {Case{false, COINIT_APARTMENTTHREADED, S_OK}, Case{true, COINIT_APARTMENTTHREADED, S_FALSE},
                          Case{true, COINIT_MULTITHREADED, S_FALSE}}) {
        HRESULT afterwards = E_UNEXPECTED;
        // A thread of its own, so that neither the main thread's COM nor an earlier case counts.
        std::thread([&] {
            const HRESULT before = c.initialise ? ::CoInitializeEx(nullptr, c.model) : E_UNEXPECTED;
            EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(L"VeMoHost.exe", nullptr));
            afterwards = ::CoInitializeEx(nullptr, c.model);
            if (SUCCEEDED(afterwards)) ::CoUninitialize();
            if (c.initialise && SUCCEEDED(before)) ::CoUninitialize();
        }).join();
        EXPECT_EQ(c.afterwards, afterwards) << "initialised before: " << c.initialise << ", model " << c.model;
    }
}

TEST_F(ThreadControlShell, AUncPathIsHandedToTheShell) {
    EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(kUncProgram, nullptr));
    EXPECT_EQ(0u, Count(2, kMsgNotAbsolute));
    EXPECT_EQ(1u, CountStartingWith(16, kScopeFindView));
    if (RunningUnderWine()) {
        // Wine serves the desktop view without a display, so the launch itself is what fails;
        // its shell answers a failed launch with S_FALSE where Windows shows a dialog.
        EXPECT_EQ(1u, Count(8, Line(kMsgLaunchingFormat, kUncProgram, L"(leer)"))) << Lines(4);
        EXPECT_EQ(1u, Count(2, "ShellExecute() mit Fehler <1> fehlgeschlagen!")) << Lines(2);
    }
}

// The host started as the desktop user is found, writes its line and ends on close; hosts started
// beside it run as well and end on session end and on quit.
TEST_F(ThreadControlShell, TheHostStartedAsDesktopUserRunsBesideOthersAndEachEndsOnItsMessage) {
    DWORD processId = 0;
    ASSERT_FALSE(HostRunning(processId)) << "a host of an earlier run is still there: " << processId;
    const std::wstring host = HostPath();
    const std::wstring traceFile = TraceFilePath();
    const size_t traceSize = ReadFileBytes(traceFile).size();
    const bool viaShell = ThreadControl::TC_ExecuteProcessAsUserW(host.c_str(), nullptr);
    if (viaShell) {
        EXPECT_EQ(1u, Count(8, Line(kMsgLaunchingFormat, host.c_str(), L"(leer)")));
    } else {
        // Without a desktop the host is started hidden in the caller's session, as the service does.
        STARTUPINFOW hidden{.cb = sizeof(hidden), .dwFlags = STARTF_USESHOWWINDOW, .wShowWindow = SW_HIDE};
        ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(host.c_str(), L"", &hidden));
    }
    // Wine's explorer serves the desktop view even without a display: the shell route works there.
    if (RunningUnderWine()) {
        EXPECT_TRUE(viaShell) << Lines(4);
    }
    ASSERT_TRUE(WaitFor([&] { return HostRunning(processId); }, kBoundMs));
    const HostProcess viaUser(processId);
    const HostProcess second(StartDirectly(host));
    const HostProcess third(StartDirectly(host));
    ASSERT_TRUE(viaUser.valid() && second.valid() && third.valid());
    for (const HostProcess* started : {&viaUser, &second, &third}) EXPECT_TRUE(WaitForHostLine(traceFile, traceSize, started->id()));
    EXPECT_TRUE(viaUser.EndsOn(WM_CLOSE, 0));
    EXPECT_TRUE(second.EndsOn(WM_ENDSESSION, TRUE));
    EXPECT_TRUE(third.EndsOn(WM_QUIT, 0));
    EXPECT_FALSE(HostRunning(processId));
}

}  // namespace
