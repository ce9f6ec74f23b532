#pragma once
// Base of the library's fixtures: the recording trace module, emptied before each case, and the
// lines it took in the library's current category.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "Recorder.h"
#include "common/TraceCategories.h"
#include "common/WideFormat.h"
#include "tracing/Trace.h"

namespace vemo::test {

inline std::string Latin1(const std::wstring& text) {
    std::string narrow(text.size() + 1, '\0');
    narrow.resize(vemo::tracing::NarrowLatin1(text.c_str(), narrow.data(), narrow.size()));
    return narrow;
}
// A wide trace format filled in, as the module receives it.
template <typename... Args>
std::string Line(const wchar_t* format, Args... args) { return Latin1(vemo::FormatW(format, args...)); }

class ThreadControlTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    void TearDown() override { ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl); }

    std::vector<std::string> Texts(int level) const {
        std::vector<std::string> texts;
        for (auto& r : recorder.Records()) {
            if (r.level == level && r.category == Latin1(ThreadControl::_GetTraceCategory())) texts.push_back(r.text);
        }
        return texts;
    }
    // Lines at the level that are text, or that start with it.
    size_t Count(int level, const std::string& text, bool prefix = false) const {
        size_t n = 0;
        for (auto& t : Texts(level)) n += prefix ? t.starts_with(text) : t == text;
        return n;
    }

    Recorder recorder;
};

}  // namespace vemo::test
