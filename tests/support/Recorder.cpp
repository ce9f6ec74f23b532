#include "Recorder.h"

#include <algorithm>

#include "TestSupport.h"

namespace vemo::test {

// The module next to the test program is the one the front-end binds; loading it again only
// adds a reference.
Recorder::Recorder() : m_module(::LoadLibraryW((ExecutableDirectory() + L"QnUmTraceSystem001.dll").c_str())) {}

std::vector<TraceRecord> Recorder::Records() const {
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

std::vector<TraceRecord> Recorder::Lines(const std::string& part) const {
    std::vector<TraceRecord> found;
    for (TraceRecord& r : Records()) {
        if (r.text.find(part) != std::string::npos) found.push_back(std::move(r));
    }
    return found;
}

size_t Recorder::CountExact(const std::string& text) const {
    size_t n = 0;
    for (const TraceRecord& r : Records()) n += r.text == text;
    return n;
}

bool Recorder::WaitFor(const std::string& part, DWORD timeoutMs) const {
    return vemo::test::WaitFor([&] { return Count(part) > 0; }, timeoutMs);
}

std::string Recorder::All() const {
    std::string text;
    for (const TraceRecord& r : Records()) text += std::to_string(r.level) + " " + r.category + " " + r.text + "\n";
    return text;
}

}  // namespace vemo::test
