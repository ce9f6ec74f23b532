#pragma once
// One trace file shared by every process and thread that writes to it. Lines are appended with
// a single WriteFile while this process holds a named mutex derived from the file's path, so
// lines of different writers never mix and each writer's lines keep their order. Threads of
// this process that append at the same moment share one turn: the first writes what all of
// them queued, and each returns once its own line is in the file.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "TraceLocks.h"
#include "common/UniqueHandle.h"

namespace vemo::tracemodule {

class TraceFileSink {
public:
    explicit TraceFileSink(std::wstring path);
    TraceFileSink(const TraceFileSink&) = delete;
    TraceFileSink& operator=(const TraceFileSink&) = delete;

    // Opens the file on first use (creating missing directories); false if the bytes were not written.
    bool Append(std::string_view bytes);
    // Releases the file and the mutex; the next Append opens them again.
    void Close();
    const std::wstring& path() const noexcept { return m_path; }

private:
    struct Ticket {
        bool done = false;
        bool written = false;
    };

    // Only the thread that has the turn (or Close, when no one has it) touches the handles.
    bool EnsureOpen();
    // The cross-process mutex for one write; empty if there is none or it could not be had.
    mutex_release_scope TakeAppendMutex() noexcept;

    const std::wstring m_path;
    SrwLock m_lock;
    SrwCondition m_turnOver;
    bool m_turnTaken = false;
    std::string m_queued;            // whole lines waiting for the next turn
    std::vector<Ticket*> m_waiting;  // one per queued line, on its writer's stack
    unique_hfile m_file;
    unique_handle m_appendMutex;
    ULONGLONG m_nextOpenTick = 0;
};

// The name of the mutex that guards appends to path: the same for every process and every
// spelling of the path that resolves to the same full path.
std::wstring AppendMutexName(const std::wstring& path);

}  // namespace vemo::tracemodule
