// A trace module for tests: records every line it is given and answers the level questions
// from masks the test sets. It has the exports of the real module plus a few Rec* controls.
#include <windows.h>

#include <atomic>
#include <cstring>
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

std::mutex g_mutex;
std::vector<Record> g_records;
int g_levelMask = kAllLevels;
std::map<std::string, int> g_categoryMasks;
std::atomic<int> g_initCalls{0};
std::atomic<int> g_shouldTraceCalls{0};

// A writer of a line that starts with the hold prefix waits there until the test releases it,
// so a test can line threads up at a given step. Bounded: a forgotten hold never hangs a test.
constexpr DWORD kHoldBoundMs = 60000;
std::string g_holdPrefix;
std::atomic<int> g_heldCount{0};
HANDLE HoldReleased() {
    static const vemo::unique_handle released(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    return released.get();
}

int MaskFor(const char* category) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_categoryMasks.find(category ? category : "");
    return it != g_categoryMasks.end() ? it->second : g_levelMask;
}

}  // namespace

extern "C" {

int WINAPI ExpWrite(int level, const char* category, const char* text) {
    bool hold = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_records.push_back({level, category ? category : "<null>", text ? text : "<null>"});
        hold = !g_holdPrefix.empty() && g_records.back().text.starts_with(g_holdPrefix);
    }
    if (hold) {
        ++g_heldCount;
        ::WaitForSingleObject(HoldReleased(), kHoldBoundMs);
    }
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
    std::lock_guard<std::mutex> lock(g_mutex);
    return (g_levelMask & level) != 0;
}
bool WINAPI ExpShouldTraceCategory(int level, const char* category) { return (MaskFor(category) & level) != 0; }
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
int WINAPI ExpInitTraceSystem() {
    ++g_initCalls;
    return 0;
}

// Controls for the tests.
void WINAPI RecReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.clear();
    g_levelMask = kAllLevels;
    g_categoryMasks.clear();
    g_holdPrefix.clear();
    ::SetEvent(HoldReleased());
}
void WINAPI RecHoldLinesStartingWith(const char* prefix) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_holdPrefix = prefix ? prefix : "";
    g_heldCount = 0;
    ::ResetEvent(HoldReleased());
}
int WINAPI RecHeldCount() { return g_heldCount; }
void WINAPI RecReleaseHeld() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_holdPrefix.clear();
    ::SetEvent(HoldReleased());
}
void WINAPI RecSetLevelMask(int mask) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_levelMask = mask;
}
void WINAPI RecSetCategoryMask(const char* category, int mask) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_categoryMasks[category ? category : ""] = mask;
}
int WINAPI RecCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_records.size());
}
// Copies record index; returns the full text length or -1 when there is no such record.
int WINAPI RecGet(int index, int* level, char* category, int categorySize, char* text, int textSize) {
    std::lock_guard<std::mutex> lock(g_mutex);
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
