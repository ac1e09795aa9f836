// The RBAC status updater of Rolewarden.dll against the configuration server. Data/RBACStatusUpdater.tree
// holds its configuration and the folder trees written one after the other (none: the tree deleted), each
// with the status, the count of status writes so far and the updater's records it must give.
#include "Support/ComponentHostTest.h"
#include "Support/DataTrees.h"
#include "Support/ModifyRecords.h"
#include "Support/ModuleLogTail.h"
#include "Support/TestSupport.h"

namespace {

const std::wstring StatusPath = L"\\Config\\Security\\RBACStatus", TreePath = L"\\Config\\FolderTree";

// The updater's stable records (CModuleLogTail::StableMessage) since the tail began, without trace
// scopes, cut before a node dump.
std::vector<std::wstring> UpdaterRecords(const CModuleLogTail& log) {
    std::vector<std::wstring> messages;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        std::wstring message = CModuleLogTail::StableMessage(record.message);
        message.resize(std::min(message.size(), message.find(L"KvNode[")));
        if (record.source == L"RBACStatusUpdater.cpp" && !message.starts_with(L"Entering: ") && !message.starts_with(L"Exiting: ") &&
            !message.starts_with(L"EXCEPTION at: "))
            messages.push_back(message);
    }
    return messages;
}

} // namespace

class RBACStatusUpdaterTests : public ComponentHostTest {
protected:
    InterfacePtr<IConfigurableComponent> Updater(const KvNodePtr& config, HRESULT expected = S_OK) {
        auto updater = CreateComponent<IConfigurableComponent>(CLSID_RBACStatusUpdater);
        EXPECT_EQ(updater->Configure(config.Get()), expected) << TreeText(config);
        return updater;
    }
    // The folder tree of a step, named by its server path.
    KvNodePtr TreeOf(const std::wstring& step) const {
        KvNodePtr tree = m_scenario.GetChildByName(step.c_str(), true).GetChildByName(L"Tree", true).Clone();
        tree.SetName(KVN_NAME_PATH, TreePath.c_str());
        return tree;
    }
    // "none" or "assigned" (UserRolesAssigned), " ever" when UserRolesEverAssigned is true; "no status".
    std::wstring Status() const {
        const KvNodePtr status = Query(StatusPath);
        bool assigned = false, ever = false;
        if (!status || !status.TryGetBool(L"UserRolesAssigned", assigned))
            return L"no status";
        return (assigned ? L"assigned" : L"none") + std::wstring(status.TryGetBool(L"UserRolesEverAssigned", ever) && ever ? L" ever" : L"");
    }

    const KvNodePtr m_scenario = DataTree(L"RBACStatusUpdater.tree");
    const KvNodePtr m_config = m_scenario.GetChildByName(L"Config", true);
};

// The updater writes through a fault proxy, which fails the writes of the steps with "FailWrites".
// Then the host's release ends the subscription while the server lives on, or, with no proxy to reach,
// leaves a sink that reaches nobody.
TEST_F(RBACStatusUpdaterTests, ClassifiesRoleAssignmentsAndWritesChangedStatus) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    proxy->failure = KVCFG_E_NODE_NO_PATH;
    AddName(L"ConfigServer.Proxy", proxy.Get());
    auto updater = Updater(m_config);
    for (const KvNodePtr& step : m_scenario.GetChildren()) {
        if (step.Get() == m_config.Get())
            continue;
        const CModuleLogTail log(L"Rolewarden");
        int32_t failWrites = 0;
        proxy->failWrites = step.TryGetInt32(L"FailWrites", failWrites) ? failWrites : 0;
        step.GetChildCount() == 0 ? Delete(TreePath) : Write(TreeOf(step.GetName()));
        Settle();
        EXPECT_EQ(Status(), step.GetString(L"Status")) << step.GetName();
        EXPECT_EQ(Writes(StatusPath).size(), static_cast<size_t>(step.GetInt32(L"Writes"))) << step.GetName();
        EXPECT_EQ(UpdaterRecords(log), step.GetStringList(L"Records", false)) << step.GetName();
    }
    updater.Reset();
    EXPECT_TRUE(WaitForUnlock(*RolewardenModule(), 0)) << "the released updater is still alive";
    Write(TreeOf(L"DefaultDeleted"));
    Settle();
    EXPECT_EQ(Writes(StatusPath).size(), 6u) << "the released updater still writes";
    // Released where no proxy can be reached to end its subscription, an updater leaves its sink with the
    // server, and the sink's notifications reach nobody.
    updater = Updater(m_config);
    Settle();
    const size_t writes = Writes(StatusPath).size();
    RemoveName(L"ConfigServer.Proxy");
    updater.Reset();
    Write(TreeOf(L"ExactDefaults"));
    Settle();
    EXPECT_EQ(Writes(StatusPath).size(), writes) << "a notification reached a released updater";
}

// Records that come together in one call are each taken in order; one without content is skipped.
TEST_F(RBACStatusUpdaterTests, SeveralRecordsInOneCall) {
    const auto record = [&](const wchar_t* step) { return Record(TreePath, TreeOf(step)); };
    EXPECT_EQ(Notify(Updater(m_config).Query<IKvModifySink>().Get(), {record(L"ExactDefaults"), Record(TreePath), record(L"DefaultDeleted")}), S_OK);
    EXPECT_EQ(Status(), L"assigned ever");
    EXPECT_EQ(Writes(StatusPath).size(), 2u) << "one status for the first record and one for the last";
}

TEST_F(RBACStatusUpdaterTests, BadInputFailsAndLeavesNothingSubscribed) {
    const CModuleLogTail log(L"Rolewarden");
    for (const wchar_t* key : {L"FoldersTreeNodePath", L"RBACStatusNodePath", L"DefaultAssigments"}) {
        KvNodePtr config = m_config.Clone();
        config.GetChildByName(key, false) ? config.GetChildByName(key, true).SetName(KVN_NAME_OWN, L"DefaultAssignments")
                                          : config.DeleteAttribute(key, true);
        Updater(config, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
        EXPECT_TRUE(WaitForUnlock(*RolewardenModule(), 0)) << "an updater without " << key << " is still subscribed";
    }
    const auto updater = Updater(m_config);
    EXPECT_EQ(updater->Configure(nullptr), E_POINTER);
    EXPECT_EQ(updater->Configure(m_config.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(updater.Query<IKvModifySink>()->OnTriggered(nullptr, 1, nullptr), E_POINTER);
    const std::wstring config = L"Config: ", failed = L"CRBACStatusUpdater::Configure failed: ", notFound = failed + L"0x80070490";
    EXPECT_EQ(UpdaterRecords(log), (std::vector<std::wstring>{config, notFound, config, notFound, config, notFound, config, failed + L"0x80004003",
                                                              config, failed + L"0x800704DF", L"CRBACStatusUpdater::OnTriggered failed: 0x80004003"}));
}
