#pragma once
// The trace module as the program loads it, and what its tests share. The module reads its
// configuration once per process, so a test runs its checks in children of this program: the
// parent writes the registry, runs the same test in a child and judges the files it left.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"
#include "tracing/TraceSystemExports.h"

namespace vemo::test {

#define VEMO_TRACE_EXPORTS(X)                                                                                     \
    X(Write) X(WriteEntry) X(Dump) X(DumpEntry) X(ConfigureTrace) X(IsTracingEnabled) X(SetTracingEnabled)        \
    X(SetAppTracingLevel) X(GetAppTracingLevel) X(ShouldTrace) X(ShouldTraceCategory) X(SetLevel) X(GetLevel)     \
    X(ListenerExists) X(AddListener) X(AddConsoleListener) X(AddTextfileListener) X(RemoveListenerCategory)       \
    X(RemoveListener) X(RemoveCategory) X(RemoveAllCategories) X(DoneTraceSystem) X(InitTraceSystem)              \
    X(FlushTraceSystem)

// Every export looked up by its undecorated name, from the test program's own directory.
struct TraceModuleApi {
    bool Load(std::string& what);  // false, naming what is missing
    unique_hmodule module;
#define VEMO_TRACE_SLOT(name) PFN_Exp##name name = nullptr;
    VEMO_TRACE_EXPORTS(VEMO_TRACE_SLOT)
#undef VEMO_TRACE_SLOT
};

// One line of a trace file as the module documents it.
struct TraceLine {
    std::string timestamp;  // YYYY-MM-DD HH:MM:SS.mmm
    DWORD pid = 0;
    DWORD tid = 0;
    int level = 0;
    std::string category;
    std::string text;
};
struct ParsedTrace {
    std::vector<TraceLine> records;
    std::vector<std::string> malformed;  // neither a record nor, where allowed, a continuation
    bool endsWithLineEnd = true;
    std::vector<std::string> Texts() const;
};
// Lines that do not start a record continue the text of the one before when allowed.
ParsedTrace ParseTrace(const std::string& bytes, bool allowContinuationLines = true);
std::string LocalTimestamp();  // now, in the records' format, so that stamps compare as texts

// The levels the module answers true for, as one mask: globally, or for a category.
int Answered(const TraceModuleApi& api);
int Answered(const TraceModuleApi& api, const char* category);

// What the module documents for an empty configuration: levels 1 to 8 on, 16 off.
inline constexpr int kDefaultMask = 0x0F;
inline constexpr int kAllLevels = 0x1F;
inline constexpr DWORD kChildTimeoutMs = 120000;

class TraceModuleTest : public ::testing::Test {
protected:
    void SetUp() override;  // a child loads the module; the parent starts from no configuration
    static bool InChild() { return vemo::test::InChild(); }
    std::wstring Scratch() const;           // the parent's scratch folder, in both roles
    std::wstring Extra() const;             // in a child: what the parent added to the scratch folder
    std::wstring TraceFile() const { return Scratch() + L"trace.log"; }
    void UseScratchTraceFile() const;
    // Parent: the trace file in the scratch folder, this test run in a child, true. Child: false.
    bool RunsInAChild() const;
    ::testing::AssertionResult RunInChildren(size_t count = 1, const std::wstring& extra = {}) const;
    // Starts count children of this test without waiting, e.g. to release them together.
    std::vector<std::shared_future<CapturedProcess>> StartChildren(size_t count, const std::wstring& extra) const;
    ParsedTrace Read(const std::wstring& path, bool allowContinuationLines = true) const;

    TraceModuleApi api;

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
};

}  // namespace vemo::test
