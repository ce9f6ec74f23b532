// Path templates, plug-in discovery in a private machine hive (file names, the components' directories,
// the descriptor array) and the loading pass with the real test plug-ins.
#include <gtest/gtest.h>
#include <windows.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "EventRecorder.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PathTemplates.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"

namespace {

using namespace vemo::test;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoPluginDiscoveryTests");
constexpr wchar_t kMissingDll[] = L"NoSuchPlugin.dll";

// The product's own component lives in the product key; its configuration directory is the program directory.
bool InstallComponent(const wchar_t* id, const std::wstring& configDir) {
    return std::wstring(id) == kOwnComponent ? RegisterProduct(configDir) : RegisterComponent(id, configDir);
}

void WriteFile(const std::wstring& path, const std::vector<PluginSpec>& plugins) { ASSERT_TRUE(WritePluginConfiguration(path, plugins)); }

bool IsSignalled(HANDLE event) { return event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Leaves the process-wide state as a fresh service finds it: events closed, modules freed.
void ResetGlobals() {
    if (g_vecPluginInfo || g_hPluginsInitialized) UnloadPlugins();
}

// The plug-ins as active descriptors, for a loading pass without configuration files (kNoPath: no path).
void Describe(const std::vector<PluginSpec>& plugins, bool withEvents = true) {
    ResetGlobals();
    const size_t n = plugins.size();
    g_vecPluginInfo = std::make_unique<CPluginInfo[]>(n);
    g_numPluginInfo = g_numActivePluginInfo = static_cast<int32_t>(n);
    if (withEvents) MakeBarrier(n);
    for (size_t i = 0; i < n; ++i) {
        CPluginInfo& pi = g_vecPluginInfo[i];
        pi._name = plugins[i].name;
        pi._binaryName = plugins[i].binary;
        pi._path = plugins[i].path == kNoPath ? L"" : PluginDirectory();
        pi._initializeName = plugins[i].initialize;
        pi._runName = plugins[i].run;
        pi._uninitializeName = plugins[i].uninitialize;
        pi._runsInSystemContext = plugins[i].system;
        pi._runsInPureMode = plugins[i].pure;
        pi._type = plugins[i].listener ? CPluginInfo::kTypeListener : CPluginInfo::kTypeDll;
    }
}
HANDLE Event(size_t i) { return g_hPluginsInitialized[i].get(); }

class PluginDiscovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ResetHklmSandbox()); }
    void TearDown() override { ResetGlobals(); }
};

// Path templates: marks regardless of case, every occurrence, unknown words left alone.

std::string Pid() { return std::to_string(::GetCurrentProcessId()); }

std::string Expand(std::string path, const std::string& category = "") {
    EXPECT_TRUE(ExpandPathTemplates(path, category));
    return path;
}

TEST(PathTemplates, SimpleMarksIgnoreCaseAndRepeat) {
    EXPECT_EQ("C:\\Plain\\Path\\", Expand("C:\\Plain\\Path\\"));
    EXPECT_EQ("C:\\Logs\\" + Pid() + "\\Keep", Expand("C:\\Logs\\{PiD}\\Keep"));
    EXPECT_EQ(Pid() + "_" + Pid(), Expand("{pid}_{PID}"));
    EXPECT_EQ("C:\\{unknown}\\x", Expand("C:\\{unknown}\\x"));
    EXPECT_EQ("C:\\a\\b", Expand("C:\\a{cat}\\b"));
    EXPECT_EQ("C:\\aKat\\b", Expand("C:\\a{CAT}\\b", "Kat"));
    EXPECT_EQ("plugindiscovery_tests.exe", Expand("{pname}") + ".exe");
}

TEST(PathTemplates, DatesFollowTheLocalClock) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const std::string ymd = Expand("{datejjjjmmtt}"), year = std::to_string(now.wYear);
    ASSERT_EQ(8u, ymd.size());
    EXPECT_EQ(year, ymd.substr(0, 4));  // (the year, not the day: a run may pass midnight)
    EXPECT_EQ(ymd.substr(6, 2) + ymd.substr(4, 2) + ymd.substr(0, 4), Expand("{DateTTMMJJJJ}"));
}

TEST(PathTemplates, ArgumentMarksAskConfigDbInLowerCase) {
    const std::string programDir = CDB_GetProgDir("b0003811", false);
    EXPECT_EQ("X" + programDir + "Plugins\\", Expand("X{ProgramDir(B0003811)}Plugins\\"));
    EXPECT_EQ(CDB_GetKonfigDir("b0003810") + "tail", Expand("{KONFIGDIR(B0003810)}tail"));
    EXPECT_EQ(CDB_GetLogDir("b0003812", true) + "f", Expand("{LOGDIR(B0003812)}f"));
    EXPECT_EQ(CDB_GetLogDir(CDB_COMPONENT_VEMO_COMPACT, true) + Pid(), Expand("{TraceLogDir}{pid}"));
}

TEST(PathTemplates, UnclosedMarksAndSelfReferringValuesTerminate) {
    // Without ")}" behind it the mark is left as written, in its own case, and later rows still run.
    EXPECT_EQ("A{programdir(b0003811", Expand("A{programdir(b0003811"));
    EXPECT_EQ("{LogDir(x" + Pid(), Expand("{LogDir(x{pid}"));
    // A category holding its own mark is inserted once, not expanded again by its row...
    EXPECT_EQ("a{cat}b", Expand("a{cat}b", "{cat}"));
    // ...but a later row expands what an earlier one inserted.
    EXPECT_EQ("a" + Expand("{datejjjjmmtt}") + "b", Expand("a{cat}b", "{DATEJJJJMMTT}"));
}

// A file that cannot be read adds nothing and is reported with why; the next file still counts.
TEST_F(PluginDiscovery, AnUnreadableConfigurationFileIsReported) {
    ScratchDirectory scratch{L"discUnreadable"};
    const EventRecorder events;
    const std::wstring broken = scratch.path() + L"B0000001.xml", good = scratch.path() + L"B0000002.xml";
    ASSERT_TRUE(WriteFileBytes(broken, "<root><plugin></root>") && WriteFileBytes(good, "<root><plugin/></root>"));
    EXPECT_EQ(1, CountPluginData({broken, good}));
    const auto unreadable = events.Events(VEMO_EVENT_CONFIG_UNREADABLE);
    ASSERT_EQ(1u, unreadable.size());
    EXPECT_EQ(broken, unreadable[0].at(0));
    EXPECT_FALSE(unreadable[0].at(1).empty());
}

TEST_F(PluginDiscovery, FirstComponentsFilesComeFirst) {
    ScratchDirectory first{L"B0003810discA"};
    ScratchDirectory second{L"discB"};
    const std::vector<std::wstring> firstNames = {L"B0000002.xml", L"B0000001.xml", L"b0000003.XML"};
    for (const std::wstring& name : firstNames) WriteFile(first.path() + name, {});
    // Names the search pattern or the check refuses.
    for (const wchar_t* name : {L"B00000A1.xml", L"B0000001.txt", L"B00000011.xml", L"B12 4567.xml"}) WriteFile(first.path() + name, {});
    WriteFile(second.path() + L"B0000000.xml", {});

    PluginFileList files;
    GetPluginFileList(files);
    EXPECT_TRUE(files.empty()) << "no component installed";
    // Only the second component installed.
    ASSERT_TRUE(InstallComponent(kBasisComponent, second.path()));
    files.clear();
    GetPluginFileList(files);
    EXPECT_EQ(PluginFileList{second.path() + L"B0000000.xml"}, files);

    ASSERT_TRUE(InstallComponent(kOwnComponent, first.path()));
    files.clear();
    GetPluginFileList(files);
    // The first directory's files in the order the file system returns them, whatever that is.
    ASSERT_EQ(4u, files.size());
    std::set<std::wstring> expected;
    for (const std::wstring& name : firstNames) expected.insert(first.path() + name);
    EXPECT_EQ(expected, std::set<std::wstring>(files.begin(), files.begin() + 3));
    EXPECT_EQ(second.path() + L"B0000000.xml", files.back());
}

TEST_F(PluginDiscovery, DescriptorsFollowFileOrderAndSystemPluginsLoad) {
    ScratchDirectory first{L"B0003810discReuse"};
    ScratchDirectory second{L"discReuseB"};
    ASSERT_TRUE(InstallComponent(kOwnComponent, first.path()));
    ASSERT_TRUE(InstallComponent(kBasisComponent, second.path()));
    // "ignored" is counted but not filled (its component is installed): the last slot stays default.
    WriteFile(first.path() + L"B0000001.xml",
              {{.name = L"eins", .system = false},
               {.name = L"ignored", .extra = "<ignoreOnInstalledComponent>B0003810</ignoreOnInstalledComponent>"}});
    WriteFile(second.path() + L"B0000001.xml", {{.name = L"zwei", .system = false}});

    GetPluginData(false);
    ASSERT_EQ(3, g_numPluginInfo);
    ASSERT_EQ(2, g_numActivePluginInfo);
    EXPECT_EQ(L"eins", g_vecPluginInfo[0]._name);
    EXPECT_EQ(L"zwei", g_vecPluginInfo[1]._name);
    EXPECT_EQ(L"", g_vecPluginInfo[2]._name);
    // Not for the system context: not loaded, events signalled at once.
    EXPECT_FALSE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_TRUE(IsSignalled(Event(0)) && IsSignalled(Event(1)));

    // Another count: a fresh array of default descriptors; the one for the system context is loaded.
    WriteFile(second.path() + L"B0000002.xml", {{.name = L"drei"}});
    GetPluginData(false);
    ASSERT_EQ(4, g_numPluginInfo);
    ASSERT_EQ(3, g_numActivePluginInfo);
    EXPECT_TRUE(g_vecPluginInfo[2]._isLoaded);
}

// What the loading pass leaves in one descriptor.
struct Loaded {
    bool loaded;
    int menuPosition;
    bool signalled;     // the slot released by the pass itself: not loaded, failed or a listener
    char module = '-';  // '-' none, '+' its own, '=' the first descriptor's
    bool twin = false;  // an earlier descriptor of the same name is loaded
};
struct LoadCase {
    const char* name;
    bool pureMode;
    std::vector<PluginSpec> plugins;
    std::vector<Loaded> expected;
    bool withEvents = true;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

const LoadCase kLoadCases[] = {
    // Context, mode and type decide; a failed plug-in gets no menu position; one module serves
    // every descriptor of the same binary.
    {"ContextModeTypeAndFailure", false,
     {{.name = L"system"}, {.name = L"user", .system = false}, {.name = L"pure", .pure = true},
      {.name = L"listener", .listener = true}, {.name = L"missing", .binary = kMissingDll},
      {.name = L"norun", .run = L"NoSuchExport"}, {.name = L"shared"}},
     // Loaded but without Run: failed, and the module stays for the unload sequence.
     {{true, 1, false, '+'}, {false, 0, true}, {false, 0, true}, {true, 2, true, '='}, {false, 0, true},
      {false, 0, true, '+'}, {true, 3, false, '='}}},
    {"PureModeLoadsOnlyPurePlugins", true, {{.name = L"normal"}, {.name = L"pure", .pure = true}},
     {{false, 0, true}, {true, 1, false, '+'}}},
    // A duplicate of a failed plug-in is loaded, a duplicate of a loaded one is not.
    {"Duplicates", false,
     {{.name = L"dup", .binary = kMissingDll}, {.name = L"dup"}, {.name = L"dup"}, {.name = L"other"}},
     {{false, 0, true}, {true, 1, false, '+'}, {false, 0, true, '-', true}, {true, 2, false, '='}}},
    {"WithoutBinaryOrPathCountsAsFailed", false, {{.name = L"nobinary", .binary = L""}, {.name = L"nopath", .path = kNoPath}, {.name = L"good"}},
     {{false, 0, true}, {false, 0, true}, {true, 1, false, '+'}}},
    {"WithoutEventArrayStillLoads", false, {{.name = L"a"}, {.name = L"b", .system = false}},
     {{true, 1, false, '+'}, {false, 0, false}}, false},
};

class LoadingPass : public PluginDiscovery, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadingPass, LoadsWhatTheServiceRuns) {
    const LoadCase& c = GetParam();
    Describe(c.plugins, c.withEvents);
    LoadPlugins(true, c.pureMode);
    ASSERT_EQ(c.withEvents, g_hPluginsInitialized != nullptr);
    ASSERT_EQ(c.plugins.size(), c.expected.size());
    const HMODULE first = g_vecPluginInfo[0]._hModule.get() ? g_vecPluginInfo[0]._hModule.get()
                                                             : ::GetModuleHandleW(kTestPluginDll);
    for (size_t i = 0; i < c.plugins.size(); ++i) {
        SCOPED_TRACE(Narrow(c.plugins[i].name) + " " + std::to_string(i));
        const CPluginInfo& pi = g_vecPluginInfo[i];
        const Loaded& e = c.expected[i];
        EXPECT_EQ(e.loaded, pi._isLoaded);
        EXPECT_EQ(e.menuPosition, pi._menuPosition);
        if (c.withEvents) {
            ASSERT_NE(nullptr, Event(i));
            EXPECT_EQ(e.signalled, IsSignalled(Event(i)));
        }
        EXPECT_EQ(e.module != '-', pi._hModule.is_valid());
        EXPECT_TRUE(e.module != '=' || first == pi._hModule.get());
        EXPECT_EQ(e.twin, IsAlreadyLoaded(static_cast<int32_t>(i)));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LoadingPass, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PluginDiscovery, UnitializeFallbackReplacesTheConfiguredName) {
    Describe({{.name = L"default", .binary = L"TestPluginUnitialize.dll"},
              {.name = L"configured", .uninitialize = L"MyUninit", .binary = L"TestPluginUnitialize.dll"}});
    LoadPlugins(true, false);
    for (size_t i : {0u, 1u}) {
        const CPluginInfo& pi = g_vecPluginInfo[i];
        EXPECT_TRUE(pi._isLoaded) << i;
        EXPECT_EQ(L"Unitialize", pi._uninitializeName) << i;
        ASSERT_TRUE(pi._hModule);
        EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(pi._hModule.get(), "Unitialize")), reinterpret_cast<void*>(pi._pfnUninitialize));
        EXPECT_EQ(nullptr, pi._pfnRunMenu) << i;  // no "RunMenu": not required
    }
}

}  // namespace
