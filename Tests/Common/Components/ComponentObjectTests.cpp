// The component registry and CComponentObject<T>, over component classes defined here and registered
// with this process's module object.
#include "Common/Components/ComponentObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

namespace {

// {A1B2C3D4-0001-4000-8000-000000000001} and following: class ids of the test components.
const GUID CLSID_TestComponent = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};
const GUID CLSID_FailingComponent = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}};
const GUID CLSID_ThrowingComponent = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x03}};
const GUID CLSID_Unknown = {0xA1B2C3D4, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x7F}};
const GUID IID_ITestExtra = {0xA1B2C3D4, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}};

struct ITestExtra : IComponentBase {
    virtual int STDMETHODCALLTYPE Value() = 0;
};

std::atomic<int> g_alive{0};
std::atomic<int> g_destroyed{0};
std::atomic<bool> g_sawZeroFill{false};

} // namespace

RW_INTERFACE_ID(ITestExtra, IID_ITestExtra);

namespace {

class CTestComponent : public CComponentBase, public IConfigurableComponent, public ITestExtra {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, ITestExtra>;
    RW_COMPONENT_OBJECT_TAG(CTestComponent);

    CTestComponent() {
        bool zero = true;
        for (int word : m_notInitialised)
            zero = zero && word == 0;
        g_sawZeroFill = zero;
        ++g_alive;
    }
    ~CTestComponent() override {
        --g_alive;
        ++g_destroyed;
    }

    HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) override { return config ? S_OK : E_POINTER; }
    int STDMETHODCALLTYPE Value() override { return 42; }

private:
    int m_notInitialised[16]; // left to the zero-filled allocation
};

class CFailingComponent : public CTestComponent {
public:
    HRESULT FinalConstruct() { return E_ACCESSDENIED; }
};

class CThrowingComponent : public CTestComponent {
public:
    CThrowingComponent() { throw std::bad_alloc(); }
};

RW_REGISTER_COMPONENT(CTestComponent, CLSID_TestComponent);
RW_REGISTER_COMPONENT(CFailingComponent, CLSID_FailingComponent);
RW_REGISTER_COMPONENT(CThrowingComponent, CLSID_ThrowingComponent);

IComponentsModule& Module() {
    return CComponentsModule::Instance();
}

BOOL IsLocked() {
    BOOL locked = 2;
    EXPECT_EQ(Module().IsLocked(&locked), S_OK);
    return locked;
}

} // namespace

TEST(ComponentObjectTests, LifetimeLocksTheModule) {
    ASSERT_FALSE(IsLocked());
    EXPECT_EQ(Module().IsLocked(nullptr), E_POINTER);

    IConfigurableComponent* component = nullptr;
    ASSERT_EQ(Module().CreateInstance(&CLSID_TestComponent, &IID_IConfigurableComponent,
                                      reinterpret_cast<void**>(&component)),
              S_OK);
    EXPECT_TRUE(g_sawZeroFill) << "the object's memory must be zero-filled before construction";
    EXPECT_TRUE(IsLocked());
    EXPECT_EQ(component->Configure(nullptr), E_POINTER);

    EXPECT_EQ(component->AddRef(), 2u);
    const int destroyedBefore = g_destroyed;
    EXPECT_EQ(component->Release(), 1u);
    EXPECT_EQ(g_destroyed, destroyedBefore) << "a Release that leaves a reference must not destroy";
    EXPECT_TRUE(IsLocked());
    EXPECT_EQ(component->Release(), 0u);
    EXPECT_EQ(g_destroyed, destroyedBefore + 1) << "the Release that returns 0 must have destroyed the object";
    EXPECT_FALSE(IsLocked());
    EXPECT_EQ(g_alive, 0);
}

TEST(ComponentObjectTests, QueryInterface) {
    IConfigurableComponent* component = nullptr;
    ASSERT_EQ(Module().CreateInstance(&CLSID_TestComponent, &IID_IConfigurableComponent,
                                      reinterpret_cast<void**>(&component)),
              S_OK);

    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(component->QueryInterface(&IID_IComponentsModule, &out), E_NOINTERFACE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234)) << "a failed query must leave *out unchanged";
    EXPECT_EQ(component->QueryInterface(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(component->QueryInterface(&IID_ITestExtra, nullptr), E_INVALIDARG);

    ITestExtra* extra = nullptr;
    ASSERT_EQ(component->QueryInterface(&IID_ITestExtra, reinterpret_cast<void**>(&extra)), S_OK);
    EXPECT_EQ(extra->Value(), 42) << "the id must map to the matching base";

    // The base id gives one primary interface, whichever interface is asked.
    IComponentBase* primary1 = nullptr;
    IComponentBase* primary2 = nullptr;
    ASSERT_EQ(component->QueryInterface(&IID_IComponentBase, reinterpret_cast<void**>(&primary1)), S_OK);
    ASSERT_EQ(extra->QueryInterface(&IID_IComponentBase, reinterpret_cast<void**>(&primary2)), S_OK);
    EXPECT_EQ(primary1, primary2);
    EXPECT_NE(static_cast<void*>(primary1), static_cast<void*>(extra));

    // Four references now: creation and three successful queries.
    primary1->Release();
    primary2->Release();
    extra->Release();
    EXPECT_EQ(component->Release(), 0u);
    EXPECT_FALSE(IsLocked());
}

// Creation that cannot complete leaves no object behind and the lock count unchanged.
TEST(ComponentObjectTests, FailedCreationLeavesNothing) {
    const ULONG locks = CComponentsModule::Instance().LockCount();
    const int destroyedBefore = g_destroyed;
    void* out = reinterpret_cast<void*>(0x1234);

    EXPECT_EQ(Module().CreateInstance(&CLSID_TestComponent, &IID_IComponentsModule, &out), E_NOINTERFACE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(g_destroyed, destroyedBefore + 1) << "the object of a failed query must be destroyed";

    EXPECT_EQ(Module().CreateInstance(&CLSID_FailingComponent, &IID_IConfigurableComponent, &out), E_ACCESSDENIED);
    EXPECT_EQ(g_destroyed, destroyedBefore + 2) << "a failed post-construction step must destroy the object";

    EXPECT_EQ(Module().CreateInstance(&CLSID_ThrowingComponent, &IID_IConfigurableComponent, &out), E_OUTOFMEMORY)
        << "an allocation failure must not cross the interface as an exception";

    EXPECT_EQ(Module().CreateInstance(&CLSID_Unknown, &IID_IConfigurableComponent, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Module().CreateInstance(&CLSID_TestComponent, nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(CComponentsModule::Instance().LockCount(), locks);
    EXPECT_EQ(g_alive, 0);
}

TEST(ComponentObjectTests, RegisterAndUnregister) {
    CComponentsModule& module = CComponentsModule::Instance();
    void* out = nullptr;
    {
        CComponentClassRegistration registration(CLSID_Unknown, &CComponentObject<CTestComponent>::Create);
        ASSERT_EQ(module.CreateInstance(&CLSID_Unknown, &IID_IComponentBase, &out), S_OK);
        static_cast<IComponentBase*>(out)->Release();
    }
    EXPECT_EQ(module.CreateInstance(&CLSID_Unknown, &IID_IComponentBase, &out), REGDB_E_CLASSNOTREG);

    // Registering again replaces the creator.
    module.RegisterClass(CLSID_Unknown, &CComponentObject<CFailingComponent>::Create);
    module.RegisterClass(CLSID_Unknown, &CComponentObject<CTestComponent>::Create);
    ASSERT_EQ(module.CreateInstance(&CLSID_Unknown, &IID_IComponentBase, &out), S_OK);
    static_cast<IComponentBase*>(out)->Release();
    module.UnregisterClass(CLSID_Unknown);
    module.UnregisterClass(CLSID_Unknown);
    EXPECT_EQ(module.CreateInstance(&CLSID_Unknown, &IID_IComponentBase, &out), REGDB_E_CLASSNOTREG);
}

TEST(ComponentObjectTests, ConcurrentCreateAndRelease) {
    constexpr int Threads = 8;
    constexpr int Rounds = 2000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < Rounds; ++i) {
                IComponentBase* first = nullptr;
                IComponentBase* second = nullptr;
                if (Module().CreateInstance(&CLSID_TestComponent, &IID_IComponentBase, reinterpret_cast<void**>(&first)) != S_OK ||
                    Module().CreateInstance(&CLSID_TestComponent, &IID_IComponentBase, reinterpret_cast<void**>(&second)) != S_OK) {
                    ++failures;
                    continue;
                }
                first->AddRef();
                first->Release();
                first->Release();
                second->Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(CComponentsModule::Instance().LockCount(), 0u);
    EXPECT_EQ(g_alive, 0);
    EXPECT_FALSE(IsLocked());
}
