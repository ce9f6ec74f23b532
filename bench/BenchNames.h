#pragma once
// Names the bench programs and the bench plug-in share.
#include <windows.h>

#define VEMO_BENCH_BASELINE_SERVICE "VeMoBenchBaseline"

namespace vemo::bench {
inline constexpr wchar_t kBaselineServiceName[] = L"" VEMO_BENCH_BASELINE_SERVICE;
inline constexpr wchar_t kBaselineServiceExe[] = L"bench_baseline_service.exe";
// The same service that first makes a message queue, as the host does before RUNNING.
inline constexpr wchar_t kQueueBaselineServiceName[] = L"VeMoBenchBaselineQueue";
inline constexpr wchar_t kQueueBaselineServiceExe[] = L"bench_queue_baseline_service.exe";
// Released once by every bench plug-in that enters Run: the service bench counts them from outside.
inline constexpr wchar_t kInRunSemaphore[] = L"Global\\VeMoBenchPluginInRun";
inline constexpr LONG kInRunSemaphoreMax = 0x7FFFFFFF;
// The summary rows every bench prints for bench/run.sh: "TABLE<TAB>figure<TAB>value<TAB>target<TAB>verdict".
inline constexpr char kTableRowFormat[] = "TABLE\t%s\t%s\t%s\t%s\n";
}  // namespace vemo::bench
