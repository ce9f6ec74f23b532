// Security attributes of the shared mutexes: SYSTEM then everyone, full access each.
#include <gtest/gtest.h>
#include <aclapi.h>

#include "ConfigDbTest.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDBSecurity.h"

using configdb::CAccessEntry;
using configdb::CSecurityAttributes;

namespace {

constexpr DWORD kFullAccess = 0x101F0000;  // GENERIC_ALL with STANDARD_RIGHTS_ALL

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
    sid.resize(size);
    return sid;
}

// The access-allowed ACEs of a DACL, in order.
std::vector<std::pair<DWORD, std::vector<BYTE>>> AllowedAces(PACL acl) {
    std::vector<std::pair<DWORD, std::vector<BYTE>>> aces;
    ACL_SIZE_INFORMATION info{};
    if (!acl || !::GetAclInformation(acl, &info, sizeof(info), AclSizeInformation)) return aces;
    for (DWORD i = 0; i < info.AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(acl, i, &raw)) continue;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            aces.emplace_back(0, std::vector<BYTE>());
            continue;
        }
        const auto* sid = reinterpret_cast<const BYTE*>(&ace->SidStart);
        aces.emplace_back(ace->Mask,
                          std::vector<BYTE>(sid, sid + ::GetLengthSid(const_cast<BYTE*>(sid))));
    }
    return aces;
}

PACL DaclOf(const SECURITY_ATTRIBUTES& attributes) {
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL acl = nullptr;
    if (!attributes.lpSecurityDescriptor ||
        !::GetSecurityDescriptorDacl(attributes.lpSecurityDescriptor, &present, &acl, &defaulted) || !present ||
        defaulted) {
        return nullptr;
    }
    return acl;
}

}  // namespace

TEST(ConfigDbSecurity, MutexAttributesGrantSystemThenEveryone) {
    const CSecurityAttributes& attributes = configdb::MutexSecurityAttributes();
    ASSERT_EQ(0u, attributes.Status());
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes.Attributes().nLength);  // 12 in a 32-bit build
    EXPECT_TRUE(attributes.Attributes().bInheritHandle);
    EXPECT_EQ(&attributes.Attributes(), attributes.ForCreate());
    ASSERT_TRUE(::IsValidSecurityDescriptor(attributes.Attributes().lpSecurityDescriptor));

    const auto aces = AllowedAces(DaclOf(attributes.Attributes()));
    ASSERT_EQ(2u, aces.size());
    EXPECT_EQ(kFullAccess, aces[0].first);
    EXPECT_EQ(WellKnownSid(WinLocalSystemSid), aces[0].second);
    EXPECT_EQ(kFullAccess, aces[1].first);
    EXPECT_EQ(WellKnownSid(WinWorldSid), aces[1].second);

    ASSERT_EQ(2u, attributes.AccessEntries().size());
    EXPECT_EQ(12u, attributes.AccessEntries()[0]->SidLength());
}

TEST(ConfigDbSecurity, AMutexCreatedWithThemCarriesTheDacl) {
    const std::wstring name = L"cdbtest_security_" + std::to_wstring(::GetCurrentProcessId());
    vemo::unique_handle mutex(
        ::CreateMutexW(configdb::MutexSecurityAttributes().ForCreate(), FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, &dacl, nullptr, &descriptor));
    vemo::unique_hlocal descriptorOwner(descriptor);
    const auto aces = AllowedAces(dacl);
    ASSERT_EQ(2u, aces.size());
    EXPECT_EQ(WellKnownSid(WinLocalSystemSid), aces[0].second);
    EXPECT_EQ(WellKnownSid(WinWorldSid), aces[1].second);
}

TEST(ConfigDbSecurity, EntriesWithoutASidAreLeftOut) {
    const auto unknownAccount = CAccessEntry::ForAccountName(L"KeinKontoDiesesNamens_4711", kFullAccess);
    EXPECT_FALSE(unknownAccount->HasSid());
    const auto badSidString = CAccessEntry::ForSidString(L"S-keine-SID", kFullAccess);
    EXPECT_FALSE(badSidString->HasSid());
    EXPECT_EQ(nullptr, badSidString->Sid());

    CSecurityAttributes::Entries entries;
    entries.push_back(CAccessEntry::ForAccountName(L"KeinKontoDiesesNamens_4711", kFullAccess));
    entries.push_back(CAccessEntry::ForSidString(L"S-1-1-0", GENERIC_READ));
    const CSecurityAttributes attributes(std::move(entries));
    ASSERT_EQ(0u, attributes.Status());
    const auto aces = AllowedAces(DaclOf(attributes.Attributes()));
    ASSERT_EQ(1u, aces.size());
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ), aces[0].first);
    EXPECT_EQ(WellKnownSid(WinWorldSid), aces[0].second);
}

TEST(ConfigDbSecurity, WithoutAnyGrantTheMutexesGetDefaultSecurity) {
    CSecurityAttributes::Entries entries;
    entries.push_back(CAccessEntry::ForSidString(L"S-keine-SID", kFullAccess));
    const CSecurityAttributes attributes(std::move(entries));
    EXPECT_NE(0u, attributes.Status());
    EXPECT_EQ(0u, attributes.Attributes().nLength);
    EXPECT_EQ(nullptr, attributes.Attributes().lpSecurityDescriptor);
    EXPECT_EQ(nullptr, attributes.ForCreate());

    const CSecurityAttributes empty{CSecurityAttributes::Entries{}};
    EXPECT_EQ(0u, empty.Attributes().nLength);
}

TEST(ConfigDbSecurity, AnAclThatCannotBeBuiltLeavesTheAttributesEmpty) {
    // More grants than an ACL can hold (64 KiB).
    CSecurityAttributes::Entries entries;
    for (int i = 0; i < 4000; ++i) entries.push_back(CAccessEntry::ForSidString(L"S-1-1-0", kFullAccess));
    const CSecurityAttributes attributes(std::move(entries));
    EXPECT_NE(0u, attributes.Status());
    EXPECT_EQ(0u, attributes.Attributes().nLength);
    EXPECT_EQ(nullptr, attributes.Attributes().lpSecurityDescriptor);
    EXPECT_FALSE(attributes.Attributes().bInheritHandle);
}
