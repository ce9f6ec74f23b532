// More active plug-ins than one wait covers (64 events): the barrier's wait fails at once for
// every waiter, each traces it and goes on, so a plug-in whose initialise threw holds nobody up.
// Every other plug-in still reaches Run, the unload sequence ends them all and frees the module,
// and a following start with few plug-ins has its barrier back.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "FaultTestsEnv.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"

namespace {

using namespace faulttest;

constexpr size_t kPlugins = 72;
// One initialise throws among the first 64 slots, one fails beyond them.
constexpr size_t kThrowingInitialize = 10;
constexpr size_t kFailingInitialize = 68;
static_assert(kPlugins > MAXIMUM_WAIT_OBJECTS && kThrowingInitialize < MAXIMUM_WAIT_OBJECTS &&
              kFailingInitialize >= MAXIMUM_WAIT_OBJECTS && kFailingInitialize < kPlugins);
constexpr size_t kRunners = kPlugins - 2;
constexpr size_t kFewPlugins = 2;
constexpr char kTimerExceeded[] = "Initialization-Timer überschritten";

std::wstring PluginName(size_t i) { return L"p" + std::to_wstring(i); }

std::vector<PluginSpec> ManySpecs() {
    std::vector<PluginSpec> specs;
    for (size_t i = 0; i < kPlugins; ++i) {
        const wchar_t* initialize = i == kThrowingInitialize  ? L"InitializeThrow"
                                    : i == kFailingInitialize ? L"InitializeFalse"
                                                              : L"InitializeTrue";
        specs.push_back({PluginName(i), initialize, L"RunPollStop"});
    }
    return specs;
}

class ManyPluginsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        ASSERT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll)) << "an earlier test left the plug-in loaded";
        m_dumpsBefore = vemo::test::FileNamesIn(DumpDirectory());
    }
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
        EXPECT_EQ(m_dumpsBefore, vemo::test::FileNamesIn(DumpDirectory()));
    }

    size_t RunnersInRun(const std::vector<DWORD>& threadIds) const {
        return static_cast<size_t>(std::count_if(threadIds.begin(), threadIds.end(), [](DWORD tid) {
            const std::vector<std::string> calls = CallsOf(tid);
            return std::find(calls.begin(), calls.end(), "RunPollStop") != calls.end();
        }));
    }

    void HostManyAndEndThem();
    void HostFewWithTheirBarrier();

    vemo::test::Recorder recorder;

private:
    std::set<std::wstring> m_dumpsBefore;
};

void ManyPluginsTest::HostManyAndEndThem() {
    recorder.Reset();
    RemoveEvidence();
    const std::vector<PluginSpec> specs = ManySpecs();
    const std::vector<vemo::unique_handle> threads = HostFromConfiguration(specs);
    ASSERT_EQ(static_cast<int32_t>(kPlugins), g_numActivePluginInfo) << AllTraces(recorder);
    ASSERT_EQ(kPlugins, threads.size());
    std::vector<DWORD> runnerIds;
    for (size_t i = 0; i < kPlugins; ++i) {
        ASSERT_TRUE(threads[i]) << "plug-in " << i << " was not started";
        if (i != kThrowingInitialize && i != kFailingInitialize) runnerIds.push_back(::GetThreadId(threads[i].get()));
    }

    // Nobody waits for the slot the throwing initialise left empty: Run comes well before 30 s.
    ASSERT_TRUE(vemo::test::WaitFor([&] { return RunnersInRun(runnerIds) == kRunners; }, kPromptMs))
        << RunnersInRun(runnerIds) << " of " << kRunners << " reached Run";
    // Then as the initialisation thread does: its wait over all events fails as well and is traced.
    EXPECT_TRUE(WaitForPluginInitialization());
    EXPECT_EQ(kExceptionExitCode, ExitCodeAfterEnd(threads[kThrowingInitialize].get(), kPromptMs));
    EXPECT_EQ(0u, ExitCodeAfterEnd(threads[kFailingInitialize].get(), kPromptMs));
    // Every plug-in that initialised waited once, and so did we.
    EXPECT_EQ(kRunners + 1, CountTraces(recorder, kTimerExceeded));
    const std::string thrower = vemo::test::Narrow(PluginName(kThrowingInitialize));
    const std::string failer = vemo::test::Narrow(PluginName(kFailingInitialize));
    EXPECT_EQ(1u, CountTraces(recorder, "Exception in HostPluginDll, plugin: <" + thrower + ">!"));
    EXPECT_EQ(1u, CountTraces(recorder, "---> Initialize() in Plugin <" + failer +
                                            "> fehlgeschlagen! Run() wird nicht gestartet!"));

    const ULONGLONG unloadMs = TimedUnload();
    EXPECT_LE(unloadMs, UnloadTimeoutMs(specs) + kUnloadSlackMs);
    EXPECT_EQ(1u, CountTraces(recorder, "Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(0u, CountTraces(recorder, "Plugin-Thread wurde terminiert"));

    const std::vector<std::string> runnerCalls = {"InitializeTrue", "RunPollStop", "Uninitialize"};
    for (size_t i = 0; i < kPlugins; ++i) {
        const DWORD tid = ::GetThreadId(threads[i].get());
        if (i == kThrowingInitialize) {
            EXPECT_EQ(std::vector<std::string>{"InitializeThrow"}, CallsOf(tid));
        } else if (i == kFailingInitialize) {
            EXPECT_EQ(std::vector<std::string>{"InitializeFalse"}, CallsOf(tid));
        } else {
            EXPECT_EQ(runnerCalls, CallsOf(tid)) << "plug-in " << i;
            EXPECT_EQ(0u, ExitCodeAfterEnd(threads[i].get(), kPromptMs)) << "plug-in " << i;
        }
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
    EXPECT_EQ(nullptr, g_hPluginsInitialized.get());
    EXPECT_EQ(0, g_numActivePluginInfo);
    EXPECT_EQ(0, g_numPluginInfo);
}

void ManyPluginsTest::HostFewWithTheirBarrier() {
    recorder.Reset();
    RemoveEvidence();
    const std::vector<PluginSpec> specs = {{L"erster", L"InitializeTrue", L"RunPollStop"},
                                           {L"zweiter", L"Initialize", L"Run"}};
    const std::vector<vemo::unique_handle> threads = HostFromConfiguration(specs);
    ASSERT_EQ(static_cast<int32_t>(kFewPlugins), g_numActivePluginInfo) << AllTraces(recorder);
    ASSERT_TRUE(threads[0] && threads[1]);
    EXPECT_TRUE(WaitForPluginInitialization());
    ASSERT_TRUE(WaitForCall("RunPollStop", ::GetThreadId(threads[0].get()), kPromptMs));
    ASSERT_TRUE(WaitForCall("Run", ::GetThreadId(threads[1].get()), kPromptMs));
    EXPECT_EQ(0u, CountTraces(recorder, kTimerExceeded));
    UnloadPlugins();
    EXPECT_EQ(0u, ExitCodeAfterEnd(threads[0].get(), kPromptMs));
    EXPECT_EQ(0u, ExitCodeAfterEnd(threads[1].get(), kPromptMs));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
}

TEST_F(ManyPluginsTest, MoreThanSixtyFourPluginsAllRunWithoutABarrierAndAllEnd) {
    const int cycles = vemo::test::ScaledCount(1, 3);
    for (int i = 0; i < cycles && !HasFatalFailure(); ++i) HostManyAndEndThem();
    if (!HasFatalFailure()) HostFewWithTheirBarrier();
}

}  // namespace
