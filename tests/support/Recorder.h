#pragma once
// The recording trace module (RecordingTraceModule.cpp) that the front-end bound in this
// process: the lines it received and the masks it answers with.
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
    bool loaded() const { return m_module != nullptr; }
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

    // Records whose text contains part.
    std::vector<TraceRecord> Lines(const std::string& part) const;
    size_t Count(const std::string& part) const { return Lines(part).size(); }
    size_t CountExact(const std::string& text) const;
    bool WaitFor(const std::string& part, DWORD timeoutMs = 15000) const;
    std::string All() const;  // for failure messages

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
