// Plug-in discovery and the loading pass: file names, the components' configuration directories
// in a private machine hive, the descriptor array, and loading the real test plug-ins.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "VeMoHostIntLib/LibraryManager.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginLoading.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "common/UniqueHandle.h"

namespace {

constexpr wchar_t kUnitializePluginDll[] = L"TestPluginUnitialize.dll";
constexpr wchar_t kMissingDll[] = L"NoSuchPlugin.dll";
constexpr wchar_t kMissingExport[] = L"NoSuchExport";
constexpr wchar_t kUnitializeName[] = L"Unitialize";
constexpr wchar_t kInitializeFalseExport[] = L"InitializeFalse";
constexpr char kInitializeFalseExportA[] = "InitializeFalse";
constexpr char kInitializeExportA[] = "Initialize";
constexpr char kUnitializeExportA[] = "Unitialize";
constexpr size_t kTooLongChars = 1024;

using namespace vemo::test;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoPluginDiscoveryTests");

// The product's own component keeps its version and program directory in the product key; in a
// company environment its configuration directory is the program directory (which names it).
bool InstallComponent(const wchar_t* id, const std::wstring& configDir) {
    return std::wstring(id) == kOwnComponent ? RegisterProduct(configDir) : RegisterComponent(id, configDir);
}

void WriteFile(const std::wstring& path, const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(path, bytes)); }

std::string PluginXml(const std::string& description, const std::string& body) {
    return "<plugin description=\"" + description + "\">" + body + "</plugin>";
}

std::string FileXml(const std::vector<std::string>& plugins) {
    std::string xml = "<?xml version=\"1.0\"?><root>";
    for (const std::string& p : plugins) xml += p;
    return xml + "</root>";
}

std::string SystemPlugin(const std::string& description, bool system) {
    return PluginElement({.name = Widen(description), .system = system});
}

bool IsSignalled(HANDLE event) { return event && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Leaves the process-wide state as a fresh service finds it: events closed, modules freed.
void ResetGlobals() {
    if (g_vecPluginInfo || g_hPluginsInitialized) UnloadPlugins();
}

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ResetHklmSandbox()); }
    void TearDown() override { ResetGlobals(); }

    // n descriptors, all active, for a loading pass without configuration files.
    void Prepare(size_t n) {
        ResetGlobals();
        g_vecPluginInfo = std::make_unique<CPluginInfo[]>(n);
        g_numPluginInfo = static_cast<int32_t>(n);
        g_numActivePluginInfo = static_cast<int32_t>(n);
        g_hPluginsInitialized = std::make_unique<vemo::unique_handle[]>(n);
    }
    CPluginInfo& Describe(size_t i, const wchar_t* name, const wchar_t* binary, bool system, bool pure) {
        CPluginInfo& pi = g_vecPluginInfo[i];
        pi._name = name;
        pi._binaryName = binary;
        pi._path = bin;
        pi._runsInSystemContext = system;
        pi._runsInPureMode = pure;
        pi._type = CPluginInfo::kTypeDll;
        return pi;
    }
    HANDLE Event(size_t i) const { return g_hPluginsInitialized[i].get(); }

    const std::wstring bin = PluginDirectory();
};

// --- file names -------------------------------------------------------------------------------

TEST(CheckFilenameTest, AcceptsTwelveCharactersWithSevenDigitsAndXml) {
    EXPECT_TRUE(CheckFilename(L"B0003810.xml"));
    EXPECT_TRUE(CheckFilename(L"b1234567.XML"));
    EXPECT_TRUE(CheckFilename(L"B9999999.XmL"));
    // The first character is left to the search pattern.
    EXPECT_TRUE(CheckFilename(L"X1234567.xml"));
}

TEST(CheckFilenameTest, RejectsWrongLengthDigitsOrExtension) {
    EXPECT_FALSE(CheckFilename(L"B12345678.xml"));
    EXPECT_FALSE(CheckFilename(L"B123456.xml"));
    EXPECT_FALSE(CheckFilename(L"B123456A.xml"));
    EXPECT_FALSE(CheckFilename(L"BA234567.xml"));
    EXPECT_FALSE(CheckFilename(L"B12 4567.xml"));
    EXPECT_FALSE(CheckFilename(L"B1234567.txt"));
    EXPECT_FALSE(CheckFilename(L"B1234567_xml"));
    EXPECT_FALSE(CheckFilename(L"B1234.67.xml"));
    EXPECT_FALSE(CheckFilename(L"B1234567.xm"));
    EXPECT_FALSE(CheckFilename(L""));
    EXPECT_FALSE(CheckFilename(nullptr));
}

// --- file list and counting ---------------------------------------------------------------

TEST_F(PluginHostTest, NoComponentGivesNoFilesAndClearsTheArray) {
    PluginFileList files;
    GetPluginFileList(files);
    EXPECT_TRUE(files.empty());

    // A previous start left an array behind: a start that finds nothing gives it up.
    Prepare(2);
    g_numActivePluginInfo = 1;
    GetPluginData(false);
    EXPECT_EQ(0, g_numPluginInfo);
    EXPECT_EQ(nullptr, g_vecPluginInfo.get());
    EXPECT_EQ(nullptr, g_hPluginsInitialized.get());
}

TEST_F(PluginHostTest, FirstComponentsFilesComeFirstInDirectoryOrder) {
    ScratchDirectory first{L"B0003810discA"};
    ScratchDirectory second{L"discB"};
    const std::vector<std::wstring> firstNames = {L"B0000002.xml", L"B0000001.xml", L"b0000003.XML"};
    for (const std::wstring& name : firstNames) WriteFile(first.path() + name, FileXml({}));
    for (const wchar_t* name : {L"B00000A1.xml", L"B0000001.txt", L"B00000011.xml", L"Bx.xml"}) {
        WriteFile(first.path() + name, FileXml({}));
    }
    WriteFile(second.path() + L"B0000000.xml", FileXml({}));

    // Only the second component installed.
    ASSERT_TRUE(InstallComponent(kBasisComponent, second.path()));
    PluginFileList files;
    GetPluginFileList(files);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(second.path() + L"B0000000.xml", files[0]);

    ASSERT_TRUE(InstallComponent(kOwnComponent, first.path()));
    files.clear();
    GetPluginFileList(files);

    // The order of the first directory as the file system returns it.
    std::vector<std::wstring> expected;
    WIN32_FIND_DATAW data{};
    vemo::unique_hfind find(::FindFirstFileW((first.path() + L"*").c_str(), &data));
    ASSERT_TRUE(find);
    do {
        if (std::find(firstNames.begin(), firstNames.end(), data.cFileName) != firstNames.end()) {
            expected.push_back(first.path() + data.cFileName);
        }
    } while (::FindNextFileW(find.get(), &data));
    ASSERT_EQ(firstNames.size(), expected.size());
    expected.push_back(second.path() + L"B0000000.xml");
    EXPECT_EQ(expected, files);
}

TEST_F(PluginHostTest, CountAddsThePluginsOfEveryFile) {
    ScratchDirectory dir{L"discCount"};
    WriteFile(dir.path() + L"B0000001.xml", FileXml({PluginXml("a", ""), PluginXml("b", "")}));
    WriteFile(dir.path() + L"B0000002.xml", FileXml({PluginXml("c", "")}));
    WriteFile(dir.path() + L"B0000003.xml", "<root><plugin description=\"broken\"></root>");
    EXPECT_EQ(3, CountPluginData({dir.path() + L"B0000001.xml", dir.path() + L"B0000002.xml",
                                  dir.path() + L"B0000003.xml"}));
    EXPECT_EQ(1, CountPluginData({dir.path() + L"B0000002.xml"}));
    EXPECT_EQ(0, CountPluginData({}));
}

TEST_F(PluginHostTest, DescriptorsFollowFileOrderAndTheArrayIsReusedForTheSameCount) {
    ScratchDirectory first{L"B0003810discReuse"};
    ScratchDirectory second{L"discReuseB"};
    ASSERT_TRUE(InstallComponent(kOwnComponent, first.path()));
    ASSERT_TRUE(InstallComponent(kBasisComponent, second.path()));
    // "ignored" is counted but not filled (its component is installed), so the last slot stays
    // default-constructed and shows whether the array was built anew.
    WriteFile(first.path() + L"B0000001.xml",
              FileXml({SystemPlugin("eins", false),
                       PluginXml("ignored", "<ignoreOnInstalledComponent>B0003810</ignoreOnInstalledComponent>")}));
    WriteFile(second.path() + L"B0000001.xml", FileXml({SystemPlugin("zwei", false)}));

    GetPluginData(false);
    ASSERT_EQ(3, g_numPluginInfo);
    ASSERT_EQ(2, g_numActivePluginInfo);
    ASSERT_NE(nullptr, g_hPluginsInitialized.get());
    EXPECT_EQ(L"eins", g_vecPluginInfo[0]._name);
    EXPECT_EQ(L"zwei", g_vecPluginInfo[1]._name);
    EXPECT_EQ(L"", g_vecPluginInfo[2]._name);
    // Not for the system context: not loaded, events signalled at once.
    EXPECT_FALSE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_TRUE(IsSignalled(Event(0)));
    EXPECT_TRUE(IsSignalled(Event(1)));

    CPluginInfo* const array = g_vecPluginInfo.get();
    g_vecPluginInfo[2]._name = L"marker";
    for (size_t i = 0; i < 2; ++i) ::CloseHandle(Event(i));
    GetPluginData(false);
    EXPECT_EQ(array, g_vecPluginInfo.get());
    EXPECT_EQ(L"marker", g_vecPluginInfo[2]._name);
    EXPECT_EQ(2, g_numActivePluginInfo);

    // Another count: a fresh array of default descriptors.
    WriteFile(second.path() + L"B0000002.xml", FileXml({SystemPlugin("drei", false)}));
    for (size_t i = 0; i < 2; ++i) ::CloseHandle(Event(i));
    GetPluginData(false);
    ASSERT_EQ(4, g_numPluginInfo);
    ASSERT_EQ(3, g_numActivePluginInfo);
    EXPECT_EQ(L"", g_vecPluginInfo[3]._name);
}

TEST_F(PluginHostTest, GetPluginDataLoadsOnlySystemPlugins) {
    ScratchDirectory dir{L"B0003810discLoad"};
    ASSERT_TRUE(InstallComponent(kOwnComponent, dir.path()));
    WriteFile(dir.path() + L"B0000001.xml",
              FileXml({SystemPlugin("user", false), SystemPlugin("system", true)}));
    GetPluginData(false);
    ASSERT_EQ(2, g_numActivePluginInfo);
    EXPECT_FALSE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_FALSE(g_vecPluginInfo[0]._hModule);
    EXPECT_TRUE(IsSignalled(Event(0)));
    EXPECT_TRUE(g_vecPluginInfo[1]._isLoaded);
    EXPECT_EQ(1, g_vecPluginInfo[1]._menuPosition);
    ASSERT_NE(nullptr, Event(1));
    EXPECT_FALSE(IsSignalled(Event(1)));
}

// --- loading pass -----------------------------------------------------------------------------

TEST_F(PluginHostTest, LoadingFiltersByContextModeTypeAndFailure) {
    Prepare(7);
    Describe(0, L"system", kTestPluginDll, true, false);
    Describe(1, L"user", kTestPluginDll, false, false);
    Describe(2, L"pure", kTestPluginDll, true, true);
    Describe(3, L"listener", kTestPluginDll, true, false)._type = CPluginInfo::kTypeListener;
    Describe(4, L"missing", kMissingDll, true, false);
    Describe(5, L"norun", kTestPluginDll, true, false)._runName = kMissingExport;
    Describe(6, L"shared", kTestPluginDll, true, false);
    LoadPlugins(true, false);

    const CPluginInfo* pi = g_vecPluginInfo.get();
    EXPECT_TRUE(pi[0]._isLoaded);
    EXPECT_TRUE(pi[0]._initOk);
    EXPECT_EQ(1, pi[0]._menuPosition);
    EXPECT_FALSE(IsSignalled(Event(0)));
    ASSERT_NE(nullptr, Event(0));

    for (size_t i : {1u, 2u}) {
        EXPECT_FALSE(pi[i]._isLoaded) << i;
        EXPECT_FALSE(pi[i]._hModule) << i;
        EXPECT_EQ(0, pi[i]._menuPosition) << i;
        EXPECT_TRUE(IsSignalled(Event(i))) << i;
    }

    EXPECT_TRUE(pi[3]._isLoaded);
    EXPECT_EQ(2, pi[3]._menuPosition);
    EXPECT_TRUE(IsSignalled(Event(3)));

    EXPECT_FALSE(pi[4]._isLoaded);
    EXPECT_FALSE(pi[4]._initOk);
    EXPECT_FALSE(pi[4]._hModule);
    EXPECT_EQ(0, pi[4]._menuPosition);
    EXPECT_TRUE(IsSignalled(Event(4)));

    // Loaded but without Run: failed, and the module stays for the unload sequence.
    EXPECT_FALSE(pi[5]._isLoaded);
    EXPECT_FALSE(pi[5]._initOk);
    EXPECT_TRUE(pi[5]._hModule);
    EXPECT_EQ(nullptr, pi[5]._pfnRun);
    EXPECT_TRUE(IsSignalled(Event(5)));

    EXPECT_TRUE(pi[6]._isLoaded);
    EXPECT_EQ(pi[0]._hModule.get(), pi[6]._hModule.get());
    EXPECT_EQ(3, pi[6]._menuPosition);
    EXPECT_FALSE(IsSignalled(Event(6)));
}

TEST_F(PluginHostTest, PureModeLoadsOnlyPurePlugins) {
    Prepare(2);
    Describe(0, L"normal", kTestPluginDll, true, false);
    Describe(1, L"pure", kTestPluginDll, true, true);
    LoadPlugins(true, true);
    EXPECT_FALSE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_TRUE(IsSignalled(Event(0)));
    EXPECT_TRUE(g_vecPluginInfo[1]._isLoaded);
    EXPECT_EQ(1, g_vecPluginInfo[1]._menuPosition);
    EXPECT_FALSE(IsSignalled(Event(1)));
}

TEST_F(PluginHostTest, LoadingWithoutEventArrayStillLoads) {
    Prepare(2);
    Describe(0, L"a", kTestPluginDll, true, false);
    Describe(1, L"b", kTestPluginDll, false, false);
    g_hPluginsInitialized.reset();
    LoadPlugins(true, false);
    EXPECT_TRUE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_EQ(1, g_vecPluginInfo[0]._menuPosition);
    EXPECT_FALSE(g_vecPluginInfo[1]._isLoaded);
}

TEST_F(PluginHostTest, DuplicateOfAFailedPluginIsLoadedDuplicateOfALoadedOneIsNot) {
    Prepare(4);
    Describe(0, L"dup", kMissingDll, true, false);
    Describe(1, L"dup", kTestPluginDll, true, false);
    Describe(2, L"dup", kTestPluginDll, true, false);
    Describe(3, L"other", kTestPluginDll, true, false);
    EXPECT_FALSE(IsAlreadyLoaded(0));
    LoadPlugins(true, false);
    EXPECT_FALSE(g_vecPluginInfo[0]._isLoaded);
    EXPECT_TRUE(g_vecPluginInfo[1]._isLoaded);
    EXPECT_FALSE(IsSignalled(Event(1)));
    EXPECT_FALSE(g_vecPluginInfo[2]._isLoaded);
    EXPECT_FALSE(g_vecPluginInfo[2]._hModule);
    EXPECT_TRUE(IsSignalled(Event(2)));
    EXPECT_TRUE(g_vecPluginInfo[3]._isLoaded);
    EXPECT_EQ(2, g_vecPluginInfo[3]._menuPosition);

    EXPECT_FALSE(IsAlreadyLoaded(0));
    EXPECT_FALSE(IsAlreadyLoaded(1));
    EXPECT_TRUE(IsAlreadyLoaded(2));
    EXPECT_FALSE(IsAlreadyLoaded(3));
}

TEST_F(PluginHostTest, DescriptorWithoutBinaryOrPathCountsAsFailed) {
    Prepare(3);
    Describe(0, L"nobinary", L"", true, false);
    Describe(1, L"nopath", kTestPluginDll, true, false)._path.clear();
    Describe(2, L"good", kTestPluginDll, true, false);
    LoadPlugins(true, false);
    for (size_t i : {0u, 1u}) {
        EXPECT_FALSE(g_vecPluginInfo[i]._isLoaded) << i;
        EXPECT_FALSE(g_vecPluginInfo[i]._initOk) << i;
        EXPECT_FALSE(g_vecPluginInfo[i]._hModule) << i;
        EXPECT_EQ(0, g_vecPluginInfo[i]._menuPosition) << i;
        EXPECT_TRUE(IsSignalled(Event(i))) << i;
    }
    EXPECT_EQ(1, g_vecPluginInfo[2]._menuPosition);
}

TEST_F(PluginHostTest, UnitializeFallbackReplacesTheConfiguredName) {
    Prepare(2);
    Describe(0, L"default", kUnitializePluginDll, true, false);
    Describe(1, L"configured", kUnitializePluginDll, true, false)._uninitializeName = L"MyUninit";
    LoadPlugins(true, false);
    for (size_t i : {0u, 1u}) {
        const CPluginInfo& pi = g_vecPluginInfo[i];
        EXPECT_TRUE(pi._isLoaded) << i;
        EXPECT_EQ(kUnitializeName, pi._uninitializeName) << i;
        ASSERT_TRUE(pi._hModule);
        EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(pi._hModule.get(), kUnitializeExportA)),
                  reinterpret_cast<void*>(pi._pfnUninitialize));
        // No "RunMenu": not required.
        EXPECT_EQ(nullptr, pi._pfnRunMenu) << i;
    }
}

TEST_F(PluginHostTest, GetAddressPrefersTheConfiguredName) {
    Prepare(1);
    CPluginInfo& pi = Describe(0, L"p", kTestPluginDll, true, false);
    pi.LoadPlugin();
    ASSERT_TRUE(pi._isLoaded);
    const auto address = [&](const char* exportName) {
        return reinterpret_cast<void*>(::GetProcAddress(pi._hModule.get(), exportName));
    };
    EXPECT_EQ(address(kInitializeExportA), reinterpret_cast<void*>(pi._pfnInitialize));
    EXPECT_EQ(address(kInitializeFalseExportA),
              reinterpret_cast<void*>(pi.GetAddress(kInitializeFalseExport, L"Initialize")));
    EXPECT_EQ(address(kInitializeExportA), reinterpret_cast<void*>(pi.GetAddress(L"", L"Initialize")));
    EXPECT_EQ(nullptr, pi.GetAddress(L"", nullptr));
    EXPECT_EQ(nullptr, pi.GetAddress(kMissingExport, L"Initialize"));
    EXPECT_EQ(nullptr, pi.GetAddress(std::wstring(kTooLongChars, L'I').c_str(), L"Initialize"));

    // A configured initialise name is used instead of the default.
    Prepare(1);
    CPluginInfo& other = Describe(0, L"q", kTestPluginDll, true, false);
    other._initializeName = kInitializeFalseExport;
    other.LoadPlugin();
    EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(other._hModule.get(), kInitializeFalseExportA)),
              reinterpret_cast<void*>(other._pfnInitialize));
}

TEST_F(PluginHostTest, LibraryManagerLoadsOnceAndFrees) {
    CLibMgr libMgr;
    vemo::unique_hmodule module;
    EXPECT_FALSE(libMgr.LoadLibrary(nullptr, &module, bin.c_str()));
    EXPECT_FALSE(libMgr.LoadLibrary(kTestPluginDll, nullptr, bin.c_str()));
    EXPECT_FALSE(libMgr.LoadLibrary(kTestPluginDll, &module, nullptr));
    EXPECT_FALSE(libMgr.LoadLibrary(kMissingDll, &module, bin.c_str()));
    EXPECT_FALSE(module);
    EXPECT_FALSE(libMgr.LoadLibrary(kTestPluginDll, &module, (bin + std::wstring(MAX_PATH, L'x') + L"\\").c_str()));
    EXPECT_FALSE(module);

    ASSERT_TRUE(libMgr.LoadLibrary(kTestPluginDll, &module, bin.c_str()));
    ASSERT_TRUE(module);
    EXPECT_EQ(::GetModuleHandleW((bin + kTestPluginDll).c_str()), module.get());
    // A handle that is already set is kept; nothing is loaded into it.
    const HMODULE held = module.get();
    EXPECT_TRUE(libMgr.LoadLibrary(kMissingDll, &module, bin.c_str()));
    EXPECT_EQ(held, module.get());

    libMgr.UnloadLibrary(&module);
    EXPECT_FALSE(module);
    EXPECT_EQ(nullptr, ::GetModuleHandleW((bin + kTestPluginDll).c_str()));
    libMgr.UnloadLibrary(&module);
    libMgr.UnloadLibrary(nullptr);
}

}  // namespace
