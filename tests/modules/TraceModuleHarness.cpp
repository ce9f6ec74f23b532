#include "TraceModuleHarness.h"

#include <shellapi.h>

#include <cstdio>
#include <regex>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "tracing/Trace.h"

namespace vemo::test {

using namespace vemo::tracemodule;

namespace {

constexpr wchar_t kArgChild[] = L"--vemo-child";
constexpr wchar_t kArgScratch[] = L"--vemo-scratch=";
constexpr wchar_t kArgStartEvent[] = L"--vemo-start-event=";
constexpr wchar_t kArgMarker[] = L"--vemo-marker=";
// Children print failures only; their output lands in the parent's test log.
constexpr wchar_t kChildGtestArguments[] = L" --gtest_brief=1 --gtest_filter=";
constexpr wchar_t kScratchPrefix[] = L"vemo_trace_module";
constexpr wchar_t kTraceFileName[] = L"trace.log";
constexpr DWORD kTerminateWaitMs = 10000;
constexpr char kLineEnd[] = "\r\n";
// The record layout the module documents: stamp, pid, tid, level, category, text.
const std::regex kRecordPattern(
    R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t(\d+)\t(\d+)\t(-?\d+)\t([^\t]*)\t(.*)$)");

ChildRole g_role;

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

std::vector<BYTE> QueryRaw(HKEY key, const wchar_t* name, DWORD& type, bool& found) {
    DWORD size = 0;
    found = ::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    std::vector<BYTE> data(size);
    if (found && size > 0) found = ::RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
    data.resize(size);
    return data;
}

void WriteRaw(HKEY key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
    const LSTATUS status = ::RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : data.data(),
                                            static_cast<DWORD>(data.size()));
    if (status != ERROR_SUCCESS) ADD_FAILURE() << "cannot write registry value " << Narrow(name) << ": " << status;
}

unique_hkey CreateCategoriesKey(HKEY parent) {
    unique_hkey key;
    const LSTATUS status = ::RegCreateKeyExW(parent, kSubkeyTraceCategories, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | kRegistryView, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) ADD_FAILURE() << "cannot create the categories key: " << status;
    return key;
}

std::vector<BYTE> TextBytes(const std::wstring& text) {
    const auto* first = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(first, first + (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace

const ChildRole& Role() { return g_role; }

void ParseRole() {
    int count = 0;
    unique_hlocal argvOwner(::CommandLineToArgvW(::GetCommandLineW(), &count));
    auto* argv = static_cast<wchar_t**>(argvOwner.get());
    if (!argv) return;
    for (int i = 1; i < count; ++i) {
        const std::wstring arg = argv[i];
        if (arg == kArgChild) {
            g_role.active = true;
        } else if (StartsWith(arg, kArgScratch)) {
            g_role.scratch = arg.substr(wcslen(kArgScratch)) + L"\\";
        } else if (StartsWith(arg, kArgStartEvent)) {
            g_role.startEvent = arg.substr(wcslen(kArgStartEvent));
        } else if (StartsWith(arg, kArgMarker)) {
            g_role.marker = Latin1(arg.substr(wcslen(kArgMarker)));
        }
    }
}

int ChildExitCode(int gtestResult) {
    if (!g_role.active || gtestResult != 0) return gtestResult;
    return ::testing::UnitTest::GetInstance()->successful_test_count() == 1 ? 0 : kChildRanNothing;
}

ChildProcesses::~ChildProcesses() {
    for (const unique_handle& process : m_processes) {
        if (::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process.get(), 1);
            ::WaitForSingleObject(process.get(), kTerminateWaitMs);
        }
    }
}

::testing::AssertionResult ChildProcesses::Start(size_t count, const std::wstring& scratch,
                                                 const std::wstring& extraArguments) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::wstring program = ThisProgram();
    // The scratch path goes without its trailing backslash: before a quote it would escape it.
    const std::wstring scratchArgument = scratch.substr(0, scratch.size() - 1);
    std::wstring commandLine = L"\"" + program + L"\"" + kChildGtestArguments + Widen(test->test_suite_name()) + L"." +
                               Widen(test->name()) + L" " + kArgChild + L" \"" + kArgScratch + scratchArgument + L"\"";
    if (!extraArguments.empty()) commandLine += L" " + extraArguments;

    for (size_t i = 0; i < count; ++i) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        std::wstring mutableLine = commandLine;
        if (!::CreateProcessW(program.c_str(), mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info)) {
            return ::testing::AssertionFailure() << "cannot start a child: error " << ::GetLastError();
        }
        unique_handle thread(info.hThread);
        m_processes.emplace_back(info.hProcess);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult ChildProcesses::WaitAllPassed(DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (size_t i = 0; i < m_processes.size(); ++i) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitForSingleObject(m_processes[i].get(), left) != WAIT_OBJECT_0) {
            return ::testing::AssertionFailure() << "child " << i << " still runs after " << timeoutMs << " ms";
        }
        DWORD exitCode = 0;
        ::GetExitCodeProcess(m_processes[i].get(), &exitCode);
        if (exitCode != 0) return ::testing::AssertionFailure() << "child " << i << " ended with " << exitCode;
    }
    return ::testing::AssertionSuccess();
}

DWORD ChildProcesses::WaitExitCode(DWORD timeoutMs) {
    DWORD exitCode = STILL_ACTIVE;
    if (!m_processes.empty() && ::WaitForSingleObject(m_processes.front().get(), timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(m_processes.front().get(), &exitCode);
    }
    return exitCode;
}

std::vector<DWORD> ChildProcesses::ProcessIds() const {
    std::vector<DWORD> ids;
    for (const unique_handle& process : m_processes) ids.push_back(::GetProcessId(process.get()));
    return ids;
}

namespace {
// Every value of the key a test may set: each test starts without them and leaves them as found.
constexpr const wchar_t* kScopedValues[] = {kValueTraceEnabled, kValueTraceLevels, kValueTraceFile,
                                            kValueTraceFileMaxSize, kValueTraceFileCount};
}  // namespace

TraceRegistryScope::TraceRegistryScope() {
    DWORD disposition = 0;
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS | kRegistryView, nullptr, m_key.put(), &disposition);
    if (status != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot open the trace registry key: " << status;
        return;
    }
    m_createdKey = disposition == REG_CREATED_NEW_KEY;
    for (const wchar_t* name : kScopedValues) {
        SavedValue saved;
        saved.name = name;
        bool found = false;
        saved.data = QueryRaw(m_key.get(), name, saved.type, found);
        if (found) m_savedValues.push_back(std::move(saved));
    }
    unique_hkey categories;
    m_hadCategories = ::RegOpenKeyExW(m_key.get(), kSubkeyTraceCategories, 0, KEY_READ | kRegistryView,
                                      categories.put()) == ERROR_SUCCESS;
    if (m_hadCategories) {
        wchar_t name[16384];
        for (DWORD index = 0;; ++index) {
            DWORD nameChars = static_cast<DWORD>(std::size(name));
            if (::RegEnumValueW(categories.get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            SavedValue saved;
            saved.name.assign(name, nameChars);
            bool found = false;
            saved.data = QueryRaw(categories.get(), saved.name.c_str(), saved.type, found);
            if (found) m_savedCategories.push_back(std::move(saved));
        }
    }
    categories.reset();
    Clear();
}

TraceRegistryScope::~TraceRegistryScope() {
    if (!m_key) return;
    Clear();
    for (const SavedValue& saved : m_savedValues) WriteRaw(m_key.get(), saved.name, saved.type, saved.data);
    if (m_hadCategories) {
        unique_hkey categories = CreateCategoriesKey(m_key.get());
        for (const SavedValue& saved : m_savedCategories) {
            WriteRaw(categories.get(), saved.name, saved.type, saved.data);
        }
    }
    m_key.reset();
    if (m_createdKey) ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, kRegistryView, 0);
}

void TraceRegistryScope::Clear() {
    for (const wchar_t* name : kScopedValues) {
        ::RegDeleteValueW(m_key.get(), name);
    }
    ::RegDeleteTreeW(m_key.get(), kSubkeyTraceCategories);
}

void TraceRegistryScope::SetRaw(const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
    WriteRaw(m_key.get(), name, type, data);
}

void TraceRegistryScope::SetDword(const wchar_t* name, DWORD value) {
    const auto* first = reinterpret_cast<const BYTE*>(&value);
    SetRaw(name, REG_DWORD, std::vector<BYTE>(first, first + sizeof(value)));
}

void TraceRegistryScope::SetText(const wchar_t* name, const std::wstring& text, DWORD type) {
    SetRaw(name, type, TextBytes(text));
}

void TraceRegistryScope::SetCategoryDword(const std::wstring& category, DWORD mask) {
    const auto* first = reinterpret_cast<const BYTE*>(&mask);
    WriteRaw(CreateCategoriesKey(m_key.get()).get(), category, REG_DWORD,
             std::vector<BYTE>(first, first + sizeof(mask)));
}

void TraceRegistryScope::SetCategoryText(const std::wstring& category, const std::wstring& text) {
    WriteRaw(CreateCategoriesKey(m_key.get()).get(), category, REG_SZ, TextBytes(text));
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

std::wstring StartEventArgument(const std::wstring& eventName) { return kArgStartEvent + eventName; }

std::wstring MarkerArgument(const std::string& marker) {
    return kArgMarker + std::wstring(marker.begin(), marker.end());
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
    ChildProcesses children;
    if (auto started = children.Start(count, Scratch(), extraArguments); !started) return started;
    return children.WaitAllPassed(kChildTimeoutMs);
}

ParsedTrace TraceModuleTest::ReadTrace(const std::wstring& path, bool allowContinuationLines) const {
    // A child reads what its own module wrote: the lines it queued go to the file first.
    if (InChild() && api.Flush) api.Flush();
    return ParseTrace(ReadFileBytes(path), allowContinuationLines);
}

}  // namespace vemo::test
