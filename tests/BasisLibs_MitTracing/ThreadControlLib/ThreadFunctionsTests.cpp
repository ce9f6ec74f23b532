// Threads with a start-up handshake, their exit codes and the library's trace category, against
// the recording trace module next to this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "Recorder.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "tracing/Trace.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;

namespace {


constexpr DWORD kThreadEndBoundMs = 60000;
// The "long sleep" at the start of a thread function: ends early only when the creator has
// returned and lets it go.
constexpr DWORD kLongSleepMs = 60000;
constexpr int kHandshakeRounds = 8;
constexpr size_t kScrubBytes = 32768;
constexpr wchar_t kScrubChar = L'#';

constexpr DWORD kFunctionResult = 4242;
constexpr DWORD kParameterIntact = 0x600D;
constexpr DWORD kParameterDamaged = 0xBAD;
void* const kParameterTag = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5EED1234));

constexpr wchar_t kHandshakeName[] = L"HandshakeThread";
constexpr wchar_t kFaultName[] = L"FaultThread";
constexpr wchar_t kThrowName[] = L"ThrowThread";
constexpr wchar_t kPlainName[] = L"PlainThread";
constexpr wchar_t kTestCategory[] = L"TC.Test";
constexpr char kTestCategoryNarrow[] = "TC.Test";

constexpr wchar_t kMsgExceptionNamedFormat[] = L"Exception in _ThreadFunction() für Thread <%s> aufgetreten!";
constexpr char kMsgExceptionUnnamed[] = "Exception in _ThreadFunction() aufgetreten!";
constexpr char kMsgNoFunction[] = "Der Thread-Funktions-Pointer ist ungültig (NULL)!";
constexpr char kMsgThreadCreatedFormat[] = "Thread wurde erzeugt mit Thread-id <%lu>.";
constexpr char kMsgThreadStarting[] = "Thread wird gestartet.";
constexpr char kMsgThreadRunning[] = "Der Thread hat alle Daten übernommen und läuft.";
constexpr char kMsgSyncWaitEndedByThread[] = "Die Datensynchronisation kehrte mit <1> zurück.";
constexpr char kCreateThreadScopeBegin[] = "---> Beginn: ThreadControl::_CreateThread (";

constexpr DWORD kThreadNamingException = 0x406D1388;
constexpr DWORD kThreadNamingType = 0x1000;
constexpr DWORD kThreadNamingCallingThread = 0xFFFFFFFF;
constexpr size_t kUtf8NameLimit = 127;
constexpr size_t kOverlongNameChars = 300;
constexpr size_t kKeptNameChars = 255;
constexpr size_t kOverlongCategoryChars = 200;
constexpr size_t kKeptCategoryChars = 127;

// Narrow (ANSI) text of a wide one, as the trace front-end hands it to the module.
std::string Latin1(const std::wstring& text) {
    std::string narrow(text.size() + 1, '\0');
    narrow.resize(vemo::tracing::NarrowLatin1(text.c_str(), narrow.data(), narrow.size()));
    return narrow;
}

std::string FormatNarrow(const char* format, unsigned long value) {
    char buffer[256];
    _snprintf(buffer, sizeof(buffer), format, value);
    buffer[sizeof(buffer) - 1] = '\0';
    return buffer;
}

// Waits for the thread's end within the bound and gives its exit code.
::testing::AssertionResult ExitCodeOf(HANDLE thread, DWORD& exitCode) {
    if (::WaitForSingleObject(thread, kThreadEndBoundMs) != WAIT_OBJECT_0) {
        return ::testing::AssertionFailure() << "thread did not end within " << kThreadEndBoundMs << " ms";
    }
    if (!::GetExitCodeThread(thread, &exitCode)) return ::testing::AssertionFailure() << "no exit code";
    return ::testing::AssertionSuccess();
}

// --- thread functions ---------------------------------------------------------------------

struct LongSleep {
    vemo::unique_handle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> sleptToTheEnd{0};

    void Sleep() {
        if (::WaitForSingleObject(release.get(), kLongSleepMs) != WAIT_OBJECT_0) ++sleptToTheEnd;
    }
};
LongSleep* g_longSleep = nullptr;

DWORD WINAPI SleepThenCheckParameter(void* pParameter) {
    g_longSleep->Sleep();
    return pParameter == kParameterTag ? kParameterIntact : kParameterDamaged;
}

DWORD WINAPI SleepThenThrow(void*) {
    g_longSleep->Sleep();
    throw std::runtime_error("after the long sleep");
}

DWORD WINAPI ReturnFixedResult(void*) { return kFunctionResult; }
DWORD WINAPI ThrowStd(void*) { throw std::logic_error("thrown by the thread function"); }
DWORD WINAPI ThrowInt(void*) { throw 17; }

std::atomic<int> g_faultFunctionsPastFault{0};

volatile int g_faultResult = 0;

// All through volatile: the compiler can neither see the null pointer or the zero divisor nor
// move the count of survivors in front of the faulting instruction.
DWORD WINAPI WriteThroughNull(void*) {
    volatile int* volatile target = nullptr;
    *target = 1;
    ++g_faultFunctionsPastFault;
    return 0;
}

DWORD WINAPI DivideByZero(void*) {
    volatile int divisor = 0;
    volatile int dividend = 7;
    g_faultResult = dividend / divisor;
    ++g_faultFunctionsPastFault;
    return 0;
}

std::atomic<int> g_calledWithUnreadableName{0};
DWORD WINAPI CountCall(void*) {
    ++g_calledWithUnreadableName;
    return 0;
}

// The start data lives in this frame and in _CreateThread's; both are overwritten right after.
__attribute__((noinline)) HANDLE CreateFromFrameThenScrub(ThreadControl::ThreadFunction function, void* parameter) {
    wchar_t name[ARRAYSIZE(kHandshakeName)];
    wcscpy(name, kHandshakeName);
    const HANDLE thread = ThreadControl::_CreateThread(function, parameter, name);
    volatile wchar_t* scrub = name;
    for (size_t i = 0; i + 1 < ARRAYSIZE(name); ++i) scrub[i] = kScrubChar;
    return thread;
}

// Overwrites the stack below the caller, where _CreateThread's frame was.
__attribute__((noinline)) unsigned char ScrubStack() {
    volatile unsigned char junk[kScrubBytes];
    for (size_t i = 0; i < kScrubBytes; ++i) junk[i] = static_cast<unsigned char>(kScrubChar);
    return junk[kScrubBytes - 1];
}

class ThreadControlThreads : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    void TearDown() override { ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl); }

    std::vector<TraceRecord> Lines(int level) const {
        std::vector<TraceRecord> lines;
        const std::string category = Latin1(ThreadControl::_GetTraceCategory());
        for (auto& r : recorder.Records()) {
            if (r.level == level && r.category == category) lines.push_back(r);
        }
        return lines;
    }
    // Runs function in a thread of the library and gives its exit code.
    DWORD RunThread(ThreadControl::ThreadFunction function, const wchar_t* name) {
        const vemo::unique_handle thread(ThreadControl::_CreateThread(function, nullptr, name));
        EXPECT_TRUE(thread);
        DWORD exitCode = 0;
        if (thread) {
            EXPECT_TRUE(ExitCodeOf(thread.get(), exitCode));
        }
        return exitCode;
    }

    Recorder recorder;
};

// --- handshake ----------------------------------------------------------------------------

TEST_F(ThreadControlThreads, CreatorReturnsAfterTheThreadTookFunctionAndParameterDespiteALongSleep) {
    for (int round = 0; round < kHandshakeRounds; ++round) {
        LongSleep sleep;
        g_longSleep = &sleep;
        const vemo::unique_handle thread(CreateFromFrameThenScrub(&SleepThenCheckParameter, kParameterTag));
        ASSERT_TRUE(thread);
        EXPECT_EQ(static_cast<unsigned char>(kScrubChar), ScrubStack());
        // Only now may the thread function go on: the creator has returned while it "slept".
        ASSERT_TRUE(::SetEvent(sleep.release.get()));
        DWORD exitCode = 0;
        ASSERT_TRUE(ExitCodeOf(thread.get(), exitCode));
        ASSERT_EQ(0, sleep.sleptToTheEnd.load()) << "the creator waited for the thread function";
        ASSERT_EQ(kParameterIntact, exitCode) << "round " << round;
    }
    g_longSleep = nullptr;
}

TEST_F(ThreadControlThreads, TheThreadKeepsItsOwnCopyOfTheName) {
    const std::string expected = Latin1(vemo::FormatW(kMsgExceptionNamedFormat, kHandshakeName));
    for (int round = 0; round < kHandshakeRounds; ++round) {
        recorder.Reset();
        LongSleep sleep;
        g_longSleep = &sleep;
        const vemo::unique_handle thread(CreateFromFrameThenScrub(&SleepThenThrow, nullptr));
        ASSERT_TRUE(thread);
        EXPECT_EQ(static_cast<unsigned char>(kScrubChar), ScrubStack());
        ASSERT_TRUE(::SetEvent(sleep.release.get()));
        DWORD exitCode = 0;
        ASSERT_TRUE(ExitCodeOf(thread.get(), exitCode));
        ASSERT_EQ(0, sleep.sleptToTheEnd.load()) << "the creator waited for the thread function";
        ASSERT_EQ(ThreadControl::kThreadExitException, exitCode);
        const auto lines = Lines(1);
        ASSERT_EQ(1u, lines.size()) << "round " << round;
        ASSERT_EQ(expected, lines[0].text) << "the name was read after the creator overwrote it";
    }
    g_longSleep = nullptr;
}

TEST_F(ThreadControlThreads, CreationIsTracedInOrderUnderTheLibraryScope) {
    const vemo::unique_handle thread(ThreadControl::_CreateThread(&ReturnFixedResult, nullptr, kPlainName));
    ASSERT_TRUE(thread);
    DWORD exitCode = 0;
    ASSERT_TRUE(ExitCodeOf(thread.get(), exitCode));
    const auto lines = Lines(16);
    std::vector<std::string> texts;
    for (auto& l : lines) texts.push_back(l.text);
    const std::string created = FormatNarrow(kMsgThreadCreatedFormat, ::GetThreadId(thread.get()));
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(0u, texts[0].find(kCreateThreadScopeBegin)) << texts[0];
    EXPECT_EQ(created, texts[1]);
    EXPECT_EQ(kMsgThreadStarting, texts[2]);
    EXPECT_EQ(kMsgThreadRunning, texts[3]);
}

// --- exit codes ---------------------------------------------------------------------------

TEST_F(ThreadControlThreads, TheFunctionsResultIsTheExitCode) {
    EXPECT_EQ(kFunctionResult, RunThread(&ReturnFixedResult, kPlainName));
    EXPECT_TRUE(Lines(1).empty());
    EXPECT_TRUE(Lines(2).empty());
}

TEST_F(ThreadControlThreads, NoFunctionGivesThreeWithOneErrorLine) {
    EXPECT_EQ(ThreadControl::kThreadExitNoFunction, RunThread(nullptr, kPlainName));
    const auto errors = Lines(2);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(kMsgNoFunction, errors[0].text);
}

TEST_F(ThreadControlThreads, NoStartDataGivesZero) {
    const vemo::unique_handle thread(::CreateThread(nullptr, 0, &ThreadControl::_ThreadFunction, nullptr, 0, nullptr));
    ASSERT_TRUE(thread);
    DWORD exitCode = kFunctionResult;
    ASSERT_TRUE(ExitCodeOf(thread.get(), exitCode));
    EXPECT_EQ(ThreadControl::kThreadExitNoStartData, exitCode);
}

TEST_F(ThreadControlThreads, ThrownExceptionsGiveOneWithOneLineNamingTheThread) {
    const std::string expected = Latin1(vemo::FormatW(kMsgExceptionNamedFormat, kThrowName));
    for (ThreadControl::ThreadFunction function : {&ThrowStd, &ThrowInt}) {
        recorder.Reset();
        EXPECT_EQ(ThreadControl::kThreadExitException, RunThread(function, kThrowName));
        const auto lines = Lines(1);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(expected, lines[0].text);
    }
}

TEST_F(ThreadControlThreads, AThreadWithoutNameIsReportedWithoutOne) {
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
        recorder.Reset();
        EXPECT_EQ(ThreadControl::kThreadExitException, RunThread(&ThrowStd, name));
        const auto lines = Lines(1);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(kMsgExceptionUnnamed, lines[0].text);
    }
}

TEST_F(ThreadControlThreads, MachineFaultsGiveOneWithOneLineAndTheProcessGoesOn) {
    const std::string expected = Latin1(vemo::FormatW(kMsgExceptionNamedFormat, kFaultName));
    g_faultFunctionsPastFault = 0;
    for (ThreadControl::ThreadFunction function : {&WriteThroughNull, &DivideByZero}) {
        recorder.Reset();
        EXPECT_EQ(ThreadControl::kThreadExitException, RunThread(function, kFaultName));
        const auto lines = Lines(1);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(expected, lines[0].text);
    }
    EXPECT_EQ(0, g_faultFunctionsPastFault.load()) << "a fault did not end its function";
    // The process is still here, and so is the library.
    EXPECT_EQ(kFunctionResult, RunThread(&ReturnFixedResult, kPlainName));
}

TEST_F(ThreadControlThreads, OverlongNamesAreCut) {
    const std::wstring longName(kOverlongNameChars, L'n');
    const std::string expected =
        Latin1(vemo::FormatW(kMsgExceptionNamedFormat, longName.substr(0, kKeptNameChars).c_str()));
    EXPECT_EQ(ThreadControl::kThreadExitException, RunThread(&ThrowStd, longName.c_str()));
    const auto lines = Lines(1);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(expected, lines[0].text);
}

TEST_F(ThreadControlThreads, AThreadThatDiesBeforeTheHandshakeReleasesItsCreator) {
    // A name the thread cannot read: the copy faults before the handshake event is set.
    const auto* unreadable = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(1));
    g_calledWithUnreadableName = 0;
    const vemo::unique_handle thread(ThreadControl::_CreateThread(&CountCall, nullptr, unreadable));
    ASSERT_TRUE(thread);
    DWORD exitCode = 0;
    ASSERT_TRUE(ExitCodeOf(thread.get(), exitCode));
    EXPECT_EQ(ThreadControl::kThreadExitException, exitCode);
    EXPECT_EQ(0, g_calledWithUnreadableName.load());
    const auto exceptions = Lines(1);
    ASSERT_EQ(1u, exceptions.size());
    EXPECT_EQ(kMsgExceptionUnnamed, exceptions[0].text);
    const auto errors = Lines(2);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(kMsgSyncWaitEndedByThread, errors[0].text);
}

// --- thread naming ------------------------------------------------------------------------

#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD dwType;
    LPCSTR szName;
    DWORD dwThreadID;
    DWORD dwFlags;
};
#pragma pack(pop)

// Sees the naming exception before any frame handler does and keeps what it carried.
struct NamingWitness {
    DWORD threadId = ::GetCurrentThreadId();
    int seen = 0;
    bool wellFormed = false;
    std::string name;
};
NamingWitness* g_witness = nullptr;

LONG CALLBACK WatchNaming(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (!g_witness || record->ExceptionCode != kThreadNamingException || ::GetCurrentThreadId() != g_witness->threadId) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++g_witness->seen;
    ThreadNameInfo info;
    g_witness->wellFormed = record->NumberParameters * sizeof(ULONG_PTR) == sizeof(info);
    if (g_witness->wellFormed) {
        std::memcpy(&info, record->ExceptionInformation, sizeof(info));
        g_witness->wellFormed = info.dwType == kThreadNamingType && info.dwThreadID == kThreadNamingCallingThread &&
                                info.dwFlags == 0 && info.szName != nullptr;
        if (info.szName) g_witness->name = info.szName;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

class VectoredHandler {
public:
    explicit VectoredHandler(PVECTORED_EXCEPTION_HANDLER handler) : m_cookie(::AddVectoredExceptionHandler(1, handler)) {}
    ~VectoredHandler() {
        if (m_cookie) ::RemoveVectoredExceptionHandler(m_cookie);
    }
    VectoredHandler(const VectoredHandler&) = delete;
    VectoredHandler& operator=(const VectoredHandler&) = delete;
    explicit operator bool() const { return m_cookie != nullptr; }

private:
    void* m_cookie;
};

void NoteTranslatorCall(unsigned int, EXCEPTION_POINTERS*) {}

std::string NameAnnounced(const wchar_t* name, NamingWitness& witness) {
    g_witness = &witness;
    ThreadControl::_SetThreadName(name);
    g_witness = nullptr;
    return witness.name;
}

TEST(ThreadControlNaming, TheNameGoesToTheDebuggerInUtf8CutOnACharacterBoundary) {
    const VectoredHandler handler(&WatchNaming);
    ASSERT_TRUE(handler);
    struct Case {
        std::wstring name;
        std::string utf8;
    };
    const std::wstring eAcute(1, static_cast<wchar_t>(0x00E9));
    const std::string eAcuteUtf8 = "\xC3\xA9";
    std::string manyEAcute;
    for (size_t i = 0; i + eAcuteUtf8.size() <= kUtf8NameLimit; i += eAcuteUtf8.size()) manyEAcute += eAcuteUtf8;
    const Case cases[] = {
        {kHandshakeName, "HandshakeThread"},
        {L"Pr" + eAcute + L"fung", "Pr" + eAcuteUtf8 + "fung"},
        {std::wstring(kOverlongNameChars, L'x'), std::string(kUtf8NameLimit, 'x')},
        // 63 two-byte characters fit into 127 bytes, the 64th would be cut in half.
        {std::wstring(kOverlongNameChars, eAcute[0]), manyEAcute},
        {L"", ""},
    };
    for (const Case& c : cases) {
        NamingWitness witness;
        EXPECT_EQ(c.utf8, NameAnnounced(c.name.c_str(), witness));
        EXPECT_EQ(1, witness.seen);
        EXPECT_TRUE(witness.wellFormed);
    }
}

TEST(ThreadControlNaming, WithoutADebuggerNothingHappensAndTheTranslatorIsPutBack) {
    for (vemo::seh::SehTranslator translator : {static_cast<vemo::seh::SehTranslator>(nullptr), &NoteTranslatorCall}) {
        const vemo::seh::SehTranslator before = vemo::seh::SetSehTranslator(translator);
        ThreadControl::_SetThreadName(kPlainName);
        ThreadControl::_SetThreadName(nullptr);
        EXPECT_EQ(translator, vemo::seh::GetSehTranslator());
        vemo::seh::SetSehTranslator(before);
    }
}

// --- trace category -----------------------------------------------------------------------

void ThrowingTranslator(unsigned int, EXCEPTION_POINTERS*) { vemo::seh::RequestThrow("unreadable category"); }

// A null category is refused, an overlong one cut; neither changes what was set before.
TEST_F(ThreadControlThreads, TheCategoryIsSetWithinItsBounds) {
    ASSERT_TRUE(ThreadControl::TC_SetTraceCategory(kTestCategory));
    EXPECT_FALSE(ThreadControl::TC_SetTraceCategory(nullptr));
    EXPECT_EQ(std::wstring(kTestCategory), ThreadControl::_GetTraceCategory());
    const std::wstring longCategory(kOverlongCategoryChars, L'c');
    EXPECT_TRUE(ThreadControl::TC_SetTraceCategory(longCategory.c_str()));
    EXPECT_EQ(longCategory.substr(0, kKeptCategoryChars), ThreadControl::_GetTraceCategory());
}

TEST_F(ThreadControlThreads, TheLibraryWritesUnderTheCategorySet) {
    ASSERT_TRUE(ThreadControl::TC_SetTraceCategory(kTestCategory));
    EXPECT_EQ(ThreadControl::kThreadExitNoFunction, RunThread(nullptr, kPlainName));
    int inTestCategory = 0;
    for (auto& r : recorder.Records()) {
        EXPECT_NE(Latin1(vemo::kCategoryThreadControl), r.category) << r.text;
        if (r.category == kTestCategoryNarrow) ++inTestCategory;
    }
    EXPECT_GE(inTestCategory, 5);  // scope begin and end, three creation lines, the error line
}

TEST_F(ThreadControlThreads, AnUnreadableCategoryIsRefusedAndChangesNothing) {
    ASSERT_TRUE(ThreadControl::TC_SetTraceCategory(kTestCategory));
    const auto* unreadable = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(1));
    // Both ways a translator can end a fault: asking for an exception, or returning.
    for (vemo::seh::SehTranslator translator : {&ThrowingTranslator, &NoteTranslatorCall}) {
        const vemo::seh::SehTranslator before = vemo::seh::SetSehTranslator(translator);
        EXPECT_FALSE(ThreadControl::TC_SetTraceCategory(unreadable));
        vemo::seh::SetSehTranslator(before);
        EXPECT_EQ(std::wstring(kTestCategory), ThreadControl::_GetTraceCategory());
    }
}

}  // namespace
