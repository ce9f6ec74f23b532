#include "TraceModuleHarness.h"


#include <cstdio>
#include <regex>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "tracing/Trace.h"

namespace vemo::test {

using namespace vemo::tracemodule;

namespace {

constexpr wchar_t kScratchPrefix[] = L"vemo_trace_module";
constexpr wchar_t kTraceFileName[] = L"trace.log";
constexpr char kLineEnd[] = "\r\n";
// The record layout the module documents: stamp, pid, tid, level, category, text.
const std::regex kRecordPattern(
    R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t(\d+)\t(\d+)\t(-?\d+)\t([^\t]*)\t(.*)$)");

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoTraceModuleTests");

}  // namespace

const ChildRole& Role() {
    static const ChildRole role = [] {
        ChildRole r;
        r.active = InChild();
        std::wstring fields[3];
        size_t field = 0;
        for (const wchar_t c : ChildArgument()) {
            if (c == L'\t' && field < 2) {
                ++field;
            } else {
                fields[field] += c;
            }
        }
        r.scratch = fields[0];
        r.startEvent = fields[1];
        r.marker = Latin1(fields[2]);
        return r;
    }();
    return role;
}

TraceRegistryScope::TraceRegistryScope() {
    if (!ResetHklmSandbox()) ADD_FAILURE() << "the private machine hive cannot be emptied";
}

void TraceRegistryScope::SetRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    EXPECT_TRUE(SetRegistryValue(kRegistryKey, name, type, data.data(), static_cast<DWORD>(data.size()))) << Narrow(name);
}
void TraceRegistryScope::SetDword(const wchar_t* name, DWORD value) { EXPECT_TRUE(SetRegistryDword(kRegistryKey, name, value)); }
void TraceRegistryScope::SetText(const wchar_t* name, const std::wstring& text, DWORD type) {
    EXPECT_TRUE(SetRegistryValue(kRegistryKey, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))));
}
void TraceRegistryScope::SetCategoryDword(const std::wstring& category, DWORD mask) {
    EXPECT_TRUE(SetRegistryDword(std::wstring(kRegistryKey) + L"\\" + kSubkeyTraceCategories, category, mask));
}
void TraceRegistryScope::SetCategoryText(const std::wstring& category, const std::wstring& text) {
    EXPECT_TRUE(SetRegistryString(std::wstring(kRegistryKey) + L"\\" + kSubkeyTraceCategories, category, text));
}

ParsedTrace ParseTrace(const std::string& bytes, bool allowContinuationLines) {
    ParsedTrace parsed;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find(kLineEnd, start);
        if (end == std::string::npos) {
            parsed.endsWithLineEnd = false;
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        start = end + std::size(kLineEnd) - 1;
        std::smatch match;
        if (std::regex_match(line, match, kRecordPattern)) {
            TraceRecord record;
            record.timestamp = match[1];
            record.pid = std::stoul(match[2]);
            record.tid = std::stoul(match[3]);
            record.level = std::stoi(match[4]);
            record.category = match[5];
            record.text = match[6];
            parsed.records.push_back(std::move(record));
        } else if (allowContinuationLines && !parsed.records.empty()) {
            parsed.records.back().text += kLineEnd + line;
        } else {
            parsed.malformed.push_back(line);
        }
    }
    return parsed;
}

std::vector<std::string> Texts(const std::vector<TraceRecord>& records) {
    std::vector<std::string> texts;
    for (const TraceRecord& record : records) texts.push_back(record.text);
    return texts;
}

std::string LocalTimestamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return stamp;
}

EnvironmentVariableScope::EnvironmentVariableScope(std::wstring name, const std::wstring& value)
    : m_name(std::move(name)) {
    const DWORD needed = ::GetEnvironmentVariableW(m_name.c_str(), nullptr, 0);
    if (needed > 0) {
        m_oldValue.resize(needed);
        const DWORD n = ::GetEnvironmentVariableW(m_name.c_str(), m_oldValue.data(), needed);
        m_hadValue = n > 0 && n < needed;
        m_oldValue.resize(m_hadValue ? n : 0);
    }
    ::SetEnvironmentVariableW(m_name.c_str(), value.c_str());
}

EnvironmentVariableScope::~EnvironmentVariableScope() {
    ::SetEnvironmentVariableW(m_name.c_str(), m_hadValue ? m_oldValue.c_str() : nullptr);
}

std::string Latin1(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text) bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
    return bytes;
}

namespace {
constexpr int kEveryLevel[] = {vemo::tracing::kLevelException, vemo::tracing::kLevelError,
                               vemo::tracing::kLevelWarning, vemo::tracing::kLevelInfo, vemo::tracing::kLevelDetail};
}  // namespace

int AnsweredMask(const TraceModuleApi& api) {
    int mask = 0;
    for (int level : kEveryLevel) {
        if (api.ShouldTrace(level)) mask |= level;
    }
    return mask;
}

int AnsweredCategoryMask(const TraceModuleApi& api, const char* category) {
    int mask = 0;
    for (int level : kEveryLevel) {
        if (api.ShouldTraceCategory(level, category)) mask |= level;
    }
    return mask;
}

void TraceModuleTest::SetUp() {
    if (InChild()) {
        std::string what;
        ASSERT_TRUE(api.Load(what)) << what;
        return;
    }
    m_scratch = std::make_unique<ScratchDirectory>(kScratchPrefix);
    m_registry = std::make_unique<TraceRegistryScope>();
}

const std::wstring& TraceModuleTest::Scratch() const { return InChild() ? Role().scratch : m_scratch->path(); }

std::wstring TraceModuleTest::TraceFile() const { return Scratch() + kTraceFileName; }

void TraceModuleTest::UseScratchTraceFile() { Registry().SetText(kValueTraceFile, TraceFile()); }

::testing::AssertionResult TraceModuleTest::RunInChildren(size_t count, const std::wstring& extraArguments) {
    return RunCurrentTestInChildren(count, Scratch() + L"\t" + extraArguments);
}

ParsedTrace TraceModuleTest::ReadTrace(const std::wstring& path, bool allowContinuationLines) const {
    // A child reads what its own module wrote: the lines it queued go to the file first.
    if (InChild() && api.Flush) api.Flush();
    return ParseTrace(ReadFileBytes(path), allowContinuationLines);
}

}  // namespace vemo::test
