#pragma once
// The recording trace module (RecordingTraceModule.cpp) that the front-end bound in this
// process: the lines it received and the masks it answers with.
#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/UniqueHandle.h"

namespace vemo::test {

struct TraceRecord {
    int level = 0;
    std::string category;
    std::string text;
};

class Recorder {
public:
    bool loaded() const { return static_cast<bool>(m_module); }
    void Reset() const { Call<void>("RecReset"); }
    void SetLevelMask(int mask) const { Call<void>("RecSetLevelMask", mask); }
    void SetCategoryMask(const char* category, int mask) const { Call<void>("RecSetCategoryMask", category, mask); }
    int InitCalls() const { return Call<int>("RecInitCalls"); }
    int ShouldTraceCalls() const { return Call<int>("RecShouldTraceCalls"); }
    // Holds every writer of a line starting with prefix until ReleaseHeld (or a minute passed).
    void HoldLinesStartingWith(const char* prefix) const { Call<void>("RecHoldLinesStartingWith", prefix); }
    int HeldCount() const { return Call<int>("RecHeldCount"); }
    void ReleaseHeld() const { Call<void>("RecReleaseHeld"); }
    std::vector<TraceRecord> Records() const {
        std::vector<TraceRecord> records(static_cast<size_t>(Call<int>("RecCount")));
        for (int i = 0; i < static_cast<int>(records.size()); ++i) {
            TraceRecord& r = records[static_cast<size_t>(i)];
            char category[512] = {};
            const int length = std::max(0, Call<int>("RecGet", i, &r.level, category, 512, static_cast<char*>(nullptr), 0));
            r.category = category;
            r.text.resize(static_cast<size_t>(length) + 1);
            Call<int>("RecGet", i, static_cast<int*>(nullptr), static_cast<char*>(nullptr), 0, r.text.data(), length + 1);
            r.text.resize(static_cast<size_t>(length));
        }
        return records;
    }
    std::vector<TraceRecord> Lines(const std::string& part) const {  // records whose text contains part
        std::vector<TraceRecord> found = Records();
        std::erase_if(found, [&](const TraceRecord& r) { return r.text.find(part) == std::string::npos; });
        return found;
    }
    size_t Count(const std::string& part) const { return Lines(part).size(); }
    size_t CountExact(const std::string& text) const {
        const auto records = Records();
        return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const TraceRecord& r) { return r.text == text; }));
    }
    bool WaitFor(const std::string& part, DWORD timeoutMs = 15000) const {
        return vemo::test::WaitFor([&] { return Count(part) > 0; }, timeoutMs);
    }
    std::string All() const {  // for failure messages
        std::string text;
        for (const TraceRecord& r : Records()) text += std::to_string(r.level) + " " + r.category + " " + r.text + "\n";
        return text;
    }

private:
    template <typename R, typename... Args>
    R Call(const char* name, Args... args) const {
        return reinterpret_cast<R(WINAPI*)(Args...)>(reinterpret_cast<void (*)()>(m_exports.at(name)))(args...);
    }
    // The module next to the test program is the one the front-end binds; loading it again only
    // adds a reference.
    unique_hmodule m_module{::LoadLibraryW((ExecutableDirectory() + L"QnUmTraceSystem001.dll").c_str())};
    // Looked up once: GetProcAddress waits for the loader lock, which a plug-in's slow load holds.
    const std::map<std::string, FARPROC> m_exports = [this] {
        std::map<std::string, FARPROC> exports;
        for (const char* name : {"RecReset", "RecSetLevelMask", "RecSetCategoryMask", "RecCount", "RecGet", "RecInitCalls",
                                 "RecShouldTraceCalls", "RecHoldLinesStartingWith", "RecHeldCount", "RecReleaseHeld"}) {
            exports[name] = m_module ? ::GetProcAddress(m_module.get(), name) : nullptr;
        }
        return exports;
    }();
};

}  // namespace vemo::test
