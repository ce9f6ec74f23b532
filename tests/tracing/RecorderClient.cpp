#include "RecorderClient.h"

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

}  // namespace vemo::test
