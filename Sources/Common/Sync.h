// Lock types and their guards. Locks are neither copyable nor movable; lock() returns a guard that
// releases the lock when it goes out of scope.
#pragma once

#include "Common/ErrorHandling.h"

#include <system_error>

// A critical section: recursive for its owner thread, cheap when uncontended.
class CCriticalSection {
public:
    class Guard {
    public:
        explicit Guard(CRITICAL_SECTION& section) noexcept : m_section(&section) { EnterCriticalSection(m_section); }
        ~Guard() { LeaveCriticalSection(m_section); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        friend class CCsConditionVariable;
        CRITICAL_SECTION* m_section;
    };

    // Raises HRX when the section cannot be initialised.
    CCriticalSection() { ThrowLastErrorIfFalse(InitializeCriticalSectionAndSpinCount(&m_section, 0)); }
    ~CCriticalSection() { DeleteCriticalSection(&m_section); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    [[nodiscard]] Guard lock() noexcept { return Guard(m_section); }

private:
    CRITICAL_SECTION m_section;
};

// A slim reader/writer lock: statically initialised, so it may guard process-wide state that is
// used before any constructor has run.
class CSrwLock {
public:
    class ExclusiveGuard {
    public:
        explicit ExclusiveGuard(SRWLOCK& lock) noexcept : m_lock(&lock) { AcquireSRWLockExclusive(m_lock); }
        ~ExclusiveGuard() { ReleaseSRWLockExclusive(m_lock); }
        ExclusiveGuard(const ExclusiveGuard&) = delete;
        ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

    private:
        friend class CConditionVariable;
        SRWLOCK* m_lock;
    };

    class SharedGuard {
    public:
        explicit SharedGuard(SRWLOCK& lock) noexcept : m_lock(&lock) { AcquireSRWLockShared(m_lock); }
        ~SharedGuard() { ReleaseSRWLockShared(m_lock); }
        SharedGuard(const SharedGuard&) = delete;
        SharedGuard& operator=(const SharedGuard&) = delete;

    private:
        SRWLOCK* m_lock;
    };

    constexpr CSrwLock() noexcept = default;
    CSrwLock(const CSrwLock&) = delete;
    CSrwLock& operator=(const CSrwLock&) = delete;

    [[nodiscard]] ExclusiveGuard lock() noexcept { return ExclusiveGuard(m_lock); }
    [[nodiscard]] SharedGuard lock_shared() noexcept { return SharedGuard(m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

// A condition variable for waits under a CSrwLock held exclusively. Waits release the lock while they
// sleep and hold it again when they return; they take a predicate because wake-ups may be spurious.
class CConditionVariable {
public:
    constexpr CConditionVariable() noexcept = default;
    CConditionVariable(const CConditionVariable&) = delete;
    CConditionVariable& operator=(const CConditionVariable&) = delete;

    template <class Predicate>
    void Wait(CSrwLock::ExclusiveGuard& guard, Predicate ready) noexcept {
        while (!ready())
            SleepConditionVariableSRW(&m_condition, guard.m_lock, INFINITE, 0);
    }

    // False when ready() is still false after timeoutMs milliseconds.
    template <class Predicate>
    bool WaitFor(CSrwLock::ExclusiveGuard& guard, DWORD timeoutMs, Predicate ready) noexcept {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        while (!ready()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                return false;
            SleepConditionVariableSRW(&m_condition, guard.m_lock, static_cast<DWORD>(deadline - now), 0);
        }
        return true;
    }

    void NotifyAll() noexcept { WakeAllConditionVariable(&m_condition); }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

// A Win32 condition variable waited on with a CCriticalSection held once by the waiting thread.
class CCsConditionVariable {
public:
    constexpr CCsConditionVariable() noexcept = default;
    CCsConditionVariable(const CCsConditionVariable&) = delete;
    CCsConditionVariable& operator=(const CCsConditionVariable&) = delete;

    // Sleeps until woken (spurious wake-ups included) or until timeoutMs have passed (INFINITE: no
    // limit). False when the wait timed out; any other failure of the platform wait raises
    // std::system_error.
    bool Wait(CCriticalSection::Guard& guard, DWORD timeoutMs) {
        if (SleepConditionVariableCS(&m_condition, guard.m_section, timeoutMs))
            return true;
        const DWORD error = GetLastError();
        if (error == ERROR_TIMEOUT)
            return false;
        throw std::system_error(static_cast<int>(error), std::system_category(), "SleepConditionVariableCS");
    }

    void NotifyAll() noexcept { WakeAllConditionVariable(&m_condition); }

private:
    CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};
