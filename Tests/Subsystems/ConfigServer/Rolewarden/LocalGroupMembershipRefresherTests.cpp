// The local group membership refresher against the configuration server stand-in and the fake
// directory (Wine's local group functions are stubs): the document it publishes
// (Data/LocalGroups*.expected.tree), groups that fail, writes only on change, the stored document read
// once, cancellation, and its configuration.
#include "Support/FakeDirectoryTest.h"
#include "Support/TreeCompare.h"

constexpr const wchar_t* TargetPath = L"\\Config\\Security\\LocalGroups";

using LocalGroupMembershipRefresherTest = FakeDirectoryTest;

// Carol is in both groups, erin in Auditors, alice (a domain user) in Operators; the other members of
// Operators are no users, Missing does not exist and Broken has an invalid member; Lonely is asked for
// only by a refresher whose Configure failed. The stored document is what the refresher builds, so it
// writes nothing until the membership changes; having read it once, it does not write it again when
// it is deleted behind its back, not even after Configure has replaced its worker.
TEST_F(LocalGroupMembershipRefresherTest, MembershipPublishedOnlyWhenItChanges) {
    const std::wstring carol = L"S-1-5-21-1-2-3-1003", erin = L"S-1-5-21-1-2-3-1005";
    for (const auto& [sid, name] : {std::pair{L"S-1-5-21-1-2-3-2001", L"Operators"}, {L"S-1-5-21-1-2-3-2002", L"Auditors"},
                                    {L"S-1-5-21-1-2-3-2003", L"Broken"}})
        m_directory.AddAccount({sid, CFakeDirectory::ComputerName, name, SidTypeAlias});
    m_directory.SetGroup(L"Operators", {{carol, SidTypeUser, L"FAKEPC\\carol"}, {L"S-1-5-21-1-2-3-3000", SidTypeGroup, L"FAKEPC\\Nested"},
                                        {L"S-1-1-0", SidTypeWellKnownGroup, L"Everyone"}, {L"S-1-5-21-10-20-30-1001", SidTypeUser, L"CORP\\alice"}});
    m_directory.SetGroup(L"Auditors", {{carol, SidTypeUser, L"FAKEPC\\carol"}, {erin, SidTypeUser, L"FAKEPC\\erin"}});
    m_directory.SetGroup(L"Broken", {{erin, SidTypeUser, L"FAKEPC\\erin", true}});
    // A worker over no groups would replace it with an empty document.
    Write(DataTree(L"LocalGroups.expected.tree"));
    ClearWrites();
    const CModuleLogTail log;
    const auto failing = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(failing->Configure(nullptr), E_POINTER);
    EXPECT_EQ(failing->Configure(RefresherConfig(L"GroupsWithoutTarget").Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(failing->Configure(RefresherConfig(L"GroupsWithoutList").Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(Logged(log, L"ERR", L"CLocalGroupMembershipRefresher::Configure failed: 0x80070490"), 2);
    const auto idle = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    EXPECT_EQ(idle->Configure(RefresherConfig(L"NoGroups").Get()), S_OK);
    const auto refresher = CreateComponent<IConfigurableComponent>(CLSID_LocalGroupMembershipRefresher);
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Groups").Get()), S_OK);

    // Each run asks for Operators twice, its information and its members: the third call starts the
    // second run, so the first has ended.
    ASSERT_TRUE(m_directory.WaitFor(L"Operators", 3));
    EXPECT_TRUE(Writes().empty()) << "the stored document differs from the built one, or another component wrote: "
                                  << TreeText(Query(TargetPath));
    EXPECT_EQ(m_directory.Calls(L"Lonely"), 0) << "a failed or empty configuration must leave nothing running";
    for (const wchar_t* debug : {L"Querying group info for 'Missing' failed: 0x800708AC", L"Querying group info for 'Broken' failed: 0x80070057",
                                 L"Local user->group mapping: 'Operators'->'CORP\\alice' (S-1-5-21-1-2-3-2001->S-1-5-21-10-20-30-1001)"})
        EXPECT_GE(Logged(log, L"DBG", debug), 1) << "not logged: " << testing::PrintToString(debug);
    Delete(TargetPath);
    const int beforeConfigure = m_directory.Calls(L"Operators");
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Groups").Get()), S_OK);
    // A run of the replaced worker asks for Operators at most twice more, so after five more calls the
    // new worker has ended its first run.
    ASSERT_TRUE(m_directory.WaitFor(L"Operators", beforeConfigure + 5));
    EXPECT_EQ(Writes(TargetPath), (std::vector<SServerWrite>{{2, TargetPath}})) << "the new worker read the deleted document again";
    m_directory.SetGroup(L"Auditors", {{carol, SidTypeUser, L"FAKEPC\\carol"}});
    const KvNodePtr erinLeft = DataTree(L"LocalGroups.erinleft.expected.tree");
    ASSERT_TRUE(WaitUntil([&] { return SameTree(Query(TargetPath), erinLeft); })) << TreeText(Query(TargetPath));

    // Canceled while it resolves its last group, a run writes nothing, although the membership
    // changed; later runs ask for nothing at all. Nothing but the log tells when such a run has ended;
    // the limit of the wait only stops a test that went wrong.
    const auto cancel = refresher.Query<ICancelableComponent>();
    const int canceledAt = m_directory.Calls(L"Auditors") + 1;
    m_directory.OnCall(L"Auditors", [&] {
        if (m_directory.Calls(L"Auditors") == canceledAt) {
            m_directory.SetGroup(L"Auditors", {});
            cancel->Cancel();
        }
    });
    ASSERT_TRUE(m_directory.WaitFor(L"Auditors", canceledAt));
    const int operators = m_directory.Calls(L"Operators");
    const std::wstring run = L"Entering: CLocalGroupMembershipRefresher::Refresh";
    const ptrdiff_t runs = Logged(log, L"DBG", run) + 2;
    for (int wait = 0; wait < 600 && Logged(log, L"DBG", run) < runs; ++wait)
        Sleep(100);
    ASSERT_GE(Logged(log, L"DBG", run), runs) << "no run after the canceled one";
    EXPECT_EQ(m_directory.Calls(L"Operators"), operators) << "a run after Cancel asked for a group";
    EXPECT_EQ(Writes(TargetPath), (std::vector<SServerWrite>{{2, TargetPath}, {1, TargetPath}}));
}
