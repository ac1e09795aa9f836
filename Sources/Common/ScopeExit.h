// CScopeExit: runs a callable when the scope ends, unless dismissed first; the clean-up of a step that
// must be undone when a later step fails.
#pragma once

#include <utility>

template <class Action>
class CScopeExit {
public:
    explicit CScopeExit(Action action) : m_action(std::move(action)) {}
    ~CScopeExit() {
        if (m_armed)
            m_action();
    }
    CScopeExit(const CScopeExit&) = delete;
    CScopeExit& operator=(const CScopeExit&) = delete;

    void Dismiss() noexcept { m_armed = false; }

private:
    Action m_action;
    bool m_armed = true;
};
