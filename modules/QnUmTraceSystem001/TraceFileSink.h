#pragma once
// One trace file shared by every process and thread that writes to it. A caller's line is
// queued in this process; one writer thread per file takes the named mutex of the file once
// per batch and appends everything queued with a single WriteFile. Lines of one thread keep
// their order, lines of several processes never mix. When a batch would cross the size limit,
// the writer holding the mutex renames the files and starts a new one; other processes see the
// shared rotation generation change and reopen before their next batch.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "TraceLocks.h"
#include "common/UniqueHandle.h"

namespace vemo::tracemodule {

// Records queued for one file, with where each ends: a rotation falls only between records.
struct RecordBatch {
    std::string bytes;
    std::vector<size_t> ends;
    bool empty() const noexcept { return bytes.empty(); }
    void Append(std::string_view record) {
        bytes.append(record);
        ends.push_back(bytes.size());
    }
    void Clear() noexcept {
        bytes.clear();
        ends.clear();
    }
    void Swap(RecordBatch& other) noexcept {
        bytes.swap(other.bytes);
        ends.swap(other.ends);
    }
};

struct RotationLimits {
    DWORD maxBytes = 0;    // 0: the file grows without limit
    DWORD keptFiles = 0;   // the current file included
};

class TraceFileSink {
public:
    TraceFileSink(std::wstring path, RotationLimits limits);
    TraceFileSink(const TraceFileSink&) = delete;
    TraceFileSink& operator=(const TraceFileSink&) = delete;
    // Writes what is queued and ends the writer thread.
    ~TraceFileSink();

    // Queues whole lines; a durable append returns once they are in the file. False if the bytes
    // (or, for a queued append, the last batch) could not be written.
    bool Append(std::string_view bytes, bool durable);
    // Returns once every line queued before the call is in the file, or after a bound.
    void Flush() noexcept;
    // The process is ending: the writer thread is gone and its locks may still look held, so the
    // detaching thread writes what is left without waiting for anyone.
    void FlushAtProcessExit() noexcept;
    // Writes what is queued, then releases the file and the mutex; the next line opens them again.
    void Close();
    void SetLimits(RotationLimits limits) noexcept;
    const std::wstring& path() const noexcept { return m_path; }

private:
    static DWORD WINAPI WriterMain(void* self) noexcept;
    void RunWriter();
    bool StartWriterLocked();
    // Takes the turn (the writer or a flushing caller), writes one batch, gives the turn back.
    void WriteOneBatch(std::unique_lock<SrwLock>& lock);
    // With the named mutex held: the current file open, rotated if the batch would cross the limit.
    // progress, if given, follows the bytes of the batch that are in the file.
    bool WriteBatchToFile(const RecordBatch& batch, std::atomic<size_t>* progress);
    bool EnsureCurrentFile();
    void Rotate();
    LONG SharedGeneration() const noexcept;
    mutex_release_scope TakeAppendMutex() noexcept;
    void EnsureSharedObjects();

    const std::wstring m_path;
    std::atomic<DWORD> m_maxBytes;
    std::atomic<DWORD> m_keptFiles;

    SrwLock m_lock;
    SrwCondition m_work;      // lines queued, or the writer asked to end
    SrwCondition m_progress;  // a batch taken or written
    RecordBatch m_queued;     // whole lines waiting for the next batch
    RecordBatch m_batch;      // the batch being written
    uint64_t m_queuedSeq = 0;   // lines queued so far
    uint64_t m_writtenSeq = 0;  // lines whose batch is done
    bool m_turnTaken = false;
    // Bytes of m_batch in the file: a writer ended at process exit within a batch leaves the rest
    // to the detaching thread, which writes neither less nor more than that.
    std::atomic<size_t> m_batchWritten{0};
    std::atomic<size_t> m_chunkEnd{0};   // end of the chunk in WriteFile, if beyond m_batchWritten
    long long m_positionBeforeChunk = -1;
    bool m_lastBatchFailed = false;
    bool m_stopWriter = false;
    std::atomic<bool> m_processExiting{false};
    unique_handle m_writer;
    HMODULE m_writerModule = nullptr;  // the writer's own reference, given back as it ends

    // Touched only by whoever has the turn.
    unique_hfile m_file;
    unique_handle m_appendMutex;
    unique_handle m_generationMapping;
    unique_mapview m_generationView;
    bool m_sharedObjectsTried = false;
    LONG m_openedGeneration = 0;
    ULONGLONG m_nextOpenTick = 0;
};

// The name of the mutex that guards appends to path: the same for every process and every
// spelling of the path that resolves to the same full path.
std::wstring AppendMutexName(const std::wstring& path);
// The name a file takes in the rotation: VeMoTrace.log -> VeMoTrace.<index>.log.
std::wstring RotatedFileName(const std::wstring& path, DWORD index);

}  // namespace vemo::tracemodule
