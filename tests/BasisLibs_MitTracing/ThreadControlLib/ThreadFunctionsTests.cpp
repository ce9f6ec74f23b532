// Threads with a start-up handshake, their exit codes, their names and the library's trace
// category, against the recording trace module next to this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "ThreadControlTraceTest.h"
#include "common/UniqueHandle.h"

using namespace vemo::test;

namespace {

constexpr DWORD kBoundMs = 60000;
constexpr DWORD kFunctionResult = 4242;
void* const kParameterTag = reinterpret_cast<void*>(static_cast<uintptr_t>(0x5EED1234));
const auto* const kUnreadable = reinterpret_cast<const wchar_t*>(static_cast<uintptr_t>(1));
constexpr wchar_t kNamed[] = L"Exception in _ThreadFunction() für Thread <%s> aufgetreten!";
constexpr char kUnnamed[] = "Exception in _ThreadFunction() aufgetreten!";

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(thread, kBoundMs) == WAIT_OBJECT_0) ::GetExitCodeThread(thread, &code);
    return code;
}

// The "long sleep" at the start of a thread function: ends early only once the creator returned.
vemo::unique_handle g_release;
std::atomic<int> g_sleptToTheEnd{0};
// Throws with the parameter intact, so that the exception line also shows the name it kept.
DWORD WINAPI SleepThenThrowIfParameterIntact(void* pParameter) {
    if (::WaitForSingleObject(g_release.get(), kBoundMs) != WAIT_OBJECT_0) ++g_sleptToTheEnd;
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
        ASSERT_EQ(ThreadControl::kThreadExitException, ExitCodeOf(thread.get())) << "round " << round;
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
        {nullptr, L"Plain", ThreadControl::kThreadExitNoFunction, "", "Der Thread-Funktions-Pointer ist ungültig (NULL)!"},
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
        EXPECT_EQ(c.exitCode, ExitCodeOf(thread.get()));
        EXPECT_EQ(c.exception.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.exception}, Texts(1));
        EXPECT_EQ(c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error}, Texts(2));
    }
    EXPECT_EQ(0, g_pastFault.load()) << "a fault did not end its function";

    const vemo::unique_handle bare(::CreateThread(nullptr, 0, &ThreadControl::_ThreadFunction, nullptr, 0, nullptr));
    EXPECT_EQ(ThreadControl::kThreadExitNoStartData, ExitCodeOf(bare.get()));
}

// An overlong category is cut, a null one refused. (That the library writes under it: DumpTests,
// whose faulting thread reports in the test's category.)
TEST_F(ThreadControlThreads, TheCategoryIsSetWithinItsBounds) {
    const std::wstring longCategory(200, L'c');
    EXPECT_TRUE(ThreadControl::TC_SetTraceCategory(longCategory.c_str()));
    EXPECT_EQ(longCategory.substr(0, 127), ThreadControl::_GetTraceCategory());
    EXPECT_FALSE(ThreadControl::TC_SetTraceCategory(nullptr));
    EXPECT_EQ(longCategory.substr(0, 127), ThreadControl::_GetTraceCategory());
}

}  // namespace
