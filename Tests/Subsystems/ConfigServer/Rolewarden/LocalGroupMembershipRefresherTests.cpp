// The local group membership refresher against the configuration server stand-in and the fake
// directory (Wine's local group functions are stubs): the document it publishes, groups that fail,
// writes only on change, the stored document read once, cancellation, and its configuration.
#include "Support/FakeDirectoryTest.h"
#include "Support/TreeCompare.h"

constexpr const wchar_t* TargetPath = L"\\Config\\Security\\LocalGroups";

using LocalGroupMembershipRefresherTest = FakeDirectoryTest;

// Data/LocalGroups.tree: carol is in both groups, erin in Auditors, alice (a domain user) in
// Operators; the other members of Operators are no users, Missing does not exist and Broken has an
// invalid member; Lonely is asked for only by a refresher whose Configure failed. The stored document
// is what the refresher builds, so it writes nothing until the membership changes; having read it
// once, it does not write it again when it is deleted behind its back, not even after Configure has
// replaced its worker. A worker over no groups would replace it with an empty document.
TEST_F(LocalGroupMembershipRefresherTest, MembershipPublishedOnlyWhenItChanges) {
    // The directory, the stored document, erin leaving Auditors and the document then, and Auditors
    // left empty.
    const std::vector<KvNodePtr> data = DataTrees(L"LocalGroups.tree");
    m_directory.Load(data.at(0));
    Write(data.at(1));
    ClearWrites();
    const CModuleLogTail log;
    auto failing = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(failing->Configure(nullptr), E_POINTER);
    EXPECT_EQ(failing->Configure(RefresherConfig(L"GroupsWithoutTarget").Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(failing->Configure(RefresherConfig(L"GroupsWithoutList").Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(log.Messages(L"ERR", L"CLocalGroupMembershipRefresher::Configure failed: 0x80070490").size(), 2u);
    auto idle = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(idle->Configure(RefresherConfig(L"NoGroups").Get()), S_OK);
    auto refresher = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Groups").Get()), S_OK);

    // Each run asks for Operators twice, its information and its members: the third call starts the
    // second run, so the first has ended.
    ASSERT_TRUE(m_directory.WaitFor(L"Operators", 3));
    EXPECT_TRUE(Writes().empty()) << "the stored document differs from the built one: " << TreeText(Query(TargetPath));
    for (const wchar_t* debug : {L"Querying group info for 'Missing' failed: 0x800708AC", L"Querying group info for 'Broken' failed: 0x80070057",
                                 L"Local user->group mapping: 'Operators'->'alice' (S-1-5-21-1-2-3-2001->S-1-5-21-10-20-30-1001)"})
        EXPECT_FALSE(log.Messages(L"DBG", debug).empty()) << "not logged: " << testing::PrintToString(debug);
    Delete(TargetPath);
    const int beforeConfigure = m_directory.Calls(L"Operators");
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Groups").Get()), S_OK);
    // A run of the replaced worker asks for Operators at most twice more, so after five more calls the
    // new worker has ended its first run.
    ASSERT_TRUE(m_directory.WaitFor(L"Operators", beforeConfigure + 5));
    EXPECT_EQ(Writes(), (std::vector<SServerWrite>{{2, TargetPath}})) << "the new worker read the deleted document again";
    m_directory.Load(data.at(2));
    ASSERT_TRUE(WaitUntil([&] { return IsSameTree(Query(TargetPath), data.at(3)); })) << TreeText(Query(TargetPath));

    // Canceled while it resolves its last group, a run writes nothing, although the membership changed.
    auto cancel = refresher.Query<ICancelableComponent>();
    const int canceledAt = m_directory.Calls(L"Auditors") + 1;
    CGate canceled;
    m_directory.OnCall(L"Auditors", [&] {
        if (m_directory.Calls(L"Auditors") == canceledAt) {
            m_directory.Load(data.at(4));
            cancel->Cancel();
            canceled.Arrive();
        }
    });
    ASSERT_TRUE(canceled.WaitArrivals(1));
    failing.Reset();
    idle.Reset();
    refresher.Reset();
    cancel.Reset();
    ASSERT_TRUE(WaitForUnlock(CComponentsModule::Instance()));
    EXPECT_EQ(m_directory.Calls(L"Lonely"), 0) << "a failed configuration must leave nothing running";
    EXPECT_EQ(Writes(), (std::vector<SServerWrite>{{2, TargetPath}, {1, TargetPath}}));
}
