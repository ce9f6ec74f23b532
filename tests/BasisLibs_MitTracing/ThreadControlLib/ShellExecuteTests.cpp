// Start as the desktop user through the shell, the user-session host VeMoHost.exe it starts, and
// the search for a program in the console session. The host lies in the common bin folder beside
// the real trace module, so its start line lands in the configured trace file; the tests read that
// file from the size it had before the start.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

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
constexpr wchar_t kMsgLaunchingFormat[] = L"Programm <%s> soll mit Parameter <%s> gestartet werden.";

// The file the real trace module writes: the configured one, else its default.
std::wstring TraceFilePath() {
    if (auto configured = ReadRegistryString(tracemodule::kRegistryKey, tracemodule::kValueTraceFile); configured && !configured->empty()) {
        return *configured;
    }
    vemo::unique_cotaskmem folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put())))) return {};
    return std::wstring(static_cast<const wchar_t*>(folder.get())) + L"\\" + tracemodule::kDefaultTraceFileBelowProgramData;
}

// A host this test started: terminated at the end if its message did not end it.
struct Host {
    DWORD id = 0;
    vemo::unique_handle process;
    ~Host() {
        if (process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(process.get(), 1);
    }
};
Host OpenHost(DWORD id) {
    return Host{id, vemo::unique_handle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id))};
}
// Its window found by its class (every GUI thread under Wine has an extra top-level window), hidden;
// the message ends the host with 0.
::testing::AssertionResult EndsOn(const Host& host, UINT message, WPARAM wParam) {
    HWND window = nullptr;
    const auto find = [&] {
        DWORD owner = 0;
        for (window = nullptr; (window = ::FindWindowExW(nullptr, window, vemo::kHostWindowClass, nullptr));) {
            if (::GetWindowThreadProcessId(window, &owner) && owner == host.id) return true;
        }
        return false;
    };
    if (!WaitFor(find, kBoundMs)) return ::testing::AssertionFailure() << "host " << host.id << " shows no window";
    if (::IsWindowVisible(window)) return ::testing::AssertionFailure() << "the host's window is visible";
    DWORD exitCode = STILL_ACTIVE;
    if (!::PostMessageW(window, message, wParam, 0) || ::WaitForSingleObject(host.process.get(), kBoundMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(host.process.get(), &exitCode) || exitCode != 0) {
        return ::testing::AssertionFailure() << "host " << host.id << " did not end with 0 on message " << message;
    }
    return ::testing::AssertionSuccess();
}

class ThreadControlShell : public ThreadControlTraceTest {
protected:
    static bool HostRunning(DWORD& processId) { return ThreadControl::TC_FindProcessInConsoleSessionW(L"VemoHost.exe", &processId); }
};

// Paths without drive or directory are refused before the shell is asked; a UNC path goes to it.
TEST_F(ThreadControlShell, OnlyAbsolutePathsAreHandedToTheShell) {
    const wchar_t* const unc = L"\\\\vemo-kein-server.invalid\\freigabe\\VeMo\\VeMoHost.exe";
    for (const wchar_t* program : {L"VeMoHost.exe", L"C:VeMoHost.exe", L"", unc}) {
        recorder.Reset();
        EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(program, nullptr));
        EXPECT_EQ(program == unc ? 0u : 1u,
                  Count(2, "Der übergebene Dateiname wurde nicht absolut angegeben!Der Prozess wird nicht gestartet!"));
        EXPECT_EQ(program == unc ? 1u : 0u, Count(16, "---> Beginn: ThreadControl::FindDesktopFolderView (", true));
    }
    // Wine serves the desktop view without a display, so the launch itself is what fails; its
    // shell answers a failed launch with S_FALSE where Windows shows a dialog.
    if (RunningUnderWine()) {
        EXPECT_EQ(1u, Count(8, Line(kMsgLaunchingFormat, unc, L"(leer)"))) << recorder.All();
        EXPECT_EQ(1u, Count(2, "ShellExecute() mit Fehler <1> fehlgeschlagen!")) << recorder.All();
    }
}

// The host started as the desktop user is found, writes its line and ends on close; hosts started
// beside it by the process start run as well and end on session end and on quit.
TEST_F(ThreadControlShell, TheHostStartedAsDesktopUserRunsBesideOthersAndEachEndsOnItsMessage) {
    DWORD processId = 0;
    ASSERT_FALSE(HostRunning(processId)) << "a host of an earlier run is still there: " << processId;
    wchar_t host[MAX_PATH] = {};
    ::GetFullPathNameW((ExecutableDirectory() + L"..\\VeMoHost.exe").c_str(), MAX_PATH, host, nullptr);
    const std::wstring traceFile = TraceFilePath();
    const size_t traceSize = ReadFileBytes(traceFile).size();
    const bool viaShell = ThreadControl::TC_ExecuteProcessAsUserW(host, nullptr);
    if (viaShell) {
        EXPECT_EQ(1u, Count(8, Line(kMsgLaunchingFormat, host, L"(leer)")));
    } else {
        // Without a desktop the host is started hidden in the caller's session, as the service does.
        STARTUPINFOW hidden{.cb = sizeof(hidden), .dwFlags = STARTF_USESHOWWINDOW, .wShowWindow = SW_HIDE};
        ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(host, L"", &hidden));
    }
    // Wine's explorer serves the desktop view even without a display: the shell route works there.
    EXPECT_TRUE(viaShell || !RunningUnderWine()) << recorder.All();
    ASSERT_TRUE(WaitFor([&] { return HostRunning(processId); }, kBoundMs));
    // Two more beside it through the process start, which waits until each is idle, never for its end.
    recorder.Reset();
    for (int i = 0; i < 2; ++i) ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(host, nullptr, nullptr));
    EXPECT_EQ(2u, Count(8, "WaitForInputIdle() war erfolgreich.")) << recorder.All();
    EXPECT_TRUE(Texts(2).empty()) << recorder.All();
    std::vector<DWORD> beside = ProcessIdsNamed(L"VeMoHost.exe");
    std::erase(beside, processId);
    ASSERT_EQ(2u, beside.size());
    const Host hosts[] = {OpenHost(processId), OpenHost(beside[0]), OpenHost(beside[1])};
    for (const Host& started : hosts) {
        ASSERT_TRUE(started.process);
        const std::string line = Line(L"\t8\tVeMoHost\tVeMoHost gestartet, pid <%d>\r\n", static_cast<int>(started.id));
        EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(traceFile).find(line, traceSize) != std::string::npos; }, kBoundMs))
            << "no start line of pid " << started.id << " in " << Latin1(traceFile);
    }
    EXPECT_TRUE(EndsOn(hosts[0], WM_CLOSE, 0));
    EXPECT_TRUE(EndsOn(hosts[1], WM_ENDSESSION, TRUE));
    EXPECT_TRUE(EndsOn(hosts[2], WM_QUIT, 0));
    EXPECT_FALSE(HostRunning(processId));
}

// The search in the console session, for this test program itself: it runs for sure, under a name
// no other process of the prefix has. Only the file name counts, in any case; the outcome is
// reported with the name as given.
TEST_F(ThreadControlShell, TheConsoleSearchFindsARunningProgramByItsFileNameInAnyCase) {
    DWORD session = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &session));
    if (session != ::WTSGetActiveConsoleSessionId()) GTEST_SKIP() << "not running in the console session";
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
    const std::wstring ownPath = path, ownName = ownPath.substr(ownPath.find_last_of(L'\\') + 1);
    std::wstring upper = ownName;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) { return std::towupper(c); });
    const std::pair<std::wstring, bool> cases[] = {
        {ownName, true}, {upper, true}, {ownPath, true}, {L"D:\\anderswo\\" + upper, true}, {L"KeinSolcherProzess.exe", false},
        {L"", false}, {L"C:\\Programme\\", false}, {std::wstring(255, L'p') + L".exe", false},
    };
    for (const auto& [name, found] : cases) {
        SCOPED_TRACE(Latin1(name));
        recorder.Reset();
        DWORD processId = 4711;
        EXPECT_EQ(found, ThreadControl::TC_FindProcessInConsoleSessionW(name.c_str(), &processId));
        EXPECT_EQ(found ? ::GetCurrentProcessId() : 0u, processId);
        EXPECT_EQ(1u, Count(8, Line(found ? L"Prozess <%s> wurde gefunden." : L"Prozess <%s> wurde nicht gefunden.", name.c_str())));
    }
    EXPECT_TRUE(Texts(1).empty());
}

}  // namespace
