// Random and mutated input through the module's binary interface: configurations of all four
// components, and source data of configured roles maintainers, made from a fixed seed. Every call must
// return an HRESULT (no crash, no hang), leave no object, thread or node handle behind, and no value of
// an attribute that Logger/HiddenNodeTypeAttrs masks may reach the log file.
#include "Common/Nodes/NodeSerializer.h"
#include "Support/ComponentHostTest.h"
#include "Support/ModuleLogTail.h"
#include "Support/SampleTrees.h"

#include <random>

namespace {

// Read by the module at its first node dump, which has not happened when this executable starts.
const bool g_masked = SetEnvironmentVariableW(L"GS_Logger_HiddenNodeTypeAttrs", L"*: Password; RoleAssignment: Secret") != FALSE;

// Values of the masked attributes carry this text; the log must never show it.
constexpr const wchar_t* SecretMark = L"S3cr3tValue";

// The components, with the sample's configurations, which the fuzzer changes.
const struct {
    const GUID* classId;
    const wchar_t* name;
} g_classes[] = {{&CLSID_RolesMaintainer, L"CRolesMaintainer"},
                 {&CLSID_RoleAssignmentsRefresher, L"CRoleAssignmentsRefresher"},
                 {&CLSID_LocalGroupMembershipRefresher, L"CLocalGroupMembershipRefresher"},
                 {&CLSID_RBACStatusUpdater, L"CRBACStatusUpdater"}};
// The sample's source paths, where the fuzzer writes its trees.
const wchar_t* const g_paths[] = {L"\\Config\\Security\\RoleDefinitions\\Builtin", L"\\Config\\Security\\RoleDefinitions\\Compliance",
                                  L"\\Config\\FolderTree"};

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
const wchar_t* const g_values[] = {L"\\Config\\FolderTree", L"\\Config\\Security\\Mappings\\X", L"\\Config\\Security\\RBACStatus", L"RemoteStorage",
                                   L"ConfigServer.Proxy", L"Nowhere", L"win:sid=S-1-5-32-544", L"win:sid=S-1-1-0",
                                   L"win:name=Nobody", L"win:sid=", L"sid=S-1-5-18", L"stag:R[Folder=$Folder;Container=$Container]",
                                   L"stag:x[a=$r", L"Administrators", L"R1", L"", L"0", L"\\", L"Folder"};

class CFuzzer {
public:
    explicit CFuzzer(unsigned seed) : m_random(seed) {}

    unsigned Next(unsigned bound) { return std::uniform_int_distribution<unsigned>(0, bound - 1)(m_random); }

    template <class T, size_t N>
    T Pick(T (&items)[N]) {
        return items[Next(N)];
    }

    // A tree of up to depth levels below node, attributes of every kind, masked ones among them.
    void Fill(KvNodePtr& node, int depth) {
        const unsigned attributes = Next(6);
        for (unsigned i = 0; i < attributes; ++i) {
            const wchar_t* name = Pick(g_attributeNames);
            const std::wstring attribute = name;
            const bool secret = attribute == L"Password" || (attribute == L"Secret" && node.GetType() == L"RoleAssignment");
            const std::wstring value = secret ? SecretMark + std::to_wstring(Next(1000)) : std::wstring(Pick(g_values));
            switch (Next(6)) {
            case 0:
                node.SetStringList(name, {value, Pick(g_values)});
                break;
            case 1:
                node.SetUInt32(name, Next(4) == 0 ? 0xFFFFFFFF : Next(100));
                break;
            case 2:
                node.SetBool(name, Next(2) == 1);
                break;
            case 3:
                node.SetEmpty(name);
                break;
            default:
                node.SetString(name, value);
            }
        }
        const unsigned children = depth > 0 ? Next(5) : 0;
        for (unsigned i = 0; i < children; ++i) {
            KvNodePtr child = KvNodePtr::Create(Pick(g_nodeNames), Pick(g_types));
            Fill(child, depth - 1);
            // A child the store refuses (no name, a sibling's name) is left out.
            static_cast<void>(KvnAddChild(node.Get(), child.Get()));
        }
    }

    // A configuration that the component takes, or one changed a little or much: an attribute taken
    // away, random attributes and children added, or a random tree altogether.
    KvNodePtr Config(const KvNodePtr& valid) {
        KvNodePtr config = valid.Clone();
        switch (Next(5)) {
        case 0:
            return Tree(L"Config", 3);
        case 1: {
            const std::vector<std::wstring> names = config.GetAttributeNames();
            if (!names.empty())
                config.DeleteAttribute(names[Next(static_cast<unsigned>(names.size()))].c_str(), true);
            return config;
        }
        case 2:
            Fill(config, 2);
            return config;
        default:
            return config;
        }
    }

    KvNodePtr Tree(const wchar_t* name, int depth) {
        KvNodePtr node = KvNodePtr::Create(name, Pick(g_types));
        Fill(node, depth);
        return node;
    }

    // The tree's text form with a few bytes changed, cut or repeated; read back when it still parses.
    KvNodePtr Mutated(const KvNodePtr& tree) {
        std::string text = SerializeNodeToString(tree, KVN_DEPTH_ALL);
        for (unsigned edits = 1 + Next(4); edits > 0 && !text.empty(); --edits) {
            const size_t at = Next(static_cast<unsigned>(text.size()));
            switch (Next(3)) {
            case 0:
                text[at] = static_cast<char>(Next(256));
                break;
            case 1:
                text.erase(at, Next(20));
                break;
            default:
                text.insert(at, text.substr(at, Next(30)));
            }
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

class ModuleFuzzTests : public SampleHostTest {};

} // namespace

TEST_F(ModuleFuzzTests, RandomInputGivesResultsNeverCrashesNorLeaksNorShowsSecrets) {
    ASSERT_TRUE(g_masked);
    const CModuleLogTail log(L"Rolewarden");
    AddName(L"RemoteStorage");
    CFuzzer fuzz(20261206);
    // Trees the server may refuse (odd names) are part of the fuzz; only the module's answers count.
    const auto write = [&](const KvNodePtr& tree) {
        IKvNode* nodes[] = {tree.Get()};
        if (tree)
            static_cast<void>(m_server->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1));
    };
    // The last component of each class that took its configuration stays, so that its worker or its
    // subscription meets the data written later.
    InterfacePtr<IConfigurableComponent> kept[std::size(g_classes)];
    int configured = 0, failed = 0;
    for (int round = 0; round < 1000; ++round) {
        if (round % 10 == 0) {
            for (const wchar_t* path : g_paths)
                write(fuzz.Tree(path, 3));
        }
        const size_t kind = round % std::size(g_classes);
        KvNodePtr config = fuzz.Config(m_configs.at(g_classes[kind].name));
        if (round % 3 == 0)
            config = fuzz.Mutated(config);
        InterfacePtr<IConfigurableComponent> component = CreateComponent<IConfigurableComponent>(*g_classes[kind].classId);
        ASSERT_TRUE(component);
        const HRESULT hr = component->Configure(config.Get());
        if (hr != S_OK) {
            ++failed;
            continue;
        }
        ++configured;
        if (kind == 0) {
            // Source data that changes under the roles maintainer, and a query of everything.
            write(fuzz.Tree(g_paths[2], 4));
            write(fuzz.Mutated(fuzz.Tree(g_paths[0], 3)));
            Settle();
            KvNodePtr all;
            const HRESULT query = component.Query<ISecurityMappingProvider>()->GetSecurityMapping(nullptr, 0, all.Put(), nullptr);
            EXPECT_TRUE(query == S_OK || query == S_FALSE || query < 0) << std::hex << query;
        }
        kept[kind] = std::move(component);
    }
    for (InterfacePtr<IConfigurableComponent>& component : kept)
        component.Reset();
    Settle();
    std::printf("%d configurations taken, %d refused\n", configured, failed);
    EXPECT_GT(configured, 100) << "the fuzzer should configure some components";
    EXPECT_GT(failed, 100) << "and make some configurations fail";
    const std::wstring text = log.Text();
    EXPECT_EQ(text.find(SecretMark), std::wstring::npos) << "a masked attribute's value reached the log";
    EXPECT_NE(text.find(L"********"), std::wstring::npos) << "the masked attributes were logged masked";
    EXPECT_NE(text.find(L" failed: 0x"), std::wstring::npos);
}
