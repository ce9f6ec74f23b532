// Several processes with several threads each append to one file at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "TraceModuleHarness.h"
#include "tracing/Trace.h"

using namespace vemo::test;
using namespace vemo::tracing;

namespace {

class TraceModuleConcurrency : public TraceModuleTest {};

constexpr size_t kProcesses = 4;
constexpr size_t kThreadsPerProcess = 3;
constexpr size_t kLinesPerThread = 400;
constexpr char kCategory[] = "Parallel";
constexpr char kSequencePrefix[] = "seq=";
// Long lines give a torn or interleaved append more room to show.
const std::string kPadding(160, '#');

std::string LineText(size_t sequence) { return kSequencePrefix + std::to_string(sequence) + " " + kPadding; }

}  // namespace

TEST_F(TraceModuleConcurrency, ParallelWritersKeepEveryLineWholeAndInOrder) {
    if (InChild()) {
        // No init call: the threads race for the lazy configuration too.
        vemo::unique_handle start(::OpenEventW(SYNCHRONIZE, FALSE, Role().startEvent.c_str()));
        ASSERT_TRUE(start) << "error " << ::GetLastError();
        ASSERT_EQ(::WaitForSingleObject(start.get(), kChildTimeoutMs), WAIT_OBJECT_0);
        std::atomic<int> failures{0};
        {
            std::vector<std::jthread> threads;
            for (size_t t = 0; t < kThreadsPerProcess; ++t) {
                threads.emplace_back([&] {
                    for (size_t i = 0; i < kLinesPerThread; ++i) {
                        if (api.Write(kLevelInfo, kCategory, LineText(i).c_str()) != 0) ++failures;
                    }
                });
            }
        }
        EXPECT_EQ(failures.load(), 0);
        return;
    }

    UseScratchTraceFile();
    const std::wstring eventName =
        L"vemo_trace_start_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(::GetTickCount64());
    vemo::unique_handle start(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    std::vector<std::shared_future<CapturedProcess>> children;
    for (size_t i = 0; i < kProcesses; ++i) {
        children.push_back(StartChild("TraceModuleConcurrency.ParallelWritersKeepEveryLineWholeAndInOrder",
                                      Scratch() + L"\t" + eventName));
    }
    ASSERT_TRUE(::SetEvent(start.get()));
    for (auto& child : children) ASSERT_TRUE(Passed(child.get())) << child.get().output;

    const ParsedTrace trace = ReadTrace(TraceFile(), false);
    EXPECT_TRUE(trace.endsWithLineEnd);
    EXPECT_EQ(trace.malformed.size(), 0u) << "first: " << (trace.malformed.empty() ? "" : trace.malformed.front());
    ASSERT_EQ(trace.records.size(), kProcesses * kThreadsPerProcess * kLinesPerThread);

    std::map<std::pair<DWORD, DWORD>, size_t> nextSequence;  // (pid, tid) -> the line expected next
    size_t wrong = 0;
    std::string firstWrong;
    for (const TraceRecord& r : trace.records) {
        size_t& next = nextSequence[{r.pid, r.tid}];
        const bool right = r.pid != ::GetCurrentProcessId() && r.level == kLevelInfo && r.category == kCategory &&
                           r.text == LineText(next);
        if (!right && wrong++ == 0) {
            firstWrong = std::to_string(r.pid) + "/" + std::to_string(r.tid) + " expected #" + std::to_string(next) +
                         ": " + r.text;
        }
        ++next;
    }
    EXPECT_EQ(wrong, 0u) << firstWrong;
    EXPECT_EQ(nextSequence.size(), kProcesses * kThreadsPerProcess);
    std::set<DWORD> writingIds;
    for (const auto& [writer, count] : nextSequence) {
        writingIds.insert(writer.first);
        EXPECT_EQ(count, kLinesPerThread) << "pid " << writer.first << " tid " << writer.second;
    }
    EXPECT_EQ(kProcesses, writingIds.size());
}
