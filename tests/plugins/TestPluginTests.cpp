// Loads the test plug-ins and checks every export directly: its result, its evidence line and,
// for the faulting and throwing ones, that the fault or exception reaches a guarded caller.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "TestSupport.h"
#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace {
constexpr wchar_t kPluginFile[] = L"TestPlugin.dll";
constexpr wchar_t kUnitializePluginFile[] = L"TestPluginUnitialize.dll";
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr wchar_t kScratchPrefix[] = L"vemo_plugin";
constexpr wchar_t kLogFileName[] = L"plugin.log";
constexpr DWORD kAccessViolation = EXCEPTION_ACCESS_VIOLATION;
constexpr int32_t kRunReturn3Result = 3;
constexpr int32_t kRunNormalEnd = 0;
constexpr DWORD kSlowInitializeMs = 5000;
// Generous bounds: the slow initialisation must take about its 5 s, never minutes.
constexpr ULONGLONG kSlowLowerBoundMs = kSlowInitializeMs - 100;
constexpr ULONGLONG kSlowUpperBoundMs = 60000;
constexpr DWORD kEvidenceWaitMs = 10000;
constexpr DWORD kThreadEndWaitMs = 10000;
// How long a Run that ignores the flag must keep running after the flag is set.
constexpr DWORD kIgnoreStopObservationMs = 500;
constexpr DWORD kTerminatedExitCode = 0xDEAD;

constexpr DWORD kIntegerDivideByZero = EXCEPTION_INT_DIVIDE_BY_ZERO;
constexpr DWORD kStackOverflow = EXCEPTION_STACK_OVERFLOW;
// The host's reservation for a plug-in thread.
constexpr SIZE_T kPluginStackReservation = 256000;
constexpr DWORD kOverflowThreadReturned = 1;

constexpr const char* kInitializeExports[] = {"Initialize",        "InitializeTrue",          "InitializeFalse",
                                              "InitializeThrow",   "InitializeFault",         "InitializeDivZero",
                                              "InitializeStackOverflow", "InitializeSlow"};
constexpr const char* kRunExports[] = {"Run",      "RunPollStop", "RunIgnoreStop",    "RunFault",
                                       "RunThrow", "RunDivZero",  "RunStackOverflow", "RunReturn3"};
constexpr const char* kUninitializeExports[] = {"Uninitialize", "UninitializeFault", "UninitializeDivZero",
                                                "UninitializeStackOverflow", "UninitializeThrow"};

// One entry point of any role, called the way the host calls it.
using Invoke = void (*)(FARPROC pfn);
void InvokeInitialize(FARPROC pfn) { reinterpret_cast<PFN_VEMO_PLUGIN_INITIALIZE>(pfn)(); }
void InvokeRun(FARPROC pfn) {
    const volatile bool stop = false;
    reinterpret_cast<PFN_VEMO_PLUGIN_RUN>(pfn)(&stop);
}
void InvokeUninitialize(FARPROC pfn) { reinterpret_cast<PFN_VEMO_PLUGIN_UNINITIALIZE>(pfn)(); }

struct RoleExport {
    const char* name;
    Invoke invoke;
};

// The code of the fault that reached the guard around the call; 0 when none did.
DWORD GuardedFaultCode(FARPROC pfn, Invoke invoke) {
    try {
        vemo::seh::GuardedCall([&] { invoke(pfn); });
    } catch (const vemo::seh::SehException& e) {
        return e.code();
    }
    return 0;
}

// A stack overflow needs a thread of the host's size, with the translator the host gives it.
struct OverflowCall {
    FARPROC pfn = nullptr;
    Invoke invoke = nullptr;
    DWORD caughtCode = 0;
};
DWORD WINAPI OverflowThreadProc(LPVOID pCall) {
    auto* call = static_cast<OverflowCall*>(pCall);
    vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
    call->caughtCode = GuardedFaultCode(call->pfn, call->invoke);
    return kOverflowThreadReturned;
}

// Run on a thread of its own, as the host does; the thread's exit code is Run's result.
struct RunThreadArgs {
    PFN_VEMO_PLUGIN_RUN pfnRun = nullptr;
    std::atomic<bool> stop{false};
};
static_assert(sizeof(std::atomic<bool>) == sizeof(bool), "the stop flag is one byte");

DWORD WINAPI RunThreadProc(LPVOID pArgs) {
    auto* args = static_cast<RunThreadArgs*>(pArgs);
    return static_cast<DWORD>(args->pfnRun(reinterpret_cast<VemoPluginStopFlag>(&args->stop)));
}

// Ends a Run thread that a failed assertion left behind before its arguments go away.
struct RunThreadCleanup {
    RunThreadArgs& args;
    const vemo::unique_handle& thread;
    ~RunThreadCleanup() {
        if (!thread) return;
        args.stop = true;
        if (::WaitForSingleObject(thread.get(), kThreadEndWaitMs) != WAIT_OBJECT_0) {
            ::TerminateThread(thread.get(), kTerminatedExitCode);
            ::WaitForSingleObject(thread.get(), kThreadEndWaitMs);
        }
    }
};

class TestPluginExports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(::SetEnvironmentVariableW(kLogVariable, m_logPath.c_str()));
        m_previousTranslator = vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
        m_plugin.reset(::LoadLibraryW((vemo::test::ExecutableDirectory() + kPluginFile).c_str()));
        ASSERT_TRUE(m_plugin) << "error " << ::GetLastError();
    }
    void TearDown() override {
        vemo::seh::SetSehTranslator(m_previousTranslator);
        ::SetEnvironmentVariableW(kLogVariable, nullptr);
    }

    template <typename Fn>
    Fn Export(HMODULE hModule, const char* pszName) {
        return reinterpret_cast<Fn>(::GetProcAddress(hModule, pszName));
    }

    std::vector<std::string> LogLines() const {
        return vemo::test::SplitLines(vemo::test::ReadFileBytes(m_logPath));
    }

    // The line a call on this thread must have left.
    static std::string ExpectedLine(const char* pszExport, DWORD dwThreadId = ::GetCurrentThreadId()) {
        return std::string(pszExport) + " " + std::to_string(::GetCurrentProcessId()) + " " +
               std::to_string(dwThreadId);
    }

    bool WaitForLine(const std::string& line) const {
        return vemo::test::WaitFor(
            [&] {
                for (const auto& l : LogLines()) {
                    if (l == line) return true;
                }
                return false;
            },
            kEvidenceWaitMs);
    }

    vemo::unique_handle StartRun(const char* pszExport, RunThreadArgs& args) {
        args.pfnRun = Export<PFN_VEMO_PLUGIN_RUN>(m_plugin.get(), pszExport);
        if (!args.pfnRun) return {};
        return vemo::unique_handle(::CreateThread(nullptr, 0, &RunThreadProc, &args, 0, nullptr));
    }

    vemo::test::ScratchDirectory m_scratch{kScratchPrefix};
    std::wstring m_logPath = m_scratch.path() + kLogFileName;
    vemo::seh::SehTranslator m_previousTranslator = nullptr;
    vemo::unique_hmodule m_plugin;
};

TEST_F(TestPluginExports, EveryVariantIsExportedUndecoratedAndRunMenuIsNot) {
    for (const char* name : kInitializeExports) EXPECT_NE(nullptr, ::GetProcAddress(m_plugin.get(), name)) << name;
    for (const char* name : kRunExports) EXPECT_NE(nullptr, ::GetProcAddress(m_plugin.get(), name)) << name;
    for (const char* name : kUninitializeExports) EXPECT_NE(nullptr, ::GetProcAddress(m_plugin.get(), name)) << name;
    EXPECT_EQ(nullptr, ::GetProcAddress(m_plugin.get(), VEMO_PLUGIN_RUN_MENU_NAME));
    EXPECT_EQ(nullptr, ::GetProcAddress(m_plugin.get(), VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME));
}

TEST_F(TestPluginExports, InitializeVariantsReturnTheirResultAndLeaveALine) {
    EXPECT_TRUE(Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), VEMO_PLUGIN_INITIALIZE_NAME)());
    EXPECT_TRUE(Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), "InitializeTrue")());
    EXPECT_FALSE(Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), "InitializeFalse")());
    const std::vector<std::string> expected = {ExpectedLine(VEMO_PLUGIN_INITIALIZE_NAME),
                                               ExpectedLine("InitializeTrue"), ExpectedLine("InitializeFalse")};
    EXPECT_EQ(expected, LogLines());
}

TEST_F(TestPluginExports, InitializeThrowThrowsAnOrdinaryException) {
    const auto pfn = Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), "InitializeThrow");
    ASSERT_NE(nullptr, pfn);
    bool caught = false;
    try {
        vemo::seh::GuardedCall([&] { pfn(); });
    } catch (const vemo::seh::SehException&) {
        ADD_FAILURE() << "a C++ exception arrived as a fault";
    } catch (...) {
        caught = true;
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(std::vector<std::string>{ExpectedLine("InitializeThrow")}, LogLines());
}

TEST_F(TestPluginExports, InitializeFaultIsAnAccessViolation) {
    const auto pfn = Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), "InitializeFault");
    ASSERT_NE(nullptr, pfn);
    DWORD code = 0;
    try {
        vemo::seh::GuardedCall([&] { pfn(); });
    } catch (const vemo::seh::SehException& e) {
        code = e.code();
    }
    EXPECT_EQ(kAccessViolation, code);
    EXPECT_EQ(std::vector<std::string>{ExpectedLine("InitializeFault")}, LogLines());
}

TEST_F(TestPluginExports, InitializeSlowTakesItsTimeAndSucceeds) {
    const auto pfn = Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), "InitializeSlow");
    ASSERT_NE(nullptr, pfn);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(pfn());
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, kSlowLowerBoundMs);
    EXPECT_LT(elapsed, kSlowUpperBoundMs);
    EXPECT_EQ(std::vector<std::string>{ExpectedLine("InitializeSlow")}, LogLines());
}

TEST_F(TestPluginExports, RunPollersEndWithZeroOnlyOnceTheFlagIsSet) {
    for (const char* name : {VEMO_PLUGIN_RUN_NAME, "RunPollStop"}) {
        RunThreadArgs args;
        const vemo::unique_handle thread = StartRun(name, args);
        const RunThreadCleanup cleanup{args, thread};
        ASSERT_TRUE(thread) << name;
        const DWORD tid = ::GetThreadId(thread.get());
        ASSERT_TRUE(WaitForLine(ExpectedLine(name, tid))) << name;
        EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(thread.get(), 0)) << name << " ended before the flag was set";
        args.stop = true;
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kThreadEndWaitMs)) << name;
        DWORD exitCode = kTerminatedExitCode;
        ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
        EXPECT_EQ(static_cast<DWORD>(kRunNormalEnd), exitCode) << name;
    }
}

TEST_F(TestPluginExports, RunIgnoreStopKeepsRunningUntilTerminated) {
    RunThreadArgs args;
    const vemo::unique_handle thread = StartRun("RunIgnoreStop", args);
    const RunThreadCleanup cleanup{args, thread};
    ASSERT_TRUE(thread);
    ASSERT_TRUE(WaitForLine(ExpectedLine("RunIgnoreStop", ::GetThreadId(thread.get()))));
    args.stop = true;
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(thread.get(), kIgnoreStopObservationMs));
    // What the host does to a plug-in past its unload time.
    ASSERT_TRUE(::TerminateThread(thread.get(), kTerminatedExitCode));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kThreadEndWaitMs));
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(kTerminatedExitCode, exitCode);
}

TEST_F(TestPluginExports, RunReturn3ReturnsThreeWithoutLookingAtTheFlag) {
    const auto pfn = Export<PFN_VEMO_PLUGIN_RUN>(m_plugin.get(), "RunReturn3");
    ASSERT_NE(nullptr, pfn);
    const volatile bool stop = false;
    EXPECT_EQ(kRunReturn3Result, pfn(&stop));
    EXPECT_EQ(std::vector<std::string>{ExpectedLine("RunReturn3")}, LogLines());
}

TEST_F(TestPluginExports, RunFaultIsAnAccessViolationAndRunThrowAnOrdinaryException) {
    const volatile bool stop = false;
    const auto pfnFault = Export<PFN_VEMO_PLUGIN_RUN>(m_plugin.get(), "RunFault");
    const auto pfnThrow = Export<PFN_VEMO_PLUGIN_RUN>(m_plugin.get(), "RunThrow");
    ASSERT_NE(nullptr, pfnFault);
    ASSERT_NE(nullptr, pfnThrow);
    DWORD code = 0;
    try {
        vemo::seh::GuardedCall([&] { pfnFault(&stop); });
    } catch (const vemo::seh::SehException& e) {
        code = e.code();
    }
    EXPECT_EQ(kAccessViolation, code);
    bool caught = false;
    try {
        vemo::seh::GuardedCall([&] { pfnThrow(&stop); });
    } catch (const vemo::seh::SehException&) {
        ADD_FAILURE() << "a C++ exception arrived as a fault";
    } catch (...) {
        caught = true;
    }
    EXPECT_TRUE(caught);
    const std::vector<std::string> expected = {ExpectedLine("RunFault"), ExpectedLine("RunThrow")};
    EXPECT_EQ(expected, LogLines());
}

TEST_F(TestPluginExports, DivZeroVariantsRaiseARealIntegerDivisionByZero) {
    const RoleExport variants[] = {{"InitializeDivZero", &InvokeInitialize},
                                   {"RunDivZero", &InvokeRun},
                                   {"UninitializeDivZero", &InvokeUninitialize}};
    std::vector<std::string> expected;
    for (const RoleExport& variant : variants) {
        const FARPROC pfn = ::GetProcAddress(m_plugin.get(), variant.name);
        ASSERT_NE(nullptr, pfn) << variant.name;
        EXPECT_EQ(kIntegerDivideByZero, GuardedFaultCode(pfn, variant.invoke)) << variant.name;
        expected.push_back(ExpectedLine(variant.name));
    }
    EXPECT_EQ(expected, LogLines());
}

TEST_F(TestPluginExports, UninitializeFaultIsAnAccessViolationAndUninitializeThrowAnOrdinaryException) {
    const FARPROC pfnFault = ::GetProcAddress(m_plugin.get(), "UninitializeFault");
    const FARPROC pfnThrow = ::GetProcAddress(m_plugin.get(), "UninitializeThrow");
    ASSERT_NE(nullptr, pfnFault);
    ASSERT_NE(nullptr, pfnThrow);
    EXPECT_EQ(kAccessViolation, GuardedFaultCode(pfnFault, &InvokeUninitialize));
    bool caught = false;
    DWORD code = 0;
    try {
        code = GuardedFaultCode(pfnThrow, &InvokeUninitialize);
    } catch (const std::runtime_error&) {
        caught = true;
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(0u, code) << "a C++ exception arrived as a fault";
    const std::vector<std::string> expected = {ExpectedLine("UninitializeFault"), ExpectedLine("UninitializeThrow")};
    EXPECT_EQ(expected, LogLines());
}

TEST_F(TestPluginExports, StackOverflowVariantsExhaustTheStackOfAPluginSizedThread) {
    const RoleExport variants[] = {{"InitializeStackOverflow", &InvokeInitialize},
                                   {"RunStackOverflow", &InvokeRun},
                                   {"UninitializeStackOverflow", &InvokeUninitialize}};
    for (const RoleExport& variant : variants) {
        OverflowCall call;
        call.pfn = ::GetProcAddress(m_plugin.get(), variant.name);
        call.invoke = variant.invoke;
        ASSERT_NE(nullptr, call.pfn) << variant.name;
        const vemo::unique_handle thread(::CreateThread(nullptr, kPluginStackReservation, &OverflowThreadProc, &call,
                                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        ASSERT_TRUE(thread) << variant.name;
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kThreadEndWaitMs)) << variant.name;
        DWORD exitCode = STILL_ACTIVE;
        ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
        EXPECT_TRUE(WaitForLine(ExpectedLine(variant.name, ::GetThreadId(thread.get())))) << variant.name;
        if (vemo::test::RunningUnderWine()) {
            // Wine 8 commits the whole stack and keeps its only guard page at the very bottom: the
            // overflow leaves too little stack to dispatch it, and Wine ends the thread
            // ("virtual_setup_exception stack overflow") before any handler runs.
            EXPECT_EQ(0u, call.caughtCode) << variant.name;
            EXPECT_NE(kOverflowThreadReturned, exitCode) << variant.name;
        } else {
            EXPECT_EQ(kStackOverflow, call.caughtCode) << variant.name;
            EXPECT_EQ(kOverflowThreadReturned, exitCode) << variant.name;
        }
    }
}

TEST_F(TestPluginExports, UninitializeLeavesALine) {
    const auto pfn = Export<PFN_VEMO_PLUGIN_UNINITIALIZE>(m_plugin.get(), VEMO_PLUGIN_UNINITIALIZE_NAME);
    ASSERT_NE(nullptr, pfn);
    pfn();
    EXPECT_EQ(std::vector<std::string>{ExpectedLine(VEMO_PLUGIN_UNINITIALIZE_NAME)}, LogLines());
}

TEST_F(TestPluginExports, WithoutTheVariableNothingIsWritten) {
    ASSERT_TRUE(::SetEnvironmentVariableW(kLogVariable, nullptr));
    EXPECT_TRUE(Export<PFN_VEMO_PLUGIN_INITIALIZE>(m_plugin.get(), VEMO_PLUGIN_INITIALIZE_NAME)());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_logPath.c_str()));
}

TEST_F(TestPluginExports, TheSecondPluginOffersOnlyUnitializeForTheLastStep) {
    const vemo::unique_hmodule second(
        ::LoadLibraryW((vemo::test::ExecutableDirectory() + kUnitializePluginFile).c_str()));
    ASSERT_TRUE(second) << "error " << ::GetLastError();
    EXPECT_NE(nullptr, ::GetProcAddress(second.get(), VEMO_PLUGIN_INITIALIZE_NAME));
    EXPECT_NE(nullptr, ::GetProcAddress(second.get(), VEMO_PLUGIN_RUN_NAME));
    EXPECT_EQ(nullptr, ::GetProcAddress(second.get(), VEMO_PLUGIN_UNINITIALIZE_NAME));
    EXPECT_EQ(nullptr, ::GetProcAddress(second.get(), VEMO_PLUGIN_RUN_MENU_NAME));
    for (const char* name : kInitializeExports) {
        if (std::string(name) != VEMO_PLUGIN_INITIALIZE_NAME) {
            EXPECT_EQ(nullptr, ::GetProcAddress(second.get(), name)) << name;
        }
    }
    const auto pfn = Export<PFN_VEMO_PLUGIN_UNINITIALIZE>(second.get(), VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME);
    ASSERT_NE(nullptr, pfn);
    pfn();
    EXPECT_EQ(std::vector<std::string>{ExpectedLine(VEMO_PLUGIN_UNINITIALIZE_FALLBACK_NAME)}, LogLines());
}

}  // namespace
