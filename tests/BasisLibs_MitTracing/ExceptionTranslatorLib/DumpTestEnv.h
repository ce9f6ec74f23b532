#pragma once
// What the dump tests share: the log directory ConfigDB was pointed at, the recorded trace
// lines of the crash handling, ConfigDB's own lines, and files in the log directory.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "RecorderClient.h"

namespace dumptest {

// The category the tests give the crash handling, wide and as the trace module sees it.
inline constexpr wchar_t kTestCategory[] = L"DumpTests";
inline constexpr char kTestCategoryNarrow[] = "DumpTests";

// The scratch log directory of "B0003810" (with a trailing backslash), set once by main.
void SetLogDir(const std::wstring& logDir);
const std::wstring& LogDir();

// The version the build wrote into this program's resource, "major.minor.patch.0".
std::wstring BuildVersion();

// Deletes every file in the log directory.
void EmptyLogDir();
bool Exists(const std::wstring& path);

// ISO 8859-1 text as the trace module receives it (the tests' texts stay below U+0100).
std::string Latin1(const std::wstring& text);

// Installs ConfigDB's trace callback for its lifetime and records every line.
class ConfigDbLines {
public:
    ConfigDbLines();
    ~ConfigDbLines();
    ConfigDbLines(const ConfigDbLines&) = delete;
    ConfigDbLines& operator=(const ConfigDbLines&) = delete;

    bool HasError(const std::wstring& text) const;
    bool HasInfo(const std::wstring& text) const;
    // An ERROR line that starts with prefix and ends with suffix, a number between.
    bool HasErrorWithNumber(const std::wstring& prefix, const std::wstring& suffix) const;
    size_t Count() const;
    std::wstring Dump() const;
};

// The trace module's records in the test category, reset at the start of every test; the
// crash handling writes in that category for the test's duration.
class TracedTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<vemo::test::TraceRecord> Records() const;
    bool HasLine(int level, const std::wstring& text) const;
    size_t CountLines(int level, const std::wstring& text) const;
    bool HasLineStartingWith(int level, const std::wstring& prefix) const;
    std::string DumpRecords() const;

    vemo::test::Recorder recorder;

private:
    std::wstring m_previousCategory;
};

}  // namespace dumptest
