#include "TraceFileSink.h"

#include <sddl.h>

#include <algorithm>

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
// Callers wait once this much is queued: a stuck file slows them down instead of eating memory.
constexpr size_t kQueueLimitBytes = 1024 * 1024;
// A flush asked for on the crash path must not hang the crash report behind a stuck writer.
constexpr DWORD kFlushWaitMs = 10000;
// The shared rotation generation: everyone may read and change it, as with the mutex.
constexpr wchar_t kGenerationSecurity[] = L"D:(A;;0xF001F;;;WD)";  // Everyone: SECTION_ALL_ACCESS
constexpr wchar_t kGlobalPrefix[] = L"Global\\";
constexpr wchar_t kLocalPrefix[] = L"Local\\";

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
    // FILE_SHARE_DELETE: another process may rename the file under this handle when it rotates.
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

// A user's process may not create a Global\\ section (SeCreateGlobalPrivilege) but may open the
// service's; a process alone falls back to its session's namespace.
unique_handle OpenGenerationMapping(const std::wstring& mutexName) {
    unique_hlocal descriptor = SecurityDescriptor(kGenerationSecurity);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    const std::wstring name = mutexName + kGenerationMappingSuffix;
    unique_handle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, descriptor ? &attributes : nullptr,
                                               PAGE_READWRITE, 0, sizeof(LONG), name.c_str()));
    if (!mapping) mapping.reset(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
    if (!mapping && name.rfind(kGlobalPrefix, 0) == 0) {
        const std::wstring local = kLocalPrefix + name.substr(std::wstring_view(kGlobalPrefix).size());
        mapping.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, descriptor ? &attributes : nullptr, PAGE_READWRITE,
                                           0, sizeof(LONG), local.c_str()));
    }
    return mapping;
}

// Where the next append of this handle ends up after: an append moves it to the end of what it wrote.
long long FilePosition(HANDLE file) {
    LARGE_INTEGER position{};
    return ::SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT) ? position.QuadPart : -1;
}

}  // namespace

std::wstring RotatedFileName(const std::wstring& path, DWORD index) {
    const size_t slash = path.find_last_of(L"\\/");
    const size_t dot = path.find_last_of(L'.');
    const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash + 1);
    const std::wstring number = L"." + std::to_wstring(index);
    return hasExtension ? path.substr(0, dot) + number + path.substr(dot) : path + number;
}

std::wstring AppendMutexName(const std::wstring& path) {
    const std::wstring key = LowerCase(FullPath(path));
    unsigned long long hash = kAppendMutexHashOffset;
    for (wchar_t c : key) hash = (hash ^ static_cast<unsigned long long>(c)) * kAppendMutexHashPrime;
    std::wstring name = kAppendMutexPrefix;
    for (int shift = 60; shift >= 0; shift -= 4) name.push_back(kHexDigits[(hash >> shift) & 0xF]);
    return name;
}

TraceFileSink::TraceFileSink(std::wstring path, RotationLimits limits)
    : m_path(std::move(path)), m_maxBytes(limits.maxBytes), m_keptFiles(limits.keptFiles) {}

TraceFileSink::~TraceFileSink() {
    std::unique_lock lock(m_lock);
    m_stopWriter = true;
    m_work.WakeAll();
    const HANDLE writer = m_writer.get();
    lock.unlock();
    if (writer) ::WaitForSingleObject(writer, kFlushWaitMs);
    lock.lock();
    while (!m_turnTaken && !m_queued.empty()) WriteOneBatch(lock);
}

void TraceFileSink::SetLimits(RotationLimits limits) noexcept {
    m_maxBytes.store(limits.maxBytes, std::memory_order_relaxed);
    m_keptFiles.store(limits.keptFiles, std::memory_order_relaxed);
}

DWORD WINAPI TraceFileSink::WriterMain(void* self) noexcept {
    auto* sink = static_cast<TraceFileSink*>(self);
    const HMODULE module = sink->m_writerModule;
    try {
        sink->RunWriter();
    } catch (...) {
    }
    ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

bool TraceFileSink::StartWriterLocked() {
    if (m_processExiting.load(std::memory_order_relaxed) || m_stopWriter) return false;
    if (m_writer) return true;
    // The thread holds a reference on the module, taken before it starts, so the code it runs
    // cannot be unloaded beneath it; it gives the reference back as it ends.
    unique_hmodule module;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WriterMain),
                              reinterpret_cast<HMODULE*>(module.put()))) {
        return false;
    }
    m_writerModule = module.get();
    m_writer.reset(::CreateThread(nullptr, 0, &WriterMain, this, 0, nullptr));
    if (m_writer) static_cast<void>(module.release());
    return static_cast<bool>(m_writer);
}

void TraceFileSink::RunWriter() {
    std::unique_lock lock(m_lock);
    for (;;) {
        if (!m_queued.empty() && !m_turnTaken) {
            WriteOneBatch(lock);
            continue;
        }
        if (m_stopWriter && m_queued.empty()) return;
        m_work.Wait(lock);
    }
}

void TraceFileSink::WriteOneBatch(std::unique_lock<SrwLock>& lock) {
    m_turnTaken = true;
    lock.unlock();
    // The batch is taken only once the file is ours: lines that arrive while another process
    // holds it go out with this write instead of waiting for the next.
    EnsureSharedObjects();
    mutex_release_scope owned = TakeAppendMutex();
    lock.lock();
    m_batch.Swap(m_queued);
    const uint64_t last = m_queuedSeq;
    m_progress.WakeAll();  // room in the queue again
    lock.unlock();
    const bool written = WriteBatchToFile(m_batch, &m_batchWritten);
    m_batchWritten.store(m_batch.bytes.size(), std::memory_order_relaxed);
    owned.reset();
    lock.lock();
    m_batch.Clear();
    m_batchWritten.store(0, std::memory_order_relaxed);
    m_chunkEnd.store(0, std::memory_order_relaxed);
    m_writtenSeq = last;
    m_lastBatchFailed = !written;
    m_turnTaken = false;
    m_progress.WakeAll();
    m_work.WakeAll();  // more may have come in meanwhile
}

bool TraceFileSink::Append(std::string_view bytes, bool durable) {
    std::unique_lock lock(m_lock);
    while (m_queued.bytes.size() >= kQueueLimitBytes) {
        if (m_turnTaken) {
            m_progress.Wait(lock);
        } else {
            WriteOneBatch(lock);
        }
    }
    const bool wasEmpty = m_queued.empty();
    m_queued.Append(bytes);
    const uint64_t sequence = ++m_queuedSeq;
    if (!durable && StartWriterLocked()) {
        if (wasEmpty) m_work.WakeAll();
        return !m_lastBatchFailed;
    }
    // A durable line, or no writer to be had: this caller writes when nobody else does. It does
    // not rely on the writer, which may not run yet (a caller holding the loader lock).
    while (m_writtenSeq < sequence) {
        if (m_turnTaken) {
            m_progress.Wait(lock);
        } else {
            WriteOneBatch(lock);
        }
    }
    return !m_lastBatchFailed;
}

void TraceFileSink::Flush() noexcept {
    std::unique_lock lock(m_lock);
    const uint64_t target = m_queuedSeq;
    const ULONGLONG deadline = ::GetTickCount64() + kFlushWaitMs;
    while (m_writtenSeq < target) {
        if (!m_turnTaken) {
            // Whoever asks writes: the crash path cannot count on the writer being scheduled.
            WriteOneBatch(lock);
            continue;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline || !m_progress.WaitFor(lock, static_cast<DWORD>(deadline - now))) return;
    }
}

void TraceFileSink::FlushAtProcessExit() noexcept {
    try {
        // Every other thread is gone: no lock is taken, a lock a dead thread held stays held.
        m_processExiting.store(true, std::memory_order_relaxed);  // later lines are written by their callers
        RecordBatch rest;
        if (m_turnTaken) {
            // The writer died within its batch: what it had not yet written goes first.
            size_t done = m_batchWritten.load(std::memory_order_relaxed);
            // Ended inside the WriteFile of a chunk: the handle's position tells whether it went in.
            const size_t chunkEnd = m_chunkEnd.load(std::memory_order_relaxed);
            if (chunkEnd > done && m_file && FilePosition(m_file.get()) != m_positionBeforeChunk) done = chunkEnd;
            if (done < m_batch.bytes.size()) {
                rest.bytes.assign(m_batch.bytes, done);
                for (size_t end : m_batch.ends) {
                    if (end > done) rest.ends.push_back(end - done);
                }
            }
        }
        const size_t offset = rest.bytes.size();
        rest.bytes += m_queued.bytes;
        for (size_t end : m_queued.ends) rest.ends.push_back(offset + end);
        m_queued.Clear();
        m_batch.Clear();
        if (rest.empty()) return;
        EnsureSharedObjects();
        // The dead writer's ownership of the mutex shows as WAIT_ABANDONED, which counts as ours.
        mutex_release_scope owned = TakeAppendMutex();
        WriteBatchToFile(rest, nullptr);
        m_turnTaken = false;
        m_lock.ResetAfterOwnersDied();
    } catch (...) {
    }
}

void TraceFileSink::Close() {
    std::unique_lock lock(m_lock);
    while (!m_queued.empty() || m_turnTaken) {
        if (m_turnTaken) {
            m_progress.Wait(lock);
        } else {
            WriteOneBatch(lock);
        }
    }
    m_appendMutex.reset();
    m_file.reset();
    m_generationView.reset();
    m_generationMapping.reset();
    m_sharedObjectsTried = false;
    m_nextOpenTick = 0;
}

void TraceFileSink::EnsureSharedObjects() {
    if (m_sharedObjectsTried) return;
    m_sharedObjectsTried = true;
    const std::wstring mutexName = AppendMutexName(m_path);
    m_appendMutex = OpenAppendMutex(mutexName);
    m_generationMapping = OpenGenerationMapping(mutexName);
    if (m_generationMapping) {
        m_generationView.reset(::MapViewOfFile(m_generationMapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                               sizeof(LONG)));
    }
}

LONG TraceFileSink::SharedGeneration() const noexcept {
    if (!m_generationView) return 0;
    auto* shared = static_cast<volatile LONG*>(const_cast<void*>(m_generationView.get()));
    return ::InterlockedCompareExchange(shared, 0, 0);
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

bool TraceFileSink::EnsureCurrentFile() {
    // Another process rotated since this one opened: its handle names a renamed file now.
    if (m_file && m_openedGeneration != SharedGeneration()) m_file.reset();
    if (m_file) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now < m_nextOpenTick) return false;
    const LONG generation = SharedGeneration();
    unique_hfile file = OpenForAppend(m_path);
    if (!file && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        CreateParentDirectories(FullPath(m_path));
        file = OpenForAppend(m_path);
    }
    if (!file) {
        m_nextOpenTick = now + kReopenDelayMs;
        return false;
    }
    m_file = std::move(file);
    m_openedGeneration = generation;
    return true;
}

void TraceFileSink::Rotate() {
    m_file.reset();
    const DWORD kept = std::max(m_keptFiles.load(std::memory_order_relaxed), kMinimumTraceFileCount);
    // The oldest goes first, then each moves one place up; a file another process holds open
    // moves too, since every writer opens it with FILE_SHARE_DELETE.
    ::DeleteFileW(RotatedFileName(m_path, kept - 1).c_str());
    for (DWORD index = kept - 1; index > 1; --index) {
        ::MoveFileExW(RotatedFileName(m_path, index - 1).c_str(), RotatedFileName(m_path, index).c_str(),
                      MOVEFILE_REPLACE_EXISTING);
    }
    ::MoveFileExW(m_path.c_str(), RotatedFileName(m_path, 1).c_str(), MOVEFILE_REPLACE_EXISTING);
    if (m_generationView) {
        ::InterlockedIncrement(static_cast<volatile LONG*>(const_cast<void*>(m_generationView.get())));
    }
    m_nextOpenTick = 0;
}

bool TraceFileSink::WriteBatchToFile(const RecordBatch& batch, std::atomic<size_t>* progress) {
    if (batch.empty()) return true;
    if (!EnsureCurrentFile()) return false;
    const unsigned long long maxBytes = m_maxBytes.load(std::memory_order_relaxed);
    // The size is asked with the mutex held, so no other process appends in between.
    LARGE_INTEGER size{};
    unsigned long long fileBytes = maxBytes != 0 && ::GetFileSizeEx(m_file.get(), &size) ? size.QuadPart : 0;
    size_t from = 0;
    auto next = batch.ends.begin();
    while (from < batch.bytes.size()) {
        // As many whole records as fit below the limit go out with one write.
        size_t to = from;
        while (next != batch.ends.end() && (maxBytes == 0 || fileBytes + (*next - from) <= maxBytes)) to = *next++;
        if (to == from) {
            if (fileBytes > 0) {
                Rotate();
                if (!EnsureCurrentFile()) return false;
                fileBytes = 0;
                continue;
            }
            to = *next++;  // one record larger than the limit still goes whole into a fresh file
        }
        DWORD written = 0;
        const DWORD bytes = static_cast<DWORD>(to - from);
        if (progress) {
            m_positionBeforeChunk = FilePosition(m_file.get());
            m_chunkEnd.store(to, std::memory_order_relaxed);
        }
        if (!::WriteFile(m_file.get(), batch.bytes.data() + from, bytes, &written, nullptr) || written != bytes) {
            return false;
        }
        fileBytes += bytes;
        from = to;
        if (progress) progress->store(from, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace vemo::tracemodule
