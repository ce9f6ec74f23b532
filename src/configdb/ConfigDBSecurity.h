#pragma once
// Security attributes for ConfigDB's named mutexes: the service (local system) and processes
// of every user must be able to open them, so the DACL grants full access to both.
#include <windows.h>

#include <memory>
#include <vector>

#include "common/UniqueHandle.h"

namespace configdb {

// One grant: an access mask and an owned copy of a SID. An entry whose SID could not be
// obtained holds none and is left out of the DACL.
class CAccessEntry {
public:
    // Copies sid when it is valid; otherwise the entry holds no SID.
    CAccessEntry(DWORD accessMask, PSID sid);
    static std::unique_ptr<CAccessEntry> ForAccountName(const wchar_t* accountName, DWORD accessMask);
    static std::unique_ptr<CAccessEntry> ForSidString(const wchar_t* sidString, DWORD accessMask);

    DWORD AccessMask() const noexcept { return m_accessMask; }
    bool HasSid() const noexcept { return !m_sid.empty(); }
    PSID Sid() const noexcept { return HasSid() ? const_cast<BYTE*>(m_sid.data()) : nullptr; }
    DWORD SidLength() const noexcept { return static_cast<DWORD>(m_sid.size()); }

private:
    DWORD m_accessMask;
    std::vector<BYTE> m_sid;
};

class CSecurityAttributes {
public:
    using Entries = std::vector<std::unique_ptr<CAccessEntry>>;

    // The standard grants: the account "SYSTEM", then everyone (S-1-1-0).
    CSecurityAttributes();
    explicit CSecurityAttributes(Entries entries);
    CSecurityAttributes(const CSecurityAttributes&) = delete;
    CSecurityAttributes& operator=(const CSecurityAttributes&) = delete;

    // 0 when the descriptor was built; otherwise the attributes stay empty (length 0).
    DWORD Status() const noexcept { return m_status; }
    const SECURITY_ATTRIBUTES& Attributes() const noexcept { return m_attributes; }
    // What to pass to a create call: nullptr (default security) when building failed.
    SECURITY_ATTRIBUTES* ForCreate() const noexcept;
    const Entries& AccessEntries() const noexcept { return m_entries; }

    static Entries StandardEntries();

private:
    DWORD Build();

    Entries m_entries;
    vemo::unique_process_heap m_descriptor;
    vemo::unique_process_heap m_acl;
    SECURITY_ATTRIBUTES m_attributes{};
    DWORD m_status = 0;
};

// Built once per process before main runs.
const CSecurityAttributes& MutexSecurityAttributes();

}  // namespace configdb
