// The component registry, CComponentObject<T>, alive objects tracking and InterfacePtr<T>, over
// component classes defined here and registered with this process's module object.
#include "Common/Components/ComponentObject.h"
#include "Common/Components/InterfacePtr.h"
#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// The test component's class id, one registered by no one, and the id of its own interface.
const GUID CLSID_TestComponent = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
const GUID CLSID_Unknown = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x7F}};
const GUID IID_ITestExtra = {0xA1B2C3D4, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

struct ITestExtra : IComponentBase {
    virtual int STDMETHODCALLTYPE Value() = 0;
};

std::atomic<int> g_alive{0};
std::atomic<bool> g_sawZeroFill{false};
// How the next test components fail: E_OUTOFMEMORY throws std::bad_alloc from the constructor, any
// other failure is returned by FinalConstruct.
std::atomic<HRESULT> g_failure{S_OK};

} // namespace

RW_INTERFACE_ID(ITestExtra, IID_ITestExtra);

namespace {

class CTestComponent : public CComponentBase, public IConfigurableComponent, public ITestExtra {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, ITestExtra>;
    RW_COMPONENT_OBJECT_TAG(CTestComponent);

    CTestComponent() {
        if (g_failure == E_OUTOFMEMORY)
            throw std::bad_alloc();
        g_sawZeroFill = std::all_of(std::begin(m_notInitialised), std::end(m_notInitialised), [](int word) { return word == 0; });
        ++g_alive;
    }
    ~CTestComponent() override { --g_alive; }
    HRESULT FinalConstruct() { return g_failure; }

    HRESULT STDMETHODCALLTYPE Configure(IKvNode*) override { return S_OK; }
    int STDMETHODCALLTYPE Value() override { return 42; }

private:
    int m_notInitialised[16]; // left to the zero-filled allocation
};

RW_REGISTER_COMPONENT(CTestComponent, CLSID_TestComponent);

CComponentsModule& Module() {
    return CComponentsModule::Instance();
}

// A new object of classId queried for I through the module object; empty on failure.
template <class I = IComponentBase>
InterfacePtr<I> Create(const GUID& classId = CLSID_TestComponent) {
    InterfacePtr<I> object;
    EXPECT_EQ(Module().CreateInstance(&classId, &InterfaceId<I>::Value, object.PutVoid()), S_OK);
    return object;
}

ULONG References(IComponentBase* object) {
    object->AddRef();
    return object->Release();
}

// Dumps the alive objects and expects the tracker's WARN records of objects, in this order; none
// when it is empty.
void ExpectDump(const std::vector<const void*>& objects) {
    CModuleLogTail log;
    EXPECT_EQ(Module().DumpAliveObjects(), S_OK);
    const std::wstring record = L"[^|\r\n]*\\| WARN \\|[ 0-9]*\\| DbgAliveObjectsTracker:[0-9]+ *\\| ";
    std::wstring expected = objects.empty() ? L"" : record + L"Alive component objects: " + std::to_wstring(objects.size()) + L"\r\n";
    for (const void* object : objects) {
        expected += record + L"ObjTag='CComponentObject<class CTestComponent>::CComponentObject' Ptr=" + Hex16(object) +
                    L" EIPs=(0x[0-9A-F]{16};){3}0x[0-9A-F]{16}\r\n";
    }
    // A log file that the dump creates starts with the banner.
    EXPECT_TRUE(std::regex_match(log.Text(), std::wregex(L"(\\*{100}\r\n[\\s\\S]*\\*{100}\r\n)?" + expected))) << log.Text();
}

} // namespace

TEST(ComponentObjectTests, LifetimeAndInterfaces) {
    const ULONG locks = Module().LockCount();
    IConfigurableComponent* component = Create<IConfigurableComponent>().Detach();
    ASSERT_NE(component, nullptr);
    EXPECT_TRUE(g_sawZeroFill) << "the object's memory must be zero-filled before construction";
    BOOL locked = FALSE;
    EXPECT_TRUE(Module().IsLocked(&locked) == S_OK && locked) << "a live component locks the module";

    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(component->QueryInterface(&IID_IComponentsModule, &out), E_NOINTERFACE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234)) << "a failed query must leave *out unchanged";
    EXPECT_EQ(component->QueryInterface(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(component->QueryInterface(&IID_ITestExtra, nullptr), E_INVALIDARG);
    {
        const InterfacePtr<IConfigurableComponent> configurable(component, false);
        const InterfacePtr<ITestExtra> extra = configurable.Query<ITestExtra>();
        EXPECT_EQ(extra->Value(), 42) << "the id must map to the matching base";
        const InterfacePtr<IComponentBase> primary = configurable.Query<IComponentBase>();
        EXPECT_EQ(primary.Get(), extra.Query<IComponentBase>().Get()) << "one primary interface, whichever interface is asked";
        EXPECT_NE(static_cast<void*>(primary.Get()), static_cast<void*>(extra.Get()));
    }
    EXPECT_EQ(component->AddRef(), 2u) << "each successful query must add one reference";
    EXPECT_EQ(component->Release(), 1u);
    EXPECT_TRUE(g_alive == 1 && Module().LockCount() == locks + 1) << "a Release that leaves a reference must not destroy";
    EXPECT_EQ(component->Release(), 0u);
    EXPECT_TRUE(g_alive == 0 && Module().LockCount() == locks) << "the Release that returns 0 must have destroyed the object";
}

// Creation that cannot complete leaves no object behind and the lock count unchanged.
TEST(ComponentObjectTests, FailedCreationLeavesNothing) {
    const ULONG locks = Module().LockCount();
    // The component's failure, the interface asked for, the result: bad_alloc must not cross the interface.
    const std::tuple<HRESULT, const GUID*, HRESULT> cases[] = {
        {S_OK, &IID_IComponentsModule, E_NOINTERFACE}, {E_ACCESSDENIED, &IID_IConfigurableComponent, E_ACCESSDENIED},
        {E_OUTOFMEMORY, &IID_IConfigurableComponent, E_OUTOFMEMORY}, {S_OK, nullptr, E_INVALIDARG}};
    for (const auto& [failure, iid, expected] : cases) {
        g_failure = failure;
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(Module().CreateInstance(&CLSID_TestComponent, iid, &out), expected);
        EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
        EXPECT_TRUE(Module().LockCount() == locks && g_alive == 0) << "an object was left behind";
    }
    g_failure = S_OK;
}

// A registration replaces the creator registered before it and ends with its scope.
TEST(ComponentObjectTests, RegisterAndUnregister) {
    {
        CComponentClassRegistration registration(CLSID_Unknown, [](const GUID*, void**) { return E_ACCESSDENIED; });
        Module().RegisterClass(CLSID_Unknown, &CComponentObject<CTestComponent>::Create);
        EXPECT_TRUE(Create(CLSID_Unknown));
    }
    void* out = nullptr;
    EXPECT_EQ(Module().CreateInstance(&CLSID_Unknown, &IID_IComponentBase, &out), REGDB_E_CLASSNOTREG);
    Module().UnregisterClass(CLSID_Unknown); // no longer registered: nothing happens
}

TEST(ComponentObjectTests, ConcurrentCreateAndRelease) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                const InterfacePtr<IComponentBase> first = Create(), second = Create(), copy = first;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_TRUE(Module().LockCount() == 0 && g_alive == 0);
}

TEST(InterfacePtrTests, EveryReferenceIsReleasedOnce) {
    {
        InterfacePtr<IComponentBase> held = Create(), copy(held), other = Create();
        copy = static_cast<const InterfacePtr<IComponentBase>&>(copy);
        EXPECT_EQ(References(held.Get()), 2u) << "assigning an alias keeps the reference";
        *copy.Put() = other.Detach();
        EXPECT_EQ(References(held.Get()), 1u) << "Put releases what it held";
        const InterfacePtr<IComponentBase> moved(copy.Detach(), true);
        EXPECT_EQ(References(moved.Get()), 1u) << "Detach hands the reference over";
        const InterfacePtr<ITestExtra> queried = held.Query<ITestExtra>();
        EXPECT_EQ(Raised([&] { static_cast<void>(held.Query<IKvModifySink>()); }), E_NOINTERFACE);
        EXPECT_EQ(References(held.Get()), 2u) << "a failed query adds nothing";
    }
    EXPECT_EQ(g_alive, 0) << "a reference was not released";
}

// Tracking is off in this process and on in a child process with the setting.
TEST(DbgAliveObjectsTrackerTests, Dump) {
    const InterfacePtr<IComponentBase> object = Create();
    ExpectDump({});
    ExpectChildPasses(TestExecutablePath(), L"DbgAliveObjectsTrackerChild.On", {{L"GS_Debug_EnableAliveObjectsTracking", L"1"}});
}

TEST(DbgAliveObjectsTrackerChild, On) {
    RW_CHILD_ONLY();
    ExpectDump({}); // no live object: not even the count record
    InterfacePtr<IComponentBase> low = Create(), high = Create();
    if (high.Get() < low.Get())
        std::swap(low, high);
    ExpectDump({low.Get(), high.Get()}); // ascending address order
    low.Reset();
    ExpectDump({high.Get()}); // a released object leaves the map
}
