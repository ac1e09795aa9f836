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

std::vector<CModuleLogTail::SRecord> Dump() {
    CModuleLogTail log;
    EXPECT_EQ(CComponentsModule::Instance().DumpAliveObjects(), S_OK);
    return log.Records();
}

std::wstring ObjectRecord(const void* object) {
    return L"ObjTag='CComponentObject<class CTrackedComponent>::CComponentObject' Ptr=" + Hex16(object) + L" EIPs=";
}

} // namespace

TEST(DbgAliveObjectsTrackerTests, Off) {
    IComponentBase* object = Create();
    EXPECT_TRUE(Dump().empty());
    object->Release();
    ExpectChildPasses(TestExecutablePath(), L"DbgAliveObjectsTrackerChild.On", {{L"GS_Debug_EnableAliveObjectsTracking", L"1"}});
}

TEST(DbgAliveObjectsTrackerChild, On) {
    RW_CHILD_ONLY();
    EXPECT_TRUE(Dump().empty()) << "no live object: not even the count record";
    IComponentBase* const first = Create();
    IComponentBase* const second = Create();
    const auto [low, high] = std::minmax(first, second);
    std::vector<CModuleLogTail::SRecord> records = Dump();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, L"Alive component objects: 2");
    const std::wstring addresses = LR"((0x[0-9A-F]{16};){3}0x[0-9A-F]{16})";
    EXPECT_TRUE(std::regex_match(records[1].message, std::wregex(ObjectRecord(low) + addresses))) << "ascending address order";
    EXPECT_TRUE(std::regex_match(records[2].message, std::wregex(ObjectRecord(high) + addresses))) << records[2].message;
    for (const auto& record : records)
        EXPECT_TRUE(record.severity == L"WARN" && record.source == L"DbgAliveObjectsTracker");

    low->Release();
    records = Dump();
    ASSERT_EQ(records.size(), 2u) << "a released object must leave the map";
    EXPECT_EQ(records[0].message, L"Alive component objects: 1");
    EXPECT_EQ(records[1].message.substr(0, ObjectRecord(high).size()), ObjectRecord(high));
    high->Release();
}
