// Plug-in threads, the initialisation barrier and the unload sequence with the real test plug-ins:
// who runs when, what a failing or crashing plug-in does to the others, how the host ends them,
// and that a whole cycle gives back every handle and its memory.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RecorderClient.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "tracing/Trace.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;
using namespace vemo::tracing;

namespace {
constexpr wchar_t kTestPluginDll[] = L"TestPlugin.dll";
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr DWORD kPromptMs = 15000;  // well below the barrier's 30 s
constexpr DWORD kBarrierBoundMs = 60000;
constexpr double kSlowInitializeSeconds = 4.5;
constexpr int32_t kNegativeTimeout = -1;
constexpr int32_t kTimeoutSevenLooks = 2300;  // 2000, 1700, ... 200 remain: seven looks
constexpr size_t kLeakCyclePlugins = 8;
constexpr int kLeakWarmUpCycles = 3;
constexpr int kLeakCycles = 6;
// Wine reports resident memory, so pages first touched late (a deeper stack, a heap block) show as
// growth; a thread stack left per cycle (1 MiB under Wine) or a block per plug-in and cycle does not hide.
constexpr SIZE_T kPrivateBytesSlack = 256 * 1024;
// Events the runtimes create for a lock on its first contention, which comes at a random cycle and
// stays; a handle lost per cycle still shows as kLeakCycles.
constexpr size_t kHandleNoise = 2;

// Wine frees the stack of an ended thread only when the next thread ends. A thread ended just
// before every reading leaves the same one stack pending each time.
SIZE_T SettledPrivateBytes() {
    std::thread([] {}).join();
    return vemo::test::PrivateBytes();
}

struct Spec {
    const wchar_t* name;
    const wchar_t* initialize;
    const wchar_t* run;
    int type = CPluginInfo::kTypeDll;
    int32_t timeoutUnload = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS;
};

// Plug-ins live next to the test programs, one level above this program's recorder directory.
std::wstring PluginDirectory() { return vemo::test::ExecutableDirectory() + L"..\\"; }

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
        ::SetEnvironmentVariableW(kLogVariable, log.c_str());
    }
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
        ::SetEnvironmentVariableW(kLogVariable, nullptr);
    }

    // Describes, loads and starts the plug-ins the way the service does after discovery.
    void Host(const std::vector<Spec>& specs) {
        const size_t n = specs.size();
        g_vecPluginInfo = std::make_unique<CPluginInfo[]>(n);
        g_hPluginsInitialized = std::make_unique<HANDLE[]>(n);
        g_numPluginInfo = g_numActivePluginInfo = static_cast<int32_t>(n);
        for (size_t i = 0; i < n; ++i) {
            CPluginInfo& pi = g_vecPluginInfo[i];
            pi._name = specs[i].name;
            pi._binaryName = kTestPluginDll;
            pi._path = PluginDirectory();
            pi._initializeName = specs[i].initialize;
            pi._runName = specs[i].run;
            pi._type = specs[i].type;
            pi._timeOutUnload = specs[i].timeoutUnload;
        }
        LoadPlugins(false, false);
        HostPlugins();
    }
    CPluginInfo& Plugin(size_t i) { return g_vecPluginInfo[i]; }

    // Waits for the plug-in's thread to end and gives its exit code.
    DWORD ExitCode(size_t i, DWORD timeoutMs = kPromptMs) {
        if (::WaitForSingleObject(Plugin(i)._hThread, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeThread(Plugin(i)._hThread, &code);
        return code;
    }

    // Lines of the evidence file that name this entry point.
    size_t Calls(const std::string& exportName) const { return vemo::test::CountLinesStartingWith(log, exportName); }
    bool WaitForCall(const std::string& exportName, DWORD timeoutMs = kPromptMs) const {
        return vemo::test::WaitFor([&] { return Calls(exportName) > 0; }, timeoutMs);
    }

    std::vector<TraceRecord> Lines(const std::string& text) const {
        std::vector<TraceRecord> found;
        for (const TraceRecord& r : recorder.Records()) {
            if (r.text.find(text) != std::string::npos) found.push_back(r);
        }
        return found;
    }
    size_t Count(const std::string& text) const { return Lines(text).size(); }

    Recorder recorder;
    vemo::test::ScratchDirectory scratch{L"pluginhost"};
    std::wstring log = scratch.path() + L"evidence.log";
};

double WaitedSeconds(const std::string& line) {
    const size_t at = line.find("wartete <");
    return at == std::string::npos ? -1.0 : std::atof(line.c_str() + at + 9);
}

// --- the barrier ------------------------------------------------------------------------------

TEST_F(PluginHostTest, FailedInitialiseReleasesTheBarrierAndEveryoneEndsCooperatively) {
    Host({{L"faellt", L"InitializeFalse", L"Run"},
          {L"laeuft", L"Initialize", L"RunPollStop"},
          {L"drei", L"InitializeTrue", L"RunReturn3"},
          {L"horcht", L"InitializeSlow", L"RunIgnoreStop", CPluginInfo::kTypeListener}});

    // Nobody waits for the failed plug-in or the listener: Run starts long before 30 s.
    ASSERT_TRUE(WaitForCall("RunPollStop"));
    EXPECT_EQ(0u, ExitCode(0));
    EXPECT_EQ(0u, Calls("Run"));
    EXPECT_EQ(1u, Count("---> Initialize() in Plugin <faellt> fehlgeschlagen! Run() wird nicht gestartet!"));

    // Run's result 3 is a warning and still a normal end.
    EXPECT_EQ(0u, ExitCode(2));
    const std::vector<TraceRecord> returned =
        Lines("Run() aus PluginName <drei> zurückgekehrt mit Returncode <3> , rufen UnInit()");
    ASSERT_EQ(1u, returned.size());
    EXPECT_EQ(kLevelWarning, returned[0].level);
    EXPECT_EQ(1u, Calls("Uninitialize"));

    // The loading pass loaded all four and released the listener's slot itself.
    EXPECT_EQ(1u, Count("Plugin <horcht> wird geladen."));
    EXPECT_EQ(1u, Count("setEventNow <1>, Plugin <horcht>"));
    EXPECT_EQ(1u, Count("setEventNow <0>, Plugin <laeuft>"));
    // The listener's thread calls nothing.
    EXPECT_EQ(0u, ExitCode(3));
    EXPECT_EQ(0u, Calls("InitializeSlow"));
    EXPECT_EQ(0u, Count("Initialization-Timer überschritten"));

    EXPECT_TRUE(WaitForPluginInitialization());
    HMODULE module = ::GetModuleHandleW(kTestPluginDll);
    ASSERT_NE(nullptr, module);

    UnloadPlugins();
    EXPECT_EQ(1u, Count("Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(0u, Count("soll abgeschossen werden"));
    EXPECT_EQ(2u, Calls("Uninitialize"));
    // Four descriptors, one module: freed once, by the first.
    const std::vector<TraceRecord> freed = Lines("Entladen von Plugin <");
    ASSERT_EQ(1u, freed.size());
    EXPECT_NE(std::string::npos, freed[0].text.find("<faellt>"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
    EXPECT_EQ(nullptr, g_hPluginsInitialized.get());
    EXPECT_EQ(0, g_numActivePluginInfo);
    EXPECT_EQ(0, g_numPluginInfo);
}

TEST_F(PluginHostTest, SlowInitialiseShowsInTheOthersWaitingTime) {
    Host({{L"langsam", L"InitializeSlow", L"RunPollStop"}, {L"schnell", L"Initialize", L"Run"}});
    EXPECT_TRUE(WaitForPluginInitialization());
    ASSERT_TRUE(WaitForCall("Run"));
    const std::vector<TraceRecord> waited = Lines("PlugIn<schnell>::wartete <");
    ASSERT_EQ(1u, waited.size());
    EXPECT_GE(WaitedSeconds(waited[0].text), kSlowInitializeSeconds) << waited[0].text;
    EXPECT_EQ(0u, Count("Initialization-Timer überschritten"));
}

// A throwing initialise never releases its slot: everybody waits the full 30 s, then runs.
// Faults and exceptions in Run end only their own thread, with 4711 and without Uninitialize.
TEST_F(PluginHostTest, ExceptionsEndOnlyTheirThreadAndAThrowingInitialiseHoldsTheBarrier) {
    Host({{L"wirft", L"InitializeThrow", L"Run"},
          {L"absturz", L"Initialize", L"RunFault"},
          {L"ausnahme", L"InitializeTrue", L"RunThrow"},
          {L"normal", L"Initialize", L"RunPollStop"}});
    EXPECT_EQ(kPluginThreadExceptionExitCode, ExitCode(0));
    EXPECT_EQ(kPluginThreadExceptionExitCode, ExitCode(1, kBarrierBoundMs));
    EXPECT_EQ(kPluginThreadExceptionExitCode, ExitCode(2, kBarrierBoundMs));
    ASSERT_TRUE(WaitForCall("RunPollStop"));
    for (const char* name : {"wirft", "absturz", "ausnahme"}) {
        EXPECT_EQ(1u, Count(std::string("Exception in HostPluginDll, plugin: <") + name + ">!")) << name;
    }
    EXPECT_EQ(3u, Count("Initialization-Timer überschritten"));
    const std::vector<TraceRecord> waited = Lines("PlugIn<normal>::wartete <");
    ASSERT_EQ(1u, waited.size());
    EXPECT_GE(WaitedSeconds(waited[0].text), kPluginInitializationTimeoutMs / 1000.0 - 1.0);
    EXPECT_EQ(0u, Calls("Uninitialize"));
    EXPECT_EQ(STILL_ACTIVE, ExitCode(3, 0));

    UnloadPlugins();
    EXPECT_EQ(1u, Calls("Uninitialize"));
    EXPECT_EQ(0u, Count("soll abgeschossen werden"));
}

TEST_F(PluginHostTest, WithoutPluginsThereIsNothingToWaitForOrEnd) {
    EXPECT_FALSE(WaitForPluginInitialization());
    EXPECT_EQ(1u, Count("Keine Plugins vorhanden"));
    UnloadPlugins();
    EXPECT_EQ(1u, Count("Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(0u, Count("Entladen von Plugin"));
    EXPECT_EQ(0, g_numActivePluginInfo);
}

TEST_F(PluginHostTest, MoreThanSixtyFourEventsFailTheWaitAtOnce) {
    // Descriptors without a module count as failed: every event is signalled by the loading pass.
    for (size_t n : {size_t{MAXIMUM_WAIT_OBJECTS}, size_t{MAXIMUM_WAIT_OBJECTS + 1}}) {
        recorder.Reset();
        g_vecPluginInfo = std::make_unique<CPluginInfo[]>(n);
        g_hPluginsInitialized = std::make_unique<HANDLE[]>(n);
        g_numPluginInfo = g_numActivePluginInfo = static_cast<int32_t>(n);
        for (size_t i = 0; i < n; ++i) g_vecPluginInfo[i]._name = std::to_wstring(i);
        LoadPlugins(false, false);
        EXPECT_TRUE(WaitForPluginInitialization());
        EXPECT_EQ(n > MAXIMUM_WAIT_OBJECTS ? 1u : 0u, Count("Initialization-Timer überschritten")) << n;
        UnloadPlugins();
    }
}

// A module built for the other architecture is refused with a line that says so; the plug-in
// beside it runs.
TEST_F(PluginHostTest, AModuleOfTheOtherArchitectureIsRefusedWithAClearLine) {
    const std::wstring foreign = scratch.path() + L"Fremd.dll";
    ASSERT_TRUE(vemo::test::WriteFileBytes(foreign, vemo::test::ForeignArchitectureImage()));
    g_vecPluginInfo = std::make_unique<CPluginInfo[]>(2);
    g_hPluginsInitialized = std::make_unique<HANDLE[]>(2);
    g_numPluginInfo = g_numActivePluginInfo = 2;
    const std::wstring names[] = {L"fremd", L"heimisch"};
    const std::wstring binaries[] = {L"Fremd.dll", kTestPluginDll};
    const std::wstring paths[] = {scratch.path(), PluginDirectory()};
    for (size_t i = 0; i < 2; ++i) {
        CPluginInfo& pi = Plugin(i);
        pi._name = names[i];
        pi._binaryName = binaries[i];
        pi._path = paths[i];
        pi._initializeName = L"Initialize";
        pi._runName = L"RunPollStop";
        pi._type = CPluginInfo::kTypeDll;
    }
    LoadPlugins(false, false);
    HostPlugins();
    EXPECT_FALSE(Plugin(0).IsPluginLoaded());
    EXPECT_EQ(1u, Count("LoadLibraryEx fehlgeschlagen mit <193>"));
    const char* own = sizeof(void*) == 4 ? "x86 (32 Bit)" : "x64 (64 Bit)";
    EXPECT_EQ(1u, Count("Modul <" + vemo::test::Narrow(foreign) + "> kann nicht geladen werden: es ist nicht f\xFCr " +
                        own + " gebaut"));
    ASSERT_TRUE(WaitForCall("RunPollStop"));
    UnloadPlugins();
    EXPECT_EQ(1u, Calls("Uninitialize"));
}

// --- ending plug-ins --------------------------------------------------------------------------

TEST_F(PluginHostTest, APluginIgnoringTheStopIsTerminatedAfterItsUnloadTime) {
    Host({{L"stur", L"Initialize", L"RunIgnoreStop", CPluginInfo::kTypeDll, kTimeoutSevenLooks},
          {L"brav", L"InitializeTrue", L"RunPollStop"}});
    ASSERT_TRUE(WaitForCall("RunIgnoreStop"));
    ASSERT_TRUE(WaitForCall("RunPollStop"));
    UnloadPlugins();
    EXPECT_EQ(kTimeoutSevenLooks, static_cast<int32_t>(g_timeOutInMs));
    // Seven looks find the first descriptor active, the termination asks once more.
    EXPECT_EQ(8u, Count("BinaryName <TestPlugin.dll>, isThreadStillActive <1>"));
    EXPECT_EQ(0u, Count("Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(1u, Count("Plugin-Thread wurde terminiert"));
    EXPECT_EQ(1u, Count("Plugin-Thread muß nicht terminiert werden, da er nicht mehr aktiv ist."));
    EXPECT_EQ(1u, Calls("Uninitialize"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
}

// -1 and the most negative value, which a far more negative text saturates to: both leave no
// time to wait, so the stop terminates at once instead of waiting for weeks.
TEST_F(PluginHostTest, ANegativeUnloadTimeLeavesNoTimeToWait) {
    for (const int32_t timeout : {kNegativeTimeout, std::numeric_limits<int32_t>::min()}) {
        recorder.Reset();
        ::DeleteFileW(log.c_str());
        Host({{L"negativ", L"Initialize", L"RunPollStop", CPluginInfo::kTypeDll, timeout}});
        ASSERT_TRUE(WaitForCall("RunPollStop")) << timeout;
        UnloadPlugins();
        EXPECT_EQ(static_cast<uint32_t>(timeout), g_timeOutInMs);
        EXPECT_EQ(0u, Count("Keine aktiven Plugins mehr vorhanden!")) << timeout;
        EXPECT_EQ(1u, Count("Plugin-Thread <negativ> soll abgeschossen werden")) << timeout;
        EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    }
}

// --- resources ----------------------------------------------------------------------------------

TEST_F(PluginHostTest, ACycleGivesBackEveryHandleAndItsMemory) {
    std::vector<std::wstring> names;
    std::vector<Spec> specs;
    for (size_t i = 0; i < kLeakCyclePlugins; ++i) names.push_back(L"p" + std::to_wstring(i));
    for (const std::wstring& name : names) specs.push_back({name.c_str(), L"Initialize", L"RunPollStop"});
    auto cycle = [&] {
        Host(specs);
        ASSERT_TRUE(WaitForPluginInitialization());
        ASSERT_TRUE(vemo::test::WaitFor([&] { return Calls("RunPollStop") >= kLeakCyclePlugins; }, kPromptMs));
        UnloadPlugins();
        ::DeleteFileW(log.c_str());
        recorder.Reset();
    };
    // First use of heaps, trace buffers and the loader.
    for (int i = 0; i < kLeakWarmUpCycles; ++i) cycle();
    // Wine's loader keeps a few KiB of every load and free of a module: measured here alone, for
    // the same module and as many cycles, and not counted against the host.
    // A MinGW x86 module built with the static runtime also keeps two handles (an event and one
    // of the loading thread) per load: its thread library's record of that thread outlives it.
    const SIZE_T loaderBefore = SettledPrivateBytes();
    const size_t loaderHandlesBefore = vemo::test::OpenHandles().size();
    for (int i = 0; i < kLeakCycles; ++i) {
        vemo::unique_hmodule(::LoadLibraryW((PluginDirectory() + kTestPluginDll).c_str()));
    }
    const size_t loaderHandles = vemo::test::OpenHandles().size() - loaderHandlesBefore;
    const SIZE_T loaderAfter = SettledPrivateBytes();
    const SIZE_T loaderGrowth = loaderAfter > loaderBefore ? loaderAfter - loaderBefore : 0;
    const std::set<USHORT> handlesBefore = vemo::test::OpenHandles();
    const SIZE_T bytesBefore = SettledPrivateBytes();
    ASSERT_FALSE(handlesBefore.empty()) << "the handle table cannot be read";
    ASSERT_GT(bytesBefore, 0u) << "the memory counters cannot be read";
    for (int i = 0; i < kLeakCycles; ++i) cycle();
    const std::set<USHORT> handlesAfter = vemo::test::OpenHandles();
    std::set<USHORT> added;
    std::ranges::set_difference(handlesAfter, handlesBefore, std::inserter(added, added.end()));
    EXPECT_LE(handlesAfter.size(), handlesBefore.size() + loaderHandles + kHandleNoise)
        << "new: " << vemo::test::DescribeHandles(added);
    EXPECT_LE(SettledPrivateBytes(), bytesBefore + loaderGrowth + kPrivateBytesSlack);
}

}  // namespace
