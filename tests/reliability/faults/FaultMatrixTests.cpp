// Every way a plug-in can crash, in every entry point, beside a healthy plug-in: the faulty
// thread ends as its fault says, the healthy one runs and ends normally, the unload sequence ends
// both in time and frees the module, the process survives, and no dump is written, because inside
// the plug-in calls the translator that throws without a dump holds.
// Rows whose faulty initialise holds the barrier for its 30 s, and the stack overflows, each run
// in a child of this program, all started together at the beginning, so the waits overlap.
#include <gtest/gtest.h>
#include <windows.h>

#include <future>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "FaultTestsEnv.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginUnloading.h"

namespace {

using namespace faulttest;
using vemo::test::Narrow;

constexpr wchar_t kFaultyName[] = L"fehlerhaft";
constexpr wchar_t kHealthyName[] = L"gesund";
constexpr char kMatrixSuite[] = "FaultMatrix/FaultMatrixTest";
constexpr char kChildArgument[] = " --fault-row-child";
constexpr DWORD kChildTimeoutMs = 180000;
constexpr char kOneTestPassed[] = "[  PASSED  ] 1 test.";

enum class Stage { kInitialize, kRun, kUninitialize };
enum class Outcome {
    kException,      // a fault or a C++ exception leaves the entry point
    kStackOverflow,  // a fault that needs stack to be handled
    kInitializeFalse,
    kTerminated,  // Run never returns: the unload sequence terminates the thread
};

struct FaultRow {
    const char* name;
    Stage stage;
    Outcome outcome;
    const wchar_t* faultingExport;
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

const FaultRow kRows[] = {
    {"InitializeAccessViolation", Stage::kInitialize, Outcome::kException, L"InitializeFault"},
    {"InitializeDivideByZero", Stage::kInitialize, Outcome::kException, L"InitializeDivZero"},
    {"InitializeStackOverflow", Stage::kInitialize, Outcome::kStackOverflow, L"InitializeStackOverflow"},
    {"InitializeThrow", Stage::kInitialize, Outcome::kException, L"InitializeThrow"},
    {"RunAccessViolation", Stage::kRun, Outcome::kException, L"RunFault"},
    {"RunDivideByZero", Stage::kRun, Outcome::kException, L"RunDivZero"},
    {"RunStackOverflow", Stage::kRun, Outcome::kStackOverflow, L"RunStackOverflow"},
    {"RunThrow", Stage::kRun, Outcome::kException, L"RunThrow"},
    {"UninitializeAccessViolation", Stage::kUninitialize, Outcome::kException, L"UninitializeFault"},
    {"UninitializeDivideByZero", Stage::kUninitialize, Outcome::kException, L"UninitializeDivZero"},
    {"UninitializeStackOverflow", Stage::kUninitialize, Outcome::kStackOverflow, L"UninitializeStackOverflow"},
    {"UninitializeThrow", Stage::kUninitialize, Outcome::kException, L"UninitializeThrow"},
    {"InitializeReturnsFalse", Stage::kInitialize, Outcome::kInitializeFalse, L"InitializeFalse"},
    {"RunIgnoresTheStopFlag", Stage::kRun, Outcome::kTerminated, L"RunIgnoreStop"},
};

// An initialise that ends by an exception never releases its slot: the others wait the full 30 s.
bool HoldsTheBarrier(const FaultRow& row) {
    return row.stage == Stage::kInitialize && row.outcome != Outcome::kInitializeFalse;
}
bool RunsInChild(const FaultRow& row) { return HoldsTheBarrier(row) || row.outcome == Outcome::kStackOverflow; }

// Wine 8 commits a 64-bit thread's whole stack and keeps its only guard page at the very bottom,
// so an overflow leaves less stack than dispatching the exception takes: Wine ends the thread
// itself ("virtual_setup_exception stack overflow ... bytes") with exit code 0, before any handler
// of the host runs. A 32-bit thread under Wine's WOW64, like any thread on Windows, has its
// overflow dispatched to the host's handler like any other fault.
bool WineEndsTheThread(const FaultRow& row) {
    return row.outcome == Outcome::kStackOverflow && vemo::test::RunningUnderWine() && sizeof(void*) == 8;
}
bool HostCatches(const FaultRow& row) {
    return row.outcome == Outcome::kException || (row.outcome == Outcome::kStackOverflow && !WineEndsTheThread(row));
}

PluginSpec FaultySpec(const FaultRow& row) {
    PluginSpec spec{kFaultyName, L"Initialize", L"RunPollStop"};
    if (row.stage == Stage::kInitialize) spec.initialize = row.faultingExport;
    if (row.stage == Stage::kRun) spec.run = row.faultingExport;
    if (row.stage == Stage::kUninitialize) spec.uninitialize = row.faultingExport;
    return spec;
}
PluginSpec HealthySpec() { return {kHealthyName, L"InitializeTrue", L"RunPollStop"}; }

// The entry points the faulty plug-in's thread reaches: up to and including the failing one.
std::vector<std::string> ExpectedFaultyCalls(const FaultRow& row) {
    const PluginSpec spec = FaultySpec(row);
    std::vector<std::string> calls = {Narrow(spec.initialize)};
    if (row.stage != Stage::kInitialize) calls.push_back(Narrow(spec.run));
    if (row.stage == Stage::kUninitialize) calls.push_back(Narrow(spec.uninitialize));
    return calls;
}

std::string Named(const char* format, const wchar_t* name) {
    std::string text(format);
    text.replace(text.find("%s"), 2, Narrow(name));
    return text;
}

// --- the rows run by children --------------------------------------------------------------

class ChildRows {
public:
    static ChildRows& Instance() {
        static ChildRows rows;
        return rows;
    }
    void Start(const std::string& fullTestName) {
        const std::wstring output = m_outputDir.path() + std::to_wstring(m_runs.size()) + L".txt";
        const std::wstring program = vemo::test::ExecutableDirectory() + ProgramName();
        const std::wstring arguments = L"--gtest_filter=" + Wide(fullTestName) + Wide(kChildArgument);
        m_runs[fullTestName] = std::async(std::launch::async, [=] {
                                   return vemo::test::RunProcessCaptured(program, arguments, output, kChildTimeoutMs);
                               }).share();
    }
    // The child's outcome; a row nobody started is started now.
    vemo::test::CapturedProcess Result(const std::string& fullTestName) {
        if (!m_runs.contains(fullTestName)) Start(fullTestName);
        return m_runs[fullTestName].get();
    }

private:
    static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
    static std::wstring ProgramName() {
        wchar_t path[MAX_PATH] = {};
        const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        const std::wstring full(path, n < MAX_PATH ? n : 0);
        return full.substr(full.find_last_of(L"\\/") + 1);
    }

    // Declared first, so it outlives the runs, whose destruction waits for the children.
    vemo::test::ScratchDirectory m_outputDir{L"faults_children"};
    std::map<std::string, std::shared_future<vemo::test::CapturedProcess>> m_runs;
};

// Starts every child row the filter selects before the first test runs.
class ChildRowsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (InChildProcess()) return;
        const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
        for (int i = 0; i < unit.total_test_suite_count(); ++i) {
            const ::testing::TestSuite& suite = *unit.GetTestSuite(i);
            if (std::string(suite.name()) != kMatrixSuite) continue;
            for (int j = 0; j < suite.total_test_count(); ++j) {
                const ::testing::TestInfo& info = *suite.GetTestInfo(j);
                if (!info.should_run()) continue;
                const std::string testName = info.name();
                const std::string rowName = testName.substr(testName.find_last_of('/') + 1);
                for (const FaultRow& row : kRows) {
                    if (rowName == row.name && RunsInChild(row)) {
                        ChildRows::Instance().Start(std::string(suite.name()) + "." + testName);
                    }
                }
            }
        }
    }
};
[[maybe_unused]] ::testing::Environment* const g_childRowsEnvironment =
    ::testing::AddGlobalTestEnvironment(new ChildRowsEnvironment);

// --- the matrix ------------------------------------------------------------------------------

class FaultMatrixTest : public ::testing::TestWithParam<FaultRow> {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
        RemoveEvidence();
    }
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
    }

    void CheckInThisProcess(const FaultRow& row);

    vemo::test::Recorder recorder;
};

void FaultMatrixTest::CheckInThisProcess(const FaultRow& row) {
    ASSERT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll)) << "an earlier test left the plug-in loaded";
    const std::set<std::wstring> dumpsBefore = vemo::test::FileNamesIn(DumpDirectory());
    const std::vector<PluginSpec> specs = {FaultySpec(row), HealthySpec()};
    const std::vector<vemo::unique_handle> threads = HostFromConfiguration(specs);
    ASSERT_EQ(2, g_numActivePluginInfo) << AllTraces(recorder);
    ASSERT_EQ(2u, threads.size());
    ASSERT_TRUE(threads[0] && threads[1]) << "both plug-ins must be loaded and running";
    const DWORD faultyTid = ::GetThreadId(threads[0].get());
    const DWORD healthyTid = ::GetThreadId(threads[1].get());

    // A fault before the stop ends its thread on its own; the healthy plug-in runs all the same.
    if (row.stage != Stage::kUninitialize && row.outcome != Outcome::kTerminated) {
        EXPECT_NE(STILL_ACTIVE, ExitCodeAfterEnd(threads[0].get(), kPromptMs)) << AllTraces(recorder);
    }
    ASSERT_TRUE(WaitForCall("RunPollStop", healthyTid, HoldsTheBarrier(row) ? kBarrierBoundMs : kPromptMs))
        << AllTraces(recorder);
    if (row.stage != Stage::kInitialize) {
        ASSERT_TRUE(WaitForCall(Narrow(specs[0].run), faultyTid, kPromptMs)) << AllTraces(recorder);
    }

    const ULONGLONG unloadMs = TimedUnload();
    EXPECT_LE(unloadMs, UnloadTimeoutMs(specs) + kUnloadSlackMs);

    // The faulty thread ended as its fault says, the healthy one normally, after Uninitialize.
    const DWORD faultyExit = ExitCodeAfterEnd(threads[0].get(), kPromptMs);
    EXPECT_EQ(HostCatches(row) ? kExceptionExitCode : 0u, faultyExit);
    EXPECT_EQ(0u, ExitCodeAfterEnd(threads[1].get(), kPromptMs));
    EXPECT_EQ(ExpectedFaultyCalls(row), CallsOf(faultyTid));
    const std::vector<std::string> healthyCalls = {"InitializeTrue", "RunPollStop", "Uninitialize"};
    EXPECT_EQ(healthyCalls, CallsOf(healthyTid));

    EXPECT_EQ(HostCatches(row) ? 1u : 0u,
              CountTraces(recorder, Named("Exception in HostPluginDll, plugin: <%s>!", kFaultyName)));
    EXPECT_EQ(0u, CountTraces(recorder, Named("Exception in HostPluginDll, plugin: <%s>!", kHealthyName)));
    EXPECT_EQ(row.outcome == Outcome::kInitializeFalse ? 1u : 0u,
              CountTraces(recorder, Named("---> Initialize() in Plugin <%s> fehlgeschlagen! Run() wird nicht gestartet!",
                                          kFaultyName)));
    // Only the healthy plug-in waits at the barrier; it gives up after 30 s when the slot stays empty.
    EXPECT_EQ(HoldsTheBarrier(row) ? 1u : 0u, CountTraces(recorder, "Initialization-Timer überschritten"));
    const bool terminated = row.outcome == Outcome::kTerminated;
    EXPECT_EQ(terminated ? 1u : 0u, CountTraces(recorder, "Plugin-Thread wurde terminiert"));
    EXPECT_EQ(terminated ? 0u : 1u, CountTraces(recorder, "Keine aktiven Plugins mehr vorhanden!"));

    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_EQ(0, g_numActivePluginInfo);
    EXPECT_EQ(dumpsBefore, vemo::test::FileNamesIn(DumpDirectory()));
}

TEST_P(FaultMatrixTest, FaultyPluginEndsAsItsFaultSaysBesideAHealthyOne) {
    const FaultRow& row = GetParam();
    if (InChildProcess() || !RunsInChild(row)) {
        CheckInThisProcess(row);
        return;
    }
    const ::testing::TestInfo& info = *::testing::UnitTest::GetInstance()->current_test_info();
    const vemo::test::CapturedProcess child =
        ChildRows::Instance().Result(std::string(info.test_suite_name()) + "." + info.name());
    ASSERT_TRUE(child.result.finished) << "the child did not end within its time\n" << child.output;
    // A filter that matched nothing would end with 0 as well: the row must have run and passed.
    const bool passed = child.result.exitCode == 0 && child.output.find(kOneTestPassed) != std::string::npos;
    EXPECT_TRUE(passed) << "child exit code " << child.result.exitCode << "\n" << child.output;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, FaultMatrixTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });

}  // namespace
