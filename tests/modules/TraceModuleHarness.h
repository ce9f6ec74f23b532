#pragma once
// What the trace module tests share. The module reads its configuration once per process, so a
// test that needs a configuration runs its checks in a child process of this program: the
// parent writes the registry, runs the same test in a child and judges it and the files it left.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TraceModuleApi.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

namespace vemo::test {

// What a child knows: the parent's scratch directory and extras, from the child argument
// "<scratch>\t<start event>\t<marker>".
struct ChildRole {
    bool active = false;
    std::wstring scratch;      // with a trailing backslash
    std::wstring startEvent;   // a manual-reset event that releases parallel children together
    std::string marker;        // a text the parent looks for in the trace
};
const ChildRole& Role();

// The module's registry key in this run's private machine hive, which a child shares: each test
// begins from an empty configuration.
class TraceRegistryScope {
public:
    TraceRegistryScope();
    void SetDword(const wchar_t* name, DWORD value);
    void SetText(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ);
    void SetRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& data);
    void SetCategoryDword(const std::wstring& category, DWORD mask);
    void SetCategoryText(const std::wstring& category, const std::wstring& text);
};

// One record of a trace file as the module documents it.
struct TraceRecord {
    std::string timestamp;  // YYYY-MM-DD HH:MM:SS.mmm
    DWORD pid = 0;
    DWORD tid = 0;
    int level = 0;
    std::string category;
    std::string text;
};

struct ParsedTrace {
    std::vector<TraceRecord> records;
    std::vector<std::string> malformed;  // lines that are no record (nor, if allowed, a continuation)
    bool endsWithLineEnd = true;
};

// Lines that do not start a record continue the text of the one before when allowed.
ParsedTrace ParseTrace(const std::string& bytes, bool allowContinuationLines);
std::vector<std::string> Texts(const std::vector<TraceRecord>& records);

// Local time now, in the format of the records, so that stamps compare as texts.
std::string LocalTimestamp();

// An environment variable of this process (inherited by children) for the life of the scope.
class EnvironmentVariableScope {
public:
    EnvironmentVariableScope(std::wstring name, const std::wstring& value);
    ~EnvironmentVariableScope();
    EnvironmentVariableScope(const EnvironmentVariableScope&) = delete;
    EnvironmentVariableScope& operator=(const EnvironmentVariableScope&) = delete;

private:
    std::wstring m_name;
    bool m_hadValue = false;
    std::wstring m_oldValue;
};

// ISO 8859-1 bytes of a text made of characters up to U+00FF, as the module takes paths.
std::string Latin1(const std::wstring& text);

class TraceModuleTest : public ::testing::Test {
protected:
    void SetUp() override;

    bool InChild() const { return Role().active; }
    const std::wstring& Scratch() const;
    std::wstring TraceFile() const;
    TraceRegistryScope& Registry() { return *m_registry; }
    // Parent: the trace file goes to this test's scratch directory.
    void UseScratchTraceFile();
    // Parent: runs this test in count children and expects each to pass.
    ::testing::AssertionResult RunInChildren(size_t count = 1, const std::wstring& extraArguments = {});
    ParsedTrace ReadTrace(const std::wstring& path, bool allowContinuationLines = true) const;

    TraceModuleApi api;  // loaded in a child only

private:
    std::unique_ptr<ScratchDirectory> m_scratch;
    std::unique_ptr<TraceRegistryScope> m_registry;
};

// Extra child arguments.
inline std::wstring MarkerArgument(const std::string& marker) { return L"\t" + std::wstring(marker.begin(), marker.end()); }

// The levels ShouldTrace / ShouldTraceCategory answer true for, as one mask.
int AnsweredMask(const TraceModuleApi& api);
int AnsweredCategoryMask(const TraceModuleApi& api, const char* category);

// What the module documents for an empty configuration: levels 1 to 8 on, 16 off.
constexpr int kDocumentedDefaultMask =
    vemo::tracing::kLevelException | vemo::tracing::kLevelError | vemo::tracing::kLevelWarning | vemo::tracing::kLevelInfo;

// Upper bound for a child that writes a few thousand lines under Wine.
constexpr DWORD kChildTimeoutMs = 120000;

}  // namespace vemo::test
