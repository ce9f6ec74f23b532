#include "DumpTestEnv.h"

#include <cwchar>
#include <mutex>
#include <utility>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"

namespace dumptest {
namespace {

std::wstring g_logDir;

struct CapturedLine {
    bool isError;
    std::wstring text;
};
std::mutex g_linesLock;
std::vector<CapturedLine> g_lines;

void RecordLine(bool isError, const wchar_t* text) {
    std::lock_guard lock(g_linesLock);
    g_lines.push_back({isError, text ? text : L""});
}

bool HasLineOfKind(bool isError, const std::wstring& text) {
    std::lock_guard lock(g_linesLock);
    for (const auto& line : g_lines) {
        if (line.isError == isError && line.text == text) return true;
    }
    return false;
}

}  // namespace

void SetLogDir(const std::wstring& logDir) { g_logDir = logDir; }
const std::wstring& LogDir() { return g_logDir; }

std::wstring BuildVersion() {
    return std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"." + std::to_wstring(VEMO_TEST_VERSION_MINOR) + L"." +
           std::to_wstring(VEMO_TEST_VERSION_PATCH) + L".0";
}

void EmptyLogDir() {
    ASSERT_FALSE(LogDir().empty());
    for (const std::wstring& name : vemo::test::FileNamesIn(LogDir())) {
        const std::wstring path = LogDir() + name;
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_TRUE(::DeleteFileW(path.c_str())) << "could not remove " << testing::PrintToString(path);
    }
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string Latin1(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    return narrow;
}

// --- ConfigDB lines -----------------------------------------------------------------------------

ConfigDbLines::ConfigDbLines() {
    {
        std::lock_guard lock(g_linesLock);
        g_lines.clear();
    }
    CDB_SetTraceCallback(&RecordLine);
}

ConfigDbLines::~ConfigDbLines() { CDB_SetTraceCallback(nullptr); }

bool ConfigDbLines::HasError(const std::wstring& text) const { return HasLineOfKind(true, text); }
bool ConfigDbLines::HasInfo(const std::wstring& text) const { return HasLineOfKind(false, text); }

bool ConfigDbLines::HasErrorWithNumber(const std::wstring& prefix, const std::wstring& suffix) const {
    std::lock_guard lock(g_linesLock);
    for (const auto& line : g_lines) {
        const std::wstring& t = line.text;
        if (!line.isError || t.size() <= prefix.size() + suffix.size()) continue;
        if (!t.starts_with(prefix) || !t.ends_with(suffix)) continue;
        const std::wstring middle = t.substr(prefix.size(), t.size() - prefix.size() - suffix.size());
        if (!middle.empty() && middle.find_first_not_of(L"-0123456789") == std::wstring::npos) return true;
    }
    return false;
}

size_t ConfigDbLines::Count() const {
    std::lock_guard lock(g_linesLock);
    return g_lines.size();
}

std::wstring ConfigDbLines::Dump() const {
    std::lock_guard lock(g_linesLock);
    std::wstring text;
    for (const auto& line : g_lines) text += (line.isError ? L"ERROR " : L"INFO ") + line.text + L"\n";
    return text;
}

// --- trace records ------------------------------------------------------------------------------

void TracedTest::SetUp() {
    ASSERT_TRUE(recorder.loaded()) << "the recording trace module is not next to the test program";
    m_previousCategory = g_szExceptionTranslatorCategory;
    wcsncpy(g_szExceptionTranslatorCategory, kTestCategory, kExceptionTranslatorCategoryChars - 1);
    recorder.Reset();
}

void TracedTest::TearDown() {
    wcsncpy(g_szExceptionTranslatorCategory, m_previousCategory.c_str(), kExceptionTranslatorCategoryChars - 1);
}

std::vector<vemo::test::TraceRecord> TracedTest::Records() const {
    std::vector<vemo::test::TraceRecord> ours;
    for (auto& record : recorder.Records()) {
        if (record.category == kTestCategoryNarrow) ours.push_back(std::move(record));
    }
    return ours;
}

bool TracedTest::HasLine(int level, const std::wstring& text) const { return CountLines(level, text) > 0; }

size_t TracedTest::CountLines(int level, const std::wstring& text) const {
    const std::string expected = Latin1(text);
    size_t count = 0;
    for (const auto& record : Records()) {
        if (record.level == level && record.text == expected) ++count;
    }
    return count;
}

bool TracedTest::HasLineStartingWith(int level, const std::wstring& prefix) const {
    const std::string expected = Latin1(prefix);
    for (const auto& record : Records()) {
        if (record.level == level && record.text.starts_with(expected)) return true;
    }
    return false;
}

std::string TracedTest::DumpRecords() const {
    std::string text;
    for (const auto& record : Records()) text += std::to_string(record.level) + " " + record.text + "\n";
    return text;
}

}  // namespace dumptest
