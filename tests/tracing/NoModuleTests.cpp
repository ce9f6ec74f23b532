// The front-end where binding fails: no module beside the program, or a module that lacks the
// first export. Every question answers false and nothing reaches a module.
#include <gtest/gtest.h>
#include <windows.h>

#include "TestSupport.h"
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
    HMODULE module = ::GetModuleHandleW(L"QnUmTraceSystem001.dll");
    ASSERT_NE(nullptr, module);
    auto shouldTraceCalls = reinterpret_cast<int(WINAPI*)()>(::GetProcAddress(module, "RecShouldTraceCalls"));
    auto initCalls = reinterpret_cast<int(WINAPI*)()>(::GetProcAddress(module, "RecInitCalls"));
    auto count = reinterpret_cast<int(WINAPI*)()>(::GetProcAddress(module, "RecCount"));
    EXPECT_EQ(0, shouldTraceCalls());
    EXPECT_EQ(0, initCalls());
    EXPECT_EQ(0, count());
#else
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"QnUmTraceSystem001.dll"));
#endif
}

}  // namespace
