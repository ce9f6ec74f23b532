// Lines the module has queued reach the file on every way a process ends, and a file that
// rotates while several processes write loses, splits and doubles nothing.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "QnUmTraceSystem001/TraceSettings.h"
#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracing;

namespace {

class TraceModuleDurability : public TraceModuleTest {};

constexpr char kCategory[] = "Dauer";
constexpr size_t kQueuedLines = 300;
constexpr char kLastWords[] = "letzte Zeile vor dem Ende";
constexpr UINT kKilledExitCode = 77;
const std::string kPadding(120, '#');

std::string Numbered(size_t n) { return "nr=" + std::to_string(n) + " " + kPadding; }

// The child writes queued lines and then its last line, which must be in the file with all before it.
void WriteQueuedLinesThen(TraceModuleApi& api, int lastLevel) {
    for (size_t i = 0; i < kQueuedLines; ++i) ASSERT_EQ(api.Write(kLevelInfo, kCategory, Numbered(i).c_str()), 0);
    ASSERT_EQ(api.Write(lastLevel, kCategory, kLastWords), 0);
}

DWORD WINAPI WriteThroughNull(void*) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

std::vector<std::string> ExpectedTexts() {
    std::vector<std::string> texts;
    for (size_t i = 0; i < kQueuedLines; ++i) texts.push_back(Numbered(i));
    texts.push_back(kLastWords);
    return texts;
}

std::string CurrentTestName() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

// How a child of the current test ended: its exit code, or STILL_ACTIVE if it did not end in time.
DWORD RunChildToItsEnd(const std::wstring& scratch) {
    const CapturedProcess child = StartChild(CurrentTestName(), scratch + L"\t").get();
    return child.result.finished ? child.result.exitCode : STILL_ACTIVE;
}

// The documented name of the index-th older file: "trace.log" -> "trace.<index>.log".
std::wstring Rotated(const std::wstring& path, DWORD index) {
    const size_t dot = path.rfind(L'.');
    return path.substr(0, dot) + L"." + std::to_wstring(index) + path.substr(dot);
}

}  // namespace

// Level 2 is in the file before ExpWrite returns: a kill right after it keeps it and everything before.
TEST_F(TraceModuleDurability, KilledRightAfterAnErrorLine) {
    if (InChild()) {
        WriteQueuedLinesThen(api, kLevelError);
        ::TerminateProcess(::GetCurrentProcess(), kKilledExitCode);
        return;
    }
    UseScratchTraceFile();
    EXPECT_EQ(RunChildToItsEnd(Scratch()), kKilledExitCode);
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), ExpectedTexts());
}

// A fault nobody handles reaches the unhandled-exception filter, which flushes before the process ends.
TEST_F(TraceModuleDurability, FaultingThreadLeavesTheLinesBeforeIt) {
    if (InChild()) {
        ASSERT_TRUE(TraceShouldTrace(kLevelException)) << "the front-end binds the module";
        vemo::seh::InstallUnhandledExceptionFilter();
        WriteQueuedLinesThen(api, kLevelInfo);
        vemo::unique_handle faulting(::CreateThread(nullptr, 0, &WriteThroughNull, nullptr, 0, nullptr));
        ASSERT_TRUE(faulting);
        ::WaitForSingleObject(faulting.get(), kChildTimeoutMs);
        return;
    }
    UseScratchTraceFile();
    EXPECT_EQ(RunChildToItsEnd(Scratch()), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), ExpectedTexts());
}

// A normal end right after queued lines: the detaching module writes them.
TEST_F(TraceModuleDurability, NormalEndRightAfterQueuedLines) {
    if (InChild()) {
        WriteQueuedLinesThen(api, kLevelInfo);
        return;
    }
    UseScratchTraceFile();
    ASSERT_TRUE(RunInChildren());
    EXPECT_EQ(Texts(ReadTrace(TraceFile()).records), ExpectedTexts());
}

namespace {

constexpr size_t kRotatingProcesses = 3;
constexpr size_t kRotatingThreads = 2;
constexpr size_t kRotatingLines = 1500;
constexpr DWORD kSmallLimit = 64 * 1024;
constexpr DWORD kManyFiles = 100;  // enough that no file of this test is removed
constexpr size_t kSeveralRotations = 4;

}  // namespace

// Three processes write while the file rotates several times: every line is in one of the
// files exactly once, whole, and each thread's lines are in order across the files.
TEST_F(TraceModuleDurability, RotationWhileThreeProcessesWrite) {
    if (InChild()) {
        vemo::unique_handle start(::OpenEventW(SYNCHRONIZE, FALSE, Role().startEvent.c_str()));
        ASSERT_TRUE(start);
        ASSERT_EQ(::WaitForSingleObject(start.get(), kChildTimeoutMs), WAIT_OBJECT_0);
        std::vector<std::jthread> threads;
        for (size_t t = 0; t < kRotatingThreads; ++t) {
            threads.emplace_back([this] {
                for (size_t i = 0; i < kRotatingLines; ++i) api.Write(kLevelInfo, kCategory, Numbered(i).c_str());
            });
        }
        return;
    }
    UseScratchTraceFile();
    Registry().SetDword(vemo::tracemodule::kValueTraceFileMaxSize, kSmallLimit);
    Registry().SetDword(vemo::tracemodule::kValueTraceFileCount, kManyFiles);
    const std::wstring eventName =
        L"vemo_rotation_start_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount64());
    vemo::unique_handle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    std::vector<std::shared_future<CapturedProcess>> children;
    for (size_t i = 0; i < kRotatingProcesses; ++i) children.push_back(StartChild(CurrentTestName(), Scratch() + L"\t" + eventName));
    ASSERT_TRUE(::SetEvent(start.get()));
    for (auto& child : children) ASSERT_TRUE(Passed(child.get())) << child.get().output;

    // Oldest first: the highest number, down to the current file.
    std::vector<std::wstring> files;
    for (DWORD index = kManyFiles - 1; index > 0; --index) {
        const std::wstring path = Rotated(TraceFile(), index);
        if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) files.push_back(path);
    }
    files.push_back(TraceFile());
    EXPECT_GE(files.size(), kSeveralRotations);

    std::map<std::pair<DWORD, DWORD>, size_t> next;
    size_t malformed = 0;
    size_t wrong = 0;
    for (const std::wstring& file : files) {
        const ParsedTrace trace = ReadTrace(file, false);
        malformed += trace.malformed.size();
        EXPECT_TRUE(trace.endsWithLineEnd);
        for (const TraceRecord& r : trace.records) {
            size_t& expected = next[{r.pid, r.tid}];
            if (r.text != Numbered(expected)) ++wrong;
            ++expected;
        }
    }
    EXPECT_EQ(malformed, 0u);
    EXPECT_EQ(wrong, 0u);
    ASSERT_EQ(next.size(), kRotatingProcesses * kRotatingThreads);
    for (const auto& [writer, count] : next) EXPECT_EQ(count, kRotatingLines) << writer.first << "/" << writer.second;
}

namespace {
constexpr DWORD kTinyLimit = 4096;
constexpr DWORD kThreeFiles = 3;
constexpr size_t kSingleLines = 150;
}  // namespace

// With lines in the file before each call returns, no file exceeds the limit, only the newest
// files are kept, and they hold the newest lines without a gap.
TEST_F(TraceModuleDurability, RotationKeepsTheNewestFilesWithinTheLimit) {
    if (InChild()) {
        for (size_t i = 0; i < kSingleLines; ++i) ASSERT_EQ(api.Write(kLevelError, kCategory, Numbered(i).c_str()), 0);
        return;
    }
    UseScratchTraceFile();
    Registry().SetDword(vemo::tracemodule::kValueTraceFileMaxSize, kTinyLimit);
    Registry().SetDword(vemo::tracemodule::kValueTraceFileCount, kThreeFiles);
    ASSERT_TRUE(RunInChildren());

    EXPECT_EQ(::GetFileAttributesW(Rotated(TraceFile(), kThreeFiles).c_str()), INVALID_FILE_ATTRIBUTES);
    std::vector<std::string> texts;
    for (DWORD index = kThreeFiles - 1; index != ~0u; --index) {
        const std::wstring path = index == 0 ? TraceFile() : Rotated(TraceFile(), index);
        const std::string bytes = vemo::test::ReadFileBytes(path);
        EXPECT_FALSE(bytes.empty()) << index;
        EXPECT_LE(bytes.size(), kTinyLimit) << index;
        for (const std::string& text : Texts(ParseTrace(bytes, false).records)) texts.push_back(text);
    }
    ASSERT_FALSE(texts.empty());
    const size_t first = kSingleLines - texts.size();
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i], Numbered(first + i));
}

// The front-end keeps the module's answers about a category: a change of the settings, or
// another text at the same address, must be asked again.
TEST_F(TraceModuleDurability, FrontEndCategoryAnswersFollowTheModule) {
    if (!InChild()) {
        ASSERT_TRUE(RunInChildren());
        return;
    }
    ASSERT_TRUE(TraceShouldTraceCategoryW(kLevelInfo, L"Kat"));
    api.SetLevel("Kat", 0);
    EXPECT_FALSE(TraceShouldTraceCategoryW(kLevelInfo, L"Kat"));
    api.SetLevel("Kat", kLevelInfo);
    EXPECT_TRUE(TraceShouldTraceCategoryW(kLevelInfo, L"Kat"));
    api.SetTracingEnabled(false);
    EXPECT_FALSE(TraceShouldTraceCategoryW(kLevelInfo, L"Kat"));
    api.SetTracingEnabled(true);

    api.SetLevel("Aus", 0);
    wchar_t reused[] = L"Kat";
    EXPECT_TRUE(TraceShouldTraceCategoryW(kLevelInfo, reused));
    ::wcscpy(reused, L"Aus");
    EXPECT_FALSE(TraceShouldTraceCategoryW(kLevelInfo, reused));
}
