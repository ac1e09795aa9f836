// The whole module under random input, load and faults. Rolewarden.dll runs the sample's roles
// maintainer and status updater (samples/host.tree) on a server holding samples/config.tree, whose role
// definitions change again and again, while a thousand more components of all four classes get the
// sample's configurations moved below \Fuzz and changed at random (fixed seed), random and mutated trees
// are written where they look, a thread calls GetSecurityMapping, the proxy fails writes and queries and
// the log directory cannot be created. Every call must give an HRESULT, and no value of an attribute that
// Logger/HiddenNodeTypeAttrs masks may reach the log. When the faults clear and the sample's trees are
// written again, the sample's roles maintainer must hand out and report what the transformers give,
// fresh components must compute the same documents and status, and everything must be released.
#include "Common/Nodes/NodeSerializer.h"
#include "Support/ComponentHostTest.h"
#include "Support/ModuleLogTail.h"
#include "Support/DataTrees.h"
#include "Support/TestSupport.h"
#include "Support/TransformedSources.h"
#include "Support/TreeCompare.h"

#include <algorithm>
#include <random>
#include <thread>

namespace {

// Read by the module at its first node dump, which has not happened when this executable starts.
const bool g_masked = SetEnvironmentVariableW(L"GS_Logger_HiddenNodeTypeAttrs", L"*: Password; RoleAssignment: Secret") != FALSE;

// Values of the masked attributes carry this text; the log must never show it.
constexpr const wchar_t* SecretMark = L"S3cr3tValue";

const std::pair<GUID, const wchar_t*> g_classes[] = {{CLSID_RolesMaintainer, L"CRolesMaintainer"},
                                                     {CLSID_RoleAssignmentsRefresher, L"CRoleAssignmentsRefresher"},
                                                     {CLSID_LocalGroupMembershipRefresher, L"CLocalGroupMembershipRefresher"},
                                                     {CLSID_RBACStatusUpdater, L"CRBACStatusUpdater"}};
// The sample's source paths moved below \Fuzz, where the fuzzer writes its trees.
const wchar_t* const g_paths[] = {L"\\Fuzz\\Security\\RoleDefinitions\\Builtin", L"\\Fuzz\\Security\\RoleDefinitions\\Compliance",
                                  L"\\Fuzz\\FolderTree"};
const wchar_t* const g_roles[] = {L"FolderViewer", L"Operator", L"DeviceViewer", L"FolderManager", L"ReportReader", L"Auditor"};
const std::vector<std::wstring> Documents = {L"\\Config\\Security\\Mappings\\BuiltinRoles", L"\\Config\\Security\\Mappings\\ComplianceRoles",
                                             L"\\Config\\Security\\Mappings\\UserRoles", L"\\Config\\Security\\Mappings\\ObjectRoles",
                                             L"\\Config\\Security\\RBACStatus"};

// Names the components know, and some they do not, to draw trees from.
const wchar_t* const g_attributeNames[] = {
    L"SourcePath", L"LocalStorageInstance", L"RemoteStorageInstance", L"TargetMappingPath", L"TargetUserRolesMappingPath",
    L"TargetObjectsHierarchyRolesMappingPath", L"FoldersTreeNodePath", L"RBACStatusNodePath", L"RefreshIntervalS",
    L"TargetMappingNodePath", L"GroupsToResolve", L"RoleId", L"SubjectId", L"SubjectDisplayName", L"PreprocessedSubjectId",
    L"IsPredefined", L"LastResolvedDisplayName", L"SecurityTag", L"Include", L"SupportedObjectTypes", L"Password", L"Secret",
    L"Other"};
const wchar_t* const g_types[] = {L"RoleDefinitionSource", L"FoldersTreeSource", L"SecurityMappingSource", L"RoleAssignment",
                                  L"RoleDefinitionItem", L"Folder", L"RootFolder", L"ManagedObjectLink", L"", L"Bogus"};
const wchar_t* const g_nodeNames[] = {L"RoleAssignments", L"DefaultAssigments", L"A", L"Finance", L"Config", L"", L"\\Odd\\Name"};
const wchar_t* const g_values[] = {L"\\Fuzz\\FolderTree", L"\\Fuzz\\Security\\Mappings\\X", L"\\Fuzz\\Security\\RBACStatus", L"RemoteStorage",
                                   L"ConfigServer.Proxy", L"Nowhere", L"win:sid=S-1-5-32-544", L"win:sid=S-1-1-0",
                                   L"win:name=Nobody", L"win:sid=", L"sid=S-1-5-18", L"stag:R[Folder=$Folder;Container=$Container]",
                                   L"stag:x[a=$r", L"Administrators", L"R1", L"", L"0", L"\\Fuzz", L"Folder"};

class CFuzzer {
public:
    explicit CFuzzer(unsigned seed) : m_random(seed) {}

    // The configuration with every path below \Config moved below \Fuzz.
    static KvNodePtr Moved(const KvNodePtr& config) {
        std::string text = SerializeNodeToString(config, KVN_DEPTH_ALL);
        for (size_t at = text.find("\\Config\\"); at != std::string::npos; at = text.find("\\Config\\", at))
            text.replace(at, 8, "\\Fuzz\\");
        return ParseTree(text);
    }

    unsigned Next(unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound - 1)(m_random); }
    template <class T, size_t N>
    T Pick(T (&items)[N]) {
        return items[Next(N)];
    }

    // A tree of up to depth levels below node, attributes of every kind, masked ones among them.
    void Fill(KvNodePtr& node, int depth) {
        for (unsigned i = Next(6); i > 0; --i) {
            const std::wstring name = Pick(g_attributeNames);
            const bool secret = name == L"Password" || (name == L"Secret" && node.GetType() == L"RoleAssignment");
            const std::wstring value = secret ? SecretMark + std::to_wstring(Next(1000)) : std::wstring(Pick(g_values));
            const unsigned kind = Next(6);
            if (kind == 0)
                node.SetStringList(name.c_str(), {value, Pick(g_values)});
            else if (kind == 1)
                node.SetUInt32(name.c_str(), Next(4) == 0 ? 0xFFFFFFFF : Next(100));
            else if (kind == 2)
                node.SetBool(name.c_str(), Next(2) == 1);
            else if (kind == 3)
                node.SetEmpty(name.c_str());
            else
                node.SetString(name.c_str(), value);
        }
        for (unsigned i = depth > 0 ? Next(5) : 0; i > 0; --i) {
            KvNodePtr child = KvNodePtr::Create(Pick(g_nodeNames), Pick(g_types));
            Fill(child, depth - 1);
            // A child the store refuses (no name, a sibling's name) is left out.
            static_cast<void>(KvnAddChild(node.Get(), child.Get()));
        }
    }
    KvNodePtr Tree(const wchar_t* name, int depth) {
        KvNodePtr node = KvNodePtr::Create(name, Pick(g_types));
        Fill(node, depth);
        return node;
    }

    // A configuration that the component takes, or one changed a little or much: an attribute taken
    // away, random attributes and children added, a random tree altogether, or its text form with a few
    // bytes changed, cut or repeated.
    KvNodePtr Config(const KvNodePtr& valid) {
        KvNodePtr config = valid.Clone();
        const std::vector<std::wstring> names = config.GetAttributeNames();
        const unsigned change = Next(6);
        if (change == 0)
            return Tree(L"Config", 3);
        if (change == 1 && !names.empty())
            config.DeleteAttribute(names[Next(static_cast<unsigned>(names.size()))].c_str(), true);
        else if (change == 2)
            Fill(config, 2);
        else if (change == 3)
            return Mutated(config);
        return config;
    }
    KvNodePtr Mutated(const KvNodePtr& tree) {
        std::string text = SerializeNodeToString(tree, KVN_DEPTH_ALL);
        for (unsigned edits = 1 + Next(4); edits > 0 && !text.empty(); --edits) {
            const size_t at = Next(static_cast<unsigned>(text.size()));
            const unsigned edit = Next(3);
            if (edit == 0)
                text[at] = static_cast<char>(Next(256));
            else if (edit == 1)
                text.erase(at, Next(20));
            else
                text.insert(at, text.substr(at, Next(30)));
        }
        KvNodePtr node;
        ULONGLONG count = 1;
        if (KvnParseText(text.data(), text.size(), node.Put(), &count, nullptr) != S_OK || count != 1)
            static_cast<void>(node.Detach());
        return node;
    }

private:
    std::mt19937 m_random;
};

class ModuleStressTests : public ComponentHostTest {
protected:
    void SetUp() override {
        ComponentHostTest::SetUp();
        // The configuration of each component of the sample's host file, by class name; the refreshers
        // run every second.
        for (const KvNodePtr& component : DataTrees(L"SampleHost.tree").at(0).GetChildren()) {
            KvNodePtr config = component.GetChild(0, true).Clone();
            if (config.TryGetAttribute(L"RefreshIntervalS", nullptr, nullptr, nullptr, nullptr))
                config.SetUInt32(L"RefreshIntervalS", 1);
            m_configs.emplace(component.GetString(L"ClassName"), std::move(config));
        }
    }
    void TearDown() override {
        m_configs.clear();
        ComponentHostTest::TearDown();
    }
    InterfacePtr<IConfigurableComponent> Sample(const GUID& classId, const wchar_t* className) {
        InterfacePtr<IConfigurableComponent> component = CreateComponent<IConfigurableComponent>(classId);
        EXPECT_EQ(component->Configure(m_configs.at(className).Get()), S_OK);
        return component;
    }
    // Trees the server may refuse (odd names, a node in the way) are part of the fuzz.
    void TryWrite(const KvNodePtr& tree) const {
        IKvNode* nodes[] = {tree.Get()};
        if (tree)
            static_cast<void>(m_server->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1));
    }
    void WriteSample() const {
        for (const KvNodePtr& tree : DataTrees(L"SampleConfig.tree"))
            Write(tree);
    }
    // The sample's documents (and its status node) as the server holds them.
    std::map<std::wstring, KvNodePtr> Held() const {
        std::map<std::wstring, KvNodePtr> held;
        for (const std::wstring& path : Documents)
            held[path] = Query(path);
        return held;
    }
    // The roles maintainer hands out, and the server holds, what the transformers give for its trees.
    bool MappingsFollowTheTrees(ISecurityMappingProvider* provider) const {
        const std::map<std::wstring, KvNodePtr> expected =
            TransformSources(m_configs.at(L"CRolesMaintainer"), [&](const std::wstring& path) { return Query(path); });
        return std::all_of(Documents.begin(), Documents.end() - 1, [&](const std::wstring& path) {
            KvNodePtr handed;
            return provider->GetSecurityMapping(path.c_str(), 0, handed.Put(), nullptr) == S_OK && IsSameTree(handed, expected.at(path)) &&
                   IsSameTree(Query(path), expected.at(path));
        });
    }

    std::map<std::wstring, KvNodePtr> m_configs;
};

} // namespace

TEST_F(ModuleStressTests, RandomInputLoadAndFaultsEndInWhatFreshComponentsCompute) {
    ASSERT_TRUE(g_masked);
    const CModuleLogTail log(L"Rolewarden");
    WriteSample();
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    AddName(L"RemoteStorage");
    std::map<std::wstring, KvNodePtr> final;
    {
        const InterfacePtr<IConfigurableComponent> maintainer = Sample(CLSID_RolesMaintainer, L"CRolesMaintainer");
        const InterfacePtr<IConfigurableComponent> status = Sample(CLSID_RBACStatusUpdater, L"CRBACStatusUpdater");
        const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
        std::atomic<bool> running{true};
        std::thread reader([&] {
            for (int call = 0; running; ++call) {
                KvNodePtr all;
                const HRESULT hr = provider->GetSecurityMapping(call % 2 ? nullptr : Documents[2].c_str(), 0, all.Put(), nullptr);
                // Random sources fail their transformation; nothing may fail for a reason the module does not know.
                EXPECT_NE(hr, E_UNEXPECTED);
            }
        });
        // Failing writes and queries, and a log directory that cannot be made (the module reads its
        // settings again every 5 s).
        std::thread faults([&] {
            const CScopedEnvironment failingLog(L"GS_Logger_Path", L"Q:\\nowhere\\<logs>\\");
            for (int fault = 0; running; ++fault, Sleep(50))
                (fault % 2 ? proxy->failWrites : proxy->failQueries) = 1;
        });
        // The last component of each class that took its configuration stays, so that its worker or its
        // subscription meets the data written later.
        InterfacePtr<IConfigurableComponent> kept[std::size(g_classes)];
        CFuzzer fuzz(20261206);
        int configured = 0, failed = 0;
        for (int round = 0; round < 1000; ++round) {
            if (round % 10 == 0) {
                for (const wchar_t* path : g_paths)
                    TryWrite(round % 20 ? fuzz.Tree(path, 4) : fuzz.Mutated(fuzz.Tree(path, 3)));
                // The sample's role definitions change: one role's tag and another's includes.
                KvNodePtr builtin = DataTrees(L"SampleConfig.tree").at(0);
                builtin.GetChildByName(L"Operator", true).SetStringList(L"Include", {fuzz.Pick(g_roles)});
                builtin.GetChildByName(L"DeviceViewer", true).SetString(L"SecurityTag", round % 20 ? L"stag:DeviceWatcher[Container=$Container]" : L"stag:X");
                Write(builtin);
            }
            const auto& [classId, className] = g_classes[round % std::size(g_classes)];
            InterfacePtr<IConfigurableComponent> component = CreateComponent<IConfigurableComponent>(classId);
            if (component->Configure(fuzz.Config(CFuzzer::Moved(m_configs.at(className))).Get()) != S_OK) {
                ++failed;
                continue;
            }
            ++configured;
            kept[round % std::size(g_classes)] = std::move(component);
        }
        running = false;
        reader.join();
        faults.join();
        std::printf("%d configurations taken, %d refused, %d calls failed by the proxy\n", configured, failed, proxy->failedCalls.load());
        EXPECT_TRUE(configured > 100 && failed > 100) << "the fuzzer should both configure components and make some fail";
        for (InterfacePtr<IConfigurableComponent>& component : kept)
            component.Reset();
        proxy->failWrites = proxy->failQueries = 0;
        WriteSample();
        ASSERT_TRUE(WaitUntil([&] { return MappingsFollowTheTrees(provider.Get()); })) << "the mapping documents never caught up";
        Settle();
        final = Held();
    }
    // Fresh components on the same trees, with their outputs taken away.
    for (const std::wstring& path : Documents)
        Delete(path);
    {
        const InterfacePtr<IConfigurableComponent> maintainer = Sample(CLSID_RolesMaintainer, L"CRolesMaintainer");
        const InterfacePtr<IConfigurableComponent> status = Sample(CLSID_RBACStatusUpdater, L"CRBACStatusUpdater");
        // In remote storage the first documents may come before the folder tree's data.
        WaitUntil([&] { return std::ranges::all_of(Documents, [&](const std::wstring& path) { return IsSameTree(Query(path), final[path]); }); });
        Settle();
    }
    for (const auto& [path, node] : Held())
        EXPECT_TRUE(SameTree(node, final[path])) << "fresh components give another " << path.c_str() << ":\n" << TreeText(node);
    const std::wstring text = log.Text();
    EXPECT_EQ(text.find(SecretMark), std::wstring::npos) << "a masked attribute's value reached the log";
    EXPECT_NE(text.find(L"********"), std::wstring::npos) << "the masked attributes were logged masked";
}
