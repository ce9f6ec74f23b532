// Plug-in threads, the barrier and the unload sequence with the real test plug-ins: who runs when, how
// the host ends them, and that a cycle gives back every handle and its memory. Faults: FaultMatrixTests.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "EventRecorder.h"
#include "PluginHosting.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracing;

namespace {
constexpr DWORD kPromptMs = 15000;  // well below the barrier's 30 s
constexpr size_t kLeakCyclePlugins = 8;
constexpr int kLeakCycles = 6;

// Wine frees an ended thread's stack when the next thread ends: one ended just before every reading.
SIZE_T SettledPrivateBytes() {
    std::thread([] {}).join();
    return PrivateBytes();
}

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
    }
    void Host(const std::vector<PluginSpec>& specs) { threads = HostDescribed(specs); }
    DWORD ExitCode(size_t i) { return ExitCodeAfterEnd(threads[i].get(), kPromptMs); }

    Recorder recorder;
    EventRecorder events;
    ScratchDirectory scratch{L"pluginhost"};
    Evidence evidence{scratch.path() + L"evidence.log"};
    std::vector<vemo::unique_handle> threads;
};

// A listener is neither waited for nor called (its loading: LoadingPass); Run's result 3 is a
// warning and still a normal end; one module serves every descriptor and is freed once.
TEST_F(PluginHostTest, AListenerAndARunReturningThreeEndNormallyAndTheModuleGoesOnce) {
    Host({{.name = L"laeuft", .run = L"RunPollStop"},
          {.name = L"drei", .initialize = L"InitializeTrue", .run = L"RunReturn3"},
          {.name = L"horcht", .initialize = L"InitializeSlow", .run = L"RunIgnoreStop", .listener = true}});
    ASSERT_TRUE(evidence.WaitForCall("RunPollStop"));
    EXPECT_EQ(0u, ExitCode(1));
    const std::vector<TraceRecord> returned =
        recorder.Lines("Run() aus PluginName <drei> zurückgekehrt mit Returncode <3> , rufen UnInit()");
    ASSERT_EQ(1u, returned.size());
    EXPECT_EQ(kLevelWarning, returned[0].level);
    EXPECT_EQ(1u, evidence.Calls("Uninitialize"));
    EXPECT_EQ(0u, ExitCode(2));
    EXPECT_EQ(0u, evidence.Calls("InitializeSlow"));

    UnloadPlugins();
    EXPECT_EQ(1u, recorder.Count("Keine aktiven Plugins mehr vorhanden!"));  // none terminated
    EXPECT_EQ(2u, evidence.Calls("Uninitialize"));
    EXPECT_EQ(1u, recorder.Count("Entladen von Plugin <"));
    EXPECT_EQ(1u, recorder.CountExact("Entladen von Plugin <laeuft>"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_TRUE(!g_vecPluginInfo && !g_hPluginsInitialized && g_numActivePluginInfo == 0 && g_numPluginInfo == 0);
}

// The barrier: no Run starts before every initialise has returned and released its slot.
TEST_F(PluginHostTest, NoRunStartsBeforeEveryInitialiseHasReturned) {
    Host({{.name = L"langsam", .initialize = L"InitializeSlow", .run = L"RunPollStop"}, {.name = L"schnell"}});
    ASSERT_TRUE(evidence.WaitForCall("Run"));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(g_hPluginsInitialized[0].get(), 0));
    EXPECT_TRUE(WaitForPluginInitialization());
    EXPECT_EQ(0u, recorder.Count("Initialization-Timer überschritten"));
}

TEST_F(PluginHostTest, WithoutPluginsThereIsNothingToWaitForOrEnd) {
    EXPECT_FALSE(WaitForPluginInitialization());
    EXPECT_EQ(1u, recorder.Count("Keine Plugins vorhanden"));
    UnloadPlugins();
    EXPECT_EQ(1u, recorder.Count("Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(0u, recorder.Count("Entladen von Plugin"));
}

// A plug-in that cannot be loaded is reported with its module and why; a module built for the other
// architecture with a line that says so. The plug-in beside them runs.
TEST_F(PluginHostTest, APluginThatCannotBeLoadedIsReportedWithItsModuleAndWhy) {
    const std::wstring foreign = scratch.path() + L"Fremd.dll";
    ASSERT_TRUE(WriteFileBytes(foreign, ForeignArchitectureImage()));
    Host({{.name = L"fremd", .run = L"RunPollStop", .binary = L"Fremd.dll", .path = scratch.path()},
          {.name = L"p1", .initialize = L"NoSuchExport"}, {.name = L"p2", .binary = L"Fehlt.dll"},
          {.name = L"heimisch", .run = L"RunPollStop"}});
    EXPECT_EQ(1, CountHostedPlugins());
    const char* own = sizeof(void*) == 4 ? "x86 (32 Bit)" : "x64 (64 Bit)";
    EXPECT_EQ(1u, recorder.Count("Modul <" + Narrow(foreign) + "> kann nicht geladen werden: es ist nicht f\xFCr " + own + " gebaut"));
    const auto notLoaded = events.Events(VEMO_EVENT_PLUGIN_NOT_LOADED);
    ASSERT_EQ(3u, notLoaded.size());
    auto nameAndModule = [&](size_t i) { return notLoaded[i].at(0) + L" " + notLoaded[i].at(1); };
    EXPECT_EQ(L"fremd " + foreign, nameAndModule(0));
    EXPECT_EQ(L"p1 " + PluginDirectory() + kTestPluginDll, nameAndModule(1));
    EXPECT_EQ(L"p2 " + PluginDirectory() + L"Fehlt.dll", nameAndModule(2));
    EXPECT_NE(notLoaded[1].at(2), notLoaded[2].at(2)) << "a missing export and a missing module";
    ASSERT_TRUE(evidence.WaitForCall("RunPollStop"));
    UnloadPlugins();
    EXPECT_EQ(1u, evidence.Calls("Uninitialize"));
}

// -1 and the most negative value, which a far more negative text saturates to: both leave no
// time to wait, so the stop terminates at once instead of waiting for weeks.
TEST_F(PluginHostTest, ANegativeUnloadTimeLeavesNoTimeToWait) {
    for (const int32_t timeout : {-1, std::numeric_limits<int32_t>::min()}) {
        recorder.Reset();
        evidence.Clear();
        Host({{.name = L"negativ", .run = L"RunPollStop", .timeoutUnload = timeout}});
        ASSERT_TRUE(evidence.WaitForCall("RunPollStop")) << timeout;
        UnloadPlugins();
        EXPECT_EQ(1u, recorder.Count("Plugin-Thread <negativ> soll abgeschossen werden")) << timeout;
        EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    }
}

TEST_F(PluginHostTest, ACycleGivesBackEveryHandleAndItsMemory) {
    std::vector<PluginSpec> specs;
    for (size_t i = 0; i < kLeakCyclePlugins; ++i) specs.push_back({.name = L"p" + std::to_wstring(i), .run = L"RunPollStop"});
    auto cycle = [&] {
        Host(specs);
        ASSERT_TRUE(WaitForPluginInitialization());
        ASSERT_TRUE(WaitFor([&] { return evidence.Calls("RunPollStop") >= kLeakCyclePlugins; }, kPromptMs));
        UnloadPlugins();
        threads.clear();
        evidence.Clear();
        recorder.Reset();
    };
    for (int i = 0; i < 3; ++i) cycle();  // first use of heaps, trace buffers and the loader
    // Wine's loader keeps a few KiB per load of a module, and a MinGW x86 module with the static
    // runtime two handles (its thread library's record of the loading thread): measured alone.
    const SIZE_T loaderBefore = SettledPrivateBytes();
    const size_t loaderHandlesBefore = OpenHandles().size();
    for (int i = 0; i < kLeakCycles; ++i) {
        vemo::unique_hmodule(::LoadLibraryW((PluginDirectory() + kTestPluginDll).c_str()));
    }
    const SIZE_T loaderAfter = SettledPrivateBytes();
    const size_t loaderHandles = OpenHandles().size() - loaderHandlesBefore;
    const SIZE_T loaderGrowth = loaderAfter > loaderBefore ? loaderAfter - loaderBefore : 0;
    const std::set<USHORT> handlesBefore = OpenHandles();
    const SIZE_T bytesBefore = SettledPrivateBytes();
    ASSERT_FALSE(handlesBefore.empty()) << "the handle table cannot be read";
    ASSERT_GT(bytesBefore, 0u) << "the memory counters cannot be read";
    for (int i = 0; i < kLeakCycles; ++i) cycle();
    const std::set<USHORT> handlesAfter = OpenHandles();
    std::set<USHORT> added;
    std::ranges::set_difference(handlesAfter, handlesBefore, std::inserter(added, added.end()));
    // Noise: a lock's first contention adds an event for good; Wine counts resident memory, so pages first
    // touched late show as growth, while a stack (1 MiB) or a block per plug-in and cycle does not hide.
    EXPECT_LE(handlesAfter.size(), handlesBefore.size() + loaderHandles + 2) << "new: " << DescribeHandles(added);
    EXPECT_LE(SettledPrivateBytes(), bytesBefore + loaderGrowth + 256 * 1024);
}

}  // namespace
