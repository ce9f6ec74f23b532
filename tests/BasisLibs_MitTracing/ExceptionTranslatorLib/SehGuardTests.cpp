// The structured-exception guard: faults become exceptions where a translator asks for it,
// C++ exceptions pass untouched, faults outside a guard reach the translator too.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "TestSupport.h"

using namespace vemo::seh;

namespace {

// Faults the optimiser cannot see through.
volatile int* volatile g_nullPointer = nullptr;
volatile int g_zero = 0, g_quotient = 0;
void WriteThroughNull() { *g_nullPointer = 1; }
void DivideByZero() { g_quotient = 10 / g_zero; }

thread_local unsigned int t_seenCode = 0;
thread_local bool t_sawContext = false;
void RecordingTranslator(unsigned int code, EXCEPTION_POINTERS* pointers) {
    t_seenCode = code;
    t_sawContext = pointers && pointers->ContextRecord && pointers->ExceptionRecord;
}

std::string ThrownText(void (*fault)()) {
    try {
        GuardedCall([&] { fault(); });
    } catch (const SehException& e) {
        return std::to_string(e.code()) + " " + e.what();
    }
    return "<nothing thrown>";
}

TEST(SehGuard, FaultsBecomeExceptionsOrCodesAndCppExceptionsPassUntouched) {
    const SehTranslator previous = SetSehTranslator(&TranslateSEHExceptionNoDump);
    EXPECT_EQ("3221225620 SEH-Exception aufgetreten: ErrorCode = c0000094", ThrownText(&DivideByZero));
    int caught = 0;  // again and again, not only the first time
    for (int i = 0; i < 20; ++i) caught += ThrownText(&WriteThroughNull) == "3221225477 SEH-Exception aufgetreten: ErrorCode = c0000005";
    EXPECT_EQ(20, caught);
    // The translator belongs to its thread.
    SehTranslator seenInOtherThread = &RecordingTranslator;
    std::thread([&] { seenInOtherThread = GetSehTranslator(); }).join();
    EXPECT_EQ(nullptr, seenInOtherThread);
    // A quiet translator sees the fault with its context and the guard returns its code; C++
    // exceptions pass untouched.
    SetSehTranslator(&RecordingTranslator);
    EXPECT_EQ(0u, GuardedCall([&] { caught = 0; }));
    EXPECT_EQ(0, caught);
    EXPECT_THROW(GuardedCall([] { throw std::out_of_range("weiter"); }), std::out_of_range);
    EXPECT_EQ(0u, t_seenCode) << "a C++ exception reached the translator";
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), GuardedCall(&WriteThroughNull));
    EXPECT_EQ(static_cast<unsigned int>(EXCEPTION_ACCESS_VIOLATION), t_seenCode);
    EXPECT_TRUE(t_sawContext);
    SetSehTranslator(previous);
}

thread_local int t_threadCalls = 0;
int g_processCalls = 0;
void CountThread(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) { ++t_threadCalls; }
void CountProcess(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) { ++g_processCalls; }

// Wine's msvcrt never calls the installed handler from its own checks (Windows' msvcrt does:
// e.g. _itoa_s with no buffer), so the registered handler is called as the runtime would.
void ReportInvalidParameter() {
    _invalid_parameter_handler handler = _get_invalid_parameter_handler();
    ASSERT_NE(nullptr, handler);
    handler(nullptr, nullptr, nullptr, 0, 0);
}

TEST(SehGuard, InvalidParameterHandlersPerProcessAndPerThread) {
    SetProcessInvalidParameterHandler(&CountProcess);
    SetThreadInvalidParameterHandler(&CountThread);
    ReportInvalidParameter();
    // Another thread without a handler of its own reaches the process-wide one.
    std::thread([] { ReportInvalidParameter(); }).join();
    EXPECT_EQ(1, t_threadCalls);
    EXPECT_EQ(1, g_processCalls);
    SetThreadInvalidParameterHandler(nullptr);
    SetProcessInvalidParameterHandler(nullptr);
}

// A child faults outside any guard; its translator leaves a file behind before the process ends.
std::wstring g_evidencePath;
void EvidenceTranslator(unsigned int code, EXCEPTION_POINTERS*) {
    vemo::test::WriteFileBytes(g_evidencePath, std::to_string(code));
}

TEST(SehGuard, FaultsOutsideAnyGuardReachTheTranslator) {
    if (vemo::test::InChild()) {
        ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);  // no dialog, no crash report
        g_evidencePath = vemo::test::ChildArgument();
        SetSehTranslator(&EvidenceTranslator);
        InstallUnhandledExceptionFilter();
        WriteThroughNull();
        return;
    }
    vemo::test::ScratchDirectory scratch(L"seh_unhandled");
    const std::wstring evidence = scratch.path() + L"evidence.txt";
    const auto child = vemo::test::StartChild("SehGuard.FaultsOutsideAnyGuardReachTheTranslator", evidence).get();
    EXPECT_TRUE(child.result.finished && child.result.exitCode != 0);
    EXPECT_EQ(std::to_string(EXCEPTION_ACCESS_VIOLATION), vemo::test::ReadFileBytes(evidence));
}

}  // namespace
