// The wide forms, the registry writer, the two registry views, and the security of the shared
// mutexes.
#include <gtest/gtest.h>

#include "ConfigDbTest.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"
#include "configdb/ConfigDBSecurity.h"

using namespace cdbtest;

namespace {

// The wide forms convert both ways (code page 1252 has one byte for the ü); an empty text
// converts to nothing quietly, an ID the code page cannot hold to nothing with an error. A null
// pointer shows as "NULL" in the message, a buffer by its address. Their buffers and results for
// every registry shape: BadInputTests.
TEST_F(ConfigDbTest, WideFormsConvertBothWays) {
    const Scratch scratch;
    const std::wstring id = Widen(UniqueComponentId());
    scratch.Sub("Prüfung");
    SetValues({"{v}\\LogDir||{s}Prüfung", "{v}\\ConfigDir||{s}Prüfung", "{v}|CompVersion|5.2"}, Narrow(id), scratch.path());
    const std::wstring dir = Widen(scratch.path()) + L"Prüfung\\";
    EXPECT_EQ(dir, CDB_GetLogDir(id, false));
    EXPECT_EQ(L"5.2.0", CDB_GetVersion(id, 0));
    EXPECT_EQ(Widen(ExeDirectory()), CDB_GetProgDir(id, false));
    wchar_t buffer[MAX_PATH] = {};
    EXPECT_EQ(CDB_OK, CDB_GetKonfigDir(id.c_str(), buffer, MAX_PATH));
    EXPECT_EQ(dir, buffer);
    // The product's default program folder need not exist.
    EXPECT_EQ(CDB_OK, CDB_GetProgDir(Widen(kOwnId).c_str(), buffer, MAX_PATH, true));
    EXPECT_EQ(Widen(Expand("{pf}TRUVO\\PROGRAMM\\VeMoCompacT\\", "", "")), buffer);
    EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, CDB_GetLogDir(id.c_str(), nullptr, MAX_PATH, false));
    EXPECT_TRUE(trace.Has(L"E CDB_GetLogDir: Mindestens ein Parameter ist NULL: pszDir <NULL>, pszCompID <" + id + L">!"));
    EXPECT_EQ(CDB_ERROR_NULL_PARAMETER, CDB_GetLogDir(nullptr, buffer, MAX_PATH, false));
    EXPECT_TRUE(trace.HasContaining(L"pszDir <0x")) << Narrow(trace.Dump());
    trace.Clear();
    EXPECT_EQ("", configdb::_ConvertToUnicode(std::wstring()));
    EXPECT_EQ(L"", configdb::_ConvertToUnicode(std::string()));
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(L"", CDB_GetVersion(std::wstring(L"B\u4E2D"), 0));
    EXPECT_TRUE(trace.HasContaining(L"_ConvertToUnicode: Fehler beim Konvertieren des Strings <")) << Narrow(trace.Dump());
}

// The one writer: a REG_SZ with its terminator, below HKEY_CURRENT_USER (not redirected here).
TEST_F(ConfigDbTest, SetRegistryKeyStringWritesARegSzWithItsTerminator) {
    const std::wstring scratchKey = L"Software\\VeMoConfigDBTests_" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring keyPath = scratchKey + L"\\Writer", data = L"\"C:\\Pfad mit Ümlaut\\VeMoHost.exe\"";
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", L"erst"));
    EXPECT_EQ(CDB_OK, CDB_SetRegistryKeyString(HKEY_CURRENT_USER, true, keyPath, L"QRNServ", data));
    DWORD type = 0;
    std::wstring read(MAX_PATH, L'?');
    DWORD bytes = static_cast<DWORD>(read.size() * sizeof(wchar_t));
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CURRENT_USER, keyPath.c_str(), L"QRNServ", RRF_RT_ANY | RRF_NOEXPAND, &type,
                                            read.data(), &bytes));
    ::RegDeleteTreeW(HKEY_CURRENT_USER, scratchKey.c_str());
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    read.resize(bytes / sizeof(wchar_t));
    EXPECT_EQ(data + L'\0', read);
    EXPECT_EQ(CDB_ERROR_REGISTRY_WRITE, CDB_SetRegistryKeyString(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)),
                                                                 true, L"Irgendwo", L"Wert", L"Daten"));
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
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\" + path).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) == 0;
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
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"CompVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1.0"), 8));
    }
    const bool found32 = CDB_IsComponentInstalled(in32.c_str());
    const bool found64 = CDB_IsComponentInstalled(in64.c_str());
    for (const std::wstring& path : paths) remove(path);
    EXPECT_TRUE(found32);
    EXPECT_FALSE(found64);
}

// --- the shared mutexes: SYSTEM then everyone, full access each ---------------------------------

using configdb::CAccessEntry;
using configdb::CSecurityAttributes;
using Grants = std::vector<std::string>;
constexpr DWORD kFullAccess = 0x101F0000;  // GENERIC_ALL with STANDARD_RIGHTS_ALL

// The attributes' own DACL; none for default security.
Grants GrantsOf(const SECURITY_ATTRIBUTES& attributes) {
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    const bool own = attributes.lpSecurityDescriptor &&
                     ::GetSecurityDescriptorDacl(attributes.lpSecurityDescriptor, &present, &acl, &defaulted) && present && !defaulted;
    return own ? vemo::test::DaclGrants(acl) : Grants{"none"};
}

TEST(ConfigDbSecurity, MutexesGrantSystemThenEveryone) {
    const CSecurityAttributes& attributes = configdb::MutexSecurityAttributes();
    ASSERT_EQ(0u, attributes.Status());
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes.Attributes().nLength);
    EXPECT_TRUE(attributes.Attributes().bInheritHandle);
    EXPECT_EQ(&attributes.Attributes(), attributes.ForCreate());
    const Grants expected = {"101F0000 S-1-5-18", "101F0000 S-1-1-0"};
    EXPECT_EQ(expected, GrantsOf(attributes.Attributes()));
    // A mutex made with them carries that DACL.
    const std::wstring name = L"cdbtest_" + std::to_wstring(::GetCurrentProcessId());
    vemo::unique_handle mutex(::CreateMutexW(attributes.ForCreate(), FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(expected, vemo::test::DaclGrants(mutex.get()));
}

// An entry without a SID is left out. Without any grant, or with more than an ACL can hold
// (64 KiB), the mutexes get default security.
TEST(ConfigDbSecurity, EntriesWithoutASidAreLeftOutAndUnbuildableAttributesStayEmpty) {
    CSecurityAttributes::Entries entries;
    entries.push_back(CAccessEntry::ForAccountName(L"KeinKontoDiesesNamens_4711", kFullAccess));
    entries.push_back(CAccessEntry::ForSidString(L"S-1-1-0", GENERIC_READ));
    EXPECT_FALSE(entries[0]->HasSid());
    const CSecurityAttributes partial(std::move(entries));
    ASSERT_EQ(0u, partial.Status());
    EXPECT_EQ(Grants{"80000000 S-1-1-0"}, GrantsOf(partial.Attributes()));
    for (const int count : {0, 1, 4000}) {
        CSecurityAttributes::Entries many;
        for (int i = 0; i < count; ++i) many.push_back(CAccessEntry::ForSidString(count == 1 ? L"S-keine-SID" : L"S-1-1-0", kFullAccess));
        const CSecurityAttributes attributes(std::move(many));
        EXPECT_TRUE(count == 0 || attributes.Status() != 0) << count;
        EXPECT_EQ(Grants{"none"}, GrantsOf(attributes.Attributes())) << count;
        EXPECT_EQ(0u, attributes.Attributes().nLength) << count;
        EXPECT_EQ(nullptr, attributes.ForCreate()) << count;
    }
}

}  // namespace
