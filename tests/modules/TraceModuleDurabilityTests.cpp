// Lines the module has queued reach the file on every way a process ends, and a file that
// rotates while several processes with several threads write loses, splits and doubles nothing.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracemodule;

namespace {

constexpr size_t kQueuedLines = 300;
constexpr UINT kKilledExitCode = 77;

std::string Numbered(size_t n) { return "nr=" + std::to_string(n) + " " + std::string(120, '#'); }

DWORD WINAPI WriteThroughNull(void*) {
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

// The index-th older file: "trace.log" -> "trace.<index>.log".
std::wstring Rotated(const std::wstring& path, DWORD index) {
    const size_t dot = path.rfind(L'.');
    return index == 0 ? path : path.substr(0, dot) + L"." + std::to_wstring(index) + path.substr(dot);
}

// kNormal ends through the front-end: the program's end flushes while the writer runs.
enum class End { kKilledAfterErrorLine, kFaultingThread, kNormal };
class TraceModuleEnd : public TraceModuleTest, public ::testing::WithParamInterface<End> {};

}  // namespace

// An error line is in the file before ExpWrite returns; a fault nobody handles reaches the
// unhandled-exception filter, which flushes; a normal end flushes through the front-end.
TEST_P(TraceModuleEnd, LeavesEveryLineWrittenBeforeIt) {
    const End end = GetParam();
    if (InChild()) {
        if (end == End::kFaultingThread || end == End::kNormal) {
            ASSERT_TRUE(TraceShouldTrace(1)) << "the front-end binds the module";
        }
        if (end == End::kFaultingThread) vemo::seh::InstallUnhandledExceptionFilter();
        for (size_t i = 0; i < kQueuedLines; ++i) ASSERT_EQ(0, api.Write(8, "Dauer", Numbered(i).c_str()));
        ASSERT_EQ(0, api.Write(end == End::kKilledAfterErrorLine ? 2 : 8, "Dauer", "letzte Zeile"));
        if (end == End::kKilledAfterErrorLine) ::TerminateProcess(::GetCurrentProcess(), kKilledExitCode);
        if (end == End::kFaultingThread) {
            vemo::unique_handle faulting(::CreateThread(nullptr, 0, &WriteThroughNull, nullptr, 0, nullptr));
            ::WaitForSingleObject(faulting.get(), kChildTimeoutMs);
        }
        return;
    }
    UseScratchTraceFile();
    const CapturedProcess child = StartChildren(1, {})[0].get();
    ASSERT_TRUE(child.result.finished);
    const DWORD exitCode[] = {kKilledExitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), 0};  // by End
    EXPECT_EQ(exitCode[static_cast<int>(end)], child.result.exitCode) << child.output;
    std::vector<std::string> expected;
    for (size_t i = 0; i < kQueuedLines; ++i) expected.push_back(Numbered(i));
    expected.push_back("letzte Zeile");
    EXPECT_EQ(expected, Read(TraceFile()).Texts());
}

INSTANTIATE_TEST_SUITE_P(Ends, TraceModuleEnd,
                         ::testing::Values(End::kKilledAfterErrorLine, End::kFaultingThread, End::kNormal));

// No init call: the threads race for the lazy configuration too. Every line is in one of the
// files exactly once, whole, and each thread's lines are in order across the files.
TEST_F(TraceModuleTest, SeveralProcessesAndThreadsWriteWhileTheFileRotates) {
    constexpr size_t kProcesses = 3, kThreads = 3, kLines = 1000;
    constexpr DWORD kManyFiles = 100;  // enough that no file of this test is removed
    if (InChild()) {
        vemo::unique_handle start(::OpenEventW(SYNCHRONIZE, FALSE, Extra().c_str()));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(start.get(), kChildTimeoutMs));
        std::atomic<int> failures{0};
        {
            std::vector<std::jthread> threads;
            for (size_t t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] {
                    for (size_t i = 0; i < kLines; ++i) failures += api.Write(8, "Parallel", Numbered(i).c_str()) != 0;
                });
            }
        }
        EXPECT_EQ(0, failures.load());
        // Ends with the writer idle: under Wine a writer still busy as the process ends can run on
        // beside the exit flush (seen as a Wine assertion and lost files); the end of a process
        // is the durability tests' subject, not this one's.
        api.FlushTraceSystem();
        return;
    }
    UseScratchTraceFile();
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileMaxSize, 64 * 1024));
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileCount, kManyFiles));
    const std::wstring eventName = L"vemo_rotation_start_" + std::to_wstring(::GetCurrentProcessId());
    vemo::unique_handle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    auto children = StartChildren(kProcesses, eventName);
    ASSERT_TRUE(::SetEvent(start.get()));
    for (auto& child : children) ASSERT_TRUE(Passed(child.get())) << child.get().output;

    std::map<std::pair<DWORD, DWORD>, size_t> next;  // (pid, tid) -> the line expected next
    size_t files = 0;
    for (DWORD index = kManyFiles - 1; index != ~0u; --index) {  // oldest first
        if (!Exists(Rotated(TraceFile(), index))) continue;
        ++files;
        const ParsedTrace trace = Read(Rotated(TraceFile(), index), false);
        EXPECT_TRUE(trace.malformed.empty()) << trace.malformed.front();
        EXPECT_TRUE(trace.endsWithLineEnd);
        for (const TraceLine& r : trace.records) {
            ASSERT_TRUE(r.pid != ::GetCurrentProcessId() && r.level == 8 && r.category == "Parallel") << r.text;
            ASSERT_EQ(Numbered(next[{r.pid, r.tid}]++), r.text) << r.pid << "/" << r.tid << " in file " << index;
        }
    }
    EXPECT_GE(files, 4u) << "the file rotated several times";
    ASSERT_EQ(kProcesses * kThreads, next.size());
    for (const auto& [writer, count] : next) EXPECT_EQ(kLines, count) << writer.first << "/" << writer.second;
}

// No file exceeds the limit, only the newest files are kept, and they hold the newest lines
// without a gap.
TEST_F(TraceModuleTest, RotationKeepsTheNewestFilesWithinTheLimit) {
    constexpr DWORD kLimit = 4096, kFiles = 3;
    constexpr size_t kLines = 150;
    if (InChild()) {
        for (size_t i = 0; i < kLines; ++i) ASSERT_EQ(0, api.Write(2, "Dauer", Numbered(i).c_str()));
        return;
    }
    UseScratchTraceFile();
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileMaxSize, kLimit));
    ASSERT_TRUE(SetRegistryDword(kRegistryKey, kValueTraceFileCount, kFiles));
    ASSERT_TRUE(RunInChildren());
    EXPECT_FALSE(Exists(Rotated(TraceFile(), kFiles)));
    std::vector<std::string> texts;
    for (DWORD index = kFiles - 1; index != ~0u; --index) {
        const std::string bytes = ReadFileBytes(Rotated(TraceFile(), index));
        EXPECT_TRUE(!bytes.empty() && bytes.size() <= kLimit) << index << ": " << bytes.size();
        for (const std::string& text : ParseTrace(bytes, false).Texts()) texts.push_back(text);
    }
    ASSERT_FALSE(texts.empty());
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(Numbered(kLines - texts.size() + i), texts[i]);
}

// The front-end keeps the module's answers about a category: a change of the settings, or
// another text at the same address, must be asked again.
TEST_F(TraceModuleTest, FrontEndCategoryAnswersFollowTheModule) {
    if (!InChild()) {
        ASSERT_TRUE(RunInChildren());
        return;
    }
    wchar_t category[] = L"Kat";
    ASSERT_TRUE(TraceShouldTraceCategoryW(8, category));
    api.SetLevel("Kat", 0);
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
    api.SetLevel("Kat", 8);
    EXPECT_TRUE(TraceShouldTraceCategoryW(8, category));
    api.SetTracingEnabled(false);
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
    api.SetTracingEnabled(true);
    api.SetLevel("Aus", 0);
    EXPECT_TRUE(TraceShouldTraceCategoryW(8, category));
    ::wcscpy(category, L"Aus");
    EXPECT_FALSE(TraceShouldTraceCategoryW(8, category));
}
