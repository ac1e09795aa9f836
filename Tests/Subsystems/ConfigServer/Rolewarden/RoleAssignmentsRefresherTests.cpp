// The role assignments refresher as the host runs it, against the configuration server stand-in: its
// runs over one folder tree resolved against the fake directory (Data/RefresherRuns.tree, and what they
// leave in Data/RefresherRuns.expected.tree), and meanwhile Rolewarden.dll itself on the system's
// accounts as Wine answers them.
#include "Support/FakeDirectoryTest.h"
#include "Support/TreeCompare.h"

namespace {

constexpr const wchar_t* TreePath = L"\\Config\\FolderTree";
// The subject of A, the first role assignment of the tree: asked for once at the start of each run.
constexpr const wchar_t* FirstSid = L"S-1-5-21-10-20-30-1006";

} // namespace

using RoleAssignmentsRefresherTest = FakeDirectoryTest;

// The refresher's first configurations fail, and a second Configure replaces its worker. In its first
// run B is edited between the two reads, so every other role assignment is refreshed and B is left;
// before the second alice is renamed and dave resolves again: B is refreshed, the predefined display
// name stays and the kept display name goes; the third finds nothing to change and begins no update;
// the fourth is canceled after bob got a new name, and stops at its next check. Rolewarden.dll
// resolves BUILTIN\Administrators by name and by SID in a non-canonical form.
TEST_F(RoleAssignmentsRefresherTest, RunsOverAFolderTree) {
    // The directory, the trees of the fake's and of Rolewarden.dll's refresher, the first run's edit
    // and the directory's changes before the second and the fourth run.
    const std::vector<KvNodePtr> data = DataTrees(L"RefresherRuns.tree"), expected = DataTrees(L"RefresherRuns.expected.tree");
    m_directory.Load(data.at(0));
    for (size_t tree = 1; tree < 4; ++tree)
        Write(data.at(tree));
    ClearWrites();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    const CModuleLogTail log;
    InterfacePtr<IConfigurableComponent> system;
    ASSERT_EQ(RolewardenModule()->CreateInstance(&CLSID_RoleAssignmentsRefresher, &InterfaceId<IConfigurableComponent>::Value,
                                                 system.PutVoid()), S_OK);
    ASSERT_EQ(system->Configure(RefresherConfig(L"SystemAssignments").Get()), S_OK);
    auto refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    auto cancel = refresher.Query<ICancelableComponent>();
    KvNodePtr firstRun;
    CGate canceled;
    m_directory.OnCall(FirstSid, [&] {
        switch (m_directory.Calls(FirstSid)) {
        case 1:
            return Write(data.at(4), KV_WRITE_MERGE);
        case 2:
            firstRun = Query(TreePath);
            return m_directory.Load(data.at(5));
        case 4:
            m_directory.Load(data.at(6));
            cancel->Cancel();
            canceled.Arrive();
        }
    });
    EXPECT_EQ(refresher->Configure(nullptr), E_POINTER);
    EXPECT_EQ(refresher->Configure(KvNodePtr::Create(L"Config", nullptr).Get()), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"OtherAssignments").Get()), S_OK);
    ASSERT_EQ(refresher->Configure(RefresherConfig(L"Assignments").Get()), S_OK);
    ASSERT_TRUE(canceled.WaitArrivals(1));
    refresher.Reset();
    cancel.Reset();
    // The canceled run holds the refresher until it ends.
    ASSERT_TRUE(WaitForUnlock(CComponentsModule::Instance()));
    EXPECT_TRUE(SameTree(firstRun, expected.at(0))) << "after the first run";
    EXPECT_TRUE(SameTree(Query(TreePath), expected.at(1))) << "at the end";
    EXPECT_TRUE(SameTree(Query(L"\\Config\\Other"), data.at(2))) << "the replaced worker must not run";
    std::vector<SServerWrite> writes;
    for (const std::wstring& path : expected.at(3).GetStringList(L"Writes", true))
        writes.push_back({4, std::wstring(TreePath) + L"\\" + path});
    EXPECT_EQ(Writes(TreePath), writes) << "the edit, then only the changed role assignments, in walk order";
    std::vector<std::wstring> records;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        if (record.severity == L"WARN" || record.severity == L"ERR")
            records.push_back(record.severity + L" " + CModuleLogTail::StableMessage(record.message));
    }
    EXPECT_EQ(records, expected.at(3).GetStringList(L"Records", true));
    EXPECT_TRUE(WaitUntil([&] { return IsSameTree(Query(L"\\Config\\System"), expected.at(2)); })) << TreeText(Query(L"\\Config\\System"));
    EXPECT_EQ(proxy->beginUpdates.load(), 3) << "a run that changes nothing began an update (two of the fake's runs write, and one of Rolewarden.dll's)";
}
