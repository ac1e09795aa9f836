// Thread lists and gates.
#include "Support/ThreadGates.h"

#include "Support/TestSupport.h"

#include <chrono>
#include <cstdio>

namespace {

// ThreadQuerySetWin32StartAddress: the address a thread was started at.
constexpr int ThreadStartAddressClass = 9;

void* Ntdll(const char* name) { return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)); }

} // namespace

// NtGetNextThread walks this process's threads only; a snapshot of the whole system costs a hundred
// times more under Wine.
std::vector<DWORD> ThreadsStartedIn(const void* base, size_t size) {
    static const auto next = reinterpret_cast<LONG(WINAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, HANDLE*)>(Ntdll("NtGetNextThread"));
    static const auto query = reinterpret_cast<LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*)>(Ntdll("NtQueryInformationThread"));
    std::vector<DWORD> found;
    const auto* first = static_cast<const char*>(base);
    HANDLE current = nullptr, following = nullptr;
    while (next(GetCurrentProcess(), current, THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &following) == 0) {
        if (current != nullptr)
            CloseHandle(current);
        current = following;
        const char* start = nullptr;
        if (WaitForSingleObject(current, 0) == WAIT_TIMEOUT &&
            query(current, ThreadStartAddressClass, &start, sizeof(start), nullptr) == 0 && start >= first && start < first + size)
            found.push_back(GetThreadId(current));
    }
    if (current != nullptr)
        CloseHandle(current);
    return found;
}

void CGate::Arrive() {
    std::unique_lock guard(m_lock);
    ++m_arrivals;
    m_changed.notify_all();
    if (m_oneAtATime && m_held > 0) {
        ++m_crowds;
        return;
    }
    ++m_held;
    m_changed.wait(guard, [&] { return m_open; });
    --m_held;
}

bool CGate::WaitArrivals(int count) {
    std::unique_lock guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(TestTimeoutMs()), [&] { return m_arrivals >= count; });
}

void CGate::Open() { std::lock_guard guard(m_lock); m_open = true; m_changed.notify_all(); }

void CGate::Close() { std::lock_guard guard(m_lock); m_open = false; }
int CGate::Arrivals() { std::lock_guard guard(m_lock); return m_arrivals; }
int CGate::Crowds() { std::lock_guard guard(m_lock); return m_crowds; }
