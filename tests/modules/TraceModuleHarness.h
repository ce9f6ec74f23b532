#pragma once
// The trace module as the program loads it, and what its tests share. The module reads its
// configuration once per process, so a test runs its checks in children of this program: the
// parent writes the registry, runs the same test in a child and judges the files it left.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
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
    unique_hmodule module;
#define VEMO_TRACE_SLOT(name) PFN_Exp##name name = nullptr;
    VEMO_TRACE_EXPORTS(VEMO_TRACE_SLOT)
#undef VEMO_TRACE_SLOT
    // An empty answer, or what is missing.
    std::string Load() {
        module.reset(::LoadLibraryW((ExecutableDirectory() + L"" VEMO_TRACE_MODULE_NAME).c_str()));
        if (!module) return "cannot load the module, error " + std::to_string(::GetLastError());
#define VEMO_TRACE_RESOLVE(name)                                                              \
    name = reinterpret_cast<PFN_Exp##name>(::GetProcAddress(module.get(), "Exp" #name));      \
    if (!name) return "export missing: Exp" #name;
        VEMO_TRACE_EXPORTS(VEMO_TRACE_RESOLVE)
#undef VEMO_TRACE_RESOLVE
        return {};
    }
};

// One record of a trace file as the module documents it.
struct TraceLine {
    std::string timestamp;  // YYYY-MM-DD HH:MM:SS.mmm
    DWORD pid = 0, tid = 0;
    int level = 0;
    std::string category, text;
};
struct ParsedTrace {
    std::vector<TraceLine> records;
    std::vector<std::string> malformed;  // neither a record nor, where allowed, a continuation
    bool endsWithLineEnd = true;
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const TraceLine& record : records) texts.push_back(record.text);
        return texts;
    }
};
// Lines that do not start a record continue the text of the one before when allowed.
inline ParsedTrace ParseTrace(const std::string& bytes, bool allowContinuationLines = true) {
    static const std::regex kRecord(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t(\d+)\t(\d+)\t(-?\d+)\t([^\t]*)\t(.*)$)");
    ParsedTrace parsed;
    for (size_t start = 0; start < bytes.size();) {
        const size_t end = std::min(bytes.find("\r\n", start), bytes.size());
        parsed.endsWithLineEnd = end < bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        std::smatch m;
        if (std::regex_match(line, m, kRecord)) {
            parsed.records.push_back({m[1], std::stoul(m[2]), std::stoul(m[3]), std::stoi(m[4]), m[5], m[6]});
        } else if (allowContinuationLines && !parsed.records.empty()) {
            parsed.records.back().text += "\r\n" + line;
        } else {
            parsed.malformed.push_back(line);
        }
    }
    return parsed;
}
// Now, in the records' format, so that stamps compare as texts.
inline std::string LocalTimestamp() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds);
    return stamp;
}

// The levels the module answers true for, as one mask: globally, or for a category.
inline int Answered(const TraceModuleApi& api, std::optional<const char*> category = std::nullopt) {
    int mask = 0;
    for (int level : {1, 2, 4, 8, 16}) mask |= (category ? api.ShouldTraceCategory(level, *category) : api.ShouldTrace(level)) ? level : 0;
    return mask;
}

// What the module documents for an empty configuration: levels 1 to 8 on, 16 off.
inline constexpr int kDefaultMask = 0x0F;
inline constexpr int kAllLevels = 0x1F;
inline constexpr DWORD kChildTimeoutMs = 120000;

class TraceModuleTest : public ::testing::Test {
protected:
    // A child loads the module; the parent starts from no configuration.
    void SetUp() override {
        if (InChild()) {
            ASSERT_EQ("", api.Load());
        } else {
            m_scratch = std::make_unique<ScratchDirectory>(L"vemo_trace_module");
            ASSERT_TRUE(ResetHklmSandbox());
        }
    }
    static bool InChild() { return vemo::test::InChild(); }
    // The parent's scratch folder, in both roles; in a child, what the parent added after a tab.
    std::wstring Scratch() const { return InChild() ? ChildArgument().substr(0, ChildArgument().find(L'\t')) : m_scratch->path(); }
    static std::wstring Extra() {
        const size_t tab = ChildArgument().find(L'\t');
        return tab == std::wstring::npos ? std::wstring() : ChildArgument().substr(tab + 1);
    }
    std::wstring TraceFile() const { return Scratch() + L"trace.log"; }
    void UseScratchTraceFile() const {
        ASSERT_TRUE(SetRegistryString(vemo::tracemodule::kRegistryKey, vemo::tracemodule::kValueTraceFile, TraceFile()));
    }
    // Parent: the trace file in the scratch folder, this test run in a child, true. Child: false.
    bool RunsInAChild() const {
        if (InChild()) return false;
        UseScratchTraceFile();
        EXPECT_TRUE(RunInChildren());
        return true;
    }
    ::testing::AssertionResult RunInChildren(size_t count = 1, const std::wstring& extra = {}) const {
        return RunCurrentTestInChildren(count, Scratch() + L"\t" + extra);
    }
    // Starts count children of this test without waiting, e.g. to release them together.
    std::vector<std::shared_future<CapturedProcess>> StartChildren(size_t count, const std::wstring& extra) const {
        return StartCurrentTestInChildren(count, Scratch() + L"\t" + extra);
    }
    // A child reads what its own module wrote: the lines it queued go to the file first.
    ParsedTrace Read(const std::wstring& path, bool allowContinuationLines = true) const {
        if (InChild()) api.FlushTraceSystem();
        return ParseTrace(ReadFileBytes(path), allowContinuationLines);
    }

    TraceModuleApi api;

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
};

}  // namespace vemo::test
