#include "TraceFileSink.h"

#include <sddl.h>

#include "QnUmTraceSystem001/TraceSettings.h"

namespace vemo::tracemodule {
namespace {

// Services write as SYSTEM, the session program as the desktop user: everyone may use the mutex.
constexpr wchar_t kMutexSecurity[] = L"D:(A;;0x1F0001;;;WD)";  // Everyone: MUTEX_ALL_ACCESS
// ...and append to a file the other one created: SYSTEM and administrators full access,
// authenticated users read and append (FILE_GENERIC_READ | FILE_APPEND_DATA), never overwrite.
constexpr wchar_t kFileSecurity[] = L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12008D;;;AU)";
constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// A writer that holds the mutex this long is stuck: the line is then appended without it rather
// than blocking the caller for good. Windows still appends it whole (FILE_APPEND_DATA); Wine
// does not promise that between processes, so this is a last resort, not a second path.
constexpr DWORD kMutexWaitMs = 10000;
// A file that cannot be opened is tried again at most this often, not on every line.
constexpr ULONGLONG kReopenDelayMs = 1000;

constexpr wchar_t kHexDigits[] = L"0123456789abcdef";

// A security descriptor from SDDL, owned; empty if the text cannot be converted.
unique_hlocal SecurityDescriptor(const wchar_t* sddl) {
    unique_hlocal descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr)) {
        descriptor.reset(raw);
    }
    return descriptor;
}

std::wstring FullPath(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return path;
    full.resize(written);
    return full;
}

std::wstring LowerCase(const std::wstring& text) {
    if (text.empty()) return text;
    std::wstring lower(text.size(), L'\0');
    const int n = ::LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, text.c_str(), static_cast<int>(text.size()),
                                 lower.data(), static_cast<int>(lower.size()));
    if (n <= 0) return text;
    lower.resize(static_cast<size_t>(n));
    return lower;
}

// Creates each missing directory above the file; errors surface when the file is opened.
void CreateParentDirectories(const std::wstring& path) {
    for (size_t pos = path.find_first_of(L"\\/", 1); pos != std::wstring::npos;
         pos = path.find_first_of(L"\\/", pos + 1)) {
        const std::wstring directory = path.substr(0, pos);
        if (directory.back() == L':' || directory.back() == L'\\' || directory.back() == L'/') continue;
        ::CreateDirectoryW(directory.c_str(), nullptr);
    }
}

unique_hfile OpenForAppend(const std::wstring& path) {
    unique_hlocal descriptor = SecurityDescriptor(kFileSecurity);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    return unique_hfile(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      descriptor ? &attributes : nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
}

unique_handle OpenAppendMutex(const std::wstring& name) {
    unique_hlocal descriptor = SecurityDescriptor(kMutexSecurity);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    unique_handle mutex(::CreateMutexW(descriptor ? &attributes : nullptr, FALSE, name.c_str()));
    // Made by an older writer with a stricter descriptor: opening needs less than creating.
    if (!mutex) mutex.reset(::OpenMutexW(kMutexAccess, FALSE, name.c_str()));
    return mutex;
}

}  // namespace

std::wstring AppendMutexName(const std::wstring& path) {
    const std::wstring key = LowerCase(FullPath(path));
    unsigned long long hash = kAppendMutexHashOffset;
    for (wchar_t c : key) hash = (hash ^ static_cast<unsigned long long>(c)) * kAppendMutexHashPrime;
    std::wstring name = kAppendMutexPrefix;
    for (int shift = 60; shift >= 0; shift -= 4) name.push_back(kHexDigits[(hash >> shift) & 0xF]);
    return name;
}

TraceFileSink::TraceFileSink(std::wstring path) : m_path(std::move(path)) {}

bool TraceFileSink::EnsureOpen() {
    if (m_file) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now < m_nextOpenTick) return false;
    unique_hfile file = OpenForAppend(m_path);
    if (!file && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        CreateParentDirectories(FullPath(m_path));
        file = OpenForAppend(m_path);
    }
    if (!file) {
        m_nextOpenTick = now + kReopenDelayMs;
        return false;
    }
    m_appendMutex = OpenAppendMutex(AppendMutexName(m_path));
    m_file = std::move(file);
    return true;
}

mutex_release_scope TraceFileSink::TakeAppendMutex() noexcept {
    mutex_release_scope owned;
    if (m_appendMutex) {
        const DWORD wait = ::WaitForSingleObject(m_appendMutex.get(), kMutexWaitMs);
        // WAIT_ABANDONED: a writer died holding it; the file is still whole line by line.
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) owned.reset(m_appendMutex.get());
    }
    return owned;
}

bool TraceFileSink::Append(std::string_view bytes) {
    Ticket ticket;
    std::unique_lock lock(m_lock);
    m_queued.append(bytes);
    m_waiting.push_back(&ticket);
    while (!ticket.done) {
        if (m_turnTaken) {
            m_turnOver.Wait(lock);
            continue;
        }
        // Nobody writes: this thread takes the turn for everything queued, its own line included.
        // The batch is taken only once the file is ours: lines that arrive while another process
        // holds it go out with this write instead of waiting for the next.
        m_turnTaken = true;
        lock.unlock();
        const bool open = EnsureOpen();
        mutex_release_scope owned = open ? TakeAppendMutex() : mutex_release_scope{};
        lock.lock();
        std::string batch;
        batch.swap(m_queued);
        std::vector<Ticket*> tickets;
        tickets.swap(m_waiting);
        lock.unlock();
        DWORD written = 0;
        const DWORD size = static_cast<DWORD>(batch.size());
        const bool whole =
            open && ::WriteFile(m_file.get(), batch.data(), size, &written, nullptr) && written == size;
        owned.reset();
        lock.lock();
        for (Ticket* t : tickets) {
            t->done = true;
            t->written = whole;
        }
        m_turnTaken = false;
        m_turnOver.WakeAll();
    }
    return ticket.written;
}

void TraceFileSink::Close() {
    std::unique_lock lock(m_lock);
    while (m_turnTaken) m_turnOver.Wait(lock);
    m_appendMutex.reset();
    m_file.reset();
    m_nextOpenTick = 0;
}

}  // namespace vemo::tracemodule
