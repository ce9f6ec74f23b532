// The host service's start-up and stop in one process, against a private machine hive: the command line,
// the message table, and a stop in every stage of the start-up that leaves nothing behind.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "EventRecorder.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ServiceControl.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "VeMoHostServiceLib/EntryPoint.h"
#include "VeMoHostServiceLib/VeMoHostService.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

namespace {

using namespace vemo::test;
namespace daemon = vemo::daemonmodule;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoServiceLifecycleTests");

constexpr wchar_t kService[] = L"TRUVO Kartenwacht-Dienst";
constexpr wchar_t kOptionsKey[] = L"SOFTWARE\\TRUVO VeMo Compact\\Options";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kLoadDelayVariable[] = L"VEMO_TEST_PLUGIN_LOAD_DELAY_MS";
constexpr DWORD kPhaseMs = 15000;

DWORD ThreadCount() {
    DWORD count = 0;
    vemo::unique_handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{.dwSize = sizeof(entry)};
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    }
    return count;
}

class ServiceLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
        ASSERT_TRUE(RegisterProduct(product.path()));
    }
    void TearDown() override {
        if (HasFailure()) std::printf("%s", recorder.All().c_str());  // seldom reproducible alone
        ::SetEnvironmentVariableW(kLoadDelayVariable, nullptr);
        g_daemonModeIdle = true;
    }
    void Configure(std::vector<PluginSpec> specs) { ASSERT_TRUE(WritePluginConfiguration(product.path() + L"B0000001.xml", specs)); }
    void DaemonMode(daemon::DaemonTestMode mode, DWORD delayMs = 0) {
        ASSERT_TRUE(RegisterComponent(L"B0003815"));
        ASSERT_TRUE(SetRegistryDword(daemon::kRegistryKey, daemon::kValueTestMode, static_cast<DWORD>(mode)));
        ASSERT_TRUE(SetRegistryDword(daemon::kRegistryKey, daemon::kValueTestDelayMs, delayMs));
    }
    std::wstring RunKeyValue() const { return ReadRegistryString(kRunKey, L"QRNServ").value_or(L"<none>"); }

    Recorder recorder;
    // The program directory names the product's component: a company environment.
    ScratchDirectory product{L"B0003810life"};
    Evidence evidence{product.path() + L"evidence.log"};
    EventRecorder events;
};

// Prefix character and case do not matter; the later command and identity word win; bare words and
// unknown commands run the service. (Too many arguments, and the commands themselves: ServiceEndToEndTests.)
struct Row {
    std::vector<const wchar_t*> arguments;  // after the program name
    ServiceCommand command;
    ServiceIdentity identity;
    const wchar_t* commandText;  // the whole argument with its prefix, or null
};
const Row kRows[] = {
    {{L"-UnInstall"}, ServiceCommand::Uninstall, ServiceIdentity::None, L"-UnInstall"},
    {{L"/Start"}, ServiceCommand::Start, ServiceIdentity::None, L"/Start"},
    {{L"/stop", L"/start"}, ServiceCommand::Start, ServiceIdentity::None, L"/start"},
    {{L"BASE", L"-stop"}, ServiceCommand::Stop, ServiceIdentity::Base, L"-stop"},
    {{L"/install", L"bAsE"}, ServiceCommand::Install, ServiceIdentity::Base, L"/install"},
    {{L"base", L"vemo"}, ServiceCommand::Run, ServiceIdentity::Vemo, nullptr},
    {{L"install"}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
    {{L"BASES"}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
    {{L"/STARTPURE"}, ServiceCommand::Run, ServiceIdentity::None, L"/STARTPURE"},
    {{L"/installer"}, ServiceCommand::Run, ServiceIdentity::None, L"/installer"},
    {{}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
};

TEST(EntryArguments, CommandAndIdentity) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(&row - kRows);
        std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"VeMoHostService.exe")};
        for (const wchar_t* a : row.arguments) argv.push_back(const_cast<wchar_t*>(a));
        const EntryArguments args = ParseEntryArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_FALSE(args.tooMany);
        EXPECT_EQ(row.command, ClassifyServiceCommand(args.command));
        EXPECT_EQ(row.identity, args.identity);
        EXPECT_EQ(std::wstring(row.commandText ? row.commandText : L"<null>"), args.command ? args.command : L"<null>");
    }
}

// Every ID, formatted from the executable's own message table with distinct inserts.
struct MessageCase {
    DWORD id;
    int inserts;
};
constexpr MessageCase kMessages[] = {
    {VEMO_EVENT_SERVICE_STARTED, 2},   {VEMO_EVENT_SERVICE_STOPPED, 1}, {VEMO_EVENT_PLUGIN_NOT_LOADED, 3},
    {VEMO_EVENT_PLUGIN_INIT_FAILED, 1}, {VEMO_EVENT_BARRIER_TIMEOUT, 1}, {VEMO_EVENT_PLUGIN_FAULT, 2},
    {VEMO_EVENT_PLUGIN_TERMINATED, 2}, {VEMO_EVENT_CONFIG_UNREADABLE, 2}, {VEMO_EVENT_MINIDUMP_WRITTEN, 1},
};

TEST(EventMessages, EveryEventFormatsWithItsInsertsFromTheExecutable) {
    // Test programs sit one level below the product's binaries.
    const vemo::unique_hmodule exe(::LoadLibraryExW((ExecutableDirectory() + L"..\\VeMoHostService.exe").c_str(), nullptr,
                                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(exe) << ::GetLastError();
    const std::wstring inserts[] = {L"<Einfuegung1>", L"<Einfuegung2>", L"<Einfuegung3>"};
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(inserts[0].c_str()), reinterpret_cast<DWORD_PTR>(inserts[1].c_str()),
                             reinterpret_cast<DWORD_PTR>(inserts[2].c_str())};
    for (const MessageCase& message : kMessages) {
        wchar_t text[1024] = {};
        const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, reinterpret_cast<LPCVOID>(exe.get()),
                                         message.id, 0, text, ARRAYSIZE(text), reinterpret_cast<va_list*>(arguments));
        ASSERT_GT(n, 0u) << std::hex << message.id << " error " << std::dec << ::GetLastError();
        const std::wstring formatted(text, n);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(i < message.inserts, formatted.find(inserts[i]) != std::wstring::npos) << std::hex << message.id;
        EXPECT_EQ(std::wstring::npos, formatted.find(L'%')) << std::hex << message.id;
    }
}

// A start-up that never sets its InitEvent: the stop gives up on it after 25 s, when daemon mode failed and
// while discovery still loads a module (31 s here). Each case runs in a child, all at once in a whole run.
struct SlowStop {
    const char* name;
    bool daemonFails;
    const char* waitFor;
};
const SlowStop kSlowStops[] = {{"FailingDaemonModule", true, "Der Daemon-Mode wurde fehlerhaft beendet!"},
                               {"SlowDiscovery", false, "Plugin <Eins> wird geladen."}};
std::string ChildName(const SlowStop& row) { return std::string("Slow/StopGivingUp.StartsNoPluginAndLeavesNothingLoaded/") + row.name; }
std::map<std::string, std::shared_future<CapturedProcess>> g_slowChildren;
class SlowCasesEnvironment : public ::testing::Environment {
    void SetUp() override {
        if (InChild() || GTEST_FLAG_GET(filter) != "*") return;
        for (const SlowStop& row : kSlowStops) g_slowChildren[ChildName(row)] = StartChild(ChildName(row), {}, Hive::kOwn);
    }
};
[[maybe_unused]] ::testing::Environment* const g_slowCases = ::testing::AddGlobalTestEnvironment(new SlowCasesEnvironment);

class StopGivingUp : public ServiceLifecycle, public ::testing::WithParamInterface<SlowStop> {};

TEST_P(StopGivingUp, StartsNoPluginAndLeavesNothingLoaded) {
    const SlowStop& row = GetParam();
    if (!InChild()) {
        if (!g_slowChildren.contains(ChildName(row))) g_slowChildren[ChildName(row)] = StartChild(ChildName(row), {}, Hive::kOwn);
        const CapturedProcess& child = g_slowChildren[ChildName(row)].get();
        EXPECT_TRUE(Passed(child)) << child.output;
        return;
    }
    Configure({{.name = L"Eins", .run = L"RunPollStop"}});
    if (row.daemonFails) DaemonMode(daemon::DaemonTestMode::InitFails);
    ::SetEnvironmentVariableW(kLoadDelayVariable, row.daemonFails ? nullptr : L"31000");
    CVemoHostService service{kService, kService, L"Test"};
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(recorder.WaitFor(row.waitFor));
    ASSERT_TRUE(service.OnStop());  // gives up after 25 s, then waits for a loading pass
    EXPECT_EQ(1u, recorder.Count("InitEvent not received!"));
    EXPECT_EQ(0u, evidence.Calls("Initialize"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll));
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
    if (row.daemonFails) {
        EXPECT_EQ(0u, recorder.Count("InitEvent set"));
        EXPECT_EQ(L"<none>", RunKeyValue());
    } else {
        // The start-up ends on its own; whether its event was still there depends on which of the
        // two took the lock first.
        EXPECT_TRUE(WaitFor([&] { return recorder.Count("InitEvent set") + recorder.Count("InitEvent NOT set") == 1; }, 90000));
    }
    EXPECT_EQ(0u, recorder.Count("HostPlugins") + recorder.Count("StartHost"));
}
INSTANTIATE_TEST_SUITE_P(Slow, StopGivingUp, ::testing::ValuesIn(kSlowStops),
                         [](const ::testing::TestParamInfo<SlowStop>& info) { return std::string(info.param.name); });

struct Stage {
    const char* name;
    bool pause = false;
    bool daemon = false;
    bool slowLoading = false;
    bool slowInitialize = false;  // holds the barrier 5 s
    const char* stopAfterLine = nullptr;
    const char* stopAfterCall = nullptr;
    bool beforeDiscovery = false;  // then no plug-in may be initialised at all
    bool done = false;             // the start-up went through: run key, barrier, host, events
};

const Stage kStages[] = {
    {.name = "right after the start"},
    {.name = "during the debug pause", .pause = true, .stopAfterLine = "Warte <1> Sekunden...", .beforeDiscovery = true},
    {.name = "during daemon mode", .daemon = true, .stopAfterLine = "Rufen VemoDaemonCheckLeser.", .beforeDiscovery = true},
    {.name = "during loading", .slowLoading = true, .stopAfterLine = "wird geladen."},
    {.name = "in the barrier", .slowInitialize = true, .stopAfterCall = "InitializeSlow"},
    {.name = "at the host start", .stopAfterLine = "Sekunden auf die Initialisierung der Plugins gewartet"},
    {.name = "once the start-up is done", .stopAfterLine = "InitEvent set", .done = true},
};

class StartStop : public ServiceLifecycle {
protected:
    void StartAndStop(const Stage& s) {
        SCOPED_TRACE(s.name);
        ASSERT_TRUE(SetRegistryDword(kOptionsKey, L"WaitForDebugAttach", s.pause ? 1 : 0));
        if (s.daemon) {
            DaemonMode(daemon::DaemonTestMode::HostNeeded, 1500);
        } else {
            DeleteRegistryTree(std::wstring(kComponentsKey) + L"B0003815");
        }
        ::SetEnvironmentVariableW(kLoadDelayVariable, s.slowLoading ? L"800" : nullptr);
        DeleteRegistryValue(kRunKey, L"QRNServ");
        Configure({{.name = L"Eins", .run = L"RunPollStop"},
                   {.name = L"Zwei", .initialize = s.slowInitialize ? L"InitializeSlow" : L"Initialize", .run = L"RunPollStop"},
                   {.name = L"Drei"}});
        evidence.Clear();
        recorder.Reset();
        const EventRecorder events;
        auto service = std::make_unique<CVemoHostService>(kService, kService, L"Test");
        ASSERT_TRUE(service->OnStart());
        ASSERT_TRUE(!s.stopAfterLine || recorder.WaitFor(s.stopAfterLine, kPhaseMs));
        ASSERT_TRUE(!s.stopAfterCall || evidence.WaitForCall(s.stopAfterCall, 0, kPhaseMs));
        ASSERT_TRUE(service->OnStop());
        // The start-up may outlive a stop that gave up on it; the service object must outlive both.
        ASSERT_TRUE(recorder.WaitFor("<--- Ende: InitThread", 60000));
        service.reset();
        EXPECT_EQ(nullptr, g_vecPluginInfo.get());
        EXPECT_EQ(0, g_numActivePluginInfo);
        EXPECT_EQ(nullptr, ::GetModuleHandleW(kTestPluginDll)) << "a plug-in module stayed loaded";
        // Every plug-in that entered Run left it through the stop flag and was uninitialised.
        EXPECT_EQ(evidence.Calls("RunPollStop") + evidence.Calls("Run"), evidence.Calls("Uninitialize"));
        if (s.done) {
            EXPECT_EQ(s.daemon ? 1u : 0u, recorder.CountExact("Start-Flag für VeMoHost wurde gesetzt..."));
            EXPECT_EQ(L"\"" + product.path() + L"VeMoHost.exe\"", RunKeyValue());
            EXPECT_EQ(2u, evidence.Calls("RunPollStop"));
            // The barrier was waited for, with three decimals, and the missing host reported.
            const std::regex waited("Es wurde <[0-9]+\\.[0-9]{3}> Sekunden auf die Initialisierung der Plugins gewartet");
            EXPECT_EQ(1, std::ranges::count_if(recorder.Records(), [&](const TraceRecord& r) { return std::regex_search(r.text, waited); }));
            EXPECT_EQ(1u, recorder.Count("Datei <" + Narrow(product.path()) + "VeMoHost.exe> nicht vorhanden!"));
            EXPECT_EQ(1u, recorder.Count("InitEvent received!"));
            EXPECT_EQ((std::vector<EventRecorder::Inserts>{{kService, L"3"}}), events.Events(VEMO_EVENT_SERVICE_STARTED));
            EXPECT_EQ((std::vector<EventRecorder::Inserts>{{kService}}), events.Events(VEMO_EVENT_SERVICE_STOPPED));
            const auto cdb = recorder.Lines("CDB_GetKonfigDir: ");  // ConfigDB's own lines, at the detail level
            EXPECT_TRUE(!cdb.empty() && cdb[0].level == vemo::tracing::kLevelDetail && cdb[0].category == "VeMoHost");
        }
        EXPECT_TRUE(!s.beforeDiscovery || evidence.Calls("Initialize") + recorder.Count("GetPluginData") == 0);
        // The stop leaves the barrier at once: an initialisation outlasting the unload time is ended with its thread.
        EXPECT_EQ(s.slowInitialize ? 1u : 0u, recorder.Count("Plugin-Thread wurde terminiert"));
        m_moduleLoads += recorder.Count("Ladevorgang f\xFCr <");
        if (m_threads != 0) {
            EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= m_threads; }, kPhaseMs)) << ThreadCount() << " threads";
        }
    }

    DWORD m_threads = 0;  // 0 until a clean cycle has been counted
    size_t m_moduleLoads = 0;
};

TEST_F(StartStop, AStopInEachStageOfTheStartUpLeavesNothingBehind) {
    // One whole start-up, daemon mode included, makes what is made once per process.
    StartAndStop({.name = "warm-up", .daemon = true, .stopAfterLine = "InitEvent set", .done = true});
    m_threads = ThreadCount();
    // A MinGW x86 module with the static runtime keeps two handles when it is unloaded before the
    // thread that loaded it ends (its thread library's record of that thread): measured here,
    // allowed per load below. The host's own handles must still come back.
    const size_t beforeLoad = OpenHandles().size();
    vemo::unique_hmodule(::LoadLibraryW((PluginDirectory() + kTestPluginDll).c_str()));
    const size_t handlesPerLoad = OpenHandles().size() - std::min(beforeLoad, OpenHandles().size());
    m_moduleLoads = 0;
    const std::set<USHORT> handles = OpenHandles();
    ASSERT_FALSE(handles.empty()) << "the handle table cannot be read";
    for (int round = ScaledCount(1, 20); round > 0 && !HasFatalFailure(); --round) {
        for (const Stage& s : kStages) StartAndStop(s);
    }
    std::set<USHORT> now;
    constexpr size_t kHandleNoise = 4;  // Wine's own workers come and go; a leak per cycle does not hide
    const bool settled = WaitFor(
        [&] { return (now = OpenHandles()).size() <= handles.size() + kHandleNoise + handlesPerLoad * m_moduleLoads; }, kPhaseMs);
    std::set<USHORT> added;
    std::ranges::set_difference(now, handles, std::inserter(added, added.end()));
    EXPECT_TRUE(settled) << now.size() << " handles, " << handles.size() << " before; new: " << DescribeHandles(added);
}

}  // namespace
