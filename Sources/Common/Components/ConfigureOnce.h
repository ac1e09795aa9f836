// CConfigureOnce: the configuration state of a component that takes one configuration for its life.
// A Configure claims it for as long as it runs, so that a second call, concurrent or later, fails at
// once with HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED) rather than waiting for the first: a wait
// there could be a wait for a thread that is itself waiting for the caller. A Configure that fails
// gives its claim back, and a later one may try again.
#pragma once

#include "Common/ErrorHandling.h"

#include <atomic>

class CConfigureOnce {
public:
    // Held by a Configure while it runs; gives the claim back when destroyed without Commit.
    class CClaim {
    public:
        explicit CClaim(CConfigureOnce& owner) noexcept : m_owner(&owner) {}
        CClaim(const CClaim&) = delete;
        CClaim& operator=(const CClaim&) = delete;
        ~CClaim() {
            if (m_owner != nullptr)
                m_owner->m_state = Free;
        }
        // The configuration is in place for good.
        void Commit() noexcept {
            m_owner->m_state = Configured;
            m_owner = nullptr;
        }

    private:
        CConfigureOnce* m_owner;
    };

    // Raises HRX with HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED) while another Configure runs or
    // after one succeeded.
    [[nodiscard]] CClaim Begin() {
        int expected = Free;
        if (!m_state.compare_exchange_strong(expected, Configuring))
            ThrowHR(HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
        return CClaim(*this);
    }

private:
    enum { Free, Configuring, Configured };
    std::atomic<int> m_state{Free};
};
