// The front-end where binding fails: no module beside the program, or a module that lacks the
// first export. Every question answers false and nothing reaches a module.
#include <gtest/gtest.h>
#include <windows.h>

#include "Recorder.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

namespace {

TEST(TraceWithoutModule, EveryQuestionIsFalseAndNothingIsWritten) {
    for (int level : {1, 2, 4, 8, 16}) {
        EXPECT_FALSE(TraceShouldTrace(level));
        EXPECT_FALSE(TraceShouldTraceCategory(level, "Cat"));
        EXPECT_FALSE(TraceShouldTraceCategoryW(level, L"Cat"));
    }
    TraceWriteW(1, L"Cat", L"text");
    TraceFormatW(1, L"Cat", L"%d", 1);
    try {
        MethodTrace trace(1, L"Cat", L"M", L"f", 1, L"");
        trace.SetError("x", 1);
        throw 1;
    } catch (int) {
    }
#ifdef VEMO_EXPECT_MODULE_WITHOUT_WRITE
    // The module was loaded, but nothing of it is used after the failed binding.
    ASSERT_NE(nullptr, ::GetModuleHandleW(L"QnUmTraceSystem001.dll"));
    const vemo::test::Recorder recorder;
    ASSERT_TRUE(recorder.loaded());
    EXPECT_EQ(0, recorder.ShouldTraceCalls());
    EXPECT_EQ(0, recorder.InitCalls());
    EXPECT_TRUE(recorder.Records().empty());
#else
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"QnUmTraceSystem001.dll"));
#endif
}

}  // namespace
