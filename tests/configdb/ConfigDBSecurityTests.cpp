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

// The DACL's entries in order: access mask and SID of each allowing one, {0, {}} for others.
std::vector<std::pair<DWORD, std::vector<BYTE>>> AllowedAces(PACL acl) {
    std::vector<std::pair<DWORD, std::vector<BYTE>>> aces;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(acl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
            aces.emplace_back();
            continue;
        }
        const auto* sid = reinterpret_cast<BYTE*>(&ace->SidStart);
        aces.emplace_back(ace->Mask, std::vector<BYTE>(sid, sid + ::GetLengthSid(&ace->SidStart)));
    }
    return aces;
}

PACL DaclOf(const SECURITY_ATTRIBUTES& attributes) {
    BOOL present = FALSE, defaulted = TRUE;
    PACL acl = nullptr;
    return attributes.lpSecurityDescriptor &&
                   ::GetSecurityDescriptorDacl(attributes.lpSecurityDescriptor, &present, &acl, &defaulted) &&
                   present && !defaulted
               ? acl
               : nullptr;
}

TEST(ConfigDbSecurity, MutexesGrantSystemThenEveryone) {
    const CSecurityAttributes& attributes = configdb::MutexSecurityAttributes();
    ASSERT_EQ(0u, attributes.Status());
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), attributes.Attributes().nLength);
    EXPECT_TRUE(attributes.Attributes().bInheritHandle);
    EXPECT_EQ(&attributes.Attributes(), attributes.ForCreate());
    ASSERT_TRUE(::IsValidSecurityDescriptor(attributes.Attributes().lpSecurityDescriptor));
    ASSERT_EQ(2u, attributes.AccessEntries().size());
    EXPECT_EQ(12u, attributes.AccessEntries()[0]->SidLength());
    const decltype(AllowedAces(nullptr)) expected = {{kFullAccess, WellKnownSid(WinLocalSystemSid)},
                                                     {kFullAccess, WellKnownSid(WinWorldSid)}};
    EXPECT_EQ(expected, AllowedAces(DaclOf(attributes.Attributes())));

    // A mutex made with them carries that DACL.
    const std::wstring name = L"cdbtest_security_" + std::to_wstring(::GetCurrentProcessId());
    vemo::unique_handle mutex(::CreateMutexW(attributes.ForCreate(), FALSE, name.c_str()));
    ASSERT_TRUE(mutex);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, &dacl, nullptr, &descriptor));
    const vemo::unique_hlocal owner(descriptor);
    EXPECT_EQ(expected, AllowedAces(dacl));
}

TEST(ConfigDbSecurity, EntriesWithoutASidAreLeftOut) {
    EXPECT_FALSE(CAccessEntry::ForAccountName(L"KeinKontoDiesesNamens_4711", kFullAccess)->HasSid());
    EXPECT_EQ(nullptr, CAccessEntry::ForSidString(L"S-keine-SID", kFullAccess)->Sid());
    CSecurityAttributes::Entries entries;
    entries.push_back(CAccessEntry::ForAccountName(L"KeinKontoDiesesNamens_4711", kFullAccess));
    entries.push_back(CAccessEntry::ForSidString(L"S-1-1-0", GENERIC_READ));
    const CSecurityAttributes attributes(std::move(entries));
    ASSERT_EQ(0u, attributes.Status());
    const decltype(AllowedAces(nullptr)) expected = {{GENERIC_READ, WellKnownSid(WinWorldSid)}};
    EXPECT_EQ(expected, AllowedAces(DaclOf(attributes.Attributes())));
}

// Without any grant, or with more than an ACL can hold (64 KiB), the mutexes get default security.
TEST(ConfigDbSecurity, AttributesThatCannotBeBuiltStayEmpty) {
    for (const int count : {0, 1, 4000}) {
        CSecurityAttributes::Entries entries;
        for (int i = 0; i < count; ++i) {
            entries.push_back(CAccessEntry::ForSidString(count == 1 ? L"S-keine-SID" : L"S-1-1-0", kFullAccess));
        }
        const CSecurityAttributes attributes(std::move(entries));
        EXPECT_TRUE(count == 0 || attributes.Status() != 0) << count;
        EXPECT_EQ(0u, attributes.Attributes().nLength) << count;
        EXPECT_EQ(nullptr, attributes.Attributes().lpSecurityDescriptor) << count;
        EXPECT_FALSE(attributes.Attributes().bInheritHandle) << count;
        EXPECT_EQ(nullptr, attributes.ForCreate()) << count;
    }
}

}  // namespace
