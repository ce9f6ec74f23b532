#pragma once
// The recording trace module (RecordingTraceModule.cpp) that the front-end bound in this
// process: the lines it received and the masks it answers with.
#include <windows.h>

#include <string>
#include <vector>

#include "common/UniqueHandle.h"

namespace vemo::test {

struct TraceRecord {
    int level = 0;
    std::string category;
    std::string text;
};

class Recorder {
public:
    Recorder();
    bool loaded() const { return static_cast<bool>(m_module); }
    void Reset() const { Call<void>("RecReset"); }
    void SetLevelMask(int mask) const { Call<void>("RecSetLevelMask", mask); }
    void SetCategoryMask(const char* category, int mask) const { Call<void>("RecSetCategoryMask", category, mask); }
    int InitCalls() const { return Call<int>("RecInitCalls"); }
    int ShouldTraceCalls() const { return Call<int>("RecShouldTraceCalls"); }
    // Holds every writer of a line starting with prefix until ReleaseHeld (or a minute passed).
    void HoldLinesStartingWith(const char* prefix) const { Call<void>("RecHoldLinesStartingWith", prefix); }
    int HeldCount() const { return Call<int>("RecHeldCount"); }
    void ReleaseHeld() const { Call<void>("RecReleaseHeld"); }
    std::vector<TraceRecord> Records() const;

    std::vector<TraceRecord> Lines(const std::string& part) const;  // records whose text contains part
    size_t Count(const std::string& part) const { return Lines(part).size(); }
    size_t CountExact(const std::string& text) const;
    bool WaitFor(const std::string& part, DWORD timeoutMs = 15000) const;
    std::string All() const;  // for failure messages

private:
    template <typename R, typename... Args>
    R Call(const char* name, Args... args) const {
        return reinterpret_cast<R(WINAPI*)(Args...)>(reinterpret_cast<void (*)()>(::GetProcAddress(m_module.get(), name)))(args...);
    }
    unique_hmodule m_module;
};

}  // namespace vemo::test
