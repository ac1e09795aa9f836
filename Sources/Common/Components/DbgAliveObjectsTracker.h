// Alive objects tracking, a debugging aid for component objects that are never released. With the
// global setting Debug/EnableAliveObjectsTracking not 0, every CComponentObject<T> registers itself at
// construction with its class's tag and four return addresses of the code that created it, and removes
// itself at destruction; IComponentsModule::DumpAliveObjects writes the objects still alive to the log
// at WARN, in ascending address order:
//
//     Alive component objects: 2
//     ObjTag='CComponentObject<class CRolesMaintainer>::CComponentObject' Ptr=000001D2C3A41F30 EIPs=0x...;0x...;0x...;0x...
//
// Debug/AliveObjectsTrackingFramesToSkip (default 0) skips further frames of the creating code. Both
// settings are read once, when the module loads. Off (the default), registration and removal cost one
// atomic read each and the dump writes nothing.
//
// Thread safety: any thread may register, unregister and dump; the tracker's lock is held during the
// whole dump, log writes included.
#pragma once

#include <atomic>
#include <map>
#include <mutex>

class CDbgAliveObjectsTracker {
public:
    static constexpr int ReturnAddressCount = 4;

    // The process's tracker while it is on; null when tracking is off or the tracker is gone.
    static CDbgAliveObjectsTracker* Active() noexcept { return s_active.load(std::memory_order_acquire); }

    // The forms CComponentObject<T> and the module object use; they do nothing while tracking is off.
    // tag must be a string constant.
    static void RegisterIfEnabled(const void* object, const char* tag) {
        if (CDbgAliveObjectsTracker* tracker = Active())
            tracker->Register(object, tag);
    }
    static void UnregisterIfEnabled(const void* object) noexcept {
        if (CDbgAliveObjectsTracker* tracker = Active())
            tracker->Unregister(object);
    }
    static void DumpIfEnabled() noexcept {
        if (CDbgAliveObjectsTracker* tracker = Active())
            tracker->Dump();
    }

    // Records object with its tag and the return addresses above the caller's frame (and above the
    // configured frames to skip).
    void Register(const void* object, const char* tag);
    void Unregister(const void* object) noexcept;
    // Writes the live objects to the log at WARN; nothing when there is none.
    void Dump() noexcept;

    CDbgAliveObjectsTracker(const CDbgAliveObjectsTracker&) = delete;
    CDbgAliveObjectsTracker& operator=(const CDbgAliveObjectsTracker&) = delete;

private:
    // The one tracker is created by static initialisation when the module loads, with the settings of
    // that moment, and destroyed at unload, which first makes Active() null so that objects destroyed
    // later are not looked up.
    CDbgAliveObjectsTracker() noexcept;
    ~CDbgAliveObjectsTracker();

    struct SEntry {
        const char* tag;
        void* returnAddresses[ReturnAddressCount];
    };

    static CDbgAliveObjectsTracker s_instance;
    static std::atomic<CDbgAliveObjectsTracker*> s_active;

    unsigned m_framesToSkip = 0;
    std::mutex m_lock;
    std::map<const void*, SEntry> m_objects;
};

// The tag of a component class C for alive objects tracking, declared in the class:
//
//     class CRolesMaintainer : public CComponentBase, ... {
//     public:
//         RW_COMPONENT_OBJECT_TAG(CRolesMaintainer);
//
// gives "CComponentObject<class CRolesMaintainer>::CComponentObject". A class whose name is no plain
// identifier declares `static constexpr const char* ObjectTag` itself, for example
// "CComponentObject<class Detail::CWeakRefObj<class CRolesMaintainer> >::CComponentObject".
#define RW_COMPONENT_OBJECT_TAG(ClassName)                                                              \
    static constexpr const char* ObjectTag = "CComponentObject<class " #ClassName ">::CComponentObject"
