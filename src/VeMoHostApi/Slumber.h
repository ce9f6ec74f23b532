#pragma once
// A pause that keeps the calling thread's message queue moving: a sleeper thread sleeps and
// signals an event, the caller waits for it in a message loop that wakes every millisecond.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/UniqueHandle.h"

// What the sleeper thread needs. The caller and the sleeper each hold one reference; whoever
// lets go last frees the block and closes the event, so an early end of the caller's loop
// never pulls the parameters from under a sleeper that is still sleeping.
struct SlumberParams {
    int32_t lTimeoutMs = 0;
    vemo::unique_handle hEvent;

    // A block with one reference for the creator; nullptr when it cannot be allocated.
    static SlumberParams* Create(int32_t lTimeoutMs, vemo::unique_handle hEvent) noexcept;
    void AddRef() noexcept;
    void Release() noexcept;

    // Blocks that are still alive in this process (for checking that none is left behind).
    static int LiveCount() noexcept;

    SlumberParams(const SlumberParams&) = delete;
    SlumberParams& operator=(const SlumberParams&) = delete;

private:
    SlumberParams() = default;
    ~SlumberParams();
    std::atomic<int> m_refs{1};
};

// Holds one reference to a SlumberParams block.
struct SlumberParamsRelease {
    void operator()(SlumberParams* p) const noexcept {
        if (p) p->Release();
    }
};

class CSlumber {
public:
    // Returns when the time is up or the message loop stops on an unexpected wait result.
    static void Slumber(int32_t lTimeoutMs);

    // The wait of the message loop, replaceable so that tests can end the loop early.
    using WaitFunction = DWORD(WINAPI*)(DWORD nCount, const HANDLE* pHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                        DWORD dwWakeMask);
    static void SlumberWithWait(int32_t lTimeoutMs, WaitFunction pfnWait);
};

// The sleeper thread. Takes over one reference to the SlumberParams block it is given; returns 0.
DWORD WINAPI SlumberThread(LPVOID pParams);
