// Tools of the tests that force an interleaving of threads: gates that hold a thread at a chosen point
// until the test opens them, and the list of threads that started inside a module.
#pragma once

#include "Interfaces/Win32.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

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
    // Waits until count threads have arrived; false after TestTimeoutMs(), which only a broken test reaches.
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
