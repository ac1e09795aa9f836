// The role assignments refresher as the host runs it, against the configuration server stand-in: the
// refresh rules over a folder tree (Data/RefresherFolderTree*.tree) resolved against the fake
// directory, an edit between the two reads, a failing write, cancellation and runs that change
// nothing; and through Rolewarden.dll itself, well-known SIDs and the machine's own account as Wine
// answers them.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Support/FakeDirectoryTest.h"

#include <thread>

namespace {

constexpr const wchar_t* TreePath = L"\\Config\\FolderTree";
constexpr const wchar_t* AliceSid = L"S-1-5-21-10-20-30-1001";
constexpr const wchar_t* BobSid = L"S-1-5-21-10-20-30-1002";
constexpr const wchar_t* DaveSid = L"S-1-5-21-10-20-30-1004";

KvNodePtr RefresherConfig(const std::wstring& treePath) {
    KvNodePtr config = KvNodePtr::Create(L"Config", L"Component");
    config.SetString(L"FoldersTreeNodePath", treePath);
    config.SetUInt32(L"RefreshIntervalS", 1);
    return config;
}

// The display name of the role assignment at path below the tree, "-" when there is none.
std::wstring DisplayName(const KvNodePtr& tree, const wchar_t* path) {
    const KvNodePtr node = tree ? tree.FindNode(path) : KvNodePtr();
    std::wstring name = L"-";
    if (node)
        node.TryGetString(SubjectDisplayNameAttribute, name);
    return name;
}

class RoleAssignmentsRefresherTest : public FakeDirectoryTest {
protected:
    void SetUp() override {
        FakeDirectoryTest::SetUp();
        m_directory.AddAccount({AliceSid, L"CORP", L"alice"});
        m_directory.AddAccount({BobSid, L"CORP", L"bob"});
        m_directory.AddAccount({L"S-1-5-21-1-2-3-1003", L"FAKEPC", L"carol"});
        m_directory.AddAccount({DaveSid, L"CORP", L"dave"});
    }

    // A (alice) and B (bob), both with an outdated display name.
    void WriteTwoAssignments() {
        Write(R"(<node name="\Config\FolderTree"><node name="RoleAssignments">
              <node name="A" type="RoleAssignment"><attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr>
                <attr name="SubjectDisplayName" code="2">old</attr></node>
              <node name="B" type="RoleAssignment"><attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1002</attr>
                <attr name="SubjectDisplayName" code="2">old</attr></node></node></node>)");
        ClearWrites();
    }
};

} // namespace

TEST_F(RoleAssignmentsRefresherTest, RefreshRulesOverAFolderTree) {
    Write(R"(<node name="\Config\Other"><node name="A" type="RoleAssignment">
             <attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr></node></node>)");
    const KvNodePtr other = Query(L"\\Config\\Other");
    Write(DataTree(L"RefresherFolderTree.tree"));
    ClearWrites();
    m_directory.SetResolvable(DaveSid, false);
    const CModuleLogTail log;
    {
        const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
        ASSERT_EQ(refresher->Configure(RefresherConfig(L"\\Config\\Other").Get()), S_OK);
        ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK) << "a second Configure replaces the worker";
        const KvNodePtr firstRun = DataTree(L"RefresherFolderTree.firstrun.expected.tree");
        ASSERT_TRUE(WaitUntil([&] { return KvNodePtr::CompareNodes(Query(TreePath), firstRun); })) << TreeText(Query(TreePath));
        std::vector<SServerWrite> written;
        for (const wchar_t* path : {L"RoleAssignments\\SidOnly", L"RoleAssignments\\SidOnly\\Nested", L"RoleAssignments\\ByName",
                                    L"RoleAssignments\\NoSubjectId", L"Finance\\RoleAssignments\\Mixed", L"Finance\\RoleAssignments\\Dave"})
            written.push_back({4, std::wstring(TreePath) + L"\\" + path});
        EXPECT_EQ(Writes(), written) << "only the changed role assignments, in walk order";
        const std::vector<std::wstring> problems = Problems(log);
        EXPECT_EQ(std::vector<std::wstring>(problems.begin(), problems.begin() + std::min<size_t>(6, problems.size())),
                  (std::vector<std::wstring>{
                      L"WARN Resolving AuthId='win:sid=S-1-5-21-10-20-30-1004' failed: 0x80070534",
                      L"WARN Resolving AuthId='stag:Other' failed: 0x80070057",
                      L"WARN Resolving AuthId='win:sid=S-1-5-21-10-20-30-1004' failed: 0x80070534",
                      L"ERR `anonymous-namespace'::RefreshRoleAssignment failed: 0x80070490",
                      L"WARN Resolving AuthId='win:name=CORP\\nobody' failed: 0x80070534",
                      L"ERR `anonymous-namespace'::RefreshRoleAssignment failed: 0x80070534",
                  }));
        EXPECT_TRUE(Logged(log, L"DBG", L"Using alt display name: 'stag:Other'"));

        // Alice is renamed and dave resolves again: the predefined display name stays, and the kept
        // display name goes once every subject of its role assignment resolves.
        m_directory.Rename(AliceSid, L"alice.smith");
        m_directory.SetResolvable(DaveSid, true);
        const KvNodePtr renamed = DataTree(L"RefresherFolderTree.renamed.expected.tree");
        EXPECT_TRUE(WaitUntil([&] { return KvNodePtr::CompareNodes(Query(TreePath), renamed); })) << TreeText(Query(TreePath));
    }
    EXPECT_TRUE(KvNodePtr::CompareNodes(Query(L"\\Config\\Other"), other)) << "the replaced worker must not run";
}

// A role assignment edited between the two reads keeps the edit; the next run refreshes it. A failing
// write ends its run and writes nothing.
TEST_F(RoleAssignmentsRefresherTest, ConcurrentEditWinsAndAFailingWriteEndsTheRun) {
    WriteTwoAssignments();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    UseProxy(proxy.Get());
    proxy->failWrites = 1;
    std::atomic<HRESULT> edit{S_FALSE};
    m_directory.OnCall(AliceSid, [&] {
        if (m_directory.Calls(AliceSid) != 2)
            return;
        KvNodePtr node = KvNodePtr::Create(L"\\Config\\FolderTree\\RoleAssignments\\B", RoleAssignmentType);
        node.SetString(SubjectDisplayNameAttribute, L"edited");
        IKvNode* nodes[] = {node.Get()};
        edit = m_server->WriteNodes(nullptr, KV_WRITE_MERGE, nodes, 1);
    });
    const CModuleLogTail log;
    {
        const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
        ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK);
        ASSERT_TRUE(WaitUntil([&] { return DisplayName(Query(TreePath), L"RoleAssignments\\B") == L"CORP\\bob"; }));
    }
    EXPECT_EQ(edit.load(), S_OK);
    const std::wstring a = std::wstring(TreePath) + L"\\RoleAssignments\\A", b = std::wstring(TreePath) + L"\\RoleAssignments\\B";
    EXPECT_EQ(Writes(), (std::vector<SServerWrite>{{4, b}, {4, a}, {4, b}})) << "the edit, then A, then B a run later";
    EXPECT_EQ(Problems(log), std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Refresh failed: 0x80004005"});
    EXPECT_TRUE(Logged(log, L"DBG", L"Skipping role assignment update (changed): " + b));
}

// A run that finds nothing to change writes nothing and begins no update; Cancel ends the run under
// way at its next check and every later run at its first.
TEST_F(RoleAssignmentsRefresherTest, NothingToChangeWritesNothingAndCancelEndsRuns) {
    WriteTwoAssignments();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    UseProxy(proxy.Get());
    const CModuleLogTail log;
    auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    auto cancel = refresher.Query<ICancelableComponent>();
    // At the start of the third run bob gets a new name, which that run would write, and it is canceled.
    m_directory.OnCall(AliceSid, [&] {
        if (m_directory.Calls(AliceSid) == 3) {
            m_directory.Rename(BobSid, L"robert");
            cancel->Cancel();
        }
    });
    ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK);
    ASSERT_TRUE(m_directory.WaitFor([&] { return m_directory.Calls(AliceSid) >= 3; }));
    // Long enough for two more runs, none of which may ask for anything.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(m_directory.Calls(AliceSid), 3);
    refresher.Reset();
    cancel.Reset();
    EXPECT_EQ(Writes().size(), 2u) << "the first run writes A and B, no later run writes";
    EXPECT_EQ(proxy->beginUpdates.load(), 1) << "a run that changes nothing must not begin an update";
    EXPECT_EQ(DisplayName(Query(TreePath), L"RoleAssignments\\B"), L"CORP\\bob");
    const std::vector<std::wstring> problems = Problems(log);
    EXPECT_TRUE(problems.size() >= 2 && std::all_of(problems.begin(), problems.end(), [](const std::wstring& problem) {
                    return problem == L"WARN CRoleAssignmentsRefresher::Refresh failed: 0x80004004";
                })) << "each canceled run ends with one WARN record";
    EXPECT_TRUE(Logged(log, L"DBG", L"Canceling"));
}

// Rolewarden.dll on what Wine answers itself: well-known SIDs, also in a non-canonical form, and the
// account the tests run under.
using RoleAssignmentsRefresherDllTest = ComponentHostTest;
TEST_F(RoleAssignmentsRefresherDllTest, WellKnownSidsAndTheMachinesOwnAccount) {
    if (LookupAccountNameBySid(SidFromString(L"S-1-5-32-544")).empty())
        GTEST_SKIP() << "this Wine cannot look up S-1-5-32-544";
    wchar_t user[256];
    DWORD userLength = 256;
    ASSERT_TRUE(GetUserNameW(user, &userLength));
    const std::wstring ownName = GetLocalComputerName() + L"\\" + user;
    KvNodePtr tree = ParseTree(R"(<node name="\Config\FolderTree"><node name="WellKnown" type="RoleAssignment">
        <attr name="SubjectId" code="0x102"><item>win:sid=S-1-5-32-544</item><item>win:sid=S-1-1-0</item></attr></node>
      <node name="Canonical" type="RoleAssignment"><attr name="IsPredefined" code="7">true</attr>
        <attr name="SubjectId" code="2">win:sid=S-1-5-32-0544</attr><attr name="PreprocessedSubjectId" code="2">stale</attr></node>
      <node name="Own" type="RoleAssignment"/></node>)");
    tree.GetChildByName(L"Own", true).SetString(SubjectIdAttribute, MakeNameSubjectId(ownName));
    Write(tree);
    const CModuleLogTail log(L"Rolewarden");
    const auto refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    EXPECT_EQ(refresher->Configure(nullptr), E_POINTER);
    EXPECT_EQ(refresher->Configure(KvNodePtr::Create(L"Config", nullptr).Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(Problems(log), (std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80004003",
                                                        L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80070490"}));
    ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return DisplayName(Query(TreePath), L"Own") != L"-"; }));
    const CSid own = LookupSidByAccountName(ownName);
    const KvNodePtr refreshed = Query(TreePath);
    EXPECT_EQ(DisplayName(refreshed, L"WellKnown"),
              LookupAccountNameBySid(SidFromString(L"S-1-5-32-544")) + L"; " + LookupAccountNameBySid(SidFromString(L"S-1-1-0")));
    EXPECT_EQ(DisplayName(refreshed, L"Own"), LookupAccountNameBySid(own));
    EXPECT_EQ(refreshed.FindNode(L"Own").GetString(PreprocessedSubjectIdAttribute), MakeSidSubjectId(own));
    EXPECT_EQ(refreshed.FindNode(L"Canonical").GetString(PreprocessedSubjectIdAttribute), L"win:sid=S-1-5-32-544");
    EXPECT_EQ(DisplayName(refreshed, L"Canonical"), L"-") << "a predefined role assignment gets no display name";
    EXPECT_FALSE(HasAttribute(refreshed.FindNode(L"WellKnown"), PreprocessedSubjectIdAttribute));
}
