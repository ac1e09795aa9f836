// Helpers of the Rolewarden tests.
#include "RolewardenTestSupport.h"

#include "Common/Nodes/NodeSerializer.h"
#include "Interfaces/KvNodeStore.h"
#include "Support/TestSupport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

std::vector<KvNodePtr> ParseTrees(std::string_view text) {
    IKvNode* roots[64] = {};
    ULONGLONG count = std::size(roots);
    KvnTextError error{};
    const HRESULT hr = KvnParseText(text.data(), text.size(), roots, &count, &error);
    std::vector<KvNodePtr> trees;
    EXPECT_EQ(hr, S_OK) << "text not readable at line " << error.line << ", column " << error.column;
    if (hr == S_OK) {
        for (ULONGLONG i = 0; i < count; ++i)
            trees.emplace_back(roots[i], true);
    }
    return trees;
}

KvNodePtr ParseTree(std::string_view text) {
    std::vector<KvNodePtr> trees = ParseTrees(text);
    EXPECT_EQ(trees.size(), 1u);
    return trees.empty() ? KvNodePtr() : std::move(trees[0]);
}

std::vector<KvNodePtr> LoadTrees(const wchar_t* name) {
    const std::filesystem::path path =
        std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData" / name;
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file.good()) << "cannot open " << path.string();
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return ParseTrees(text);
}

KvNodePtr MakeNode(const wchar_t* name, const std::vector<std::pair<const wchar_t*, std::wstring>>& attributes) {
    KvNodePtr node = KvNodePtr::Create(name, nullptr);
    for (const auto& [attribute, value] : attributes)
        node.SetString(attribute, value);
    return node;
}

::testing::AssertionResult SameTree(const KvNodePtr& expected, const KvNodePtr& actual) {
    if (KvNodePtr::CompareNodes(expected, actual))
        return ::testing::AssertionSuccess();
    const auto text = [](const KvNodePtr& node) {
        return node ? SerializeNodeToString(node, KVN_DEPTH_ALL) : std::string("(no node)");
    };
    return ::testing::AssertionFailure() << "expected:\n" << text(expected) << "\nactual:\n" << text(actual);
}

CLogCapture::CLogCapture() {
    EXPECT_TRUE(LogManager::Instance()->AddLogger(this));
}

CLogCapture::~CLogCapture() {
    LogManager::Instance()->RemoveLogger(this);
}

void CLogCapture::Write(const wchar_t* text, int length) noexcept {
    // date | severity | process thread | file:line | indentation and message CR LF
    std::wstring line = length < 0 ? std::wstring(text) : std::wstring(text, length);
    size_t fields[4] = {};
    size_t position = 0;
    for (size_t& field : fields) {
        position = line.find(L'|', position);
        if (position == std::wstring::npos)
            return;
        field = ++position;
    }
    std::wstring severity = line.substr(fields[0], fields[1] - fields[0] - 1);
    severity.erase(std::remove(severity.begin(), severity.end(), L' '), severity.end());
    const size_t start = line.find_first_not_of(L' ', fields[3]);
    const size_t end = line.find_last_not_of(L"\r\n");
    m_records.emplace_back(severity, start == std::wstring::npos || end < start ? std::wstring()
                                                                                : line.substr(start, end - start + 1));
}

bool CLogCapture::Has(const wchar_t* severity, const std::wstring& message) const {
    return std::find(m_records.begin(), m_records.end(), std::make_pair(std::wstring(severity), message)) !=
           m_records.end();
}

std::vector<std::wstring> CLogCapture::Messages(const wchar_t* severity) const {
    std::vector<std::wstring> messages;
    for (const auto& [tag, message] : m_records) {
        if (tag == severity)
            messages.push_back(message);
    }
    return messages;
}
