// Tests of components that resolve accounts against a CFakeDirectory. Only code linked with the
// module's sources can put the directory in the system's place, so these components are created
// through the test executable's own copy of the module (the same sources and binary interfaces as
// Rolewarden.dll); their records go to <test executable name>.log. On top of the component host
// checks, which here wait for that module copy to be unlocked, each test ends with every network
// buffer of the directory freed.
#pragma once

#include "Common/Components/ComponentsModule.h"
#include "Support/ComponentHostTest.h"
#include "Support/DataTrees.h"
#include "Support/FakeDirectory.h"
#include "Support/ModuleLogTail.h"

class FakeDirectoryTest : public ComponentHostTest {
protected:
    IComponentsModule* Module() override { return &CComponentsModule::Instance(); }
    void TearDown() override {
        ComponentHostTest::TearDown();
        EXPECT_EQ(m_directory.BufferFaults(), 0) << "network buffers not freed, or freed that were never handed out";
    }

    CFakeDirectory m_directory;
};

// A refresher configuration of Data/RefresherConfigs.tree, by name.
inline KvNodePtr RefresherConfig(const wchar_t* name) {
    return DataTree(L"RefresherConfigs.tree").GetChildByName(name, true);
}
