// Alive objects tracking through the module object's DumpAliveObjects, off (this process's default)
// and on (in a child process with the setting).
#include "Common/Components/ComponentObject.h"

#include "Support/ModuleLogTail.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

class CTrackedComponent : public CComponentBase {
public:
    using Interfaces = InterfaceTable<>;
    RW_COMPONENT_OBJECT_TAG(CTrackedComponent);
};

struct SObject {
    IComponentBase* pointer = nullptr;
    SObject() { EXPECT_EQ(CComponentObject<CTrackedComponent>::Create(&IID_IComponentBase, reinterpret_cast<void**>(&pointer)), S_OK); }
    ~SObject() { Release(); }
    void Release() {
        if (pointer)
            pointer->Release();
        pointer = nullptr;
    }
};

std::wstring Hex16(const void* pointer) {
    wchar_t text[20];
    swprintf(text, 20, L"%016llX", reinterpret_cast<unsigned long long>(pointer));
    return text;
}

// The records of one dump.
std::vector<CModuleLogTail::SRecord> Dump() {
    CModuleLogTail log;
    EXPECT_EQ(CComponentsModule::Instance().DumpAliveObjects(), S_OK);
    return log.Records();
}

void ExpectObjectRecord(const CModuleLogTail::SRecord& record, const void* object) {
    EXPECT_EQ(record.severity, L"WARN");
    EXPECT_EQ(record.source, L"DbgAliveObjectsTracker");
    const std::wstring start = L"ObjTag='CComponentObject<class CTrackedComponent>::CComponentObject' Ptr=" + Hex16(object) + L" EIPs=";
    EXPECT_EQ(record.message.substr(0, start.size()), start);
    EXPECT_TRUE(std::regex_match(record.message.substr(std::min(start.size(), record.message.size())),
                                 std::wregex(L"(0x[0-9A-F]{16};){3}0x[0-9A-F]{16}")))
        << "four addresses separated by ';' expected: " << record.message;
}

} // namespace

TEST(DbgAliveObjectsTrackerTests, OffWritesNothing) {
    EXPECT_EQ(CDbgAliveObjectsTracker::Active(), nullptr);
    SObject a, b;
    EXPECT_TRUE(Dump().empty());
}

TEST(DbgAliveObjectsTrackerTests, On) {
    ExpectChildPasses(TestExecutablePath(), L"DbgAliveObjectsTrackerChild.On", {{L"GS_Debug_EnableAliveObjectsTracking", L"1"}});
}

TEST(DbgAliveObjectsTrackerChild, On) {
    RW_CHILD_ONLY();
    ASSERT_NE(CDbgAliveObjectsTracker::Active(), nullptr);
    EXPECT_TRUE(Dump().empty()) << "no live object: not even the count record";

    SObject first, second;
    auto [low, high] = std::minmax(first.pointer, second.pointer);
    std::vector<CModuleLogTail::SRecord> records = Dump();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].severity, L"WARN");
    EXPECT_EQ(records[0].source, L"DbgAliveObjectsTracker");
    EXPECT_EQ(records[0].message, L"Alive component objects: 2");
    ExpectObjectRecord(records[1], low);
    ExpectObjectRecord(records[2], high);

    low->Release();
    (low == first.pointer ? first : second).pointer = nullptr;
    records = Dump();
    ASSERT_EQ(records.size(), 2u) << "a released object must leave the map";
    EXPECT_EQ(records[0].message, L"Alive component objects: 1");
    ExpectObjectRecord(records[1], high);
}
