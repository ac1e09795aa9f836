// The role assignments refresher as the host runs it, against the configuration server stand-in: the
// refresh rules over a folder tree resolved against the fake directory, a concurrent edit between the
// two reads, a failing write, cancellation during a run and runs that change nothing; and through
// Rolewarden.dll itself, well-known SIDs and the machine's own account as Wine answers them.
#include "Common/Nodes/ProxyAccess.h"
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Support/FakeDirectoryTest.h"
#include "Support/ModuleLogTail.h"

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

// The values of an attribute of the node at path below the tree, joined by "|"; "-" when missing.
std::wstring Values(const KvNodePtr& tree, const wchar_t* path, const wchar_t* attribute) {
    const KvNodePtr node = tree ? tree.FindNode(path) : KvNodePtr();
    if (!node || !HasAttribute(node, attribute))
        return L"-";
    std::wstring joined;
    for (const std::wstring& value : node.GetStringList(attribute, false))
        joined += (joined.empty() ? L"" : L"|") + value;
    return joined;
}

// A record's message without the indentation of the trace scopes around it.
std::wstring MessageOf(const CModuleLogTail::SRecord& record) {
    return record.message.substr(std::min(record.message.find_first_not_of(L' '), record.message.size()));
}

// The WARN and ERR records, each cut to its prefix of the length of the expected one.
std::vector<std::wstring> Problems(const CModuleLogTail& log, const std::vector<std::wstring>& expected) {
    std::vector<std::wstring> found;
    for (const CModuleLogTail::SRecord& record : log.Records())
        if (record.severity == L"WARN" || record.severity == L"ERR")
            found.push_back(record.severity + L" " + MessageOf(record));
    for (size_t i = 0; i < found.size() && i < expected.size(); ++i)
        found[i].resize(std::min(found[i].size(), expected[i].size()));
    return found;
}

bool Logged(const CModuleLogTail& log, const std::wstring& message) {
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    return std::any_of(records.begin(), records.end(), [&](const auto& record) { return MessageOf(record) == message; });
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

    // Two role assignments, A (alice) and B (bob), both with an outdated display name.
    void WriteTwoAssignments() {
        Write(R"(<node name="\Config\FolderTree" type="RootFolder"><node name="RoleAssignments">
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
    Write(R"(<node name="\Config\FolderTree" type="RootFolder">
      <node name="RoleAssignments">
        <node name="SidOnly" type="RoleAssignment"><attr name="RoleId" code="2">Admin</attr>
          <attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr><attr name="SubjectDisplayName" code="2">old</attr>
          <node name="Nested" type="RoleAssignment"><attr name="SubjectId" code="2">win:name=CORP\bob</attr></node></node>
        <node name="ByName" type="RoleAssignment"><attr name="SubjectId" code="2">win:name=CORP\bob</attr>
          <attr name="SubjectDisplayName" code="2">CORP\bob</attr></node>
        <node name="NoSubjectId" type="RoleAssignment">
          <attr name="SubjectDisplayName" code="0x102"><item>CORP\alice</item><item>carol</item></attr></node>
        <node name="Predefined" type="RoleAssignment"><attr name="IsPredefined" code="7">true</attr>
          <attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr><attr name="SubjectDisplayName" code="2">Alice (built-in)</attr>
          <attr name="PreprocessedSubjectId" code="2">win:sid=S-1-5-21-10-20-30-1001</attr></node>
        <node name="Unchanged" type="RoleAssignment"><attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1002</attr>
          <attr name="SubjectDisplayName" code="2">CORP\bob</attr></node>
      </node>
      <node name="Finance" type="Folder"><node name="RoleAssignments">
        <node name="Mixed" type="RoleAssignment"><attr name="SubjectId" code="0x102"><item>win:sid=S-1-5-21-10-20-30-1001</item>
          <item>win:name=CORP\bob</item><item>win:sid=S-1-5-21-10-20-30-1004</item><item>stag:Other</item></attr>
          <attr name="SubjectDisplayName" code="2">CORP\alice; CORP\bob; CORP\dave; Other</attr>
          <attr name="PreprocessedSubjectId" code="2">stale</attr></node>
        <node name="Dave" type="RoleAssignment"><attr name="SubjectId" code="2">win:sid=S-1-5-21-10-20-30-1004</attr>
          <attr name="SubjectDisplayName" code="2">CORP\dave</attr>
          <attr name="PreprocessedSubjectId" code="2">win:sid=S-1-5-21-10-20-30-1004</attr></node>
        <node name="NoSubjects" type="RoleAssignment"><attr name="RoleId" code="2">Admin</attr></node>
        <node name="UnknownName" type="RoleAssignment"><attr name="SubjectDisplayName" code="2">CORP\nobody</attr></node>
      </node></node></node>)");
    const KvNodePtr before = Query(TreePath);
    const KvNodePtr otherBefore = Query(L"\\Config\\Other");
    ClearWrites();
    m_directory.SetResolvable(DaveSid, false);
    const CModuleLogTail log;
    {
        const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
        ASSERT_EQ(refresher->Configure(RefresherConfig(L"\\Config\\Other").Get()), S_OK);
        ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK) << "a second Configure replaces the worker";
        ASSERT_TRUE(WaitUntil([&] { return Values(Query(TreePath), L"RoleAssignments\\SidOnly", SubjectDisplayNameAttribute) != L"old"; }));
        const KvNodePtr tree = Query(TreePath);
        const std::wstring alice = std::wstring(L"win:sid=") + AliceSid, bob = std::wstring(L"win:sid=") + BobSid;
        const struct {
            const wchar_t *path, *attribute;
            std::wstring expected;
        } checks[] = {
            {L"RoleAssignments\\SidOnly", SubjectDisplayNameAttribute, L"CORP\\alice"},
            {L"RoleAssignments\\SidOnly", PreprocessedSubjectIdAttribute, L"-"},
            {L"RoleAssignments\\SidOnly\\Nested", SubjectDisplayNameAttribute, L"CORP\\bob"},
            {L"RoleAssignments\\SidOnly\\Nested", PreprocessedSubjectIdAttribute, bob},
            {L"RoleAssignments\\ByName", PreprocessedSubjectIdAttribute, bob},
            {L"RoleAssignments\\NoSubjectId", SubjectDisplayNameAttribute, L"CORP\\alice|carol"},
            {L"RoleAssignments\\NoSubjectId", PreprocessedSubjectIdAttribute, alice + L"|win:sid=S-1-5-21-1-2-3-1003"},
            {L"Finance\\RoleAssignments\\Mixed", SubjectDisplayNameAttribute,
             L"CORP\\alice; CORP\\bob; S-1-5-21-10-20-30-1004; stag:Other"},
            {L"Finance\\RoleAssignments\\Mixed", LastResolvedDisplayNameAttribute, L"CORP\\alice; CORP\\bob; CORP\\dave; Other"},
            {L"Finance\\RoleAssignments\\Mixed", PreprocessedSubjectIdAttribute, alice + L"|" + bob},
            {L"Finance\\RoleAssignments\\Dave", SubjectDisplayNameAttribute, DaveSid},
            {L"Finance\\RoleAssignments\\Dave", LastResolvedDisplayNameAttribute, L"CORP\\dave"},
            {L"Finance\\RoleAssignments\\Dave", PreprocessedSubjectIdAttribute, L"-"},
        };
        for (const auto& check : checks)
            EXPECT_EQ(Values(tree, check.path, check.attribute), check.expected) << check.path << " " << check.attribute;
        for (const wchar_t* unchanged : {L"RoleAssignments\\Predefined", L"RoleAssignments\\Unchanged",
                                         L"Finance\\RoleAssignments\\NoSubjects", L"Finance\\RoleAssignments\\UnknownName"})
            EXPECT_TRUE(KvNodePtr::CompareNodes(tree.FindNode(unchanged), before.FindNode(unchanged))) << unchanged;
        std::vector<SServerWrite> expectedWrites;
        for (const wchar_t* written : {L"RoleAssignments\\SidOnly", L"RoleAssignments\\SidOnly\\Nested", L"RoleAssignments\\ByName",
                                       L"RoleAssignments\\NoSubjectId", L"Finance\\RoleAssignments\\Mixed", L"Finance\\RoleAssignments\\Dave"})
            expectedWrites.push_back({4, std::wstring(TreePath) + L"\\" + written});
        EXPECT_EQ(Writes(TreePath), expectedWrites) << "only the changed role assignments, in walk order";
        const std::vector<std::wstring> problems = {
            L"WARN Resolving AuthId='win:sid=S-1-5-21-10-20-30-1004' failed: 0x80070534",
            L"WARN Resolving AuthId='stag:Other' failed: 0x80070057",
            L"WARN Resolving AuthId='win:sid=S-1-5-21-10-20-30-1004' failed: 0x80070534",
            L"ERR `anonymous-namespace'::RefreshRoleAssignment failed: 0x80070490",
            L"WARN Resolving AuthId='win:name=CORP\\nobody' failed: 0x80070534",
            L"ERR `anonymous-namespace'::RefreshRoleAssignment failed: 0x80070534",
        };
        std::vector<std::wstring> found = Problems(log, problems);
        found.resize(std::min(found.size(), problems.size()));
        EXPECT_EQ(found, problems);
        EXPECT_TRUE(Logged(log, L"Using alt display name: 'stag:Other'"));

        // Alice is renamed and dave resolves again: the predefined display name stays, and the kept
        // display name goes once every subject of a role assignment resolves.
        m_directory.Rename(AliceSid, L"alice.smith");
        m_directory.SetResolvable(DaveSid, true);
        ASSERT_TRUE(WaitUntil([&] {
            const KvNodePtr now = Query(TreePath);
            return Values(now, L"RoleAssignments\\SidOnly", SubjectDisplayNameAttribute) == L"CORP\\alice.smith" &&
                   Values(now, L"Finance\\RoleAssignments\\Dave", SubjectDisplayNameAttribute) == L"CORP\\dave";
        }));
        const KvNodePtr after = Query(TreePath);
        EXPECT_EQ(Values(after, L"Finance\\RoleAssignments\\Dave", LastResolvedDisplayNameAttribute), L"-");
        EXPECT_EQ(Values(after, L"Finance\\RoleAssignments\\Mixed", SubjectDisplayNameAttribute),
                  L"CORP\\alice.smith; CORP\\bob; CORP\\dave; stag:Other");
        EXPECT_EQ(Values(after, L"Finance\\RoleAssignments\\Mixed", LastResolvedDisplayNameAttribute),
                  L"CORP\\alice; CORP\\bob; CORP\\dave; Other") << "kept while stag:Other does not resolve";
        EXPECT_EQ(Values(after, L"RoleAssignments\\Predefined", SubjectDisplayNameAttribute), L"Alice (built-in)");
    }
    EXPECT_TRUE(KvNodePtr::CompareNodes(Query(L"\\Config\\Other"), otherBefore)) << "the replaced worker must not run";
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
        KvNodePtr node = KvNodePtr::Create(L"\\Config\\FolderTree\\RoleAssignments\\B", L"RoleAssignment");
        node.SetString(SubjectDisplayNameAttribute, L"edited");
        IKvNode* nodes[] = {node.Get()};
        edit = m_server->WriteNodes(nullptr, KV_WRITE_MERGE, nodes, 1);
    });
    const CModuleLogTail log;
    {
        const auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
        ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK);
        ASSERT_TRUE(WaitUntil([&] { return Values(Query(TreePath), L"RoleAssignments\\B", SubjectDisplayNameAttribute) == L"CORP\\bob"; }));
    }
    EXPECT_EQ(edit.load(), S_OK);
    const std::wstring a = std::wstring(TreePath) + L"\\RoleAssignments\\A", b = std::wstring(TreePath) + L"\\RoleAssignments\\B";
    EXPECT_EQ(Writes(TreePath), (std::vector<SServerWrite>{{4, b}, {4, a}, {4, b}})) << "the edit, then A, then B a run later";
    EXPECT_EQ(proxy->failedCalls.load(), 1);
    EXPECT_EQ(Problems(log, {L"ERR CRoleAssignmentsRefresher::Refresh failed: 0x80004005"}),
              std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Refresh failed: 0x80004005"});
    EXPECT_TRUE(Logged(log, L"Skipping role assignment update (changed): " + b));
}

// A run that finds nothing to change writes nothing and opens no update; Cancel ends the run under
// way at its next check and every later run at its first.
TEST_F(RoleAssignmentsRefresherTest, NothingToChangeWritesNothingAndCancelEndsRuns) {
    WriteTwoAssignments();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    UseProxy(proxy.Get());
    const CModuleLogTail log;
    auto refresher = CreateLinkedComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    auto cancel = refresher.Query<ICancelableComponent>();
    // At the start of the third run bob gets a new name, which that run would write, and the run is canceled.
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
    EXPECT_EQ(Writes(TreePath).size(), 2u) << "the first run writes A and B, no later run writes";
    EXPECT_EQ(proxy->beginUpdates.load(), 1) << "a run that changes nothing must not open an update";
    EXPECT_EQ(Values(Query(TreePath), L"RoleAssignments\\B", SubjectDisplayNameAttribute), L"CORP\\bob");
    std::vector<std::wstring> problems = Problems(log, {});
    EXPECT_TRUE(problems.size() >= 2 && std::all_of(problems.begin(), problems.end(), [](const std::wstring& problem) {
                    return problem.starts_with(L"WARN CRoleAssignmentsRefresher::Refresh failed: 0x80004004");
                })) << "each canceled run ends with one WARN record";
    EXPECT_TRUE(Logged(log, L"Canceling"));
}

// Rolewarden.dll on what Wine answers itself: well-known SIDs and the account the tests run under.
using RoleAssignmentsRefresherDllTest = ComponentHostTest;
TEST_F(RoleAssignmentsRefresherDllTest, WellKnownSidsAndTheMachinesOwnAccount) {
    if (!LookupAccountNameBySid(SidFromString(L"S-1-5-32-544")).size())
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
    EXPECT_EQ(Problems(log, {L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80004003",
                             L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80070490"}),
              (std::vector<std::wstring>{L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80004003",
                                         L"ERR CRoleAssignmentsRefresher::Configure failed: 0x80070490"}));
    ASSERT_EQ(refresher->Configure(RefresherConfig(TreePath).Get()), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return Values(Query(TreePath), L"Own", PreprocessedSubjectIdAttribute) != L"-"; }));
    const KvNodePtr refreshed = Query(TreePath);
    const CSid own = LookupSidByAccountName(ownName);
    EXPECT_EQ(Values(refreshed, L"WellKnown", SubjectDisplayNameAttribute),
              LookupAccountNameBySid(SidFromString(L"S-1-5-32-544")) + L"; " + LookupAccountNameBySid(SidFromString(L"S-1-1-0")));
    EXPECT_EQ(Values(refreshed, L"WellKnown", PreprocessedSubjectIdAttribute), L"-");
    EXPECT_EQ(Values(refreshed, L"Canonical", PreprocessedSubjectIdAttribute), L"win:sid=S-1-5-32-544");
    EXPECT_EQ(Values(refreshed, L"Canonical", SubjectDisplayNameAttribute), L"-") << "predefined: no display name written";
    EXPECT_EQ(Values(refreshed, L"Own", PreprocessedSubjectIdAttribute), MakeSidSubjectId(own));
    EXPECT_EQ(Values(refreshed, L"Own", SubjectDisplayNameAttribute), LookupAccountNameBySid(own));
}
