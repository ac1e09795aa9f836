// Test trees written in the store's text form, read back through the store, the text of trees for
// comparisons and messages, and the case tables that the node, store and server tests keep as data.
#pragma once

#include "Common/Nodes/NodeSerializer.h"
#include "Support/NodeStoreTest.h"
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <functional>

// The one tree that text holds.
inline KvNodePtr ParseTree(const std::string& text) {
    KvNodePtr tree;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), tree.Put(), &count, nullptr), S_OK) << text;
    return tree;
}

// The store's text of a node with its whole subtree, on one line unless flags ask for a layout; "-" for
// no node.
inline std::string TreeText(const KvNodePtr& node, ULONG flags = 0) {
    std::string text = node ? "" : "-";
    IKvNode* const nodes[] = {node.Get()};
    CNodeSerializer serializer(KvnSerializationText, flags, text);
    if (node)
        serializer.SerializeNodes(nodes, 1, KVN_DEPTH_ALL);
    serializer.Finalize();
    return text;
}

// A result as data files write it: "0x" and eight upper-case hexadecimal digits.
inline std::string HrText(HRESULT hr) {
    char text[11];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// The cases of TestData\<name> beside the test executable: one a line, its fields split at " | ", with
// "\xNN" standing for a byte; blank lines and lines starting with "#" are left out.
inline std::vector<std::vector<std::string>> ReadCases(const char* name) {
    std::ifstream file(std::filesystem::path(TestExecutablePath()).parent_path() / "TestData" / name);
    EXPECT_TRUE(file) << "no data file " << name;
    std::vector<std::vector<std::string>> cases;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        // A "\x" without two hexadecimal digits stays as it is; the search goes on after it.
        for (size_t at = line.find("\\x"); at != std::string::npos; at = line.find("\\x", at + 1)) {
            if (at + 3 < line.size() && isxdigit(line[at + 2]) && isxdigit(line[at + 3]))
                line.replace(at, 4, 1, static_cast<char>(std::stoi(line.substr(at + 2, 2), nullptr, 16)));
        }
        cases.emplace_back();
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 3)
            cases.back().push_back(line.substr(start, (end = line.find(" | ", start)) - start));
    }
    return cases;
}

// One row of a call table: a call, the result it must give and what the row shows.
struct SCall {
    std::function<HRESULT()> call;
    HRESULT expected;
    const char* what = "";
};

// Makes the calls in order and expects each row's result.
inline void ExpectCalls(const std::vector<SCall>& table) {
    for (const SCall& row : table)
        EXPECT_EQ(row.call(), row.expected) << row.what;
}
