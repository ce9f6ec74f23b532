// Process start: argument checks, quoting, the command line a real child sees, the readiness
// wait and the result codes. The child is ThreadControlChild.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "TestSupport.h"
#include "ThreadControlChildProtocol.h"
#include "ThreadControlTraceTest.h"
#include "common/UniqueHandle.h"

using namespace vemo::test;
namespace child = vemo::test::tcchild;

namespace {

constexpr wchar_t kParameters[] = L"eins zwei";
constexpr char kMsgNotAbsolute[] = "Der übergebene Dateiname wurde nicht absolut angegeben! Der Prozess wird nicht gestartet!";

std::wstring Child(const wchar_t* name = L"ThreadControlChild.exe") { return ExecutableDirectory() + name; }
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// What the child wrote, once it is there: its command line, its startup flags, whether it was let go.
std::vector<std::wstring> WaitForEvidence(const std::wstring& path) {
    if (!WaitFor([&] { return Exists(path); }, 90000)) return {};
    const std::string bytes = ReadFileBytes(path);
    std::vector<std::wstring> lines(1);
    for (const wchar_t c : std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t))) {
        if (c == L'\n') lines.emplace_back();
        else lines.back() += c;
    }
    return lines;
}

class ThreadControlProcesses : public ThreadControlTraceTest {
protected:
    void TearDown() override {
        ::SetEnvironmentVariableW(child::kEvidenceVariable, nullptr);
        ::SetEnvironmentVariableW(child::kQuitEventVariable, nullptr);
        ThreadControlTraceTest::TearDown();
    }
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

// Every quote form, both forms of the call and the caller's startup record reach a real child as
// one command line: the quoted program, a blank, the parameters. The start never waits for the end:
// each child stays until an event that is set only after the start returned. Bad arguments are
// refused before any process is created: one error line, and the command line (traced right before
// the creation) never comes.
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
        bool quotedByTheStart = true;
        std::string error;  // the one error line of a refused start
        DWORD result = ThreadControl::kStartProcessSucceeded;
    };
    const Case cases[] = {
        {program},
        {Quoted(program), kParameters, false, false, false},
        {program + L"\"", kParameters},
        {L"\"" + program, kParameters},
        {program, kParameters, false, true},
        {program, longest.c_str()},
        {program, nullptr, true},
        {euro ? euroFolder + L"ThreadControlChild.exe" : program, nullptr, true},
        {L"ThreadControlChild.exe", nullptr, false, false, true, kMsgNotAbsolute, bad},
        {L"\"ThreadControlChild.exe\"", kParameters, false, false, true, kMsgNotAbsolute, bad},
        {L"ThreadControlChild.exe", nullptr, true, false, true, kMsgNotAbsolute, bad},
        {Child(L"NoSuchThreadControlChild.exe"), nullptr, false, false, true, "CreateProcess() lieferte <2> zurück!",
         ThreadControl::kStartProcessRefused},
        {program, tooLong.c_str(), false, false, true,
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
            // The narrow form may trace more on its way; the wide form reports exactly one error.
            EXPECT_TRUE(c.narrow || Texts(2).size() == 1) << recorder.All();
            EXPECT_EQ(1u, Count(2, c.error)) << c.error;
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
        // A name beyond ISO 8859-1 empties its trace lines: nothing to count then.
        EXPECT_TRUE(Latin1(c.program).empty() || Count(8, "Prozess-Name wurde gequoted: <", true) == (c.quotedByTheStart ? 1u : 0u));
        // A console program has no message queue: Windows fails its readiness wait with 1471, which
        // is not traced; Wine 8 fails it with last error 0, which the start traces like any other.
        const auto errors = Texts(2);
        EXPECT_TRUE(errors.empty() || (RunningUnderWine() && errors == std::vector<std::string>{
                                           "Beim Warten auf den Prozess-Start trat der Fehler <0> auf!"})) << recorder.All();
        EXPECT_EQ(0u, Count(8, "WaitForInputIdle() war erfolgreich."));  // (a windowed one: ShellExecuteTests)
    }
}

}  // namespace
