// The host service's start-up stopped at every moment, and started and stopped over and over, in
// one process against a private machine hive: the stop always ends, leaves no plug-in thread, no
// module and no handle behind, and repeated cycles do not grow the process.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "RecorderClient.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "VeMoHostServiceLib/VeMoHostService.h"
#include "common/UniqueHandle.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;
namespace daemon = vemo::daemonmodule;

namespace {
constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoStartStopTests";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kOptionsKey[] = L"SOFTWARE\\TRUVO VeMo Compact\\Options";
constexpr wchar_t kProtectedDirectoriesKey[] = L"Software\\Truvoeg\\ProtectedDirectories";
constexpr wchar_t kDaemonComponentKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003815\\Versions\\1.0";
constexpr wchar_t kPauseValue[] = L"WaitForDebugAttach";
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr wchar_t kLoadDelayVariable[] = L"VEMO_TEST_PLUGIN_LOAD_DELAY_MS";
constexpr wchar_t kPluginModule[] = L"TestPlugin.dll";
constexpr char kInitThreadEnd[] = "<--- Ende: InitThread";

constexpr DWORD kInitEventWaitMs = 25000;  // how long the stop waits for the start-up
constexpr DWORD kStopSlackMs = 5000;       // a loaded machine on top of the unload time
constexpr DWORD kInitThreadEndMs = 60000;
constexpr DWORD kSettleMs = 10000;
constexpr DWORD kPhaseMs = 15000;

// Stages of the start-up that a stop can meet, each made long enough to be met.
constexpr DWORD kPauseSeconds = 1;
constexpr DWORD kDaemonDelayMs = 1500;
constexpr wchar_t kLoadDelayMs[] = L"800";
constexpr DWORD kRandomStopSpanMs = 3000;  // covers pause, daemon mode, loading and the barrier

// Flat: within this share of the first measured cycle.
constexpr double kSoakTolerance = 0.05;
constexpr int kSoakWarmUpCycles = 2;

std::wstring PluginDirectory() { return vemo::test::ExecutableDirectory() + L"..\\"; }

std::string Plugin(const char* name, const char* initialize, const char* run) {
    return std::string("<plugin type=\"dll\" description=\"") + name + "\"><BinaryName>TestPlugin.dll</BinaryName>" +
           "<Path>" + vemo::test::Narrow(PluginDirectory()) + "</Path><System>true</System><implements run=\"" + run +
           "\" initialize=\"" + initialize + "\"/></plugin>";
}

DWORD ThreadCount() {
    DWORD count = 0;
    vemo::unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    return count;
}

// Which stages one start-up has.
struct StartUp {
    bool pause = false;
    bool daemon = false;
    bool slowLoading = false;
    bool slowInitialize = false;  // holds the barrier 5 s
};

class StartStop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.active());
        ASSERT_TRUE(recorder.loaded());
        ASSERT_TRUE(vemo::test::SetRegistryString(kProductKey, L"CompVersion", L"1.0"));
        ASSERT_TRUE(vemo::test::SetRegistryString(kProductKey, L"ProgKey", product.path()));
        ASSERT_TRUE(vemo::test::SetRegistryString(kProtectedDirectoriesKey, L"SystemDir",
                                                  vemo::test::ExecutableDirectory()));
        ::SetEnvironmentVariableW(kLogVariable, log.c_str());
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(kLogVariable, nullptr);
        ::SetEnvironmentVariableW(kLoadDelayVariable, nullptr);
    }

    void Configure(const StartUp& s) {
        const DWORD pause = s.pause ? kPauseSeconds : 0;
        ASSERT_TRUE(vemo::test::SetRegistryDword(kOptionsKey, kPauseValue, pause));
        if (s.daemon) {
            ASSERT_TRUE(vemo::test::SetRegistryString(kDaemonComponentKey, L"CompVersion", L"1.0"));
            ASSERT_TRUE(vemo::test::SetRegistryDword(daemon::kRegistryKey, daemon::kValueTestMode,
                                                     static_cast<DWORD>(daemon::DaemonTestMode::HostNeeded)));
            ASSERT_TRUE(vemo::test::SetRegistryDword(daemon::kRegistryKey, daemon::kValueTestDelayMs, kDaemonDelayMs));
        } else {
            vemo::test::DeleteRegistryTree(L"SOFTWARE\\TRUVOeg\\Components\\B0003815");
        }
        ::SetEnvironmentVariableW(kLoadDelayVariable, s.slowLoading ? kLoadDelayMs : nullptr);
        ASSERT_TRUE(vemo::test::WriteFileBytes(
            product.path() + L"B0000001.xml",
            "<?xml version=\"1.0\"?><root>" + Plugin("Eins", "Initialize", "RunPollStop") +
                Plugin("Zwei", s.slowInitialize ? "InitializeSlow" : "Initialize", "RunPollStop") +
                Plugin("Drei", "Initialize", "Run") + "</root>"));
    }

    bool Seen(const std::string& text) const {
        for (const TraceRecord& r : recorder.Records()) {
            if (r.text.find(text) != std::string::npos) return true;
        }
        return false;
    }

    // One start-up, stopped once stopWhen() holds (or at once), checked to leave nothing behind.
    template <typename StopWhen>
    void StartAndStop(const StartUp& s, StopWhen stopWhen, const std::string& what) {
        SCOPED_TRACE(what);
        Configure(s);
        ::DeleteFileW(log.c_str());
        recorder.Reset();
        auto service = std::make_unique<CVemoHostService>(L"TRUVO Kartenwacht-Dienst", L"TRUVO Kartenwacht-Dienst",
                                                          L"Test");
        ASSERT_TRUE(service->OnStart());
        ASSERT_TRUE(stopWhen());
        const ULONGLONG stopStart = ::GetTickCount64();
        ASSERT_TRUE(service->OnStop());
        const ULONGLONG stopMs = ::GetTickCount64() - stopStart;
        EXPECT_LE(stopMs, kInitEventWaitMs + g_timeOutInMs + kStopSlackMs);
        // The start-up may outlive a stop that gave up on it; the service object must outlive both.
        ASSERT_TRUE(vemo::test::WaitFor([&] { return Seen(kInitThreadEnd); }, kInitThreadEndMs));
        service.reset();
        for (const TraceRecord& r : recorder.Records()) {
            m_moduleLoads += r.text.find("Ladevorgang f\xFCr <") == 0 ? 1 : 0;
        }
        EXPECT_EQ(nullptr, g_vecPluginInfo.get());
        EXPECT_EQ(0, g_numActivePluginInfo);
        EXPECT_EQ(nullptr, ::GetModuleHandleW(kPluginModule)) << "a plug-in module stayed loaded";
        // Every plug-in that entered Run left it through the stop flag and was uninitialised.
        EXPECT_EQ(vemo::test::CountLinesStartingWith(log, "RunPollStop") + vemo::test::CountLinesStartingWith(log, "Run"),
                  vemo::test::CountLinesStartingWith(log, "Uninitialize"));
        if (m_threads != 0) {
            EXPECT_TRUE(vemo::test::WaitFor([&] { return ThreadCount() <= m_threads; }, kSettleMs))
                << ThreadCount() << " threads, " << m_threads << " before";
        }
    }

    // Takes the figures a clean cycle must return to, after one whole start-up (daemon mode
    // included) has made what is made once per process.
    void Baseline() {
        StartAndStop(StartUp{.daemon = true},
                     [this] { return vemo::test::WaitFor([&] { return Seen("InitEvent set"); }, kPhaseMs); },
                     "warm-up");
        m_threads = ThreadCount();
        // A MinGW x86 module with the static runtime keeps two handles when it is unloaded before
        // the thread that loaded it ends (its thread library's record of that thread): measured
        // here, allowed per load below. The host's own handles must still come back.
        const size_t beforeLoad = vemo::test::OpenHandles().size();
        vemo::unique_hmodule(::LoadLibraryW((PluginDirectory() + kPluginModule).c_str()));
        const size_t afterLoad = vemo::test::OpenHandles().size();
        m_handlesPerLoad = afterLoad > beforeLoad ? afterLoad - beforeLoad : 0;
        m_moduleLoads = 0;
        m_handles = vemo::test::OpenHandles();
        ASSERT_FALSE(m_handles.empty()) << "the handle table cannot be read";
    }
    void ExpectNoHandleLeft(int cycles) {
        // A few handles come and go with Wine's own worker threads; a leak per cycle does not hide.
        std::set<USHORT> now;
        const bool settled = vemo::test::WaitFor(
            [&] {
                return (now = vemo::test::OpenHandles()).size() <=
                       m_handles.size() + kHandleNoise + m_handlesPerLoad * m_moduleLoads;
            },
            kSettleMs);
        std::set<USHORT> added;
        std::ranges::set_difference(now, m_handles, std::inserter(added, added.end()));
        EXPECT_TRUE(settled) << now.size() << " handles after " << cycles << " cycles, " << m_handles.size()
                             << " before, " << m_moduleLoads << " module loads of " << m_handlesPerLoad
                             << "; new: " << vemo::test::DescribeHandles(added);
    }

    static constexpr size_t kHandleNoise = 4;
    vemo::test::HklmSandbox sandbox{kSandboxRoot};
    Recorder recorder;
    vemo::test::ScratchDirectory product{L"B0003810stop"};
    std::wstring log = product.path() + L"evidence.log";
    DWORD m_threads = 0;  // 0 until a clean cycle has been counted
    size_t m_handlesPerLoad = 0;
    size_t m_moduleLoads = 0;
    std::set<USHORT> m_handles;
};

TEST_F(StartStop, AStopInEachStageOfTheStartUpEndsCleanly) {
    Baseline();
    auto after = [&](const char* text) { return [this, text] { return vemo::test::WaitFor([&] { return Seen(text); }, kPhaseMs); }; };
    auto evidence = [&](const char* name) {
        return [this, name] {
            return vemo::test::WaitFor([&] { return vemo::test::CountLinesStartingWith(log, name) > 0; }, kPhaseMs);
        };
    };
    StartAndStop(StartUp{}, [] { return true; }, "right after the start");
    StartAndStop(StartUp{.pause = true}, after("Warte <1> Sekunden..."), "during the debug pause");
    StartAndStop(StartUp{.daemon = true}, after("Rufen VemoDaemonCheckLeser."), "during daemon mode");
    StartAndStop(StartUp{.slowLoading = true}, after("wird geladen."), "during loading");
    StartAndStop(StartUp{.slowInitialize = true}, evidence("InitializeSlow"), "in the barrier");
    StartAndStop(StartUp{}, after("Sekunden auf die Initialisierung der Plugins gewartet"), "at the host start");
    StartAndStop(StartUp{}, after("InitEvent set"), "once the start-up is done");
    ExpectNoHandleLeft(7);
}

// The long form stops 100 start-ups, each with a random set of stages, at a random moment.
TEST_F(StartStop, AStopAtARandomMomentEndsCleanly) {
    Baseline();
    const int runs = vemo::test::ScaledCount(6, 100);
    const unsigned seed = ::GetTickCount();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> coin(0, 1);
    std::uniform_int_distribution<DWORD> moment(0, kRandomStopSpanMs);
    for (int i = 0; i < runs; ++i) {
        const StartUp s{coin(random) == 1, coin(random) == 1, coin(random) == 1, coin(random) == 1};
        const DWORD delay = moment(random);
        char what[160];
        std::snprintf(what, sizeof(what), "seed %u, run %d: pause %d daemon %d loading %d barrier %d, stop after %lu ms",
                      seed, i, s.pause, s.daemon, s.slowLoading, s.slowInitialize, delay);
        StartAndStop(s, [delay] { ::Sleep(delay); return true; }, what);
        if (HasFatalFailure()) return;
    }
    ExpectNoHandleLeft(runs);
    std::printf("stopped %d start-ups at random moments (seed %u)\n", runs, seed);
}

// The long form runs 200 cycles; a process that hosts them must not grow. (A service process
// lives for one start and stop; what must stay flat is the hosting it repeats.)
TEST_F(StartStop, RepeatedHostingCyclesKeepHandlesAndMemoryFlat) {
    const int cycles = vemo::test::ScaledCount(20, 200);
    Configure(StartUp{});
    const size_t runners = 3;
    auto cycle = [&] {
        ::DeleteFileW(log.c_str());
        recorder.Reset();
        GetPluginData(false);
        HostPlugins();
        ASSERT_TRUE(WaitForPluginInitialization());
        ASSERT_TRUE(vemo::test::WaitFor(
            [&] {
                return vemo::test::CountLinesStartingWith(log, "RunPollStop") + vemo::test::CountLinesStartingWith(log, "Run") ==
                       runners;
            },
            kPhaseMs));
        UnloadPlugins();
        ASSERT_EQ(nullptr, ::GetModuleHandleW(kPluginModule));
        ASSERT_EQ(runners, vemo::test::CountLinesStartingWith(log, "Uninitialize"));
    };
    for (int i = 0; i < kSoakWarmUpCycles; ++i) cycle();
    // Wine's loader keeps about 4 KiB of every load and free of a module; what the host itself
    // keeps is measured beyond that, taken from the same module in the same process.
    const std::wstring module = PluginDirectory() + kPluginModule;
    // A MinGW x86 module with the static runtime keeps two handles per load as well (see the host's
    // cycle test).
    const SIZE_T loaderBefore = vemo::test::PrivateBytes();
    const DWORD loaderHandlesBefore = vemo::test::OpenHandleCount();
    for (int i = 0; i < cycles; ++i) vemo::unique_hmodule(::LoadLibraryW(module.c_str()));
    const double loaderGrowth =
        std::max(0.0, static_cast<double>(vemo::test::PrivateBytes()) - static_cast<double>(loaderBefore));
    const DWORD loaderHandles = vemo::test::OpenHandleCount() - loaderHandlesBefore;
    const DWORD handlesBefore = vemo::test::OpenHandleCount();
    const SIZE_T bytesBefore = vemo::test::PrivateBytes();
    ASSERT_GT(handlesBefore, 0u) << "the handle table cannot be read";
    for (int i = 0; i < cycles; ++i) {
        cycle();
        if (HasFatalFailure()) return;
    }
    const DWORD handlesAfter = vemo::test::OpenHandleCount();
    const SIZE_T bytesAfter = vemo::test::PrivateBytes();
    std::printf("%d hosting cycles: handles %lu -> %lu, private bytes %zu -> %zu (the loader alone: %+.0f, %lu handles)\n",
                cycles, static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(handlesAfter),
                static_cast<size_t>(bytesBefore), static_cast<size_t>(bytesAfter), loaderGrowth,
                static_cast<unsigned long>(loaderHandles));
    EXPECT_LE(handlesAfter - loaderHandles, handlesBefore * (1 + kSoakTolerance));
    EXPECT_LE(static_cast<double>(bytesAfter) - loaderGrowth, static_cast<double>(bytesBefore) * (1 + kSoakTolerance));
}

}  // namespace
