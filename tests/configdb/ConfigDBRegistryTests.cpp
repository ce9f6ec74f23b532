// Component registry lookup: newest version subkey, versions, value types, the registry writer
// and the two registry views.
#include <gtest/gtest.h>

#include <array>

#include "ConfigDbTest.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;

namespace {

// Version names compare as decimal numbers (so "1.10" is below "1.9" and "10" above "9" and
// "2.0"); names that are no number count for nothing; without any the lookup goes to "1.0".
struct VersionCase {
    std::vector<std::string> subkeys;
    const char* newest;
};
class NewestVersion : public ConfigDbTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(NewestVersion, IsTheLargestDecimalNumber) {
    const std::string id = UniqueComponentId();
    for (const std::string& version : GetParam().subkeys) SetValues({"{c}\\Versions\\" + version + "|x|"}, id, "");
    EXPECT_EQ(GetParam().newest, configdb::_GetHighestVersionKey(Expand("{c}\\Versions", id, "")));
}

INSTANTIATE_TEST_SUITE_P(Versions, NewestVersion,
                         ::testing::Values(VersionCase{{"1.0", "2.0"}, "\\2.0"}, VersionCase{{"1.10", "1.9"}, "\\1.9"},
                                           VersionCase{{"9", "10", "2.0"}, "\\10"}, VersionCase{{"0.9"}, "\\1.0"},
                                           VersionCase{{"neu", "1.5"}, "\\1.5"}, VersionCase{{}, "\\1.0"},
                                           VersionCase{{"3.0", "abc", "2.9"}, "\\3.0"}));

// What CDB_GetVersion gives for the kinds 0 to 7 and -1; nullptr: not asked.
struct VersionKinds {
    const char* name;
    std::vector<std::string> values;
    const char* id;
    std::array<const char*, 9> expected;
};
const VersionKinds kVersionKinds[] = {
    {"ComponentAndPackage",
     {"{v}|CompVersion|1.0", "{c}\\Versions\\3.0|CompVersion|5.2", "{c}\\Versions\\3.0|BuildNumber|#1234",
      "{c}\\Versions\\3.0|FileVersion|5.2.0.1234", "{p}\\Versions\\2.0|CompVersion|7.1",
      "{p}\\Versions\\2.0|BuildNumber|#77"},
     nullptr, {"5.2.1234", "7.1.77", "5.2", "7.1", "1234", "77", "5.2.0.1234", "", ""}},
    {"MissingBuildNumberCountsAsZero", {"{v}|CompVersion|5.2"}, nullptr,
     {"5.2.0", nullptr, "5.2", nullptr, "0", nullptr, nullptr, "", ""}},
    // Kind 4 of a component that is not there at all is "0" too, so it cannot tell installed.
    {"Absent", {}, nullptr, {"", nullptr, "", nullptr, "0", nullptr, nullptr, "", ""}},
    {"OwnFromTheProductKey",
     {"{prod}|CompVersion|3.1", "{prod}|BuildNumber|#5", "{prod}|FileVersion|3.1.0.5", "{p}\\Versions\\1.0|CompVersion|9.9",
      "{v}|CompVersion|8.8"},
     kOwnId, {"3.1.5", "", "3.1", "", "5", "", "3.1.0.5", "", ""}},
};
class VersionKind : public ConfigDbTest, public ::testing::WithParamInterface<VersionKinds> {};

TEST_P(VersionKind, ReadsComponentPackageOrProductKeys) {
    const std::string id = GetParam().id ? GetParam().id : UniqueComponentId();
    SetValues(GetParam().values, id, "");
    constexpr int kKinds[] = {0, 1, 2, 3, 4, 5, 6, 7, -1};
    for (size_t i = 0; i < std::size(kKinds); ++i) {
        const char* expected = GetParam().expected[i];
        EXPECT_EQ(expected ? expected : "?", expected ? CDB_GetVersion(id, kKinds[i]) : "?") << kKinds[i];
    }
    const std::string first = GetParam().expected[0];
    EXPECT_TRUE(trace.HasInfo(first.empty() ? L"CDB_GetVersion: Via Registry keine Version ermittelbar."
                                            : Widen("CDB_GetVersion: Version <" + first + "> über Registry ermittelt.")))
        << Narrow(trace.Dump());
}

INSTANTIATE_TEST_SUITE_P(Kinds, VersionKind, ::testing::ValuesIn(kVersionKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConfigDbTest, StringValuesAreReadWhateverTheirType) {
    const std::string key = Expand("{v}", UniqueComponentId(), "");
    SetString(key, "x", "");
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
    const std::string id = UniqueComponentId(), absent = UniqueComponentId();
    SetValues({"{v}|CompVersion|5.2", "{prod}|CompVersion|1.0"}, id, "");  // no BuildNumber
    for (const auto& [component, installed] : {std::pair{id, true}, std::pair{absent, false}}) {
        EXPECT_EQ(installed, CDB_IsComponentInstalled(component.c_str()));
        EXPECT_EQ(installed, CDB_IsComponentInstalled(Widen(component).c_str()));
        EXPECT_TRUE(trace.HasInfo(Widen("CDB_IsComponentInstalled: Komponente <" + component + "> <" +
                                        (installed ? "TRUE" : "FALSE") + ">")));
    }
    EXPECT_FALSE(CDB_IsComponentInstalled(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(CDB_IsComponentInstalled(static_cast<const wchar_t*>(nullptr)));
    EXPECT_TRUE(CDB_IsComponentInstalled(kOwnId));
}

// --- registry writer --------------------------------------------------------------------------

// A scratch key below HKEY_CURRENT_USER, which the redirection leaves alone.
const std::wstring kUserScratch = L"Software\\VeMoConfigDBTests_" + std::to_wstring(::GetCurrentProcessId());

TEST_F(ConfigDbTest, SetRegistryKeyStringWritesARegSzWithItsTerminator) {
    const std::wstring keyPath = kUserScratch + L"\\Writer";
    const std::wstring data = L"\"C:\\Pfad mit Ümlaut\\VeMoHost.exe\"";
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", L"erst"));
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", data));
    {
        vemo::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, key.put()));
        DWORD type = 0, values = 0;
        std::wstring read(MAX_PATH, L'?');
        DWORD bytes = static_cast<DWORD>(read.size() * sizeof(wchar_t));
        ASSERT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(key.get(), L"QRNServ", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(read.data()), &bytes));
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
        read.resize(bytes / sizeof(wchar_t));
        EXPECT_EQ(data + L'\0', read);
        ASSERT_EQ(ERROR_SUCCESS, ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                    &values, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(1u, values);
    }
    // A key it cannot create: a bad root, or a non-volatile key below a volatile one.
    EXPECT_EQ(CDB_ERROR_REGISTRY_WRITE, CDB_SetRegistryKeyString(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)),
                                                                 true, L"Irgendwo", L"Wert", L"Daten"));
    const std::wstring volatilePath = kUserScratch + L"\\Fluechtig";
    {
        vemo::unique_hkey volatileKey;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, volatilePath.c_str(), 0, nullptr,
                                                   REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, volatileKey.put(),
                                                   nullptr));
        EXPECT_EQ(CDB_ERROR_REGISTRY_WRITE,
                  CDB_SetRegistryKeyString(HKEY_CURRENT_USER, false, volatilePath + L"\\Dauerhaft", L"Wert", L"Daten"));
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kUserScratch.c_str());
}

// On the real machine hive, in a child, below "SOFTWARE" of the 64-bit view, where "Wow6432Node"
// is the 32-bit one. The writer takes the view it is told (without the flag the process's own:
// 64-bit for an x64 program, 32-bit for an x86 program under WOW64); the queries read the 32-bit.
TEST(ConfigDbRealHive, WriterSelectsTheViewQueriesReadThe32BitOne) {
    if (!vemo::test::InChild()) {
        EXPECT_TRUE(vemo::test::RunCurrentTestInChildren(1, {}, vemo::test::Hive::kReal));
        return;
    }
    auto exists = [](const std::wstring& path) {
        vemo::unique_hkey key;
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + path).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                               key.put()) == ERROR_SUCCESS;
    };
    auto remove = [](std::wstring path) {  // with each parent left empty
        for (path = L"SOFTWARE\\" + path; path != L"SOFTWARE\\Wow6432Node" && path.size() > 9;
             path.resize(path.rfind(L'\\'))) {
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
        }
    };
    const std::wstring name = L"VeMoConfigDBTests_" + std::to_wstring(::GetCurrentProcessId());
    for (const bool view32 : {true, false}) {
        const bool lands32 = view32 || sizeof(void*) == 4;
        EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_LOCAL_MACHINE, view32, L"SOFTWARE\\" + name, L"Wert", L"Daten"));
        const bool found = exists(lands32 ? L"Wow6432Node\\" + name : name);
        const bool leaked = exists(lands32 ? name : L"Wow6432Node\\" + name);
        remove(L"Wow6432Node\\" + name);
        remove(name);
        EXPECT_TRUE(found) << view32;
        EXPECT_FALSE(leaked) << view32;
    }
    const std::string in32 = UniqueComponentId(), in64 = UniqueComponentId();
    const std::wstring paths[] = {L"Wow6432Node\\TRUVOeg\\Components\\" + Widen(in32) + L"\\Versions\\1.0",
                                  L"TRUVOeg\\Components\\" + Widen(in64) + L"\\Versions\\1.0"};
    for (const std::wstring& path : paths) {
        vemo::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + path).c_str(), 0, nullptr, 0,
                                                   KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"CompVersion", 0, REG_SZ,
                                                  reinterpret_cast<const BYTE*>(L"1.0"), 4 * sizeof(wchar_t)));
    }
    const bool found32 = CDB_IsComponentInstalled(in32.c_str());
    const bool found64 = CDB_IsComponentInstalled(in64.c_str());
    for (const std::wstring& path : paths) remove(path);
    EXPECT_TRUE(found32);
    EXPECT_FALSE(found64);
}

}  // namespace
