// The thread-control library against the recording trace module next to this program: threads and
// their handshake, process start as a real child sees it, start as the desktop user and its host.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "PluginHosting.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "ThreadControlChildProtocol.h"
#include "common/HostWindow.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "tracing/Trace.h"

using namespace vemo::test;
namespace child = vemo::test::tcchild;

namespace {

std::string Latin1(const std::wstring& text) {
    std::string narrow(text.size() + 1, '\0');
    narrow.resize(vemo::tracing::NarrowLatin1(text.c_str(), narrow.data(), narrow.size()));
    return narrow;
}
// A wide trace format filled in, as the module receives it.
template <typename... Args>
std::string Line(const wchar_t* format, Args... args) { return Latin1(vemo::FormatW(format, args...)); }

class ThreadControlTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }

    // The library's lines at the level, in its current category.
    std::vector<std::string> Texts(int level) const {
        std::vector<std::string> texts;
        const std::string category = Latin1(ThreadControl::_GetTraceCategory());
        for (const TraceRecord& r : recorder.Records()) if (r.level == level && r.category == category) texts.push_back(r.text);
        return texts;
    }
    // Lines at the level that are text, or that start with it.
    size_t Count(int level, const std::string& text, bool prefix = false) const {
        return std::ranges::count_if(Texts(level), [&](const std::string& t) { return prefix ? t.starts_with(text) : t == text; });
    }

    Recorder recorder;
};

constexpr DWORD kThreadBoundMs = 60000;
constexpr DWORD kFunctionResult = 4242;
void* const kParameterTag = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5EED1234));
const auto* const kUnreadable = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(1));
constexpr wchar_t kNamed[] = L"Exception in _ThreadFunction() für Thread <%s> aufgetreten!";
constexpr char kUnnamed[] = "Exception in _ThreadFunction() aufgetreten!";

// The "long sleep" at the start of a thread function: ends early only once the creator returned.
vemo::unique_handle g_release;
std::atomic<int> g_sleptToTheEnd{0};
// Throws with the parameter intact, so that the exception line also shows the name it kept.
DWORD WINAPI SleepThenThrowIfParameterIntact(void* pParameter) {
    if (::WaitForSingleObject(g_release.get(), kThreadBoundMs) != WAIT_OBJECT_0) ++g_sleptToTheEnd;
    if (pParameter == kParameterTag) throw std::runtime_error("after the long sleep");
    return 0xBAD;
}

// The start data lives in this frame and in _CreateThread's; both are overwritten right after.
__attribute__((noinline)) HANDLE CreateFromFrameThenScrub(void* parameter) {
    wchar_t name[] = L"HandshakeThread";
    const HANDLE thread = ThreadControl::_CreateThread(&SleepThenThrowIfParameterIntact, parameter, name);
    volatile wchar_t* scrub = name;
    for (size_t i = 0; i + 1 < ARRAYSIZE(name); ++i) scrub[i] = L'#';
    return thread;
}
__attribute__((noinline)) unsigned char ScrubStack() {
    volatile unsigned char junk[32768];
    for (auto& b : junk) b = '#';
    return junk[sizeof(junk) - 1];
}

class ThreadControlThreads : public ThreadControlTraceTest {};

TEST_F(ThreadControlThreads, CreatorReturnsAfterTheThreadTookFunctionParameterAndNameDespiteALongSleep) {
    for (int round = 0; round < 8; ++round) {
        recorder.Reset();
        g_release.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        g_sleptToTheEnd = 0;
        const vemo::unique_handle thread(CreateFromFrameThenScrub(kParameterTag));
        ASSERT_TRUE(thread);
        EXPECT_EQ('#', ScrubStack());
        ASSERT_TRUE(::SetEvent(g_release.get()));  // only now may the thread function go on
        ASSERT_EQ(ThreadControl::kThreadExitException, ExitCodeAfterEnd(thread.get(), kThreadBoundMs)) << "round " << round;
        ASSERT_EQ(0, g_sleptToTheEnd.load()) << "the creator waited for the thread function";
        ASSERT_EQ(std::vector<std::string>{Line(kNamed, L"HandshakeThread")}, Texts(1))
            << "the name was read after the creator overwrote it";
    }
}

DWORD WINAPI ReturnFixedResult(void*) { return kFunctionResult; }
DWORD WINAPI ThrowStd(void*) { throw std::logic_error("thrown by the thread function"); }
DWORD WINAPI ThrowInt(void*) { throw 17; }
std::atomic<int> g_pastFault{0};
DWORD WINAPI DivideByZero(void*) {
    volatile int divisor = 0;
    static volatile int quotient = 7 / divisor;
    return quotient + ++g_pastFault;
}

TEST_F(ThreadControlThreads, ExitCodesAndTheLinesThatReportThem) {
    const std::wstring longName(300, L'n');
    struct Case {
        ThreadControl::ThreadFunction function;
        const wchar_t* name;
        DWORD exitCode;
        std::string exception;  // the one level-1 line, if any
        std::string error;      // the one level-2 line, if any
    };
    const Case cases[] = {
        {&ReturnFixedResult, L"Plain", kFunctionResult},
        {&ThrowStd, L"Wirft", ThreadControl::kThreadExitException, Line(kNamed, L"Wirft")},
        {&ThrowInt, L"Wirft", ThreadControl::kThreadExitException, Line(kNamed, L"Wirft")},
        {&ThrowStd, nullptr, ThreadControl::kThreadExitException, kUnnamed},
        {&ThrowStd, L"", ThreadControl::kThreadExitException, kUnnamed},
        // (An access violation, with its dump: DumpTests.)
        {&DivideByZero, L"Fehler", ThreadControl::kThreadExitException, Line(kNamed, L"Fehler")},
        {&ThrowStd, longName.c_str(), ThreadControl::kThreadExitException, Line(kNamed, longName.substr(0, 255).c_str())},
        // A name the thread cannot read: the copy faults before the handshake, which still ends.
        {&ReturnFixedResult, kUnreadable, ThreadControl::kThreadExitException, kUnnamed,
         "Die Datensynchronisation kehrte mit <1> zurück."},
    };
    g_pastFault = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        recorder.Reset();
        const vemo::unique_handle thread(ThreadControl::_CreateThread(c.function, nullptr, c.name));
        ASSERT_TRUE(thread);
        EXPECT_EQ(c.exitCode, ExitCodeAfterEnd(thread.get(), kThreadBoundMs));
        EXPECT_EQ(c.exception.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.exception}, Texts(1));
        EXPECT_EQ(c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error}, Texts(2));
    }
    EXPECT_EQ(0, g_pastFault.load()) << "a fault did not end its function";
}

constexpr wchar_t kParameters[] = L"eins zwei";
constexpr char kMsgNotAbsolute[] = "Der übergebene Dateiname wurde nicht absolut angegeben! Der Prozess wird nicht gestartet!";

std::wstring Child(const wchar_t* name = L"ThreadControlChild.exe") { return ExecutableDirectory() + name; }
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// What the child wrote, once it is there: its command line, its startup flags, whether it was let go.
std::vector<std::wstring> WaitForEvidence(const std::wstring& path) {
    const std::string bytes = WaitFor([&] { return Exists(path); }, 90000) ? ReadFileBytes(path) : "";
    std::wistringstream in(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t)));
    std::vector<std::wstring> lines;
    for (std::wstring line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class ThreadControlProcesses : public ThreadControlTraceTest {
protected:
    ScratchDirectory scratch{L"vemo_tc"};
};

TEST(ThreadControlPaths, AbsoluteMeansDriveOrUncPrefixAndADirectory) {
    const std::pair<std::wstring, bool> cases[] = {
        {L"C:\\Programme\\VeMo\\VeMoHost.exe", true}, {L"C:\\VeMoHost.exe", true}, {L"C:/Programme/VeMoHost.exe", true},
        {L"\\\\server\\share\\VeMo\\VeMoHost.exe", true}, {L"C:\\Programme\\", true}, {L"", false},
        {L"VeMoHost.exe", false}, {L"VeMo\\VeMoHost.exe", false}, {L"\\VeMo\\VeMoHost.exe", false}, {L"C:", false},
        {L"C:VeMoHost.exe", false},
        // A directory longer than the split's 255 characters does not split.
        {L"C:\\" + std::wstring(300, L'd') + L"\\VeMoHost.exe", false},
    };
    for (const auto& [path, absolute] : cases) EXPECT_EQ(absolute, ThreadControl::_IsAbsolutePath(path.c_str())) << Latin1(path);
}

// Every quote form, both forms of the call and the caller's startup record reach a real child as one
// command line: the quoted program, a blank, the parameters. The start never waits for the child, which
// waits for an event set only after the start returned. Bad arguments are refused with one error line
// before the command line is traced.
TEST_F(ThreadControlProcesses, AChildSeesTheQuotedProgramAndItsParametersAndIsNotWaitedFor) {
    const std::wstring program = Child();
    // "€" is one byte in code page 1252, which the narrow form reads the program name in.
    const std::wstring euroFolder = scratch.path() + L"Kosten\u20AC\\";
    const bool euro = Narrow(euroFolder).find('?') == std::string::npos;
    ASSERT_TRUE(::CreateDirectoryW(euroFolder.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(program.c_str(), (euroFolder + L"ThreadControlChild.exe").c_str(), FALSE));
    const size_t room = program.size() + 260;  // parameters must be shorter than the room beside the program name
    const std::wstring longest(room - 2, L'p'), tooLong(room - 1, L'p');
    const DWORD bad = ThreadControl::kStartProcessBadArguments;
    struct Case {
        std::wstring program;
        const wchar_t* parameters = nullptr;
        bool narrow = false;
        bool minimised = false;
        std::string error;  // the one error line of a refused start
        DWORD result = ThreadControl::kStartProcessSucceeded;
    };
    const Case cases[] = {
        {program},
        {Quoted(program), kParameters},
        {program + L"\"", kParameters},
        {L"\"" + program, kParameters},
        {program, kParameters, false, true},
        {program, longest.c_str()},
        {program, nullptr, true},
        {euro ? euroFolder + L"ThreadControlChild.exe" : program, nullptr, true},
        {L"ThreadControlChild.exe", nullptr, false, false, kMsgNotAbsolute, bad},
        {L"\"ThreadControlChild.exe\"", kParameters, false, false, kMsgNotAbsolute, bad},
        {L"ThreadControlChild.exe", nullptr, true, false, kMsgNotAbsolute, bad},
        {Child(L"NoSuchThreadControlChild.exe"), nullptr, false, false, "CreateProcess() lieferte <2> zurück!",
         ThreadControl::kStartProcessRefused},
        {program, tooLong.c_str(), false, false,
         Line(L"Die Parameter sind zu lang! Platz: <%u> Zeichen, Länge der Parameter: <%u> Zeichen.", static_cast<unsigned>(room),
              static_cast<unsigned>(room - 1)),
         bad},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.program));
        recorder.Reset();
        const std::wstring suffix = std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(&c - cases);
        const std::wstring evidencePath = scratch.path() + L"evidence_" + suffix + L".txt", quitName = L"VeMoTcChildQuit_" + suffix;
        const vemo::unique_handle quit(::CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
        ::SetEnvironmentVariableW(child::kEvidenceVariable, evidencePath.c_str());
        ::SetEnvironmentVariableW(child::kQuitEventVariable, quitName.c_str());
        STARTUPINFOW startup{.cb = sizeof(startup), .dwFlags = STARTF_USESHOWWINDOW, .wShowWindow = SW_SHOWMINNOACTIVE};
        const DWORD result = c.narrow ? ThreadControl::TC_StartProcessAsyncA(Narrow(c.program).c_str())
                                      : ThreadControl::TC_StartProcessAsyncW(c.program.c_str(), c.parameters, c.minimised ? &startup : nullptr);
        ASSERT_TRUE(quit && ::SetEvent(quit.get()));
        ASSERT_EQ(c.result, result);
        if (!c.error.empty()) {
            EXPECT_TRUE(c.result != bad || Count(8, "Der Programmaufruf <", true) == 0);
            EXPECT_EQ(1u, Count(2, c.error)) << recorder.All();
            continue;
        }
        const auto evidence = WaitForEvidence(evidencePath);
        ASSERT_EQ(3u, evidence.size());
        const bool open = c.program.front() == L'"', close = c.program.back() == L'"';
        const std::wstring unquoted = c.program.substr(open, c.program.size() - open - close);
        EXPECT_EQ(Quoted(unquoted) + L" " + (c.parameters ? c.parameters : L""), evidence[0]);
        DWORD flags = 0, show = 0;
        ASSERT_EQ(2, swscanf(evidence[1].c_str(), L"%lu %lu", &flags, &show));
        EXPECT_EQ(c.minimised, (flags & STARTF_USESHOWWINDOW) != 0);
        EXPECT_TRUE(!c.minimised || show == SW_SHOWMINNOACTIVE) << show;
        EXPECT_EQ(child::kSignalled, evidence[2]) << "the child waited in vain";
    }
}

constexpr DWORD kBoundMs = 30000;

// A host this test started: terminated at the end if its message did not end it.
struct Host {
    explicit Host(DWORD pid)
        : id(pid), process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {}
    ~Host() {
        if (process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) ::TerminateProcess(process.get(), 1);
    }
    DWORD id;
    vemo::unique_handle process;
};
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

// A path without a directory is refused before the shell is asked; a UNC path goes to it.
TEST_F(ThreadControlShell, OnlyAbsolutePathsAreHandedToTheShell) {
    for (const wchar_t* program : {L"C:VeMoHost.exe", L"\\\\vemo-kein-server.invalid\\freigabe\\VeMo\\VeMoHost.exe"}) {
        recorder.Reset();
        EXPECT_FALSE(ThreadControl::TC_ExecuteProcessAsUserW(program, nullptr));
        EXPECT_EQ(program[0] == L'\\' ? 1u : 0u, Count(16, "---> Beginn: ThreadControl::FindDesktopFolderView (", true));
    }
    // Wine's shell answers a failed launch with S_FALSE, where Windows shows a dialog.
    EXPECT_TRUE(!RunningUnderWine() || Count(2, "ShellExecute() mit Fehler <1> fehlgeschlagen!") == 1) << recorder.All();
}

// The host started as the desktop user is found and ends on close; hosts started beside it by the
// process start run as well and end on session end and on quit. (Its trace line: ServiceEndToEndTests.)
TEST_F(ThreadControlShell, TheHostStartedAsDesktopUserRunsBesideOthersAndEachEndsOnItsMessage) {
    DWORD processId = 0;
    ASSERT_FALSE(HostRunning(processId)) << "a host of an earlier run is still there: " << processId;
    wchar_t host[MAX_PATH] = {};
    ::GetFullPathNameW((ExecutableDirectory() + L"..\\VeMoHost.exe").c_str(), MAX_PATH, host, nullptr);
    const bool viaShell = ThreadControl::TC_ExecuteProcessAsUserW(host, nullptr);
    if (!viaShell) {
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
    const Host hosts[] = {Host(processId), Host(beside[0]), Host(beside[1])};
    for (const Host& started : hosts) ASSERT_TRUE(started.process);
    EXPECT_TRUE(EndsOn(hosts[0], WM_CLOSE, 0));
    EXPECT_TRUE(EndsOn(hosts[1], WM_ENDSESSION, TRUE));
    EXPECT_TRUE(EndsOn(hosts[2], WM_QUIT, 0));
    EXPECT_FALSE(HostRunning(processId));
}

}  // namespace
