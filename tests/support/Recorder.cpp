#include "Recorder.h"

#include "TestSupport.h"

namespace vemo::test {

namespace {
template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::GetProcAddress(module, name));
}
}  // namespace

Recorder::Recorder() {
    // The module next to the test program is the one the front-end binds; loading it again
    // only adds a reference.
    m_module = ::LoadLibraryW((ExecutableDirectory() + L"QnUmTraceSystem001.dll").c_str());
    if (!m_module) return;
    Bind(m_module, "RecReset", m_reset);
    Bind(m_module, "RecSetLevelMask", m_setLevelMask);
    Bind(m_module, "RecSetCategoryMask", m_setCategoryMask);
    Bind(m_module, "RecCount", m_count);
    Bind(m_module, "RecGet", m_get);
    Bind(m_module, "RecInitCalls", m_initCalls);
    Bind(m_module, "RecShouldTraceCalls", m_shouldTraceCalls);
    Bind(m_module, "RecHoldLinesStartingWith", m_holdLines);
    Bind(m_module, "RecHeldCount", m_heldCount);
    Bind(m_module, "RecReleaseHeld", m_releaseHeld);
}

std::vector<TraceRecord> Recorder::Records() const {
    std::vector<TraceRecord> records;
    const int count = m_count();
    for (int i = 0; i < count; ++i) {
        TraceRecord r;
        char category[512] = {};
        const int length = m_get(i, &r.level, category, sizeof(category), nullptr, 0);
        std::string text(static_cast<size_t>(length) + 1, '\0');
        m_get(i, nullptr, nullptr, 0, text.data(), length + 1);
        text.resize(static_cast<size_t>(length));
        r.category = category;
        r.text = text;
        records.push_back(std::move(r));
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
    for (const TraceRecord& r : Records()) n += r.text == text ? 1 : 0;
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
