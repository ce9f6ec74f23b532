#pragma once
// The events a run reports, through the reporting sink for the object's life: Wine keeps none to read back.
#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/EventLog.h"

namespace vemo::test {

class EventRecorder {
public:
    using Inserts = std::vector<std::wstring>;
    EventRecorder() {
        const std::lock_guard<std::mutex> lock(s_lock);
        s_events.clear();
        m_previous = vemo::eventlog::SetSink(&Record);
    }
    ~EventRecorder() { vemo::eventlog::SetSink(m_previous); }
    EventRecorder(const EventRecorder&) = delete;
    // The inserts of every event of this ID so far, in the order reported.
    std::vector<Inserts> Events(DWORD id) const {
        const std::lock_guard<std::mutex> lock(s_lock);
        std::vector<Inserts> found;
        for (const auto& [reported, inserts] : s_events) if (reported == id) found.push_back(inserts);
        return found;
    }

private:
    static void Record(DWORD id, const Inserts& inserts) {
        const std::lock_guard<std::mutex> lock(s_lock);
        s_events.emplace_back(id, inserts);
    }
    static inline std::mutex s_lock;
    static inline std::vector<std::pair<DWORD, Inserts>> s_events;
    vemo::eventlog::Sink m_previous = nullptr;
};

}  // namespace vemo::test
