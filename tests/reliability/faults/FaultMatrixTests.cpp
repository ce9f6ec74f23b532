// Every way a plug-in can crash, in every entry point, beside a healthy plug-in: the faulty thread ends
// as its fault says, the healthy one runs and ends normally, the unload frees the module, no dump is
// written. Rows that hold the 30 s barrier, and the stack overflows, run in children at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <ostream>
#include <set>

#include "EventRecorder.h"
#include "PluginHosting.h"
#include "Recorder.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "configdb/ConfigDB.h"
#include "tracing/Trace.h"

namespace {

using namespace vemo::test;
using vemo::unique_handle;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoFaultTests");

constexpr char kMatrixSuite[] = "FaultMatrix/FaultMatrixTest";
constexpr DWORD kBarrierBoundMs = 60000;  // the barrier's 30 s and room for a loaded machine
constexpr DWORD kPromptMs = 15000;

// The log folder (where dumps go), the configuration folder, the evidence: before anything asks ConfigDB.
class FaultEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        wchar_t answer[MAX_PATH + 1] = {};
        ASSERT_TRUE(SetRegistryString(kProductKey, L"ConfigDBLogDirB0003810", logDir.path()));
        ASSERT_TRUE(RegisterComponent(kBasisComponent, configDir.path()));
        ASSERT_EQ(CDB_OK, CDB_GetLogDir(kOwnComponent, answer, MAX_PATH + 1, true));
        ASSERT_EQ(logDir.path(), std::wstring(answer));
        TraceShouldTrace(vemo::tracing::kLevelInfo);  // binds the trace module next to us
    }
    ScratchDirectory logDir{L"faults_log"};
    ScratchDirectory configDir{L"faults_config"};
    ScratchDirectory evidenceDir{L"faults_evidence"};
    Evidence evidence{evidenceDir.path() + L"evidence.log"};
};
FaultEnvironment* const g_env = static_cast<FaultEnvironment*>(::testing::AddGlobalTestEnvironment(new FaultEnvironment));

enum class Stage { kInitialize, kRun, kUninitialize };
enum class Outcome { kException, kStackOverflow, kInitializeFalse, kTerminated };

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

// Wine 8 keeps a 64-bit thread's only guard page at the very bottom of its stack: an overflow leaves
// too little stack to dispatch it, and Wine ends the thread with 0. Windows and WOW64 dispatch it.
bool HostCatches(const FaultRow& row) {
    return row.outcome == Outcome::kException ||
           (row.outcome == Outcome::kStackOverflow && !(RunningUnderWine() && sizeof(void*) == 8));
}

std::string TestName(const FaultRow& row) {
    return std::string(kMatrixSuite) + ".FaultyPluginEndsAsItsFaultSaysBesideAHealthyOne/" + row.name;
}
// A whole run starts every child row, each with a hive of its own, before the first test; a filtered
// run starts them when it comes to them.
std::map<std::string, std::shared_future<CapturedProcess>> g_childRows;
class ChildRowsEnvironment : public ::testing::Environment {
    void SetUp() override {
        if (InChild() || GTEST_FLAG_GET(filter) != "*") return;
        for (const FaultRow& row : kRows) {
            if (RunsInChild(row)) g_childRows[TestName(row)] = StartChild(TestName(row), {}, Hive::kOwn);
        }
    }
};
[[maybe_unused]] ::testing::Environment* const g_childRowsEnvironment = ::testing::AddGlobalTestEnvironment(new ChildRowsEnvironment);

class FaultMatrixTest : public ::testing::TestWithParam<FaultRow> {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
        g_env->evidence.Clear();
    }
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
    }
    void CheckInThisProcess(const FaultRow& row);

    Recorder recorder;
    EventRecorder events;
};

void FaultMatrixTest::CheckInThisProcess(const FaultRow& row) {
    const Evidence& evidence = g_env->evidence;
    ASSERT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll)) << "an earlier test left the plug-in loaded";
    const std::set<std::wstring> dumpsBefore = FileNamesIn(g_env->logDir.path());
    const PluginSpec faulty{.name = L"fehlerhaft",
                            .initialize = row.stage == Stage::kInitialize ? row.faultingExport : L"Initialize",
                            .run = row.stage == Stage::kRun ? row.faultingExport : L"RunPollStop",
                            .uninitialize = row.stage == Stage::kUninitialize ? row.faultingExport : L"Uninitialize"};
    const PluginSpec healthy{.name = L"gesund", .initialize = L"InitializeTrue", .run = L"RunPollStop"};
    const std::vector<unique_handle> threads =
        HostConfigured(g_env->configDir.path() + L"B0000001.xml", {faulty, healthy});
    ASSERT_EQ(2u, threads.size()) << recorder.All();
    ASSERT_TRUE(threads[0] && threads[1]) << "both plug-ins must be loaded and running";
    const DWORD faultyTid = ::GetThreadId(threads[0].get()), healthyTid = ::GetThreadId(threads[1].get());
    // A fault before the stop ends its thread on its own; the healthy plug-in runs all the same.
    if (row.stage != Stage::kUninitialize && row.outcome != Outcome::kTerminated) {
        EXPECT_NE(STILL_ACTIVE, ExitCodeAfterEnd(threads[0].get(), kPromptMs)) << recorder.All();
    }
    ASSERT_TRUE(evidence.WaitForCall("RunPollStop", healthyTid, HoldsTheBarrier(row) ? kBarrierBoundMs : kPromptMs))
        << recorder.All();
    ASSERT_TRUE(row.stage == Stage::kInitialize || evidence.WaitForCall(Narrow(faulty.run), faultyTid));
    UnloadPlugins();
    // The faulty thread ended as its fault says, the healthy one normally, after Uninitialize.
    EXPECT_EQ(HostCatches(row) ? kPluginThreadExceptionExitCode : 0u, ExitCodeAfterEnd(threads[0].get(), kPromptMs));
    EXPECT_EQ(0u, ExitCodeAfterEnd(threads[1].get(), kPromptMs));
    std::vector<std::string> faultyCalls = {Narrow(faulty.initialize)};
    if (row.stage != Stage::kInitialize) faultyCalls.push_back(Narrow(faulty.run));
    if (row.stage == Stage::kUninitialize) faultyCalls.push_back(Narrow(faulty.uninitialize));
    EXPECT_EQ(faultyCalls, evidence.CallsOf(faultyTid));
    EXPECT_EQ((std::vector<std::string>{"InitializeTrue", "RunPollStop", "Uninitialize"}), evidence.CallsOf(healthyTid));

    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_EQ(dumpsBefore, FileNamesIn(g_env->logDir.path()));
    // The events name the faulty plug-in: the late one at the barrier, the one terminated with its unload time.
    using Inserts = EventRecorder::Inserts;
    auto only = [&](bool expected, DWORD id, const Inserts& inserts) {
        EXPECT_EQ(expected ? std::vector<Inserts>{inserts} : std::vector<Inserts>{}, events.Events(id)) << std::hex << id;
    };
    only(row.outcome == Outcome::kInitializeFalse, VEMO_EVENT_PLUGIN_INIT_FAILED, {faulty.name});
    only(HoldsTheBarrier(row), VEMO_EVENT_BARRIER_TIMEOUT, {faulty.name});
    only(row.outcome == Outcome::kTerminated, VEMO_EVENT_PLUGIN_TERMINATED, {faulty.name, L"2000"});
    const auto faults = events.Events(VEMO_EVENT_PLUGIN_FAULT);
    ASSERT_EQ(HostCatches(row) ? 1u : 0u, faults.size());
    EXPECT_TRUE(faults.empty() || faults[0].at(0) == faulty.name);
}

TEST_P(FaultMatrixTest, FaultyPluginEndsAsItsFaultSaysBesideAHealthyOne) {
    const FaultRow& row = GetParam();
    if (InChild() || !RunsInChild(row)) return CheckInThisProcess(row);
    if (!g_childRows.contains(TestName(row))) g_childRows[TestName(row)] = StartChild(TestName(row), {}, Hive::kOwn);
    const CapturedProcess& child = g_childRows[TestName(row)].get();
    EXPECT_TRUE(Passed(child)) << "exit code " << child.result.exitCode << "\n" << child.output;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, FaultMatrixTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });

}  // namespace
