#pragma once
// Slim reader/writer locks and condition variables of Windows itself, usable with
// std::unique_lock and std::shared_lock. The winpthreads objects behind std::mutex in this
// toolchain block on kernel events when contended; these stay in user mode (futexes under Wine).
#include <windows.h>

#include <mutex>

namespace vemo::tracemodule {

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&m_lock); }
    bool try_lock() noexcept { return ::TryAcquireSRWLockExclusive(&m_lock) != FALSE; }
    void lock_shared() noexcept { ::AcquireSRWLockShared(&m_lock); }
    void unlock_shared() noexcept { ::ReleaseSRWLockShared(&m_lock); }
    bool try_lock_shared() noexcept { return ::TryAcquireSRWLockShared(&m_lock) != FALSE; }
    // Only when every thread that could hold it is gone (the process is ending).
    void ResetAfterOwnersDied() noexcept { ::InitializeSRWLock(&m_lock); }

private:
    friend class SrwCondition;
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class SrwCondition {
public:
    SrwCondition() = default;
    SrwCondition(const SrwCondition&) = delete;
    SrwCondition& operator=(const SrwCondition&) = delete;

    // Waits while the caller holds the lock exclusively; wakes may be spurious.
    void Wait(std::unique_lock<SrwLock>& held) noexcept {
        ::SleepConditionVariableSRW(&m_condition, &held.mutex()->m_lock, INFINITE, 0);
    }
    // As Wait, for at most timeoutMs; false once the time is up.
    bool WaitFor(std::unique_lock<SrwLock>& held, DWORD timeoutMs) noexcept {
        return ::SleepConditionVariableSRW(&m_condition, &held.mutex()->m_lock, timeoutMs, 0) != FALSE;
    }
    void WakeAll() noexcept { ::WakeAllConditionVariable(&m_condition); }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

}  // namespace vemo::tracemodule
