#pragma once
// The events a run reports, seen through the reporting sink for the life of the object: Wine
// keeps no events to read back.
#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/EventLog.h"

namespace vemo::test {

class EventRecorder {
public:
    using Inserts = std::vector<std::wstring>;
    EventRecorder() : m_previous(vemo::eventlog::SetSink(&Record)) { Take(); }
    ~EventRecorder() { vemo::eventlog::SetSink(m_previous); }
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;
    // The inserts of every event of this ID so far, in the order reported.
    std::vector<Inserts> Events(DWORD id) const {
        std::vector<Inserts> found;
        for (const auto& [reported, inserts] : Take(false)) {
            if (reported == id) found.push_back(inserts);
        }
        return found;
    }

private:
    static std::vector<std::pair<DWORD, Inserts>> Take(bool clear = true) {
        const std::lock_guard<std::mutex> lock(Lock());
        auto events = Reported();
        if (clear) Reported().clear();
        return events;
    }
    static void Record(DWORD id, const Inserts& inserts) {
        const std::lock_guard<std::mutex> lock(Lock());
        Reported().emplace_back(id, inserts);
    }
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::vector<std::pair<DWORD, Inserts>>& Reported() {
        static std::vector<std::pair<DWORD, Inserts>> reported;
        return reported;
    }
    vemo::eventlog::Sink m_previous;
};

}  // namespace vemo::test
