// The RBAC status updater of Rolewarden.dll against the configuration server. Data/RBACStatusUpdater.tree
// holds its configuration and the folder trees written one after the other (none: the tree deleted), each
// with the status, the count of status writes so far and the updater's records it must give.
#include "Common/ErrorHandling.h"
#include "Support/ComponentHostTest.h"
#include "Support/ModuleLogTail.h"
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

namespace {

const std::wstring StatusPath = L"\\Config\\Security\\RBACStatus", TreePath = L"\\Config\\FolderTree";

// The folder tree of a step, named by its server path.
KvNodePtr TreeOf(const KvNodePtr& step) {
    KvNodePtr tree = step.GetChildByName(L"Tree", true).Clone();
    tree.SetName(KVN_NAME_PATH, TreePath.c_str());
    return tree;
}

// The updater's records since the tail began without trace scopes, cut before a node dump or the
// addresses of a failure.
std::vector<std::wstring> UpdaterRecords(const CModuleLogTail& log) {
    std::vector<std::wstring> messages;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        const std::wstring message = record.message.substr(record.message.find_first_not_of(L' '));
        if (record.source == L"RBACStatusUpdater.cpp" && !message.starts_with(L"Entering: ") && !message.starts_with(L"Exiting: ") &&
            !message.starts_with(L"EXCEPTION at: "))
            messages.push_back(message.substr(0, std::min(message.find(L"KvNode["), message.find(L" [0x"))));
    }
    return messages;
}

std::wstring Failed(const wchar_t* operation, HRESULT hr) {
    return operation + std::wstring(L" failed: ") + ToString(SErrorRecord{hr, GetErrorDescription(hr), L""});
}

} // namespace

class RBACStatusUpdaterTests : public ComponentHostTest {
protected:
    void TearDown() override {
        m_updater.Reset();
        ComponentHostTest::TearDown();
    }
    HRESULT Configure(const KvNodePtr& config) {
        m_updater = CreateComponent<IConfigurableComponent>(CLSID_RBACStatusUpdater);
        return m_updater->Configure(config.Get());
    }
    // "none" or "assigned" (UserRolesAssigned), " ever" when UserRolesEverAssigned is true; "no status".
    std::wstring Status() const {
        const KvNodePtr status = Query(StatusPath);
        bool assigned = false, ever = false;
        if (!status || !status.TryGetBool(L"UserRolesAssigned", assigned))
            return L"no status";
        return (assigned ? L"assigned" : L"none") + std::wstring(status.TryGetBool(L"UserRolesEverAssigned", ever) && ever ? L" ever" : L"");
    }

    const KvNodePtr m_scenario = ParseTree(std::string(std::istreambuf_iterator<char>(std::ifstream(
        std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData/RBACStatusUpdater.tree", std::ios::binary).rdbuf()), {}));
    const KvNodePtr m_config = m_scenario.GetChildByName(L"Config", true);
    InterfacePtr<IConfigurableComponent> m_updater;
};

// The updater writes through a fault proxy, which fails the writes of the steps with "FailWrites".
TEST_F(RBACStatusUpdaterTests, ClassifiesRoleAssignmentsAndWritesChangedStatus) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    proxy->failure = KVCFG_E_NODE_NO_PATH;
    AddName(L"ConfigServer.Proxy", proxy.Get());
    AddName(L"ConfigServer.Direct");
    ASSERT_EQ(Configure(m_config), S_OK);
    for (const KvNodePtr& step : m_scenario.GetChildren()) {
        if (step.Get() == m_config.Get())
            continue;
        const CModuleLogTail log(L"Rolewarden");
        int32_t failWrites = 0;
        step.TryGetInt32(L"FailWrites", failWrites);
        proxy->failWrites = failWrites;
        if (step.GetChildCount() == 0)
            Delete(TreePath);
        else
            Write(TreeOf(step));
        Settle();
        EXPECT_EQ(Status(), step.GetString(L"Status")) << step.GetName();
        EXPECT_EQ(Writes(StatusPath).size(), static_cast<size_t>(step.GetInt32(L"Writes"))) << step.GetName();
        EXPECT_EQ(UpdaterRecords(log), step.GetStringList(L"Records", false)) << step.GetName();
    }
    // The host's release ends the subscription while the server lives on.
    m_updater.Reset();
    BOOL locked = TRUE;
    EXPECT_TRUE(RolewardenModule()->IsLocked(&locked) == S_OK && !locked) << "the released updater is still alive";
    Write(TreeOf(m_scenario.GetChildByName(L"DefaultDeleted", true)));
    Settle();
    EXPECT_EQ(Writes(StatusPath).size(), 6u);
}

TEST_F(RBACStatusUpdaterTests, BadInputFailsAndLeavesNothingSubscribed) {
    const CModuleLogTail log(L"Rolewarden");
    const std::function<void(KvNodePtr&)> removals[] = {
        [](KvNodePtr& config) { config.DeleteAttribute(L"FoldersTreeNodePath", true); },
        [](KvNodePtr& config) { config.DeleteAttribute(L"RBACStatusNodePath", true); },
        [](KvNodePtr& config) { config.GetChildByName(L"DefaultAssigments", true).SetName(KVN_NAME_OWN, L"DefaultAssignments"); }};
    for (const auto& remove : removals) {
        KvNodePtr config = m_config.Clone();
        remove(config);
        EXPECT_EQ(Configure(config), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
        m_updater.Reset();
        BOOL locked = TRUE;
        EXPECT_TRUE(RolewardenModule()->IsLocked(&locked) == S_OK && !locked) << "a failed updater is still subscribed";
    }
    ASSERT_EQ(Configure(m_config), S_OK);
    EXPECT_EQ(m_updater->Configure(nullptr), E_POINTER);
    EXPECT_EQ(m_updater->Configure(m_config.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(m_updater.Query<IKvModifySink>()->OnTriggered(nullptr, 1, nullptr), E_POINTER);
    const std::wstring config = L"Config: ", notFound = Failed(L"CRBACStatusUpdater::Configure", HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(UpdaterRecords(log), (std::vector<std::wstring>{config, notFound, config, notFound, config, notFound, config,
                                                              Failed(L"CRBACStatusUpdater::Configure", E_POINTER), config,
                                                              Failed(L"CRBACStatusUpdater::Configure", HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED)),
                                                              Failed(L"CRBACStatusUpdater::OnTriggered", E_POINTER)}));
}

// Threads edit a folder each, every other edit adding a user's role assignment, the last one removing
// it: the final tree holds only the defaults.
TEST_F(RBACStatusUpdaterTests, ConcurrentEditsEndWithTheStatusOfTheFinalTree) {
    Write(TreeOf(m_scenario.GetChildByName(L"ExactDefaults", true)));
    ASSERT_EQ(Configure(m_config), S_OK);
    const KvNodePtr userFolder = TreeOf(m_scenario.GetChildByName(L"DefaultInSubFolder", true)).GetChildByName(L"F", true);
    std::vector<std::future<HRESULT>> writers;
    for (int thread = 0; thread < 4; ++thread) {
        const std::wstring path = TreePath + L"\\F" + std::to_wstring(thread);
        KvNodePtr edits[] = {KvNodePtr::Create(path.c_str(), nullptr), userFolder.Clone()};
        edits[1].SetName(KVN_NAME_PATH, path.c_str());
        writers.push_back(std::async(std::launch::async, [this, edits] {
            HRESULT result = S_OK;
            for (int edit = 1; edit <= 20 && result == S_OK; ++edit) {
                IKvNode* nodes[] = {edits[edit % 2].Get()};
                result = m_server->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1);
            }
            return result;
        }));
    }
    for (std::future<HRESULT>& writer : writers)
        EXPECT_EQ(writer.get(), S_OK);
    Settle();
    EXPECT_EQ(Status(), L"none ever");
    EXPECT_GE(Writes(StatusPath).size(), 3u) << "an edit with a user's role assignment went unseen";
}
