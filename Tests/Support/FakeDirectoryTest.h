// Tests of components that resolve accounts against a CFakeDirectory. Only code linked with the
// module's sources can put the directory in the system's place, so these components are created
// through the test executable's own copy of the module (the same sources and binary interfaces as
// Rolewarden.dll); their records go to <test executable name>.log. On top of the component host
// checks, each test ends with that module copy unlocked and every network buffer of the directory
// freed.
#pragma once

#include "Common/Components/ComponentsModule.h"
#include "Support/ComponentHostTest.h"
#include "Support/FakeDirectory.h"

class FakeDirectoryTest : public ComponentHostTest {
protected:
    void TearDown() override {
        EXPECT_EQ(CComponentsModule::Instance().LockCount(), 0u) << "a component object of the linked module is still alive";
        EXPECT_TRUE(m_directory.LiveBuffers() == 0 && m_directory.BadFrees() == 0)
            << m_directory.LiveBuffers() << " network buffers not freed, " << m_directory.BadFrees() << " bad frees";
        ComponentHostTest::TearDown();
    }

    // A new component of the linked module copy, asked for interface I.
    template <class I>
    InterfacePtr<I> CreateLinkedComponent(const GUID& classId) {
        InterfacePtr<I> component;
        EXPECT_EQ(CComponentsModule::Instance().CreateInstance(&classId, &InterfaceId<I>::Value, component.PutVoid()), S_OK);
        return component;
    }

    // proxy answers as "ConfigServer.Proxy" in place of the test's server until the test ends.
    static void UseProxy(IComponentBase* proxy) {
        ASSERT_EQ(CLRevokeNamedInstance(L"ConfigServer.Proxy"), S_OK);
        ASSERT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", proxy), S_OK);
    }

    CFakeDirectory m_directory;
};
