// The role assignments refresher as the host runs it, against the configuration server stand-in: the
// refresh rules over a folder tree (Data/RefresherFolderTree*.tree), an edit between the two reads, a
// refused write, a run that changes nothing and cancellation, resolved against the fake directory;
// and through Rolewarden.dll itself, the system's accounts as Wine answers them.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Support/FakeDirectoryTest.h"
#include "Support/TreeCompare.h"

#include <future>

namespace {

constexpr const wchar_t* TreePath = L"\\Config\\FolderTree";
constexpr const wchar_t* AliceSid = L"S-1-5-21-10-20-30-1001";
constexpr const wchar_t* BobSid = L"S-1-5-21-10-20-30-1002";
constexpr const wchar_t* DaveSid = L"S-1-5-21-10-20-30-1004";

} // namespace

using RoleAssignmentsRefresherTest = FakeDirectoryTest;

// The first run's tree, the role assignments it wrote and its problems are in
// Data/RefresherFolderTree.firstrun.expected.tree. Then alice is renamed and dave resolves again: the
// predefined display name stays, and the kept display name goes once every subject of its role
// assignment resolves.
TEST_F(RoleAssignmentsRefresherTest, RefreshRulesOverAFolderTree) {
    for (const auto& [sid, domain, name] : {std::tuple{AliceSid, L"CORP", L"alice"}, {BobSid, L"CORP", L"bob"},
                                            {L"S-1-5-21-1-2-3-1003", L"FAKEPC", L"carol"}, {DaveSid, L"CORP", L"dave"}})
        m_directory.AddAccount({sid, domain, name});
    m_directory.Fail(DaveSid, ERROR_NONE_MAPPED);
    Write(R"(<node name="\Config\Other"><node name="A" type="RoleAssignment">
             <attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr></node></node>)");
    const KvNodePtr other = Query(L"\\Config\\Other");
    Write(DataTree(L"RefresherFolderTree.tree"));
    ClearWrites();
    const CModuleLogTail log;
    {
        const auto refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
        ASSERT_EQ(refresher->Configure(RefresherConfig(L"OtherAssignments").Get()), S_OK);
        ASSERT_EQ(refresher->Configure(RefresherConfig(L"Assignments").Get()), S_OK) << "a second Configure replaces the worker";
        const std::vector<KvNodePtr> firstRun = DataTrees(L"RefresherFolderTree.firstrun.expected.tree");
        ASSERT_TRUE(WaitUntil([&] { return IsSameTree(Query(TreePath), firstRun.at(0)); })) << TreeText(Query(TreePath));
        std::vector<SServerWrite> written;
        for (const std::wstring& path : firstRun.at(1).GetStringList(L"Writes", true))
            written.push_back({4, std::wstring(TreePath) + L"\\" + path});
        EXPECT_EQ(Writes(), written) << "only the changed role assignments, in walk order";
        // The first run's; later runs may have added theirs.
        std::vector<std::wstring> problems = Records(log);
        problems.resize(6);
        EXPECT_EQ(problems, firstRun.at(1).GetStringList(L"Records", true));
        EXPECT_GE(Logged(log, L"DBG", L"Using alt display name: 'stag:Other'"), 1);

        m_directory.AddAccount({AliceSid, L"CORP", L"alice.smith"});
        m_directory.Fail(DaveSid, ERROR_SUCCESS);
        const KvNodePtr renamed = DataTree(L"RefresherFolderTree.renamed.expected.tree");
        EXPECT_TRUE(WaitUntil([&] { return IsSameTree(Query(TreePath), renamed); })) << TreeText(Query(TreePath));
    }
    EXPECT_TRUE(SameTree(Query(L"\\Config\\Other"), other)) << "the replaced worker must not run";
}

// Runs over A (alice) and B (bob), both out of date: the server refuses the first run's write, which
// ends the run with the server's code and text in the log and leaves nothing of its update; in the
// second B is edited between the two reads, so only A is written; the third refreshes B; the fourth
// finds nothing to change and begins no update; the fifth is canceled after bob got a new name, and
// stops at its next check.
TEST_F(RoleAssignmentsRefresherTest, EditsFailuresAndCancelAcrossRuns) {
    m_directory.AddAccount({AliceSid, L"CORP", L"alice"});
    m_directory.AddAccount({BobSid, L"CORP", L"bob"});
    // The folder tree of these runs, and the edit.
    const std::vector<KvNodePtr> trees = DataTrees(L"RefresherRuns.tree");
    Write(trees.at(0));
    ClearWrites();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    proxy->failure = KVCFG_E_CHILDREN_DIFFER;
    proxy->failWrites = 1;
    const CModuleLogTail log;
    auto refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    auto cancel = refresher.Query<ICancelableComponent>();
    // Holds the fifth run until Cancel is called.
    std::promise<void> canceled;
    const std::shared_future<void> resume = canceled.get_future().share();
    m_directory.OnCall(AliceSid, [&, resume] {
        if (m_directory.Calls(AliceSid) == 2) {
            Write(trees.at(1), KV_WRITE_MERGE);
        } else if (m_directory.Calls(AliceSid) == 5) {
            m_directory.AddAccount({BobSid, L"CORP", L"robert"});
            resume.wait();
        }
    });
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Assignments").Get()), S_OK);
    ASSERT_TRUE(m_directory.WaitFor(AliceSid, 5));
    cancel->Cancel();
    canceled.set_value();
    refresher.Reset();
    cancel.Reset();
    // The canceled run holds the refresher until it ends.
    ASSERT_TRUE(WaitForUnlock(CComponentsModule::Instance()));
    const std::wstring a = std::wstring(TreePath) + L"\\RoleAssignments\\A", b = std::wstring(TreePath) + L"\\RoleAssignments\\B";
    EXPECT_EQ(Writes(), (std::vector<SServerWrite>{{4, b}, {4, a}, {4, b}})) << "the edit, then A, then B a run later";
    EXPECT_EQ(proxy->beginUpdates.load(), 3) << "a run that changes nothing must not begin an update";
    EXPECT_EQ(Records(log), (std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Refresh failed: 0x80040217",
                                                       L"WARN CRoleAssignmentsRefresher::Refresh failed: 0x80004004"}));
    EXPECT_NE(log.Text().find(GetErrorDescription(KVCFG_E_CHILDREN_DIFFER)), std::wstring::npos) << "the server's text, from its message module";
    EXPECT_EQ(Logged(log, L"DBG", L"Skipping role assignment update (changed): " + b), 1);
    EXPECT_EQ(Logged(log, L"DBG", L"Canceling"), 1);
}

// Rolewarden.dll resolves on the system's accounts: BUILTIN\Administrators by name and by SID in a
// non-canonical form; and its Configure fails without a configuration or a folder tree path.
using RoleAssignmentsRefresherDllTest = ComponentHostTest;
TEST_F(RoleAssignmentsRefresherDllTest, SystemAccountsAndConfigureFailures) {
    Write(R"(<node name="\Config\FolderTree"><node name="Admins" type="RoleAssignment">
        <attr name="SubjectId" code="0x102"><item>win:sid=S-1-5-32-0544</item><item>win:name=BUILTIN\Administrators</item></attr>
        <attr name="PreprocessedSubjectId" code="2">stale</attr></node></node>)");
    const CModuleLogTail log(L"Rolewarden");
    const auto refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    EXPECT_EQ(refresher->Configure(nullptr), E_POINTER);
    EXPECT_EQ(refresher->Configure(KvNodePtr::Create(L"Config", nullptr).Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(Records(log), (std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80004003",
                                                       L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80070490"}));
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Assignments").Get()), S_OK);
    const std::wstring administrators = LookupAccountNameBySid(SidFromString(L"S-1-5-32-544"));
    ASSERT_TRUE(WaitUntil([&] { return HasAttribute(Query(TreePath).FindNode(L"Admins"), SubjectDisplayNameAttribute); }));
    const KvNodePtr admins = Query(TreePath).FindNode(L"Admins");
    EXPECT_EQ(admins.GetString(SubjectDisplayNameAttribute), administrators + L"; " + administrators);
    EXPECT_EQ(admins.GetStringList(PreprocessedSubjectIdAttribute, true),
              (std::vector<std::wstring>{L"win:sid=S-1-5-32-544", L"win:sid=S-1-5-32-544"}));
}
