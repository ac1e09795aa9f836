// Alive objects tracking through the module object's DumpAliveObjects, off (this process's default)
// and on (in a child process with the setting).
#include "Common/Components/ComponentObject.h"

#include "Support/ModuleLogTail.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class CTrackedComponent : public CComponentBase {
public:
    using Interfaces = InterfaceTable<>;
    RW_COMPONENT_OBJECT_TAG(CTrackedComponent);
};

IComponentBase* Create() {
    IComponentBase* object = nullptr;
    EXPECT_EQ(CComponentObject<CTrackedComponent>::Create(&IID_IComponentBase, reinterpret_cast<void**>(&object)), S_OK);
    return object;
}

// Dumps the alive objects and expects the records of objects, in this order; none when it is empty.
void ExpectDump(const std::vector<const void*>& objects) {
    CModuleLogTail log;
    EXPECT_EQ(CComponentsModule::Instance().DumpAliveObjects(), S_OK);
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), objects.empty() ? 0 : objects.size() + 1);
    for (const auto& record : records)
        EXPECT_TRUE(record.severity == L"WARN" && record.source == L"DbgAliveObjectsTracker");
    if (!objects.empty()) {
        EXPECT_EQ(records[0].message, L"Alive component objects: " + std::to_wstring(objects.size()));
    }
    for (size_t i = 0; i < objects.size(); ++i) {
        const std::wstring expected = L"ObjTag='CComponentObject<class CTrackedComponent>::CComponentObject' Ptr=" +
                                      Hex16(objects[i]) + LR"( EIPs=(0x[0-9A-F]{16};){3}0x[0-9A-F]{16})";
        EXPECT_TRUE(std::regex_match(records[i + 1].message, std::wregex(expected))) << records[i + 1].message;
    }
}

} // namespace

TEST(DbgAliveObjectsTrackerTests, Off) {
    IComponentBase* object = Create();
    ExpectDump({});
    object->Release();
    ExpectChildPasses(TestExecutablePath(), L"DbgAliveObjectsTrackerChild.On", {{L"GS_Debug_EnableAliveObjectsTracking", L"1"}});
}

TEST(DbgAliveObjectsTrackerChild, On) {
    RW_CHILD_ONLY();
    ExpectDump({}); // no live object: not even the count record
    IComponentBase* const first = Create();
    IComponentBase* const second = Create();
    const auto [low, high] = std::minmax(first, second);
    ExpectDump({low, high}); // ascending address order
    low->Release();
    ExpectDump({high}); // a released object leaves the map
    high->Release();
}
