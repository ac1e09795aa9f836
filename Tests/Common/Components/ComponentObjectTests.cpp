// The component registry, CComponentObject<T>, alive objects tracking and InterfacePtr<T>, over a
// component class defined here and registered with this process's module object.
#include "Common/Components/ComponentObject.h"
#include "Common/Components/InterfacePtr.h"
#include "Support/ModuleLogTail.h"

#include <tuple>

namespace {

// The test component's class id, and one registered by no one.
const GUID CLSID_TestComponent = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
const GUID CLSID_Unknown = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x7F}};

// How the next test components fail: E_OUTOFMEMORY throws std::bad_alloc from the constructor, any
// other failure is returned by FinalConstruct.
std::atomic<HRESULT> g_failure{S_OK};

// Its two interfaces answer differently, so a query that maps an id to the wrong base shows.
class CTestComponent : public CComponentBase, public IConfigurableComponent, public ICancelableComponent {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, ICancelableComponent>;
    RW_COMPONENT_OBJECT_TAG(CTestComponent);

    CTestComponent() {
        if (g_failure == E_OUTOFMEMORY)
            throw std::bad_alloc();
    }
    HRESULT FinalConstruct() { return g_failure; }
    HRESULT STDMETHODCALLTYPE Configure(IKvNode*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_FALSE; }
};

RW_REGISTER_COMPONENT(CTestComponent, CLSID_TestComponent);

CComponentsModule& g_module = CComponentsModule::Instance();

// A new object of classId queried for I through the module object; empty on failure.
template <class I = IComponentBase>
InterfacePtr<I> Create(const GUID& classId = CLSID_TestComponent) {
    InterfacePtr<I> object;
    EXPECT_EQ(g_module.CreateInstance(&classId, &InterfaceId<I>::Value, object.PutVoid()), S_OK);
    return object;
}

// Dumps the alive objects and expects the tracker's WARN records of objects, in this order; none
// when it is empty. A log file that the dump creates starts with the banner.
void ExpectDump(const std::vector<const void*>& objects) {
    CModuleLogTail log;
    EXPECT_EQ(g_module.DumpAliveObjects(), S_OK);
    const std::wstring record = L"[^|\r\n]*\\| WARN \\|[ 0-9]*\\| DbgAliveObjectsTracker:[0-9]+ *\\| ";
    std::wstring expected = objects.empty() ? L"" : record + L"Alive component objects: " + std::to_wstring(objects.size()) + L"\r\n";
    for (const void* object : objects)
        expected += record + L"ObjTag='CComponentObject<class CTestComponent>::CComponentObject' Ptr=" + Hex16(object) +
                    L" EIPs=(0x[0-9A-F]{16};){3}0x[0-9A-F]{16}\r\n";
    EXPECT_TRUE(std::regex_match(log.Text(), std::wregex(L"(\\*{100}\r\n[\\s\\S]*\\*{100}\r\n)?" + expected))) << log.Text();
}

} // namespace

// A component locks the module from its creation to the Release that returns 0; its interface ids map
// to its bases, with one primary interface.
TEST(ComponentObjectTests, LifetimeAndInterfaces) {
    const ULONG locks = g_module.LockCount();
    BOOL locked = TRUE;
    EXPECT_TRUE(locks != 0 || (g_module.IsLocked(&locked) == S_OK && !locked)) << "locked without a component";
    IConfigurableComponent* component = Create<IConfigurableComponent>().Detach();
    ASSERT_NE(component, nullptr);
    EXPECT_TRUE(g_module.IsLocked(&locked) == S_OK && locked) << "a live component locks the module";
    EXPECT_EQ(component->QueryInterface(&IID_IComponentBase, nullptr), E_INVALIDARG);
    {
        const InterfacePtr<IConfigurableComponent> configurable(component, false);
        const InterfacePtr<ICancelableComponent> cancelable = configurable.Query<ICancelableComponent>();
        EXPECT_TRUE(configurable->Configure(nullptr) == S_OK && cancelable->Cancel() == S_FALSE) << "an id mapped to the wrong base";
        const InterfacePtr<IComponentBase> primary = configurable.Query<IComponentBase>();
        EXPECT_EQ(primary.Get(), cancelable.Query<IComponentBase>().Get()) << "one primary interface, whichever interface is asked";
        EXPECT_EQ(component->AddRef(), 5u) << "each successful query and owner must add one reference, a failed one none";
        EXPECT_EQ(component->Release(), 4u);
    }
    EXPECT_EQ(component->Release(), 0u) << "every owner must have released its reference once";
    EXPECT_EQ(g_module.LockCount(), locks) << "the Release that returns 0 must have destroyed the object";
}

// Creation that cannot complete leaves no object behind and the lock count unchanged; bad_alloc does
// not cross the interface.
TEST(ComponentObjectTests, FailedCreationLeavesNothing) {
    const ULONG locks = g_module.LockCount();
    // The component's failure, the class and the interface asked for, the result.
    const std::tuple<HRESULT, const GUID*, const GUID*, HRESULT> cases[] = {
        {S_OK, &CLSID_TestComponent, &IID_IComponentsModule, E_NOINTERFACE}, {S_OK, &CLSID_TestComponent, nullptr, E_INVALIDARG},
        {E_ACCESSDENIED, &CLSID_TestComponent, &IID_IConfigurableComponent, E_ACCESSDENIED},
        {E_OUTOFMEMORY, &CLSID_TestComponent, &IID_IConfigurableComponent, E_OUTOFMEMORY},
        {S_OK, &CLSID_Unknown, &IID_IComponentBase, REGDB_E_CLASSNOTREG}};
    for (const auto& [failure, classId, iid, expected] : cases) {
        g_failure = failure;
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(g_module.CreateInstance(classId, iid, &out), expected);
        EXPECT_TRUE(out == reinterpret_cast<void*>(0x1234) && g_module.LockCount() == locks) << "an object or a pointer was left behind";
    }
    g_failure = S_OK;
}

// Tracking is on in a child process with the setting, and off in this process.
TEST(DbgAliveObjectsTrackerTests, Dump) {
    {
        const CScopedEnvironment tracking(L"GS_Debug_EnableAliveObjectsTracking", L"1");
        ExpectPassesInChild([] {
            ExpectDump({}); // no live object: not even the count record
            InterfacePtr<IComponentBase> low = Create(), high = Create();
            if (high.Get() < low.Get())
                std::swap(low, high);
            ExpectDump({low.Get(), high.Get()}); // ascending address order
            low.Reset();
            ExpectDump({high.Get()}); // a released object leaves the map
        });
    }
    const InterfacePtr<IComponentBase> object = Create();
    ExpectDump({});
}
