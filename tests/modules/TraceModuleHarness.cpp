#include "TraceModuleHarness.h"

#include <algorithm>
#include <cstdio>
#include <regex>

namespace vemo::test {
namespace {
[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoTraceModuleTests");
// Stamp, pid, tid, level, category, text.
const std::regex kRecordPattern(
    R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t(\d+)\t(\d+)\t(-?\d+)\t([^\t]*)\t(.*)$)");
constexpr int kEveryLevel[] = {1, 2, 4, 8, 16};

std::string CurrentTestName() {
    const ::testing::TestInfo& info = *::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info.test_suite_name()) + "." + info.name();
}
}  // namespace

bool TraceModuleApi::Load(std::string& what) {
    module.reset(::LoadLibraryW((ExecutableDirectory() + L"" VEMO_TRACE_MODULE_NAME).c_str()));
    if (!module) return what = "cannot load the module, error " + std::to_string(::GetLastError()), false;
#define VEMO_TRACE_RESOLVE(name)                                                                      \
    name = reinterpret_cast<PFN_Exp##name>(::GetProcAddress(module.get(), "Exp" #name));              \
    if (!name) return what = "export missing: Exp" #name, false;
    VEMO_TRACE_EXPORTS(VEMO_TRACE_RESOLVE)
#undef VEMO_TRACE_RESOLVE
    return true;
}

std::vector<std::string> ParsedTrace::Texts() const {
    std::vector<std::string> texts;
    for (const TraceLine& record : records) texts.push_back(record.text);
    return texts;
}

ParsedTrace ParseTrace(const std::string& bytes, bool allowContinuationLines) {
    ParsedTrace parsed;
    for (size_t start = 0; start < bytes.size();) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) parsed.endsWithLineEnd = false;
        end = std::min(end, bytes.size());
        const std::string line = bytes.substr(start, end - start);
        start = end + 2;
        std::smatch m;
        if (std::regex_match(line, m, kRecordPattern)) {
            parsed.records.push_back({m[1], std::stoul(m[2]), std::stoul(m[3]), std::stoi(m[4]), m[5], m[6]});
        } else if (allowContinuationLines && !parsed.records.empty()) {
            parsed.records.back().text += "\r\n" + line;
        } else {
            parsed.malformed.push_back(line);
        }
    }
    return parsed;
}

std::string LocalTimestamp() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return stamp;
}

int Answered(const TraceModuleApi& api) {
    int mask = 0;
    for (int level : kEveryLevel) mask |= api.ShouldTrace(level) ? level : 0;
    return mask;
}
int Answered(const TraceModuleApi& api, const char* category) {
    int mask = 0;
    for (int level : kEveryLevel) mask |= api.ShouldTraceCategory(level, category) ? level : 0;
    return mask;
}

void TraceModuleTest::SetUp() {
    if (InChild()) {
        std::string what;
        ASSERT_TRUE(api.Load(what)) << what;
        return;
    }
    m_scratch = std::make_unique<ScratchDirectory>(L"vemo_trace_module");
    ASSERT_TRUE(ResetHklmSandbox());
}

std::wstring TraceModuleTest::Scratch() const {
    return InChild() ? ChildArgument().substr(0, ChildArgument().find(L'\t')) : m_scratch->path();
}
std::wstring TraceModuleTest::Extra() const {
    const size_t tab = ChildArgument().find(L'\t');
    return tab == std::wstring::npos ? std::wstring() : ChildArgument().substr(tab + 1);
}
void TraceModuleTest::UseScratchTraceFile() const {
    ASSERT_TRUE(SetRegistryString(vemo::tracemodule::kRegistryKey, vemo::tracemodule::kValueTraceFile, TraceFile()));
}

bool TraceModuleTest::RunsInAChild() const {
    if (InChild()) return false;
    UseScratchTraceFile();
    EXPECT_TRUE(RunInChildren());
    return true;
}

::testing::AssertionResult TraceModuleTest::RunInChildren(size_t count, const std::wstring& extra) const {
    return RunCurrentTestInChildren(count, Scratch() + L"\t" + extra);
}

std::vector<std::shared_future<CapturedProcess>> TraceModuleTest::StartChildren(size_t count,
                                                                                const std::wstring& extra) const {
    std::vector<std::shared_future<CapturedProcess>> children;
    for (size_t i = 0; i < count; ++i) children.push_back(StartChild(CurrentTestName(), Scratch() + L"\t" + extra));
    return children;
}

ParsedTrace TraceModuleTest::Read(const std::wstring& path, bool allowContinuationLines) const {
    // A child reads what its own module wrote: the lines it queued go to the file first.
    if (InChild()) api.FlushTraceSystem();
    return ParseTrace(ReadFileBytes(path), allowContinuationLines);
}

}  // namespace vemo::test
