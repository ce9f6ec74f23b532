// The host service's start-up and stop in one process, against a private machine hive: the
// debug pause, the command-line flags, the run key, daemon mode, plug-ins and the host start, and
// a stop that arrives while the start-up is still busy.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "RecorderClient.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/VeMoHostInt.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostServiceLib/VeMoHostService.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;

namespace {
constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoServiceLifecycleTests";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kOptionsKey[] = L"SOFTWARE\\TRUVO VeMo Compact\\Options";
constexpr wchar_t kProtectedDirectoriesKey[] = L"Software\\Truvoeg\\ProtectedDirectories";
constexpr wchar_t kComponentsKey[] = L"SOFTWARE\\TRUVOeg\\Components\\";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"QRNServ";
constexpr wchar_t kPauseValue[] = L"WaitForDebugAttach";
constexpr wchar_t kLogVariable[] = L"VEMO_TEST_PLUGIN_LOG";
constexpr wchar_t kLoadDelayVariable[] = L"VEMO_TEST_PLUGIN_LOAD_DELAY_MS";
constexpr wchar_t kParseResultVariable[] = L"VEMO_TEST_PARSE_RESULT";
// Longer than the stop's 25 s wait for the start-up.
constexpr wchar_t kSlowDiscoveryMs[] = L"28000";
constexpr DWORD kPromptMs = 15000;
constexpr DWORD kSlowBoundMs = 90000;
constexpr DWORD kChildMs = 30000;

namespace daemon = vemo::daemonmodule;

std::wstring PluginDirectory() { return vemo::test::ExecutableDirectory() + L"..\\"; }

bool SetValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    return vemo::test::SetRegistryValue(key, name, type, data, bytes);
}
bool SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return vemo::test::SetRegistryString(key, name, value);
}
std::wstring ReadString(const std::wstring& key, const wchar_t* name) {
    return vemo::test::ReadRegistryString(key, name).value_or(L"<none>");
}

class ServiceLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sandbox.active());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
        ::SetEnvironmentVariableW(kLogVariable, log.c_str());
    }
    void TearDown() override {
        // A failure under load is seldom reproducible alone: keep what the service traced.
        if (HasFailure()) {
            for (const TraceRecord& r : recorder.Records()) std::printf("  trace: %s\n", r.text.c_str());
        }
        ::SetEnvironmentVariableW(kLogVariable, nullptr);
        ::SetEnvironmentVariableW(kLoadDelayVariable, nullptr);
        g_daemonModeIdle = true;
    }

    // The product in a company environment: its configuration directory is its program directory.
    void InstallProduct(const std::string& plugins) {
        ASSERT_TRUE(SetString(kProductKey, L"CompVersion", L"1.0"));
        ASSERT_TRUE(SetString(kProductKey, L"ProgKey", product.path()));
        ASSERT_TRUE(SetString(kProtectedDirectoriesKey, L"SystemDir", vemo::test::ExecutableDirectory()));
        ASSERT_TRUE(vemo::test::WriteFileBytes(product.path() + L"B0000001.xml",
                                               "<?xml version=\"1.0\"?><root>" + plugins + "</root>"));
    }
    static bool InstallComponent(const wchar_t* id) {
        return SetString(std::wstring(kComponentsKey) + id + L"\\Versions\\1.0", L"CompVersion", L"1.0");
    }
    static std::string Plugin(const char* name, const char* run) {
        return std::string("<plugin type=\"dll\" description=\"") + name + "\"><BinaryName>TestPlugin.dll</BinaryName>" +
               "<Path>" + vemo::test::Narrow(PluginDirectory()) +
               "</Path><System>true</System><implements run=\"" + run + "\"/></plugin>";
    }

    size_t Count(const std::string& text) const {
        size_t n = 0;
        for (const TraceRecord& r : recorder.Records()) n += r.text.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    size_t CountExact(const std::string& text) const {
        size_t n = 0;
        for (const TraceRecord& r : recorder.Records()) n += r.text == text ? 1 : 0;
        return n;
    }
    bool WaitForTrace(const std::string& text, DWORD timeoutMs = kPromptMs) const {
        return vemo::test::WaitFor([&] { return Count(text) > 0; }, timeoutMs);
    }
    size_t Calls(const std::string& exportName) const { return vemo::test::CountLinesStartingWith(log, exportName); }

    vemo::test::HklmSandbox sandbox{kSandboxRoot};
    Recorder recorder;
    // The program directory names the product's component: a company environment.
    vemo::test::ScratchDirectory product{L"B0003810life"};
    std::wstring log = product.path() + L"evidence.log";
    CVemoHostService service{L"TRUVO Kartenwacht-Dienst", L"TRUVO Kartenwacht-Dienst", L"Test"};
};

// --- the debug pause --------------------------------------------------------------------------

TEST_F(ServiceLifecycle, DebugPauseTakesSecondsAsNumberOrShortText) {
    Pause2Attach();
    EXPECT_EQ(1u, Count("Registry-Zweig <SOFTWARE\\TRUVO VeMo Compact\\Options> konnte nicht geöffnet werden! LastError: <2>"));

    const DWORD one = 1;
    ASSERT_TRUE(SetValue(kOptionsKey, kPauseValue, REG_DWORD, &one, sizeof(one)));
    Pause2Attach();
    ASSERT_TRUE(SetString(kOptionsKey, kPauseValue, L"1"));
    Pause2Attach();
    EXPECT_EQ(2u, Count("Warte <1> Sekunden..."));

    // Text without digits, zero, and text too long for the value buffer: no pause.
    for (const wchar_t* text : {L"abc", L"0", L"12345"}) {
        ASSERT_TRUE(SetString(kOptionsKey, kPauseValue, text));
        Pause2Attach();
    }
    EXPECT_EQ(2u, Count("Sekunden..."));

    const BYTE binary[] = {5, 0, 0, 0};
    ASSERT_TRUE(SetValue(kOptionsKey, kPauseValue, REG_BINARY, binary, sizeof(binary)));
    Pause2Attach();
    EXPECT_EQ(1u, Count("Registry-Key <WaitForDebugAttach> hat den falschen Typ <3> und kann nicht verarbeitet "
                        "werden! Es werden die Typen REG_DWORD und REG_SZ unterstützt."));
    EXPECT_EQ(2u, Count("Sekunden..."));
}

// --- command-line flags -------------------------------------------------------------------------

// Runs in a child started by the test below: reports what the flags parser saw.
TEST(ParseCommandLineChild, Report) {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(kParseResultVariable, path, MAX_PATH) == 0) GTEST_SKIP() << "only as a child";
    bool pure = true;
    bool withoutDaemon = false;
    const int32_t result = ParseCommandLine(pure, withoutDaemon);
    vemo::test::WriteFileBytes(path, std::to_string(result) + " " + std::to_string(pure) + " " +
                                           std::to_string(withoutDaemon));
}

TEST(ParseCommandLineTest, FlagsNeedTheirPrefixAndIgnoreCase) {
    vemo::test::ScratchDirectory dir{L"parse"};
    const std::wstring result = dir.path() + L"result.txt";
    ::SetEnvironmentVariableW(kParseResultVariable, result.c_str());
    const std::wstring program = vemo::test::ExecutableDirectory() + L"service_lifecycle_tests.exe";
    const std::wstring filter = L"--gtest_filter=ParseCommandLineChild.* ";
    const std::pair<std::wstring, std::string> cases[] = {
        {L"/STARTPURE", "-1 1 0"},
        {L"-startPure", "-1 1 0"},
        {L"STARTPURE", "-1 0 0"},
        {L"/StartWithoutDaemon -STARTPURE", "-1 1 1"},
        {L"/STARTPURE2 x", "-1 0 0"},
    };
    for (const auto& [arguments, expected] : cases) {
        ::DeleteFileW(result.c_str());
        ASSERT_TRUE(vemo::test::RunProcess(program, filter + arguments, kChildMs).finished);
        EXPECT_EQ(expected, vemo::test::ReadFileBytes(result)) << vemo::test::Narrow(arguments);
    }
    ::SetEnvironmentVariableW(kParseResultVariable, nullptr);

    // This process was started with its program name only: nothing to examine.
    bool pure = true;
    bool withoutDaemon = false;
    EXPECT_EQ(kParseNothingToExamine, ParseCommandLine(pure, withoutDaemon));
    EXPECT_FALSE(pure);
    EXPECT_FALSE(withoutDaemon);
}

// --- start-up and stop --------------------------------------------------------------------------

TEST_F(ServiceLifecycle, NormalStartWritesTheRunKeyRunsThePluginsAndTriesTheHost) {
    InstallProduct(Plugin("Eins", "RunPollStop") + Plugin("Zwei", "Run"));
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    EXPECT_EQ(L"\"" + product.path() + L"VeMoHost.exe\"", ReadString(kRunKey, kRunValue));
    EXPECT_EQ(1u, Calls("RunPollStop"));
    EXPECT_EQ(1u, Calls("Run"));
    // The barrier was waited for, with three decimals, and the missing host reported.
    EXPECT_EQ(1u, Count("VeMoHost läuft noch nicht, Start-Flag für VeMoHost wurde gesetzt..."));
    const std::regex waited("Es wurde <[0-9]+\\.[0-9]{3}> Sekunden auf die Initialisierung der Plugins gewartet");
    size_t waitedLines = 0;
    for (const TraceRecord& r : recorder.Records()) waitedLines += std::regex_search(r.text, waited) ? 1 : 0;
    EXPECT_EQ(1u, waitedLines);
    EXPECT_EQ(1u, Count("Datei <" + vemo::test::Narrow(product.path()) + "VeMoHost.exe> nicht vorhanden!"));
    EXPECT_EQ(1u, Count("Fehler beim Starten des VeMoHosts."));

    // Every read of the stop flag goes through its accessor and shows as a scope: before the
    // start-up hosts, before discovery, before the threads start and before the host start.
    EXPECT_EQ(4u, Count("---> Beginn: CVemoHostService::GetVeMoHostServiceStopFlag"));

    ASSERT_TRUE(service.OnStop());
    EXPECT_EQ(1u, Count("InitEvent received!"));
    EXPECT_EQ(2u, Calls("Uninitialize"));
    EXPECT_EQ(0, g_numActivePluginInfo);
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
}

// ConfigDB's information lines follow the detail level alone: the host category switched off
// does not drop them, the detail level switched off does.
TEST_F(ServiceLifecycle, ConfigDbDetailLinesFollowTheDetailLevelOnly) {
    InstallProduct(Plugin("Eins", "Run"));
    const auto configDbInfo = [&] {
        size_t n = 0;
        for (const TraceRecord& r : recorder.Records()) {
            n += r.level == vemo::tracing::kLevelDetail && r.category == "VeMoHost" &&
                         r.text.rfind("CDB_GetKonfigDir: ", 0) == 0
                     ? 1
                     : 0;
        }
        return n;
    };
    recorder.SetCategoryMask("VeMoHost", 0);
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    ASSERT_TRUE(service.OnStop());
    EXPECT_GT(configDbInfo(), 0u);

    recorder.Reset();
    recorder.SetLevelMask(vemo::tracing::kLevelException | vemo::tracing::kLevelError | vemo::tracing::kLevelWarning |
                          vemo::tracing::kLevelInfo);
    CVemoHostService again{L"TRUVO Kartenwacht-Dienst", L"TRUVO Kartenwacht-Dienst", L"Test"};
    ASSERT_TRUE(again.OnStart());
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    ASSERT_TRUE(again.OnStop());
    EXPECT_EQ(0u, configDbInfo());
}

TEST_F(ServiceLifecycle, AStopDuringASlowDiscoveryStartsNoPluginAndLeavesNothingLoaded) {
    InstallProduct(Plugin("Langsam", "RunPollStop"));
    ::SetEnvironmentVariableW(kLoadDelayVariable, kSlowDiscoveryMs);
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("Plugin <Langsam> wird geladen."));
    // The stop gives up on the start-up after 25 s, then waits for the loading pass to finish.
    ASSERT_TRUE(service.OnStop());
    EXPECT_EQ(1u, Count("InitEvent not received!"));
    EXPECT_EQ(0u, Calls("Initialize"));
    EXPECT_EQ(0u, Count("HostPlugins"));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"TestPlugin.dll"));
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
    // The start-up ends on its own without starting anything; whether its event was still there
    // depends on which of the two took the lock first.
    EXPECT_TRUE(vemo::test::WaitFor([&] { return Count("InitEvent set") + Count("InitEvent NOT set") == 1; },
                                    kSlowBoundMs));
    EXPECT_EQ(0u, Count("StartHost"));
}

// --- daemon mode: "B0003815" installed, "B0003811" not -------------------------------------------

class DaemonModeLifecycle : public ServiceLifecycle {
protected:
    void SetUp() override {
        ServiceLifecycle::SetUp();
        InstallProduct(Plugin("Eins", "RunPollStop"));
        ASSERT_TRUE(InstallComponent(L"B0003815"));
    }
    void SetMode(daemon::DaemonTestMode mode) {
        const DWORD value = static_cast<DWORD>(mode);
        ASSERT_TRUE(SetValue(daemon::kRegistryKey, daemon::kValueTestMode, REG_DWORD, &value, sizeof(value)));
    }
};

TEST_F(DaemonModeLifecycle, HostNeededWritesTheRunKeyAndLoadsThePlugins) {
    SetMode(daemon::DaemonTestMode::HostNeeded);
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    EXPECT_EQ(1u, CountExact("Start-Flag für VeMoHost wurde gesetzt..."));
    EXPECT_EQ(L"\"" + product.path() + L"VeMoHost.exe\"", ReadString(kRunKey, kRunValue));
    EXPECT_EQ(1u, Calls("RunPollStop"));
    EXPECT_EQ(1u, Count("Datei <" + vemo::test::Narrow(product.path()) + "VeMoHost.exe> nicht vorhanden!"));
    ASSERT_TRUE(service.OnStop());
    EXPECT_EQ(1u, Calls("Uninitialize"));
}

TEST_F(DaemonModeLifecycle, AStopDuringDaemonModeEndsItPromptlyAndLoadsNothing) {
    SetMode(daemon::DaemonTestMode::WaitForStop);
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("Rufen VemoDaemonCheckLeser."));
    ASSERT_TRUE(service.OnStop());
    EXPECT_EQ(1u, Count("InitEvent received!"));
    EXPECT_EQ(L"<none>", ReadString(kRunKey, kRunValue));
    EXPECT_EQ(0u, Calls("Initialize"));
    EXPECT_EQ(0u, Count("GetPluginData"));
    EXPECT_EQ(0u, Count("StartHost"));
}

// The one slow case of daemon mode: without the InitEvent the stop waits its full 25 s.
TEST_F(DaemonModeLifecycle, AFailingDaemonModuleLeavesTheServiceWithoutPlugins) {
    SetMode(daemon::DaemonTestMode::InitFails);
    ASSERT_TRUE(service.OnStart());
    ASSERT_TRUE(WaitForTrace("Der Daemon-Mode wurde fehlerhaft beendet!"));
    ASSERT_TRUE(service.OnStop());
    EXPECT_EQ(1u, Count("InitEvent not received!"));
    EXPECT_EQ(0u, Count("InitEvent set"));
    EXPECT_EQ(0u, Calls("Initialize"));
}

}  // namespace
