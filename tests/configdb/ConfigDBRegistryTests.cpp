// Component registry lookup: newest version subkey, directories, versions, the registry
// writer and the 32-bit view.
#include <gtest/gtest.h>

#include "ConfigDbTest.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;

namespace {

// In a child on the real machine hive, below "SOFTWARE" in the 64-bit view, where "Wow6432Node"
// is the 32-bit one.
bool RealKeyExists(const std::wstring& path) {
    vemo::unique_hkey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + path).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                           key.put()) == ERROR_SUCCESS;
}
void DeleteRealTree(const std::wstring& path) {
    vemo::unique_hkey key;
    const std::wstring full = L"SOFTWARE\\" + path;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return;
    }
    ::RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, full.c_str(), KEY_WOW64_64KEY, 0);
}

// A scratch key below HKEY_CURRENT_USER, which the redirection leaves alone.
const std::wstring kUserScratch = L"Software\\VeMoConfigDBTests_" + std::to_wstring(::GetCurrentProcessId());

}  // namespace

// The newest version subkey: version names compare as decimal numbers (so "1.10" is below
// "1.9" and "10" above "9" and "2.0"); names that are no number count for nothing; without any
// the lookup goes to "1.0".
struct VersionCase {
    std::vector<std::string> subkeys;
    const char* newest;
};
class NewestVersion : public ConfigDbTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(NewestVersion, IsTheLargestDecimalNumber) {
    const std::string id = UniqueComponentId();
    for (const std::string& version : GetParam().subkeys) CreateKey(ComponentVersionKey(id, version));
    EXPECT_EQ(GetParam().newest,
              configdb::_GetHighestVersionKey(std::string(kComponentsKey) + "\\" + id + "\\Versions"));
}

INSTANTIATE_TEST_SUITE_P(Versions, NewestVersion,
                         ::testing::Values(VersionCase{{"1.0", "2.0"}, "\\2.0"}, VersionCase{{"1.10", "1.9"}, "\\1.9"},
                                           VersionCase{{"9", "10", "2.0"}, "\\10"}, VersionCase{{"0.9"}, "\\1.0"},
                                           VersionCase{{"neu", "1.5"}, "\\1.5"}, VersionCase{{}, "\\1.0"},
                                           VersionCase{{"3.0", "abc", "2.9"}, "\\3.0"}));

namespace {

TEST_F(ConfigDbTest, DirectoriesAreReadBelowTheNewestVersion) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0") + "\\ConfigDir", "", scratch.Sub("old"));
    SetString(ComponentVersionKey(id, "2.0") + "\\ConfigDir", "", scratch.Sub("new"));
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", scratch.Sub("oldlog"));
    SetString(ComponentVersionKey(id, "2.0") + "\\LogDir", "", scratch.Sub("newlog"));
    EXPECT_EQ(scratch.path() + "new\\", configdb::_GetKonfigDirFromRegistry(id));
    EXPECT_EQ(scratch.path() + "newlog\\", configdb::_GetLogDirFromRegistry(id));

    // With only 0.9 the lookup goes to the missing 1.0 subkey: every value is empty.
    const std::string old = UniqueComponentId();
    SetString(ComponentVersionKey(old, "0.9") + "\\ConfigDir", "", scratch.Sub("nine"));
    SetString(ComponentVersionKey(old, "0.9") + "\\LogDir", "", scratch.Sub("nine"));
    EXPECT_EQ("", configdb::_GetKonfigDirFromRegistry(old));
    EXPECT_EQ("", configdb::_GetLogDirFromRegistry(old));
}

TEST_F(ConfigDbTest, RegisteredDirectoriesEndInExactlyOneBackslash) {
    const std::string bare = UniqueComponentId();
    SetString(ComponentVersionKey(bare, "1.0") + "\\ConfigDir", "", "C:\\Irgendwo\\Konfig");
    EXPECT_EQ("C:\\Irgendwo\\Konfig\\", configdb::_GetKonfigDirFromRegistry(bare));

    const std::string ended = UniqueComponentId();
    SetString(ComponentVersionKey(ended, "1.0") + "\\LogDir", "", "C:\\Irgendwo\\Log\\");
    EXPECT_EQ("C:\\Irgendwo\\Log\\", configdb::_GetLogDirFromRegistry(ended));

    SetString(std::string(kComponentsKey) + "\\" + ended + "\\AvailableDataDirectories\\Bilder\\Dir1", "",
              "C:\\Daten\\Bilder");
    EXPECT_EQ("C:\\Daten\\Bilder\\", configdb::_GetDataDirFromRegistry(ended, "Bilder"));
    EXPECT_EQ("", configdb::_GetDataDirFromRegistry(ended, "Andere"));
}

TEST_F(ConfigDbTest, OwnComponentHasNoRegisteredKonfigLogOrDataDirectory) {
    Scratch scratch;
    SetString(ComponentVersionKey(kOwnId, "1.0") + "\\ConfigDir", "", scratch.path());
    SetString(ComponentVersionKey(kOwnId, "1.0") + "\\LogDir", "", scratch.path());
    SetString(std::string(kComponentsKey) + "\\" + kOwnId + "\\AvailableDataDirectories\\Data\\Dir1", "",
              scratch.path());
    EXPECT_FALSE(configdb::_UsesComponentRegistry(kOwnId));
    EXPECT_TRUE(configdb::_UsesComponentRegistry("B0003811"));
    EXPECT_EQ("", configdb::_GetKonfigDirFromRegistry(kOwnId));
    EXPECT_EQ("", configdb::_GetLogDirFromRegistry(kOwnId));
    EXPECT_EQ("", configdb::_GetDataDirFromRegistry(kOwnId, "Data"));
}

TEST_F(ConfigDbTest, ProgramDirectoryJoinsFixedProgDirAndProgDir) {
    Scratch scratch;
    const std::string base = scratch.Sub("Basis");
    scratch.Sub("Basis\\Sub");

    const std::string joined = UniqueComponentId();
    SetString(ComponentVersionKey(joined, "1.0") + "\\ProtectedDirectories", "FixedProgDir", base);
    SetString(ComponentVersionKey(joined, "1.0") + "\\ProtectedDirectories", "ProgDir", "Sub");
    EXPECT_EQ(base + "\\Sub\\", configdb::_GetProgDirFromRegistry(joined));

    const std::string missingSub = UniqueComponentId();
    SetString(ComponentVersionKey(missingSub, "1.0") + "\\ProtectedDirectories", "FixedProgDir", base + "\\");
    SetString(ComponentVersionKey(missingSub, "1.0") + "\\ProtectedDirectories", "ProgDir", "Fehlt");
    EXPECT_EQ(base + "\\Fehlt", configdb::_GetProgDirFromRegistry(missingSub));

    const std::string missingBase = UniqueComponentId();
    SetString(ComponentVersionKey(missingBase, "1.0") + "\\ProtectedDirectories", "FixedProgDir",
              scratch.path() + "KeineBasis");
    SetString(ComponentVersionKey(missingBase, "1.0") + "\\ProtectedDirectories", "ProgDir", "Sub");
    EXPECT_EQ(scratch.path() + "KeineBasis", configdb::_GetProgDirFromRegistry(missingBase));

    // The public query adds exactly one backslash and reports where it came from.
    trace.Clear();
    EXPECT_EQ(base + "\\Sub\\", CDB_GetProgDir(joined, false));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetProgDir: Programmpfad <" + base + "\\Sub\\> über Registry ermittelt.")))
        << Narrow(trace.Dump());
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetProgDir: Programmpfad <" + joined + "> = \"" + base + "\\Sub\\\"")));
}

TEST_F(ConfigDbTest, OwnProgramDirectoryComesFromProgKey) {
    Scratch scratch;
    const std::string dir = scratch.Sub("Programm");
    SetString(kProductKey, "ProgKey", dir);
    EXPECT_EQ(dir + "\\", configdb::_GetProgDirFromRegistry(kOwnId));
    EXPECT_EQ(dir + "\\", CDB_GetProgDir(kOwnId, false));
    EXPECT_EQ(dir + "\\", CDB_GetProgDir(kOwnId, true));
    SetString(kProductKey, "ProgKey", scratch.path() + "Fehlt");
    EXPECT_EQ(scratch.path() + "Fehlt", configdb::_GetProgDirFromRegistry(kOwnId));
}

TEST_F(ConfigDbTest, VersionKindsReadComponentAndPackageKeys) {
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0"), "CompVersion", "1.0");
    SetString(ComponentVersionKey(id, "3.0"), "CompVersion", "5.2");
    SetDword(ComponentVersionKey(id, "3.0"), "BuildNumber", 1234);
    SetString(ComponentVersionKey(id, "3.0"), "FileVersion", "5.2.0.1234");
    SetString(PackageVersionKey(id, "2.0"), "CompVersion", "7.1");
    SetDword(PackageVersionKey(id, "2.0"), "BuildNumber", 77);

    EXPECT_EQ("5.2.1234", CDB_GetVersion(id, 0));
    EXPECT_EQ("7.1.77", CDB_GetVersion(id, 1));
    EXPECT_EQ("5.2", CDB_GetVersion(id, 2));
    EXPECT_EQ("7.1", CDB_GetVersion(id, 3));
    EXPECT_EQ("1234", CDB_GetVersion(id, 4));
    EXPECT_EQ("77", CDB_GetVersion(id, 5));
    EXPECT_EQ("5.2.0.1234", CDB_GetVersion(id, 6));
    EXPECT_EQ("", CDB_GetVersion(id, 7));
    EXPECT_EQ("", CDB_GetVersion(id, -1));
    EXPECT_TRUE(trace.HasInfo(L"CDB_GetVersion: Version <5.2.1234> über Registry ermittelt."));
}

TEST_F(ConfigDbTest, MissingBuildNumberCountsAsZero) {
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0"), "CompVersion", "5.2");
    EXPECT_EQ("5.2.0", CDB_GetVersion(id, 0));
    EXPECT_EQ("0", CDB_GetVersion(id, 4));

    // Kind 4 of a component that is not there at all is "0" too, so it cannot tell installed.
    const std::string absent = UniqueComponentId();
    trace.Clear();
    EXPECT_EQ("0", CDB_GetVersion(absent, 4));
    EXPECT_EQ("", CDB_GetVersion(absent, 0));
    EXPECT_TRUE(trace.HasInfo(L"CDB_GetVersion: Via Registry keine Version ermittelbar."));
}

TEST_F(ConfigDbTest, OwnComponentVersionComesFromTheProductKey) {
    SetString(kProductKey, "CompVersion", "3.1");
    SetDword(kProductKey, "BuildNumber", 5);
    SetString(kProductKey, "FileVersion", "3.1.0.5");
    SetString(PackageVersionKey(kOwnId, "1.0"), "CompVersion", "9.9");
    SetString(ComponentVersionKey(kOwnId, "1.0"), "CompVersion", "8.8");
    EXPECT_EQ("3.1.5", CDB_GetVersion(kOwnId, 0));
    EXPECT_EQ("3.1", CDB_GetVersion(kOwnId, 2));
    EXPECT_EQ("5", CDB_GetVersion(kOwnId, 4));
    EXPECT_EQ("3.1.0.5", CDB_GetVersion(kOwnId, 6));
    EXPECT_EQ("", CDB_GetVersion(kOwnId, 1));
    EXPECT_EQ("", CDB_GetVersion(kOwnId, 3));
    EXPECT_EQ("", CDB_GetVersion(kOwnId, 5));
}

TEST_F(ConfigDbTest, StringValuesAreReadWhateverTheirType) {
    const std::string id = UniqueComponentId();
    const std::string key = ComponentVersionKey(id, "1.0");
    CreateKey(key);
    vemo::unique_hkey handle;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                                             handle.put()));
    const char multi[] = "4.4\0zweiter\0";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(handle.get(), "CompVersion", 0, REG_MULTI_SZ,
                                              reinterpret_cast<const BYTE*>(multi), sizeof(multi)));
    EXPECT_EQ("4.4", configdb::_ReadRegistryString(key, "CompVersion"));
    EXPECT_EQ(0u, configdb::_ReadRegistryDword(key, "Fehlt"));
    EXPECT_EQ("", configdb::_ReadRegistryString(key, "Fehlt"));
    EXPECT_EQ("", configdb::_ReadRegistryString(key + "\\Fehlt", "CompVersion"));
}

TEST_F(ConfigDbTest, InstalledMeansTheComponentHasAVersion) {
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0"), "CompVersion", "5.2");  // no BuildNumber
    const std::string absent = UniqueComponentId();

    EXPECT_TRUE(CDB_IsComponentInstalled(id.c_str()));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_IsComponentInstalled: Komponente <" + id + "> <TRUE>")));
    EXPECT_FALSE(CDB_IsComponentInstalled(absent.c_str()));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_IsComponentInstalled: Komponente <" + absent + "> <FALSE>")));

    trace.Clear();
    EXPECT_TRUE(CDB_IsComponentInstalled(Widen(id).c_str()));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_IsComponentInstalled: Komponente <" + id + "> <TRUE>")));
    EXPECT_FALSE(CDB_IsComponentInstalled(Widen(absent).c_str()));
    EXPECT_FALSE(CDB_IsComponentInstalled(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CDB_IsComponentInstalled(static_cast<const wchar_t*>(nullptr)));

    SetString(kProductKey, "CompVersion", "1.0");
    EXPECT_TRUE(CDB_IsComponentInstalled(kOwnId));
}

TEST_F(ConfigDbTest, SystemDirectoryComesFromProtectedDirectoriesOrProgKey) {
    Scratch scratch;
    const std::string system = scratch.Sub("System");
    const std::string program = scratch.Sub("Programm");
    EXPECT_EQ(ExeDirectory(), CDB_GetSystemDir(1));
    EXPECT_EQ(ExeDirectory(), CDB_GetSystemDir(0));

    SetString(kProtectedDirectoriesKey, "SystemDir", system);
    SetString(kProductKey, "ProgKey", program);
    trace.Clear();
    EXPECT_EQ(system + "\\", configdb::_GetSystemDirFromRegistry());
    EXPECT_EQ(system + "\\", CDB_GetSystemDir(1));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetSystemDir: Truvo-Systempfad <" + system + "\\> über Registry ermittelt.")));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetSystemDir: Systempfad = \"" + system + "\\\"")));
    EXPECT_EQ(program + "\\", CDB_GetSystemDir(0));
    EXPECT_EQ(program + "\\", CDB_GetSystemDir(2));
}

// --- registry writer ----------------------------------------------------------------------------

TEST_F(ConfigDbTest, SetRegistryKeyStringWritesARegSzWithItsTerminator) {
    const std::wstring keyPath = kUserScratch + L"\\Writer";
    const std::wstring data = L"\"C:\\Pfad mit Ümlaut\\VeMoHost.exe\"";
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", L"erst"));
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", data));

    vemo::unique_hkey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()));
    DWORD type = 0;
    DWORD bytes = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key.get(), L"QRNServ", nullptr, &type, nullptr, &bytes));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ((data.size() + 1) * sizeof(wchar_t), bytes);
    std::wstring read(bytes / sizeof(wchar_t), L'\0');
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key.get(), L"QRNServ", nullptr, &type,
                                                reinterpret_cast<BYTE*>(read.data()), &bytes));
    EXPECT_EQ(data + L'\0', read);
    DWORD values = 0;
    ASSERT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(1u, values);
    key.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, keyPath.c_str());
}

TEST_F(ConfigDbTest, SetRegistryKeyStringReportsKeysItCannotCreate) {
    EXPECT_EQ(CDB_ERROR_REGISTRY_WRITE,
              CDB_SetRegistryKeyString(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), true, L"Irgendwo",
                                       L"Wert", L"Daten"));

    // Below a volatile key no non-volatile key can be made.
    const std::wstring volatilePath = kUserScratch + L"\\Fluechtig";
    vemo::unique_hkey volatileKey;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, volatilePath.c_str(), 0, nullptr,
                                               REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, volatileKey.put(),
                                               nullptr));
    EXPECT_EQ(CDB_ERROR_REGISTRY_WRITE,
              CDB_SetRegistryKeyString(HKEY_CURRENT_USER, false, volatilePath + L"\\Dauerhaft", L"Wert", L"Daten"));
    volatileKey.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, volatilePath.c_str());
}

TEST(ConfigDbRealHive, SetRegistryKeyStringSelectsTheRegistryView) {
    if (!vemo::test::InChild()) {
        EXPECT_TRUE(vemo::test::RunCurrentTestInChildren(1, {}, vemo::test::Hive::kReal));
        return;
    }
    // A key of our own on the real hive, where the two views differ.
    const std::wstring name = L"VeMoConfigDBTests_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring in32 = L"Wow6432Node\\" + name;
    // Without the flag the process's own view: the 64-bit one for an x64 program, the 32-bit one
    // for an x86 program under WOW64.
    for (const bool view32 : {true, false}) {
        SCOPED_TRACE(view32 ? "32" : "own");
        const bool lands32 = view32 || sizeof(void*) == 4;
        EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_LOCAL_MACHINE, view32, L"SOFTWARE\\" + name, L"Wert", L"Daten"));
        const bool found = RealKeyExists(lands32 ? in32 : name);
        const bool leaked = RealKeyExists(lands32 ? name : in32);
        DeleteRealTree(in32);
        DeleteRealTree(name);
        EXPECT_TRUE(found);
        EXPECT_FALSE(leaked);
    }
}

TEST(ConfigDbRealHive, QueriesReadTheThirtyTwoBitView) {
    if (!vemo::test::InChild()) {
        EXPECT_TRUE(vemo::test::RunCurrentTestInChildren(1, {}, vemo::test::Hive::kReal));
        return;
    }
    const std::string in32 = UniqueComponentId();
    const std::string in64 = UniqueComponentId();
    const bool companyExisted = RealKeyExists(L"TRUVOeg");
    const bool company32Existed = RealKeyExists(L"Wow6432Node\\TRUVOeg");
    for (const std::wstring& path : {L"Wow6432Node\\TRUVOeg\\Components\\" + Widen(in32) + L"\\Versions\\1.0",
                                     L"TRUVOeg\\Components\\" + Widen(in64) + L"\\Versions\\1.0"}) {
        vemo::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + path).c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"CompVersion", 0, REG_SZ,
                                                  reinterpret_cast<const BYTE*>(L"1.0"), 4 * sizeof(wchar_t)));
    }
    const bool found32 = CDB_IsComponentInstalled(in32.c_str());
    const bool found64 = CDB_IsComponentInstalled(in64.c_str());
    DeleteRealTree(L"Wow6432Node\\TRUVOeg\\Components\\" + Widen(in32));
    DeleteRealTree(L"TRUVOeg\\Components\\" + Widen(in64));
    // Parents made here go again only when nothing else appeared below them meanwhile.
    for (const auto& [existed, path] : {std::pair{companyExisted, std::wstring(L"SOFTWARE\\TRUVOeg")},
                                        std::pair{company32Existed, std::wstring(L"SOFTWARE\\Wow6432Node\\TRUVOeg")}}) {
        if (existed) continue;
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\Components").c_str(), KEY_WOW64_64KEY, 0);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
    }
    EXPECT_TRUE(found32);
    EXPECT_FALSE(found64);
}

}  // namespace
