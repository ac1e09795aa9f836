// The alive objects tracker: the map of live component objects and its dump to the log.
#include "Common/Components/DbgAliveObjectsTracker.h"

#include "Common/Logging.h"

namespace {

// The records name this source, as the tracker's own file.
constexpr const wchar_t* RecordSource = L"Sources\\Common\\Components\\DbgAliveObjectsTracker";

} // namespace

std::atomic<CDbgAliveObjectsTracker*> CDbgAliveObjectsTracker::s_active{nullptr};
CDbgAliveObjectsTracker CDbgAliveObjectsTracker::s_instance;

CDbgAliveObjectsTracker::CDbgAliveObjectsTracker() noexcept {
    // A failure to read the settings leaves tracking off; it must not keep the module from loading.
    try {
        if (GetGlobalIntOr(L"Debug", L"EnableAliveObjectsTracking", 0) == 0)
            return;
        m_framesToSkip = static_cast<unsigned>(GetGlobalIntOr(L"Debug", L"AliveObjectsTrackingFramesToSkip", 0));
        s_active.store(this, std::memory_order_release);
    } catch (...) {
    }
}

CDbgAliveObjectsTracker::~CDbgAliveObjectsTracker() {
    s_active.store(nullptr, std::memory_order_release);
}

__attribute__((noinline)) void CDbgAliveObjectsTracker::Register(const void* object, const char* tag) {
    SEntry entry = {tag, {}};
    // One more frame than configured: this function's own.
    RtlCaptureStackBackTrace(m_framesToSkip + 1, ReturnAddressCount, entry.returnAddresses, nullptr);
    std::lock_guard guard(m_lock);
    m_objects[object] = entry;
}

void CDbgAliveObjectsTracker::Unregister(const void* object) noexcept {
    std::lock_guard guard(m_lock);
    m_objects.erase(object);
}

void CDbgAliveObjectsTracker::Dump() noexcept {
    std::lock_guard guard(m_lock);
    if (m_objects.empty())
        return;
    RW_LOG_AT(SevWarn, RecordSource, L"Alive component objects: " << m_objects.size());
    for (const auto& [object, entry] : m_objects) {
        RW_LOG_AT(SevWarn, RecordSource,
                  L"ObjTag='" << entry.tag << L"' Ptr=" << PointerText(object)
                              << L" EIPs=" << AddressListText(entry.returnAddresses, ReturnAddressCount, L';'));
    }
}
