// The whole module under load and faults: Rolewarden.dll runs its four components on one configuration
// server holding the sample's trees, grown to several thousand nodes, while threads edit the role
// definitions, the folders and the role assignments, the proxy fails writes and queries, the local
// group refresher is configured anew and the log directory cannot be created. When the edits stop and
// the faults clear, every document, refreshed role assignment and status node must be what fresh
// components of the module compute from the final trees, and everything must be released.
#include "Support/ComponentHostTest.h"
#include "Support/ModuleLogTail.h"
#include "Support/SampleTrees.h"
#include "Support/TestSupport.h"
#include "Support/TransformedSources.h"
#include "Support/TreeCompare.h"

#include <map>
#include <random>
#include <thread>

namespace {

constexpr const wchar_t* Tree = L"\\Config\\FolderTree";
constexpr const wchar_t* Builtin = L"\\Config\\Security\\RoleDefinitions\\Builtin";
constexpr const wchar_t* Compliance = L"\\Config\\Security\\RoleDefinitions\\Compliance";
constexpr const wchar_t* Status = L"\\Config\\Security\\RBACStatus";
constexpr const wchar_t* LocalGroups = L"\\Config\\Security\\Mappings\\LocalGroups";
const std::vector<std::wstring> Documents = {L"\\Config\\Security\\Mappings\\BuiltinRoles", L"\\Config\\Security\\Mappings\\ComplianceRoles",
                                             L"\\Config\\Security\\Mappings\\UserRoles", L"\\Config\\Security\\Mappings\\ObjectRoles"};

// Subjects the machine resolves and subjects nobody can, and the roles they get.
const wchar_t* const g_subjects[] = {L"win:sid=S-1-1-0", L"win:sid=S-1-5-32-544", L"win:sid=S-1-5-32-545", L"win:name=Administrators",
                                     L"win:name=Users", L"win:name=CORP\\ops", L"win:sid=S-1-5-21-1000-4242"};
const wchar_t* const g_roles[] = {L"FolderViewer", L"Operator", L"DeviceViewer", L"FolderManager", L"ReportReader", L"Auditor"};

KvNodePtr Assignment(const wchar_t* name, const wchar_t* role, const wchar_t* subject) {
    KvNodePtr assignment = KvNodePtr::Create(name, L"RoleAssignment");
    assignment.SetString(L"RoleId", role);
    assignment.SetString(L"SubjectId", subject);
    assignment.SetString(L"SubjectDisplayName", L"unknown yet");
    return assignment;
}

// A region of the folder tree: sites of folders and managed-object links, role assignments at every
// level.
KvNodePtr Region(int region, std::mt19937& random) {
    KvNodePtr node = KvNodePtr::Create((L"Region" + std::to_wstring(region)).c_str(), L"Folder");
    for (int site = 0; site < 8; ++site) {
        KvNodePtr folder = KvNodePtr::Create((L"Site" + std::to_wstring(site)).c_str(), L"Folder");
        for (int object = 0; object < 12; ++object) {
            KvNodePtr link = KvNodePtr::Create((L"Device" + std::to_wstring(object)).c_str(),
                                               object % 3 ? L"ManagedObjectLink" : L"Folder");
            if (object == 0) {
                KvNodePtr assignments = KvNodePtr::Create(L"RoleAssignments", nullptr);
                assignments.AddChild(Assignment(L"A", g_roles[random() % std::size(g_roles)], g_subjects[random() % std::size(g_subjects)]));
                link.AddChild(assignments);
            }
            folder.AddChild(link);
        }
        if (site % 2 == 0) {
            KvNodePtr assignments = KvNodePtr::Create(L"RoleAssignments", nullptr);
            assignments.AddChild(Assignment(L"B", g_roles[random() % std::size(g_roles)], g_subjects[random() % std::size(g_subjects)]));
            folder.AddChild(assignments);
        }
        node.AddChild(folder);
    }
    return node;
}

class ModuleLoadTests : public SampleHostTest {
protected:
    InterfacePtr<IConfigurableComponent> Component(const GUID& classId, const wchar_t* className) {
        InterfacePtr<IConfigurableComponent> component = CreateComponent<IConfigurableComponent>(classId);
        EXPECT_EQ(component ? component->Configure(m_configs.at(className).Get()) : E_FAIL, S_OK);
        return component;
    }

    // Ignores what the server answers: edits race with one another (a site deleted twice, say).
    void TryWrite(const KvNodePtr& node, ULONG mode) const {
        IKvNode* nodes[] = {node.Get()};
        static_cast<void>(m_server->WriteNodes(nullptr, mode, nodes, 1));
    }

    // What the transformers of this test executable give for the server's current trees.
    std::map<std::wstring, KvNodePtr> Transformed() const {
        return TransformSources(m_configs.at(L"CRolesMaintainer"), [&](const std::wstring& path) { return Query(path); });
    }
    bool DocumentsAreTransformed() const {
        const std::map<std::wstring, KvNodePtr> expected = Transformed();
        return std::all_of(Documents.begin(), Documents.end(),
                           [&](const std::wstring& path) { return IsSameTree(Query(path), expected.at(path)); });
    }

    // Waits until the log shows a whole refresh of the role assignments that stored nothing and did not
    // fail, begun after log was made. The log is a file the module writes, so it is read again and again
    // until that run is there; the limit only ends a test that went wrong.
    static bool WaitForRefreshWithoutChanges(const CModuleLogTail& log) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::wstring text = log.Text();
            for (size_t at = text.find(L"Entering: CRoleAssignmentsRefresher::Refresh"); at != std::wstring::npos;
                 at = text.find(L"Entering: CRoleAssignmentsRefresher::Refresh", at + 1)) {
                const size_t end = text.find(L"Exiting: CRoleAssignmentsRefresher::Refresh", at);
                if (end == std::wstring::npos)
                    break;
                const std::wstring_view run(text.data() + at, end - at);
                if (run.find(L"Storing updated role assignment") == std::wstring_view::npos &&
                    run.find(L"CRoleAssignmentsRefresher::Refresh failed") == std::wstring_view::npos &&
                    run.find(L"Entering: CRoleAssignmentsRefresher::Refresh", 1) == std::wstring_view::npos)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
};

} // namespace

TEST_F(ModuleLoadTests, EditsAndFaultsEndInWhatFreshComponentsCompute) {
    // The sample's trees, the folder tree grown by thirty regions.
    std::mt19937 random(13);
    for (KvNodePtr& tree : DataTrees(L"SampleConfig.tree")) {
        if (tree.GetPath() == Tree) {
            for (int region = 0; region < 30; ++region)
                tree.AddChild(Region(region, random));
        }
        Write(tree);
    }
    // Made while the log directory is the usual one; restarted where a phase begins.
    CModuleLogTail log(L"Rolewarden");
    KvnStoreCounters counters{};
    KvnGetStoreCounters(&counters);
    ASSERT_GT(counters.nodes, 3000u) << "the server's tree holds several thousand nodes";

    // The components reach the server through proxies that fail on demand.
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    AddName(L"RemoteStorage");
    {
        InterfacePtr<IConfigurableComponent> maintainer = Component(CLSID_RolesMaintainer, L"CRolesMaintainer");
        InterfacePtr<IConfigurableComponent> refresher = Component(CLSID_RoleAssignmentsRefresher, L"CRoleAssignmentsRefresher");
        InterfacePtr<IConfigurableComponent> localGroups = Component(CLSID_LocalGroupMembershipRefresher, L"CLocalGroupMembershipRefresher");
        InterfacePtr<IConfigurableComponent> status = Component(CLSID_RBACStatusUpdater, L"CRBACStatusUpdater");

        // Callers of GetSecurityMapping all along, which process pending changes on their own threads.
        std::atomic<bool> editing{true};
        std::vector<std::thread> readers;
        const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
        for (int reader = 0; reader < 2; ++reader) {
            readers.emplace_back([&, reader] {
                while (editing) {
                    KvNodePtr all;
                    const HRESULT hr = provider->GetSecurityMapping(reader ? nullptr : Documents[2].c_str(), 0, all.Put(), nullptr);
                    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
                }
            });
        }
        std::vector<std::thread> editors;
        // Role definitions: one role's tag and another's includes change back and forth.
        editors.emplace_back([&] {
            std::mt19937 own(1);
            for (int edit = 0; edit < 20; ++edit) {
                KvNodePtr builtin = Query(Builtin);
                builtin.GetChildByName(L"DeviceViewer", true)
                    .SetString(L"SecurityTag", edit % 2 ? L"stag:DeviceViewer[Container=$Container]" : L"stag:DeviceWatcher[Container=$Container]");
                builtin.GetChildByName(L"Operator", true).SetStringList(L"Include", {g_roles[own() % std::size(g_roles)]});
                TryWrite(builtin, KV_WRITE_SUBTREE);
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
            }
        });
        // Folders: sites deleted, regions rewritten, new regions.
        editors.emplace_back([&] {
            std::mt19937 own(2);
            for (int edit = 0; edit < 30; ++edit) {
                const std::wstring region = std::wstring(Tree) + L"\\Region" + std::to_wstring(own() % 40);
                if (edit % 3 == 0) {
                    static_cast<void>(m_server->DeleteNode(nullptr, (region + L"\\Site" + std::to_wstring(own() % 8)).c_str()));
                } else {
                    KvNodePtr fresh = Region(static_cast<int>(own() % 40), own);
                    fresh.SetName(KVN_NAME_PATH, region.c_str());
                    TryWrite(fresh, KV_WRITE_SUBTREE);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        // Role assignments: other subjects and roles, merged into existing ones or written anew.
        editors.emplace_back([&] {
            std::mt19937 own(3);
            for (int edit = 0; edit < 60; ++edit) {
                const std::wstring path = std::wstring(Tree) + L"\\Region" + std::to_wstring(own() % 30) + L"\\Site" +
                                          std::to_wstring(2 * (own() % 4)) + L"\\RoleAssignments\\B";
                KvNodePtr assignment = Assignment(L"B", g_roles[own() % std::size(g_roles)], g_subjects[own() % std::size(g_subjects)]);
                assignment.SetName(KVN_NAME_PATH, path.c_str());
                TryWrite(assignment, edit % 2 ? KV_WRITE_MERGE : KV_WRITE_SUBTREE);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        // Faults: failing writes and queries, a log directory that cannot be made (the module reads its
        // settings again every 5 s), and the local group refresher configured anew.
        editors.emplace_back([&] {
            CScopedEnvironment failingLog(L"GS_Logger_Path", L"Q:\\nowhere\\<logs>\\");
            for (int fault = 0; fault < 16; ++fault) {
                (fault % 2 ? proxy->failWrites : proxy->failQueries) += 2;
                if (fault == 8) {
                    KvNodePtr& groups = m_configs.at(L"CLocalGroupMembershipRefresher");
                    groups.SetStringList(L"GroupsToResolve", {L"Users", L"Guests"});
                    EXPECT_EQ(localGroups->Configure(groups.Get()), S_OK);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            }
        });
        for (std::thread& editor : editors)
            editor.join();
        editing = false;
        for (std::thread& reader : readers)
            reader.join();
        EXPECT_GT(proxy->failedCalls, 0) << "the faults hit the components";

        // The faults clear; the trees are written again as they are, so that what failed is made again.
        proxy->failWrites = proxy->failQueries = 0;
        log.Restart();
        ASSERT_TRUE(WaitForRefreshWithoutChanges(log)) << "the role assignments never settled";
        for (const wchar_t* path : {Builtin, Compliance, Tree})
            Write(Query(path));
        Settle();
        ASSERT_TRUE(WaitUntil([&] { return DocumentsAreTransformed(); })) << "the mapping documents never caught up";
        Settle();
        const std::map<std::wstring, KvNodePtr> expected = Transformed();
        for (const std::wstring& path : Documents) {
            KvNodePtr held;
            EXPECT_TRUE(provider->GetSecurityMapping(path.c_str(), 0, held.Put(), nullptr) == S_OK &&
                        IsSameTree(held, expected.at(path)))
                << "GetSecurityMapping hands out another " << path.c_str();
        }
    }

    // The final state, then fresh components of the module on the same trees, with the outputs taken
    // away (the local group document replaced by a stale one, so that the fresh refresher writes it).
    std::map<std::wstring, KvNodePtr> final;
    for (const std::wstring& path : Documents)
        final[path] = Query(path);
    for (const wchar_t* path : {Tree, Status, LocalGroups})
        final[path] = Query(path);
    ASSERT_TRUE(final[Status] && final[LocalGroups]) << "the status and the local group mapping were written";
    for (const std::wstring& path : Documents)
        Delete(path);
    Delete(Status);
    Write("<node name=\"\\Config\\Security\\Mappings\\LocalGroups\" type=\"SecurityTagMapping\"><node name=\"0000\">"
          "<attr name=\"SecurityId\" code=\"2\">stale</attr></node></node>");
    const KvNodePtr stale = Query(LocalGroups);
    AddName(L"ConfigServer.Proxy");
    ClearWrites();
    {
        log.Restart();
        InterfacePtr<IConfigurableComponent> maintainer = Component(CLSID_RolesMaintainer, L"CRolesMaintainer");
        InterfacePtr<IConfigurableComponent> refresher = Component(CLSID_RoleAssignmentsRefresher, L"CRoleAssignmentsRefresher");
        InterfacePtr<IConfigurableComponent> localGroups = Component(CLSID_LocalGroupMembershipRefresher, L"CLocalGroupMembershipRefresher");
        InterfacePtr<IConfigurableComponent> status = Component(CLSID_RBACStatusUpdater, L"CRBACStatusUpdater");
        ASSERT_TRUE(WaitUntil([&] {
            return std::all_of(Documents.begin(), Documents.end(), [&](const std::wstring& path) { return Query(path); }) &&
                   Query(Status) && !IsSameTree(Query(LocalGroups), stale);
        })) << "the fresh components did not write their outputs";
        ASSERT_TRUE(WaitForRefreshWithoutChanges(log));
        Settle();
    }
    for (const auto& [path, node] : final)
        EXPECT_TRUE(SameTree(Query(path), node)) << "fresh components give another " << path.c_str() << ":\n"
                                                              << TreeText(Query(path)) << "\nthan the loaded module:\n"
                                                              << TreeText(node);
    EXPECT_TRUE(Writes(Tree).empty()) << "a fresh refresh of the final role assignments changed some";
}
