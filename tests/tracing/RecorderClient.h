#pragma once
// Access to the recording trace module that the front-end bound in this process.
#include <windows.h>

#include <string>
#include <vector>

namespace vemo::test {

struct TraceRecord {
    int level = 0;
    std::string category;
    std::string text;
};

class Recorder {
public:
    Recorder();
    void Reset() const { m_reset(); }
    void SetLevelMask(int mask) const { m_setLevelMask(mask); }
    void SetCategoryMask(const char* category, int mask) const { m_setCategoryMask(category, mask); }
    int InitCalls() const { return m_initCalls(); }
    int ShouldTraceCalls() const { return m_shouldTraceCalls(); }
    // Holds every writer of a line starting with prefix until ReleaseHeld (or a minute passed).
    void HoldLinesStartingWith(const char* prefix) const { m_holdLines(prefix); }
    int HeldCount() const { return m_heldCount(); }
    void ReleaseHeld() const { m_releaseHeld(); }
    std::vector<TraceRecord> Records() const;
    bool loaded() const { return m_module != nullptr; }

private:
    HMODULE m_module = nullptr;
    void(WINAPI* m_reset)() = nullptr;
    void(WINAPI* m_setLevelMask)(int) = nullptr;
    void(WINAPI* m_setCategoryMask)(const char*, int) = nullptr;
    int(WINAPI* m_count)() = nullptr;
    int(WINAPI* m_get)(int, int*, char*, int, char*, int) = nullptr;
    int(WINAPI* m_initCalls)() = nullptr;
    int(WINAPI* m_shouldTraceCalls)() = nullptr;
    void(WINAPI* m_holdLines)(const char*) = nullptr;
    int(WINAPI* m_heldCount)() = nullptr;
    void(WINAPI* m_releaseHeld)() = nullptr;
};

}  // namespace vemo::test
