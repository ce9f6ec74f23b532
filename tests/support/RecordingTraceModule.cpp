// A trace module for tests: records every line it is given and answers the level questions
// from masks the test sets. It has the exports of the real module plus a few Rec* controls.
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/UniqueHandle.h"
#include "tracing/TraceSystemExports.h"

namespace {

struct Record {
    int level;
    std::string category;
    std::string text;
};

constexpr int kAllLevels = 0x1F;
// A writer of a line that starts with the hold prefix waits there until the test releases it,
// so a test can line threads up at a given step. Bounded: a forgotten hold never hangs a test.
constexpr DWORD kHoldBoundMs = 60000;

std::mutex g_mutex;
std::vector<Record> g_records;
int g_levelMask = kAllLevels;
std::map<std::string, int> g_categoryMasks;
std::string g_holdPrefix;
std::atomic<int> g_initCalls{0}, g_shouldTraceCalls{0}, g_heldCount{0};
const vemo::unique_handle g_holdReleased(::CreateEventW(nullptr, TRUE, TRUE, nullptr));

// Also as `Locked(), expression`: held to the end of the expression.
std::unique_lock<std::mutex> Locked() { return std::unique_lock(g_mutex); }

}  // namespace

extern "C" {

int WINAPI ExpWrite(int level, const char* category, const char* text) {
    auto lock = Locked();
    g_records.push_back({level, category ? category : "<null>", text ? text : "<null>"});
    if (g_holdPrefix.empty() || !g_records.back().text.starts_with(g_holdPrefix)) return 0;
    lock.unlock();
    ++g_heldCount;
    ::WaitForSingleObject(g_holdReleased.get(), kHoldBoundMs);
    return 0;
}
int WINAPI ExpWriteEntry(int, const char*, const char*, const char*) { return 0; }
int WINAPI ExpDump(int, const char*, const void*, unsigned int) { return 0; }
int WINAPI ExpDumpEntry(int, const char*, const char*, const void*, unsigned int) { return 0; }
int WINAPI ExpConfigureTrace(const char*) { return 0; }
bool WINAPI ExpIsTracingEnabled() { return true; }
void WINAPI ExpSetTracingEnabled(bool) {}
void WINAPI ExpSetAppTracingLevel(int) {}
int WINAPI ExpGetAppTracingLevel() { return g_levelMask; }
bool WINAPI ExpShouldTrace(int level) {
    ++g_shouldTraceCalls;
    return (Locked(), g_levelMask & level) != 0;
}
bool WINAPI ExpShouldTraceCategory(int level, const char* category) {
    const auto lock = Locked();
    const auto it = g_categoryMasks.find(category ? category : "");
    return ((it != g_categoryMasks.end() ? it->second : g_levelMask) & level) != 0;
}
void WINAPI ExpSetLevel(const char*, int) {}
int WINAPI ExpGetLevel(const char*) { return 0; }
bool WINAPI ExpListenerExists(const char*) { return false; }
int WINAPI ExpAddListener(const char*, const char*) { return 0; }
int WINAPI ExpAddConsoleListener(const char*) { return 0; }
int WINAPI ExpAddTextfileListener(const char*, const char*) { return 0; }
int WINAPI ExpRemoveListenerCategory(const char*, const char*) { return 0; }
int WINAPI ExpRemoveListener(const char*) { return 0; }
int WINAPI ExpRemoveCategory(const char*) { return 0; }
int WINAPI ExpRemoveAllCategories() { return 0; }
int WINAPI ExpDoneTraceSystem() { return 0; }
int WINAPI ExpInitTraceSystem() { return ++g_initCalls, 0; }

// Controls for the tests.
void WINAPI RecReset() {
    const auto lock = Locked();
    g_records.clear();
    g_levelMask = kAllLevels;
    g_categoryMasks.clear();
    g_holdPrefix.clear();
    ::SetEvent(g_holdReleased.get());
}
void WINAPI RecHoldLinesStartingWith(const char* prefix) {
    const auto lock = Locked();
    g_holdPrefix = prefix ? prefix : "";
    g_heldCount = 0;
    ::ResetEvent(g_holdReleased.get());
}
int WINAPI RecHeldCount() { return g_heldCount; }
void WINAPI RecReleaseHeld() {
    const auto lock = Locked();
    g_holdPrefix.clear();
    ::SetEvent(g_holdReleased.get());
}
void WINAPI RecSetLevelMask(int mask) { Locked(), g_levelMask = mask; }
void WINAPI RecSetCategoryMask(const char* category, int mask) { Locked(), g_categoryMasks[category ? category : ""] = mask; }
int WINAPI RecCount() { return (Locked(), static_cast<int>(g_records.size())); }
// Copies record index; returns the full text length or -1 when there is no such record.
int WINAPI RecGet(int index, int* level, char* category, int categorySize, char* text, int textSize) {
    const auto lock = Locked();
    if (index < 0 || index >= static_cast<int>(g_records.size())) return -1;
    const Record& r = g_records[static_cast<size_t>(index)];
    if (level) *level = r.level;
    if (category && categorySize > 0) lstrcpynA(category, r.category.c_str(), categorySize);
    if (text && textSize > 0) lstrcpynA(text, r.text.c_str(), textSize);
    return static_cast<int>(r.text.size());
}
int WINAPI RecInitCalls() { return g_initCalls; }
int WINAPI RecShouldTraceCalls() { return g_shouldTraceCalls; }
}
