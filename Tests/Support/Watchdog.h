// Tools of the tests that prove threads never hang: a watchdog that turns a hang into a failure naming
// every thread of the process and what it was doing, labels by which test threads say what they are
// waiting for, gates that hold a thread at a chosen point until the test opens them, and the list of
// threads that started inside a module.
#pragma once

#include "Interfaces/Win32.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// One per process. While armed, the steps of a test must end before the deadline; otherwise the
// watchdog prints "[  FAILED  ]" with what was due, each thread of the process with its label (test
// threads) or the module its code started in, and ends the process, since a hung test cannot be
// unwound.
class CWatchdog {
public:
    static CWatchdog& Instance();
    // What is armed now: its text and deadline (0: nothing).
    struct SArmed {
        std::string what;
        ULONGLONG deadline = 0;
    };

    // What must end within seconds; replaces what was armed before, which it returns.
    SArmed Arm(int seconds, std::string what);
    // Puts back what Arm returned.
    void Restore(SArmed armed);
    void Disarm() { Restore({}); }

private:
    CWatchdog();
    [[noreturn]] void Bite(const std::string& what);

    std::mutex m_lock;
    std::condition_variable m_changed;
    SArmed m_armed;
};

// Arms the watchdog for a scope, and puts back what was armed before at its end.
class CWatchdogScope {
public:
    CWatchdogScope(int seconds, std::string what) : m_previous(CWatchdog::Instance().Arm(seconds, std::move(what))) {}
    ~CWatchdogScope() { CWatchdog::Instance().Restore(std::move(m_previous)); }
    CWatchdogScope(const CWatchdogScope&) = delete;
    CWatchdogScope& operator=(const CWatchdogScope&) = delete;

private:
    CWatchdog::SArmed m_previous;
};

// What the calling thread does now, for the watchdog's report; an empty text removes the label.
void LabelThread(std::string what);

// The threads of this process whose start address lies in [base, base + size).
std::vector<DWORD> ThreadsStartedIn(const void* base, size_t size);

// Holds the threads that arrive while it is closed. A gate that admits one thread at a time lets a
// second thread that arrives while one is held pass at once, and counts it as a crowd: the tests of
// concurrent Configure calls read that as "two calls got this far at once".
class CGate {
public:
    explicit CGate(bool open = true, bool oneAtATime = false) : m_open(open), m_oneAtATime(oneAtATime) {}

    // Counts the arrival and waits while the gate is closed.
    void Arrive();
    // Waits until count threads have arrived; false after a minute, which only a broken test reaches.
    bool WaitArrivals(int count);
    void Open();
    void Close();
    int Arrivals();
    int Crowds();

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_open;
    const bool m_oneAtATime;
    int m_arrivals = 0, m_held = 0, m_crowds = 0;
};
