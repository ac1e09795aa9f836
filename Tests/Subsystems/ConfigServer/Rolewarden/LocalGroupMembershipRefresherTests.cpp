// The local group membership refresher against the configuration server stand-in and the fake
// directory (Wine's local group functions are stubs): the document it publishes
// (Data/LocalGroups*.expected.tree), groups that fail, writes only on change, the stored document read
// once, cancellation, and its configuration.
#include "Support/FakeDirectoryTest.h"

#include <thread>

namespace {

constexpr const wchar_t* TargetPath = L"\\Config\\Security\\LocalGroups";
constexpr const wchar_t* Carol = L"S-1-5-21-1-2-3-1003";
constexpr const wchar_t* Erin = L"S-1-5-21-1-2-3-1005";
constexpr const wchar_t* Alice = L"S-1-5-21-10-20-30-1001";

KvNodePtr RefresherConfig(const std::vector<std::wstring>* groups, const wchar_t* target = TargetPath) {
    KvNodePtr config = KvNodePtr::Create(L"Config", L"Component");
    if (target != nullptr)
        config.SetString(L"TargetMappingNodePath", target);
    if (groups != nullptr)
        config.SetStringList(L"GroupsToResolve", *groups);
    config.SetUInt32(L"RefreshIntervalS", 1);
    return config;
}

class LocalGroupMembershipRefresherTest : public FakeDirectoryTest {
protected:
    void SetUp() override {
        FakeDirectoryTest::SetUp();
        for (const auto& [sid, name] : {std::pair{L"S-1-5-21-1-2-3-2001", L"Operators"}, {L"S-1-5-21-1-2-3-2002", L"Auditors"},
                                        {L"S-1-5-21-1-2-3-2003", L"Broken"}, {L"S-1-5-21-1-2-3-2004", L"Lonely"}})
            m_directory.AddAccount({sid, L"FAKEPC", name, SidTypeAlias});
        m_directory.SetGroup(L"Operators", {{Carol, SidTypeUser, L"FAKEPC\\carol"},
                                            {L"S-1-5-21-1-2-3-3000", SidTypeGroup, L"FAKEPC\\Nested"},
                                            {L"S-1-1-0", SidTypeWellKnownGroup, L"Everyone"},
                                            {Alice, SidTypeUser, L"CORP\\alice"}});
        m_directory.SetGroup(L"Auditors", {{Carol, SidTypeUser, L"FAKEPC\\carol"}, {Erin, SidTypeUser, L"FAKEPC\\erin"}});
        m_directory.SetGroup(L"Broken", {{Erin, SidTypeUser, L"FAKEPC\\erin", true}});
        m_directory.SetGroup(L"Lonely", {{Erin, SidTypeUser, L"FAKEPC\\erin"}});
    }

    // Carol is in both groups, erin in Auditors, alice (a domain user) in Operators; the other members
    // are no users.
    bool Stored(const wchar_t* document) const { return KvNodePtr::CompareNodes(Query(TargetPath), DataTree(document)); }
    // Waits until the run after the one under way has started, so the one under way has ended.
    void WaitForRuns(int runs) const {
        // Each run asks for Operators twice: its information, then its members.
        ASSERT_TRUE(m_directory.WaitFor([&] { return m_directory.Calls(L"Operators") >= 2 * runs - 1; }));
    }

    const std::vector<std::wstring> m_groups = {L"Operators", L"Missing", L"Broken", L"Auditors"};
};

} // namespace

TEST_F(LocalGroupMembershipRefresherTest, MembershipPublishedAndWrittenOnlyWhenItChanges) {
    const CModuleLogTail log;
    const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    ASSERT_EQ(refresher->Configure(RefresherConfig(&m_groups).Get()), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return Stored(L"LocalGroups.expected.tree"); })) << TreeText(Query(TargetPath));
    EXPECT_TRUE(Logged(log, L"DBG", L"Querying group info for 'Missing' failed: 0x800708AC"));
    EXPECT_TRUE(Logged(log, L"DBG", L"Querying group info for 'Broken' failed: 0x80070057"));
    EXPECT_TRUE(Logged(log, L"DBG", L"Local user->group mapping: 'Operators'->'CORP\\alice' (S-1-5-21-1-2-3-2001->S-1-5-21-10-20-30-1001)"));

    // The stored document was read on the first run only: what this object wrote itself is what it
    // compares with, so a document deleted behind its back is not written again while nothing changes.
    Delete(TargetPath);
    WaitForRuns(3);
    EXPECT_FALSE(Query(TargetPath));
    m_directory.SetGroup(L"Auditors", {{Carol, SidTypeUser, L"FAKEPC\\carol"}});
    ASSERT_TRUE(WaitUntil([&] { return Stored(L"LocalGroups.erinleft.expected.tree"); })) << TreeText(Query(TargetPath));
    EXPECT_EQ(Writes(TargetPath), (std::vector<SServerWrite>{{1, TargetPath}, {2, TargetPath}, {1, TargetPath}}));

    // Canceled while it resolves its last group, a run writes nothing, although the membership
    // changed; later runs ask for nothing at all.
    const auto cancel = refresher.Query<ICancelableComponent>();
    const int canceledAt = m_directory.Calls(L"Auditors") + 1;
    std::atomic<int> operatorsAtCancel{-1};
    m_directory.OnCall(L"Auditors", [&] {
        if (m_directory.Calls(L"Auditors") == canceledAt) {
            m_directory.SetGroup(L"Auditors", {});
            cancel->Cancel();
            operatorsAtCancel = m_directory.Calls(L"Operators");
        }
    });
    ASSERT_TRUE(m_directory.WaitFor([&] { return operatorsAtCancel >= 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(m_directory.Calls(L"Operators"), operatorsAtCancel.load());
    EXPECT_EQ(Writes(TargetPath).size(), 3u);
    EXPECT_TRUE(Stored(L"LocalGroups.erinleft.expected.tree"));
}

TEST_F(LocalGroupMembershipRefresherTest, ConfigurationAndTheStoredDocument) {
    Write(DataTree(L"LocalGroups.expected.tree"));
    // A worker over no groups would replace this one with an empty document.
    Write(R"(<node name="\Config\Lonely" type="SecurityTagMapping"><node name="0000" type="SecurityTagMappingEntry">
             <attr name="SecurityId" code="2">win:sid=S-1-5-21-1-2-3-1005</attr></node></node>)");
    ClearWrites();
    const CModuleLogTail log;
    const std::vector<std::wstring> lonely = {L"Lonely"}, none;
    const auto failing = CreateLinkedComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(failing->Configure(nullptr), E_POINTER);
    EXPECT_EQ(failing->Configure(RefresherConfig(&lonely, nullptr).Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(failing->Configure(RefresherConfig(nullptr, L"\\Config\\Lonely").Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_TRUE(Logged(log, L"ERR", L"CLocalGroupMembershipRefresher::Configure failed: 0x80070490"));
    const auto idle = CreateLinkedComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(idle->Configure(RefresherConfig(&none, L"\\Config\\Lonely").Get()), S_OK) << "no groups: no worker";

    // Its first run reads the stored document, which is what it builds: nothing to write.
    const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    ASSERT_EQ(refresher->Configure(RefresherConfig(&m_groups).Get()), S_OK);
    WaitForRuns(2);
    EXPECT_TRUE(Writes().empty()) << "neither the refresher with the stored document nor the others may write";
    EXPECT_EQ(m_directory.Calls(L"Lonely"), 0) << "a failed or empty configuration must leave nothing running";
}
