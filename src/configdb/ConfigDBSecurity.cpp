// The DACL for ConfigDB's shared mutexes: full access for the local system account and for
// everyone, so the service and every user's processes can open the same mutex.
#include "configdb/ConfigDBSecurity.h"

#include <sddl.h>

#include <utility>

namespace configdb {
namespace {

constexpr wchar_t kSystemAccount[] = L"SYSTEM";
constexpr wchar_t kEveryoneSid[] = L"S-1-1-0";
constexpr DWORD kFullAccess = GENERIC_ALL | STANDARD_RIGHTS_ALL;

// Building statuses; nothing acts on them beyond falling back to default security.
constexpr DWORD kStatusBuilt = 0;
constexpr DWORD kStatusOutOfMemory = 49;
constexpr DWORD kStatusBadDescriptor = 165;
constexpr DWORD kStatusBadAcl = 166;
constexpr DWORD kStatusBadDacl = 167;

// An access-allowed ACE without its first SID word: the SID itself follows.
constexpr DWORD kAceBytesBeforeSid = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);

[[maybe_unused]] const CSecurityAttributes& g_builtBeforeMain = MutexSecurityAttributes();

}  // namespace

CAccessEntry::CAccessEntry(DWORD accessMask, PSID sid) : m_accessMask(accessMask) {
    if (sid && ::IsValidSid(sid)) {
        const auto* bytes = static_cast<const BYTE*>(sid);
        m_sid.assign(bytes, bytes + ::GetLengthSid(sid));
    }
}

std::unique_ptr<CAccessEntry> CAccessEntry::ForAccountName(const wchar_t* accountName, DWORD accessMask) {
    DWORD sidBytes = 0;
    DWORD domainChars = 0;
    SID_NAME_USE use{};
    ::LookupAccountNameW(nullptr, accountName, nullptr, &sidBytes, nullptr, &domainChars, &use);
    if (sidBytes == 0) return std::make_unique<CAccessEntry>(accessMask, nullptr);
    std::vector<BYTE> sid(sidBytes);
    std::vector<wchar_t> domain(domainChars + 1);
    if (!::LookupAccountNameW(nullptr, accountName, sid.data(), &sidBytes, domain.data(), &domainChars, &use)) {
        return std::make_unique<CAccessEntry>(accessMask, nullptr);
    }
    return std::make_unique<CAccessEntry>(accessMask, sid.data());
}

std::unique_ptr<CAccessEntry> CAccessEntry::ForSidString(const wchar_t* sidString, DWORD accessMask) {
    PSID converted = nullptr;
    if (!::ConvertStringSidToSidW(sidString, &converted)) return std::make_unique<CAccessEntry>(accessMask, nullptr);
    vemo::unique_hlocal owner(converted);
    return std::make_unique<CAccessEntry>(accessMask, converted);
}

CSecurityAttributes::Entries CSecurityAttributes::StandardEntries() {
    Entries entries;
    entries.push_back(CAccessEntry::ForAccountName(kSystemAccount, kFullAccess));
    entries.push_back(CAccessEntry::ForSidString(kEveryoneSid, kFullAccess));
    return entries;
}

CSecurityAttributes::CSecurityAttributes() : CSecurityAttributes(StandardEntries()) {}

CSecurityAttributes::CSecurityAttributes(Entries entries) : m_entries(std::move(entries)) { m_status = Build(); }

SECURITY_ATTRIBUTES* CSecurityAttributes::ForCreate() const noexcept {
    return m_status == kStatusBuilt ? const_cast<SECURITY_ATTRIBUTES*>(&m_attributes) : nullptr;
}

DWORD CSecurityAttributes::Build() {
    const HANDLE heap = ::GetProcessHeap();
    vemo::unique_process_heap descriptor(::HeapAlloc(heap, HEAP_ZERO_MEMORY, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor) return kStatusOutOfMemory;
    if (!::InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION)) return kStatusBadDescriptor;

    // Entries without a SID are left out; with none left, an empty DACL would lock everyone
    // out, so the mutexes get default security instead.
    DWORD aclBytes = sizeof(ACL);
    size_t grants = 0;
    for (const auto& entry : m_entries) {
        if (!entry || !entry->HasSid()) continue;
        aclBytes += kAceBytesBeforeSid + entry->SidLength();
        ++grants;
    }
    if (grants == 0) return kStatusBadAcl;

    vemo::unique_process_heap acl(::HeapAlloc(heap, HEAP_ZERO_MEMORY, aclBytes));
    if (!acl) return kStatusOutOfMemory;
    auto* dacl = static_cast<PACL>(acl.get());
    if (!::InitializeAcl(dacl, aclBytes, ACL_REVISION)) return kStatusBadAcl;
    for (const auto& entry : m_entries) {
        if (!entry || !entry->HasSid()) continue;
        if (!::AddAccessAllowedAce(dacl, ACL_REVISION, entry->AccessMask(), entry->Sid())) return kStatusBadAcl;
    }
    if (!::SetSecurityDescriptorDacl(descriptor.get(), TRUE, dacl, FALSE)) return kStatusBadDacl;

    m_descriptor = std::move(descriptor);
    m_acl = std::move(acl);
    m_attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    m_attributes.lpSecurityDescriptor = m_descriptor.get();
    m_attributes.bInheritHandle = TRUE;
    return kStatusBuilt;
}

const CSecurityAttributes& MutexSecurityAttributes() {
    static const CSecurityAttributes attributes;
    return attributes;
}

}  // namespace configdb
