// The RBAC status updater of Rolewarden.dll against the configuration server: which folder trees count
// as holding user-defined role assignments, when the status node is written, its log records, bad
// configuration, a failed write and concurrent edits of the tree.
#include "Common/ErrorHandling.h"
#include "Support/ComponentHostTest.h"
#include "Support/ModuleLogTail.h"

#include <future>

namespace {

const std::wstring StatusPath = L"\\Config\\Security\\RBACStatus";

// The configuration's three keys; ConfigWithout(i) leaves the i-th out.
const std::string ConfigKeys[] = {
    R"(<attr name="FoldersTreeNodePath" code="2">\Config\FolderTree</attr>)",
    R"(<attr name="RBACStatusNodePath" code="2">\Config\Security\RBACStatus</attr>)",
    R"(<node name="DefaultAssigments">
         <node name="Admins" type="RoleAssignment"><attr name="RoleId" code="0x102"><item>Administrator</item></attr>
           <attr name="SubjectId" code="2">win:sid=S-1-5-32-544</attr><attr name="SubjectDisplayName" code="2">Administrators</attr></node>
         <node name="Operators" type="RoleAssignment"><attr name="RoleId" code="0x102"><item>Reader</item><item>Auditor</item></attr>
           <attr name="SubjectDisplayName" code="2">Ops</attr></node></node>)"};

std::string ConfigWithout(size_t left = 3) {
    std::string text = "<node name=\"Config\">";
    for (size_t i = 0; i < 3; ++i)
        text += i == left ? "" : ConfigKeys[i];
    return text + "</node>";
}

// Root role assignments: A1 matches Admins by subject id (its display name differs), A2 does too;
// Ops matches Operators by display name, whatever its subject id; Other has another subject id.
const std::string A1 = R"(<node name="A1" type="RoleAssignment"><attr name="RoleId" code="2">Administrator</attr>
    <attr name="SubjectId" code="2">win:sid=S-1-5-32-544</attr><attr name="SubjectDisplayName" code="2">Admins</attr></node>)";
const std::string A2 = R"(<node name="A2" type="RoleAssignment"><attr name="RoleId" code="2">Administrator</attr>
    <attr name="SubjectId" code="0x102"><item>win:sid=S-1-5-32-544</item></attr></node>)";
const std::string Ops = R"(<node name="Ops" type="RoleAssignment"><attr name="RoleId" code="0x102"><item>Reader</item><item>Auditor</item></attr>
    <attr name="SubjectId" code="2">win:name=Ops</attr><attr name="SubjectDisplayName" code="2">Ops</attr></node>)";
const std::string Other = R"(<node name="Other" type="RoleAssignment"><attr name="RoleId" code="2">Administrator</attr>
    <attr name="SubjectId" code="2">win:sid=S-1-5-32-545</attr></node>)";

std::string FolderTree(const std::string& rootAssignments, const std::string& folders = "") {
    return R"(<node name="\Config\FolderTree"><node name="RoleAssignments">)" + rootAssignments + "</node>" + folders +
           "</node>";
}

// The updater's records since the tail began, trace scopes left out, cut before a node dump or the
// return addresses of an error.
std::vector<std::wstring> UpdaterRecords(const CModuleLogTail& log) {
    std::vector<std::wstring> messages;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        const std::wstring message = record.message.substr(record.message.find_first_not_of(L' '));
        if (record.source == L"RBACStatusUpdater.cpp" && !message.starts_with(L"Entering: ") &&
            !message.starts_with(L"Exiting: "))
            messages.push_back(message.substr(0, std::min(message.find(L"KvNode["), message.find(L" [0x"))));
    }
    return messages;
}

std::wstring FailedText(const wchar_t* operation, HRESULT hr) {
    return std::wstring(operation) + L" failed: " + ToString(SErrorRecord{hr, GetErrorDescription(hr), L""});
}

bool ModuleLocked() {
    BOOL locked = TRUE;
    EXPECT_EQ(RolewardenModule()->IsLocked(&locked), S_OK);
    return locked;
}

} // namespace

class RBACStatusUpdaterTests : public ComponentHostTest {
protected:
    void TearDown() override {
        m_updater.Reset();
        ComponentHostTest::TearDown();
    }
    HRESULT Configure(const std::string& config = ConfigWithout()) {
        m_updater = CreateComponent<IConfigurableComponent>(CLSID_RBACStatusUpdater);
        return m_updater->Configure(ParseTree(config).Get());
    }
    // "assigned" or "none", then " ever" when UserRolesEverAssigned is true; "no status" without a node.
    std::string Status() const {
        const KvNodePtr status = Query(StatusPath);
        bool assigned = false, ever = false;
        if (!status || !status.TryGetBool(L"UserRolesAssigned", assigned))
            return "no status";
        return std::string(assigned ? "assigned" : "none") + (status.TryGetBool(L"UserRolesEverAssigned", ever) && ever ? " ever" : "");
    }

    InterfacePtr<IConfigurableComponent> m_updater;
};

TEST_F(RBACStatusUpdaterTests, ClassifiesRoleAssignmentsAndWritesOnlyChanges) {
    ASSERT_EQ(Configure(), S_OK);
    const std::wstring root = L"\\Config\\FolderTree\\RoleAssignments\\";
    const std::wstring defaultA1 = L"Default RA found: " + root + L"A1", defaultOps = L"Default RA found: " + root + L"Ops";
    const auto summary = [](const wchar_t* found, int matched) {
        return L"User defined role-assignments present: " + std::wstring(found) + L". Default role-assignments: " +
               std::to_wstring(matched) + L" out of 2";
    };
    const std::wstring updating = L"Updating RBACStatus: ", path = L"Path: \\Config\\FolderTree";
    const struct {
        std::string tree, status;
        size_t writes;
        std::vector<std::wstring> records;
    } cases[] = {
        {FolderTree(A1 + Ops, "<node name=\"F\"/>"), "none", 1, {path, defaultA1, defaultOps, summary(L"false", 2), updating}},
        // A default matched twice counts once; the same status is not written again.
        {FolderTree(A1 + A2 + Ops), "none", 1, {path, defaultA1, L"Default RA found: " + root + L"A2", defaultOps, summary(L"false", 2)}},
        // A deleted default.
        {FolderTree(A1), "assigned ever", 2, {path, defaultA1, summary(L"false", 1), updating}},
        {FolderTree(A1 + Ops), "none ever", 3, {path, defaultA1, defaultOps, summary(L"false", 2), updating}},
        // Below the root even a copy of a default is user-defined.
        {FolderTree(A1 + Ops, "<node name=\"F\"><node name=\"RoleAssignments\">" + A1 + "</node></node>"), "assigned ever", 4,
         {path, defaultA1, defaultOps, L"Non-root user defined RA found: \\Config\\FolderTree\\F\\RoleAssignments\\A1",
          summary(L"true", 2), updating}},
        {FolderTree(A1 + Ops), "none ever", 5, {path, defaultA1, defaultOps, summary(L"false", 2), updating}},
        {FolderTree(Other + A1 + Ops), "assigned ever", 6, {path, L"Root user defined RA found: " + root + L"Other", summary(L"true", 0), updating}},
    };
    for (const auto& step : cases) {
        const CModuleLogTail log(L"Rolewarden");
        Write(step.tree);
        Settle();
        EXPECT_EQ(Status(), step.status) << step.tree;
        EXPECT_EQ(Writes(StatusPath).size(), step.writes) << step.tree;
        EXPECT_EQ(UpdaterRecords(log), step.records) << step.tree;
    }
    // The record of a deleted folder tree carries no node: nothing to classify, nothing fails.
    const CModuleLogTail log(L"Rolewarden");
    Delete(L"\\Config\\FolderTree");
    Settle();
    EXPECT_EQ(Writes(StatusPath).size(), 6u);
    EXPECT_EQ(UpdaterRecords(log), std::vector<std::wstring>{});
}

TEST_F(RBACStatusUpdaterTests, BadInputFailsAndLeavesNothingSubscribed) {
    const CModuleLogTail log(L"Rolewarden");
    constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    for (size_t missing = 0; missing < 3; ++missing) {
        EXPECT_EQ(Configure(ConfigWithout(missing)), NotFound) << "without key " << missing;
        m_updater.Reset();
        EXPECT_FALSE(ModuleLocked()) << "without key " << missing << ", the server still holds the updater";
    }
    Write(FolderTree(Other));
    Settle();
    EXPECT_EQ(Status(), "no status");
    ASSERT_EQ(Configure(), S_OK);
    EXPECT_EQ(m_updater->Configure(nullptr), E_POINTER);
    EXPECT_EQ(m_updater->Configure(ParseTree(ConfigWithout()).Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(m_updater.Query<IKvModifySink>()->OnTriggered(nullptr, 1, nullptr), E_POINTER);
    std::vector<std::wstring> errors;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        if (record.severity == L"ERR")
            errors.push_back(record.message.substr(0, record.message.find(L" [0x")));
    }
    const std::wstring notFound = FailedText(L"CRBACStatusUpdater::Configure", NotFound);
    EXPECT_EQ(errors, (std::vector<std::wstring>{notFound, notFound, notFound, FailedText(L"CRBACStatusUpdater::Configure", E_POINTER),
                                                 FailedText(L"CRBACStatusUpdater::Configure", HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED)),
                                                 FailedText(L"CRBACStatusUpdater::OnTriggered", E_POINTER)}));
    // The configuration that was accepted stays in force.
    Settle();
    EXPECT_EQ(Status(), "assigned ever");
}

TEST_F(RBACStatusUpdaterTests, FailedWriteIsMadeAgainOnTheNextNotification) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    AddName(L"ConfigServer.Direct");
    Write(FolderTree(A1 + Ops));
    proxy->failWrites = 1;
    const CModuleLogTail log(L"Rolewarden");
    ASSERT_EQ(Configure(), S_OK);
    Settle();
    EXPECT_EQ(proxy->failedCalls, 1);
    EXPECT_EQ(Status(), "no status");
    const std::vector<std::wstring> records = UpdaterRecords(log);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back(), FailedText(L"CRBACStatusUpdater::OnTriggered", E_FAIL));
    // The same tree again: the status was never written, so it is written now.
    Write(FolderTree(A1 + Ops));
    Settle();
    EXPECT_EQ(proxy->passedWrites, 1);
    EXPECT_EQ(Status(), "none");
}

TEST_F(RBACStatusUpdaterTests, ConcurrentEditsEndWithTheStatusOfTheFinalTree) {
    constexpr int Threads = 4, Edits = 20;
    Write(FolderTree(A1 + Ops));
    ASSERT_EQ(Configure(), S_OK);
    // Each thread edits its own folder, with a user's role assignment on every other edit, the last
    // edit without: the final tree holds only the defaults.
    std::vector<std::future<HRESULT>> writers;
    for (int thread = 0; thread < Threads; ++thread) {
        const std::string folder = R"(<node name="\Config\FolderTree\F)" + std::to_string(thread) + "\">";
        const KvNodePtr edits[] = {ParseTree(folder + "</node>"),
                                   ParseTree(folder + "<node name=\"RoleAssignments\">" + Other + "</node></node>")};
        writers.push_back(std::async(std::launch::async, [this, edits] {
            HRESULT result = S_OK;
            for (int edit = 1; edit <= Edits && result == S_OK; ++edit) {
                IKvNode* nodes[] = {edits[edit % 2].Get()};
                result = m_server->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1);
            }
            return result;
        }));
    }
    for (std::future<HRESULT>& writer : writers)
        EXPECT_EQ(writer.get(), S_OK);
    Settle();
    EXPECT_EQ(Status(), "none ever");
    EXPECT_GE(Writes(StatusPath).size(), 2u) << "the edits with a user's role assignment were never seen";
}
