// Helpers of the Rolewarden tests.
#include "RolewardenTestSupport.h"

#include "Common/Nodes/NodeSerializer.h"
#include "Interfaces/KvNodeStore.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"
#include "Support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

std::vector<KvNodePtr> LoadTrees(const wchar_t* name) {
    std::ifstream file(std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData" / name, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    IKvNode* roots[16] = {};
    ULONGLONG count = std::size(roots);
    KvnTextError error{};
    std::vector<KvNodePtr> trees;
    const HRESULT hr = KvnParseText(text.data(), text.size(), roots, &count, &error);
    EXPECT_TRUE(hr == S_OK && !text.empty()) << "cannot read a tree at line " << error.line << " of " << name;
    for (ULONGLONG i = 0; hr == S_OK && i < count; ++i)
        trees.emplace_back(roots[i], true);
    return trees;
}

KvNodePtr MakeNode(const wchar_t* name, const std::vector<std::pair<const wchar_t*, std::wstring>>& attributes) {
    KvNodePtr node = KvNodePtr::Create(name, nullptr);
    for (const auto& [attribute, value] : attributes)
        node.SetString(attribute, value);
    return node;
}

::testing::AssertionResult SameTrees(const std::vector<KvNodePtr>& expected, const std::vector<KvNodePtr>& actual) {
    for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
        const KvNodePtr a = i < expected.size() ? expected[i] : KvNodePtr(), b = i < actual.size() ? actual[i] : KvNodePtr();
        if (!KvNodePtr::CompareNodes(a, b)) {
            const auto text = [](const KvNodePtr& node) { return node ? SerializeNodeToString(node, KVN_DEPTH_ALL) : "(none)"; };
            return ::testing::AssertionFailure() << "tree " << i << " expected:\n" << text(a) << "\nactual:\n" << text(b);
        }
    }
    return ::testing::AssertionSuccess();
}

SScenario::SScenario(const wchar_t* name) : trees(LoadTrees(name)) {
    sources = trees.empty() ? sources : trees[0].GetChildren();
    for (const KvNodePtr& source : sources) {
        if (source.GetType() == L"RoleDefinitionSource")
            registry->Update(source.GetString(L"SourcePath"), Data(source));
    }
}

KvNodePtr SScenario::Data(const KvNodePtr& source) const {
    const std::wstring path = source.GetString(L"SourcePath");
    const auto data = std::find_if(trees.begin(), trees.end(), [&](const KvNodePtr& tree) { return tree.GetPath() == path; });
    return data == trees.end() ? KvNodePtr() : *data;
}

std::vector<KvNodePtr> SScenario::Run(const KvNodePtr& source) const {
    std::unique_ptr<ISourceTransformer> transformer;
    if (source.GetType() == L"RoleDefinitionSource")
        transformer = std::make_unique<CRoleDefinitionTransformer>(source, registry);
    else
        transformer = std::make_unique<CFolderTreeSecurityTransformer>(source, registry);
    return transformer->TransformData(Data(source));
}

std::vector<KvNodePtr> SScenario::RunAll() const {
    std::vector<KvNodePtr> documents;
    for (const KvNodePtr& source : sources) {
        for (KvNodePtr& document : Run(source))
            documents.push_back(std::move(document));
    }
    return documents;
}

std::vector<std::wstring> Messages(const CModuleLogTail& log, const wchar_t* severity) {
    std::vector<std::wstring> messages;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        if (record.severity == severity)
            messages.push_back(record.message.substr(std::min(record.message.find_first_not_of(L' '), record.message.size())));
    }
    return messages;
}
