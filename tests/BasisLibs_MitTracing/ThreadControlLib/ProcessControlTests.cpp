// Process start: argument checks, quoting, the command line a real child sees, the readiness
// wait and the result codes. The children are the two builds of ThreadControlChild.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "TestSupport.h"
#include "ThreadControlChildProtocol.h"
#include "ThreadControlTraceTest.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "tracing/Trace.h"

using vemo::test::Latin1;
using vemo::test::StartsWith;
namespace child = vemo::test::tcchild;

namespace {

constexpr DWORD kEvidenceBoundMs = 30000;
constexpr wchar_t kConsoleChild[] = L"ThreadControlChild.exe";
constexpr wchar_t kWindowedChild[] = L"ThreadControlGuiChild.exe";
constexpr wchar_t kMissingChild[] = L"NoSuchThreadControlChild.exe";
constexpr wchar_t kScratchPrefix[] = L"vemo_tc";
constexpr wchar_t kEvidenceName[] = L"evidence_%d.txt";
constexpr wchar_t kQuitEventName[] = L"VeMoThreadControlChildQuit_%lu_%d";
constexpr wchar_t kParameters[] = L"eins zwei";
constexpr wchar_t kQuote[] = L"\"";
constexpr wchar_t kBlank[] = L" ";
constexpr wchar_t kLineBreak = L'\n';
constexpr size_t kExtraRoomChars = 260;
constexpr size_t kOverlongDirectoryChars = 300;

constexpr char kMsgBothNull[] = "Sowohl der Prozessname, als auch die Parameter sind NULL!";
constexpr char kMsgNotAbsolute[] =
    "Der übergebene Dateiname wurde nicht absolut angegeben! Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgCallFormat[] =
    L"Funktionsaufruf mit Prozessname: <%s>, Parameter: <%s>, Warten auf Prozess-Ende: <Nein>";
constexpr wchar_t kMsgQuotedFormat[] = L"Prozess-Name wurde gequoted: <%s>.";
constexpr wchar_t kMsgStartingFormat[] = L"Der Programmaufruf <%s> wird gestartet.";
constexpr char kMsgStartingPrefix[] = "Der Programmaufruf <";
constexpr char kMsgQuotedPrefix[] = "Prozess-Name wurde gequoted: <";
constexpr wchar_t kMsgTooLongFormat[] =
    L"Die Parameter sind zu lang! Platz: <%u> Zeichen, Länge der Parameter: <%u> Zeichen.";
constexpr char kMsgFileNotFound[] = "CreateProcess() lieferte <2> zurück!";
constexpr char kMsgIdle[] = "WaitForInputIdle() war erfolgreich.";
constexpr char kMsgIdleErrorPrefix[] = "Beim Warten auf den Prozess-Start trat der Fehler <";
constexpr char kMsgWineIdleError[] = "Beim Warten auf den Prozess-Start trat der Fehler <0> auf!";
constexpr char kMsgConvertEmpty[] = "ConvertToUnicode: Fehler beim Konvertieren des Strings <>!";
constexpr char kScopeW[] = "---> Beginn: ThreadControl::TC_StartProcessAsyncW (";
constexpr char kScopeA[] = "---> Beginn: ThreadControl::TC_StartProcessAsyncA (";
constexpr char kScopeInternal[] =
    "---> Beginn: ThreadControl::_StartProcess (";

using vemo::test::RunningUnderWine;

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = vemo::test::ReadFileBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

struct Evidence {
    std::wstring commandLine;
    DWORD startupFlags = 0;
    DWORD showWindow = 0;
};

// A named event the child waits for; set on every way out, so no child outlives its test by much.
class QuitEvent {
public:
    QuitEvent() {
        static int counter = 0;
        const std::wstring name = vemo::FormatW(kQuitEventName, ::GetCurrentProcessId(), ++counter);
        m_event.reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ::SetEnvironmentVariableW(child::kQuitEventVariable, name.c_str());
    }
    ~QuitEvent() {
        ::SetEvent(m_event.get());
        ::SetEnvironmentVariableW(child::kQuitEventVariable, nullptr);
    }
    QuitEvent(const QuitEvent&) = delete;
    QuitEvent& operator=(const QuitEvent&) = delete;
    bool valid() const { return m_event.is_valid(); }
    bool Set() const { return ::SetEvent(m_event.get()) != FALSE; }

private:
    vemo::unique_handle m_event;
};

class ThreadControlProcesses : public vemo::test::ThreadControlTraceTest {
protected:
    void TearDown() override {
        ::SetEnvironmentVariableW(child::kEvidenceVariable, nullptr);
        ThreadControlTraceTest::TearDown();
    }

    static std::wstring Child(const wchar_t* name = kConsoleChild) { return vemo::test::ExecutableDirectory() + name; }
    static std::wstring Quoted(const std::wstring& text) { return kQuote + text + kQuote; }

    // Starts program through the narrow form and checks the command line the child received.
    void ExpectNarrowStart(const std::wstring& program) {
        const std::wstring evidencePath = NextEvidence();
        ASSERT_EQ(ThreadControl::kStartProcessSucceeded,
                  ThreadControl::TC_StartProcessAsyncA(vemo::test::Narrow(program).c_str()));
        Evidence evidence;
        ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
        EXPECT_EQ(Quoted(program) + kBlank, evidence.commandLine);
    }

    // The file the next child writes; handed over through the environment it inherits.
    std::wstring NextEvidence() {
        const std::wstring path = scratch.path() + vemo::FormatW(kEvidenceName, ++evidenceCount);
        ::SetEnvironmentVariableW(child::kEvidenceVariable, path.c_str());
        return path;
    }

    static ::testing::AssertionResult WaitForEvidence(const std::wstring& path, Evidence& evidence) {
        if (!vemo::test::WaitFor([&] { return FileExists(path); }, kEvidenceBoundMs)) {
            return ::testing::AssertionFailure() << "the child left no evidence within " << kEvidenceBoundMs << " ms";
        }
        const std::wstring content = ReadWide(path);
        const size_t lineBreak = content.find(kLineBreak);
        if (lineBreak == std::wstring::npos) return ::testing::AssertionFailure() << "evidence without startup line";
        evidence.commandLine = content.substr(0, lineBreak);
        if (swscanf(content.c_str() + lineBreak + 1, L"%lu %lu", &evidence.startupFlags, &evidence.showWindow) != 2) {
            return ::testing::AssertionFailure() << "unreadable startup line";
        }
        return ::testing::AssertionSuccess();
    }

    static ::testing::AssertionResult WaitForQuitReport(const std::wstring& evidencePath) {
        const std::wstring path = evidencePath + child::kDoneSuffix;
        if (!vemo::test::WaitFor([&] { return FileExists(path); }, kEvidenceBoundMs)) {
            return ::testing::AssertionFailure() << "the child did not end within " << kEvidenceBoundMs << " ms";
        }
        if (ReadWide(path) != child::kSignalled) return ::testing::AssertionFailure() << "the child waited in vain";
        return ::testing::AssertionSuccess();
    }

    vemo::test::ScratchDirectory scratch{kScratchPrefix};
    int evidenceCount = 0;
};

// --- absolute paths -----------------------------------------------------------------------

TEST(ThreadControlPaths, AbsoluteMeansDriveOrUncPrefixAndADirectory) {
    const wchar_t* const absolute[] = {
        L"C:\\Programme\\VeMo\\VeMoHost.exe", L"C:\\VeMoHost.exe", L"C:/Programme/VeMoHost.exe",
        L"\\\\server\\share\\VeMo\\VeMoHost.exe", L"C:\\Programme\\",
    };
    for (const wchar_t* path : absolute) EXPECT_TRUE(ThreadControl::_IsAbsolutePath(path)) << Latin1(path);

    const wchar_t* const notAbsolute[] = {
        L"", L"VeMoHost.exe", L"VeMo\\VeMoHost.exe", L"\\VeMo\\VeMoHost.exe", L"C:", L"C:VeMoHost.exe",
    };
    for (const wchar_t* path : notAbsolute) EXPECT_FALSE(ThreadControl::_IsAbsolutePath(path)) << Latin1(path);
    EXPECT_FALSE(ThreadControl::_IsAbsolutePath(nullptr));
    // A directory longer than the split's 255 characters does not split, so it counts as not absolute.
    const std::wstring longDirectory = L"C:\\" + std::wstring(kOverlongDirectoryChars, L'd') + L"\\VeMoHost.exe";
    EXPECT_FALSE(ThreadControl::_IsAbsolutePath(longDirectory.c_str()));
}

// --- rejected arguments -------------------------------------------------------------------

// Arguments refused before any process is created: one error line each, and the command line
// (traced right before the creation) never comes.
TEST_F(ThreadControlProcesses, RejectedArgumentsStartNothing) {
    struct Case {
        std::wstring program;
        const wchar_t* parameters;
        const char* error;
    };
    const Case cases[] = {
        {L"<null>", nullptr, kMsgBothNull},
        {L"<null>", kParameters, nullptr},
        {kConsoleChild, nullptr, kMsgNotAbsolute},
        {std::wstring(L"threadcontrol_tests\\") + kConsoleChild, nullptr, kMsgNotAbsolute},
        {std::wstring(L"\\") + kConsoleChild, nullptr, kMsgNotAbsolute},
        {L"C:", nullptr, kMsgNotAbsolute},
        {std::wstring(L"C:") + kConsoleChild, nullptr, kMsgNotAbsolute},
        {Quoted(kConsoleChild), kParameters, kMsgNotAbsolute},
    };
    for (const Case& c : cases) {
        recorder.Reset();
        const wchar_t* program = c.program == L"<null>" ? nullptr : c.program.c_str();
        EXPECT_EQ(ThreadControl::kStartProcessBadArguments, ThreadControl::TC_StartProcessAsyncW(program, c.parameters, nullptr))
            << Latin1(c.program);
        EXPECT_EQ(1u, Texts(2).size()) << Latin1(c.program);
        if (c.error) {
            EXPECT_EQ(1u, Count(2, c.error)) << Latin1(c.program);
        }
        EXPECT_EQ(0u, CountStartingWith(8, kMsgStartingPrefix)) << Latin1(c.program);
    }
    // The narrow form: null, and an empty text that converts to nothing.
    recorder.Reset();
    EXPECT_EQ(ThreadControl::kStartProcessBadArguments, ThreadControl::TC_StartProcessAsyncA(nullptr));
    EXPECT_EQ(1u, Count(2, kMsgBothNull));
    recorder.Reset();
    EXPECT_EQ(ThreadControl::kStartProcessBadArguments, ThreadControl::TC_StartProcessAsyncA(""));
    EXPECT_EQ(1u, Count(2, kMsgConvertEmpty));
    EXPECT_EQ(1u, Count(2, kMsgNotAbsolute));
    // A program the system cannot find is refused by the system.
    recorder.Reset();
    EXPECT_EQ(ThreadControl::kStartProcessRefused, ThreadControl::TC_StartProcessAsyncW(Child(kMissingChild).c_str(), nullptr, nullptr));
    EXPECT_EQ((std::vector<std::string>{kMsgFileNotFound}), Texts(2));
}

TEST_F(ThreadControlProcesses, ParametersMustBeShorterThanTheRoomBesideTheProgramName) {
    const std::wstring program = Child();
    const size_t room = program.size() + kExtraRoomChars;

    const std::wstring tooLong(room - 1, L'p');
    EXPECT_EQ(ThreadControl::kStartProcessBadArguments,
              ThreadControl::TC_StartProcessAsyncW(program.c_str(), tooLong.c_str(), nullptr));
    const std::string expected =
        Latin1(vemo::FormatW(kMsgTooLongFormat, static_cast<unsigned>(room), static_cast<unsigned>(room - 1)));
    EXPECT_EQ(1u, Count(2, expected));
    // The preparation went on after the parameters failed.
    EXPECT_EQ(1u, CountStartingWith(8, kMsgQuotedPrefix));
    EXPECT_EQ(0u, CountStartingWith(8, kMsgStartingPrefix));

    const std::wstring longest(room - 2, L'p');
    const std::wstring evidencePath = NextEvidence();
    ASSERT_EQ(ThreadControl::kStartProcessSucceeded,
              ThreadControl::TC_StartProcessAsyncW(program.c_str(), longest.c_str(), nullptr));
    Evidence evidence;
    ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
    EXPECT_EQ(Quoted(program) + kBlank + longest, evidence.commandLine);
}

// --- real starts --------------------------------------------------------------------------

TEST_F(ThreadControlProcesses, AnUnquotedPathWithoutParametersBecomesQuotedPathAndOneBlank) {
    const std::wstring program = Child();
    const std::wstring evidencePath = NextEvidence();
    ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(program.c_str(), nullptr, nullptr));
    Evidence evidence;
    ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
    const std::wstring expected = Quoted(program) + kBlank;
    EXPECT_EQ(expected, evidence.commandLine);
    EXPECT_EQ(0u, evidence.startupFlags & STARTF_USESHOWWINDOW);

    EXPECT_EQ(1u, Count(8, Latin1(vemo::FormatW(kMsgCallFormat, program.c_str(), L"NULL"))));
    EXPECT_EQ(1u, Count(8, Latin1(vemo::FormatW(kMsgQuotedFormat, Quoted(program).c_str()))));
    EXPECT_EQ(1u, Count(8, Latin1(vemo::FormatW(kMsgStartingFormat, expected.c_str()))));
    const auto detail = Texts(16);
    ASSERT_GE(detail.size(), 2u);
    EXPECT_TRUE(StartsWith(detail[0], kScopeW)) << detail[0];
    EXPECT_TRUE(StartsWith(detail[1], kScopeInternal)) << detail[1];
}

TEST_F(ThreadControlProcesses, AllThreeQuoteFormsStartTheSameCommandLine) {
    const std::wstring program = Child();
    const std::wstring expected = Quoted(program) + kBlank + kParameters;
    struct Form {
        std::wstring program;
        bool quotedByTheStart;
    };
    const Form forms[] = {
        {Quoted(program), false},
        {program + kQuote, true},
        {kQuote + program, true},
    };
    for (const Form& form : forms) {
        recorder.Reset();
        const std::wstring evidencePath = NextEvidence();
        ASSERT_EQ(ThreadControl::kStartProcessSucceeded,
                  ThreadControl::TC_StartProcessAsyncW(form.program.c_str(), kParameters, nullptr))
            << Latin1(form.program);
        Evidence evidence;
        ASSERT_TRUE(WaitForEvidence(evidencePath, evidence)) << Latin1(form.program);
        EXPECT_EQ(expected, evidence.commandLine) << Latin1(form.program);
        EXPECT_EQ(form.quotedByTheStart ? 1u : 0u, CountStartingWith(8, kMsgQuotedPrefix)) << Latin1(form.program);
    }
}

TEST_F(ThreadControlProcesses, TheCallersStartupInformationReachesTheChild) {
    const std::wstring program = Child();
    const std::wstring evidencePath = NextEvidence();
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    ASSERT_EQ(ThreadControl::kStartProcessSucceeded,
              ThreadControl::TC_StartProcessAsyncW(program.c_str(), kParameters, &startup));
    Evidence evidence;
    ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
    EXPECT_NE(0u, evidence.startupFlags & STARTF_USESHOWWINDOW);
    EXPECT_EQ(static_cast<DWORD>(SW_SHOWMINNOACTIVE), evidence.showWindow);
}

TEST_F(ThreadControlProcesses, AConsoleProgramIsStartedWithoutWaitingForItsEnd) {
    QuitEvent quit;
    ASSERT_TRUE(quit.valid());
    const std::wstring program = Child();
    const std::wstring evidencePath = NextEvidence();
    // The child stays until the event below is set, which happens only after the start returned.
    ASSERT_EQ(ThreadControl::kStartProcessSucceeded,
              ThreadControl::TC_StartProcessAsyncW(program.c_str(), kParameters, nullptr));
    Evidence evidence;
    ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
    ASSERT_TRUE(quit.Set());
    EXPECT_TRUE(WaitForQuitReport(evidencePath));

    // Windows: the readiness wait fails with 1471 (no message queue), which is not traced.
    // Wine 8 fails it with last error 0 instead, which the start traces like any other error.
    EXPECT_EQ(0u, Count(8, kMsgIdle));
    const size_t idleErrors = CountStartingWith(2, kMsgIdleErrorPrefix);
    if (RunningUnderWine()) {
        EXPECT_EQ(idleErrors, Count(2, kMsgWineIdleError));
        EXPECT_LE(idleErrors, 1u);
    } else {
        EXPECT_EQ(0u, idleErrors);
    }
}

TEST_F(ThreadControlProcesses, AWindowedProgramIsWaitedForUntilItIsIdle) {
    QuitEvent quit;
    ASSERT_TRUE(quit.valid());
    const std::wstring program = Child(kWindowedChild);
    const std::wstring evidencePath = NextEvidence();
    ASSERT_EQ(ThreadControl::kStartProcessSucceeded, ThreadControl::TC_StartProcessAsyncW(program.c_str(), nullptr, nullptr));
    EXPECT_EQ(1u, Count(8, kMsgIdle));
    EXPECT_TRUE(Texts(2).empty());
    EXPECT_TRUE(Texts(4).empty());
    Evidence evidence;
    ASSERT_TRUE(WaitForEvidence(evidencePath, evidence));
    EXPECT_EQ(Quoted(program) + kBlank, evidence.commandLine);
    ASSERT_TRUE(quit.Set());
    EXPECT_TRUE(WaitForQuitReport(evidencePath));
}

TEST_F(ThreadControlProcesses, TheNarrowFormStartsTheProgramWithoutParameters) {
    ASSERT_NO_FATAL_FAILURE(ExpectNarrowStart(Child()));
    const auto detail = Texts(16);
    ASSERT_FALSE(detail.empty());
    EXPECT_TRUE(StartsWith(detail[0], kScopeA)) << detail[0];
}

TEST_F(ThreadControlProcesses, TheNarrowFormReadsTheProgramInTheAnsiCodePage) {
    // "€" is one byte in code page 1252 that the C runtime's default locale reads as U+0080.
    const std::wstring folder = scratch.path() + L"Kosten\u20AC\\";
    const std::string narrowFolder = vemo::test::Narrow(folder);
    if (narrowFolder.find('?') != std::string::npos) GTEST_SKIP() << "the ANSI code page has no euro sign";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring program = folder + kConsoleChild;
    ASSERT_TRUE(::CopyFileW(Child().c_str(), program.c_str(), FALSE));
    ExpectNarrowStart(program);
}

}  // namespace
