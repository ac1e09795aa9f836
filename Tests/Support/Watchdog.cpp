// The watchdog, thread labels, thread lists and gates.
#include "Support/Watchdog.h"

#include "Support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

namespace {

std::mutex g_labelsLock;
std::map<DWORD, std::string> g_labels;

using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
using NextThread = LONG(WINAPI*)(HANDLE, HANDLE, ACCESS_MASK, ULONG, ULONG, HANDLE*);
// ThreadQuerySetWin32StartAddress: the address a thread was started at.
constexpr int ThreadStartAddressClass = 9;

template <class Function>
Function Ntdll(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

void* StartAddressOf(HANDLE thread) {
    static const auto query = Ntdll<QueryThread>("NtQueryInformationThread");
    void* start = nullptr;
    if (query == nullptr || query(thread, ThreadStartAddressClass, &start, sizeof(start), nullptr) != 0)
        return nullptr;
    return start;
}

// Calls visit(handle, id) for every running thread of this process. NtGetNextThread walks this
// process's threads only; a snapshot of the whole system costs a hundred times more under Wine.
template <class Visit>
void ForEachThread(Visit visit) {
    static const auto next = Ntdll<NextThread>("NtGetNextThread");
    HANDLE current = nullptr, following = nullptr;
    while (next != nullptr && next(GetCurrentProcess(), current, THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &following) == 0) {
        if (current != nullptr)
            CloseHandle(current);
        current = following;
        if (WaitForSingleObject(current, 0) == WAIT_TIMEOUT)
            visit(current, GetThreadId(current));
    }
    if (current != nullptr)
        CloseHandle(current);
}

std::string ModuleNameAt(const void* address) {
    HMODULE module = nullptr;
    char path[MAX_PATH] = "?";
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<const char*>(address), &module))
        GetModuleFileNameA(module, path, MAX_PATH);
    const std::string name(path);
    return name.substr(name.find_last_of("\\/") + 1);
}

} // namespace

CWatchdog& CWatchdog::Instance() {
    static CWatchdog* const watchdog = new CWatchdog();
    return *watchdog;
}

CWatchdog::CWatchdog() {
    std::thread([this] {
        std::unique_lock guard(m_lock);
        for (;;) {
            if (m_armed.deadline == 0) {
                m_changed.wait(guard);
                continue;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= m_armed.deadline)
                Bite(m_armed.what);
            m_changed.wait_for(guard, std::chrono::milliseconds(m_armed.deadline - now));
        }
    }).detach();
}

CWatchdog::SArmed CWatchdog::Arm(int seconds, std::string what) {
    SArmed previous;
    {
        std::lock_guard guard(m_lock);
        previous = std::exchange(m_armed, SArmed{std::move(what), GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000});
    }
    m_changed.notify_all();
    return previous;
}

void CWatchdog::Restore(SArmed armed) {
    {
        std::lock_guard guard(m_lock);
        m_armed = std::move(armed);
    }
    m_changed.notify_all();
}

void CWatchdog::Bite(const std::string& what) {
    std::string report = "[  FAILED  ] hang: " + what + " did not end in time; the threads of the process:\n";
    {
        std::lock_guard guard(g_labelsLock);
        ForEachThread([&](HANDLE handle, DWORD thread) {
            const auto label = g_labels.find(thread);
            report += "  thread " + std::to_string(thread) + ": " +
                      (label != g_labels.end() ? label->second : "started in " + ModuleNameAt(StartAddressOf(handle))) + "\n";
        });
    }
    std::fputs(report.c_str(), stdout);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;)
        Sleep(INFINITE);
}

void LabelThread(std::string what) {
    std::lock_guard guard(g_labelsLock);
    if (what.empty())
        g_labels.erase(GetCurrentThreadId());
    else
        g_labels[GetCurrentThreadId()] = std::move(what);
}

std::vector<DWORD> ThreadsStartedIn(const void* base, size_t size) {
    std::vector<DWORD> found;
    const auto* first = static_cast<const char*>(base);
    ForEachThread([&](HANDLE handle, DWORD thread) {
        const auto* start = static_cast<const char*>(StartAddressOf(handle));
        if (start >= first && start < first + size)
            found.push_back(thread);
    });
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

void CGate::Open() {
    {
        std::lock_guard guard(m_lock);
        m_open = true;
    }
    m_changed.notify_all();
}

void CGate::Close() {
    std::lock_guard guard(m_lock);
    m_open = false;
}

int CGate::Arrivals() {
    std::lock_guard guard(m_lock);
    return m_arrivals;
}

int CGate::Crowds() {
    std::lock_guard guard(m_lock);
    return m_crowds;
}
