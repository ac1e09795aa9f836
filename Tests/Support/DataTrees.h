// The trees of the data files that the build copies beside the component test executables
// (RolewardenData/<file>, in the node store's text form).
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/KvNodeStore.h"
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

// Every tree of the file, in order; a file that cannot be read fails the test and gives none.
inline std::vector<KvNodePtr> DataTrees(const wchar_t* file) {
    // Each file is read once per process; the tests' main threads are its only callers.
    static std::map<std::wstring, std::string> texts;
    std::string& text = texts[file];
    if (text.empty()) {
        std::ifstream in(std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData" / file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<IKvNode*> roots(64);
    ULONGLONG count = roots.size();
    const bool read = !text.empty() && KvnParseText(text.data(), text.size(), roots.data(), &count, nullptr) == S_OK;
    EXPECT_TRUE(read) << "cannot read the trees of " << std::filesystem::path(file);
    std::vector<KvNodePtr> trees;
    for (ULONGLONG i = 0; read && i < count; ++i)
        trees.emplace_back(roots[i], true);
    return trees;
}

inline KvNodePtr DataTree(const wchar_t* file) {
    std::vector<KvNodePtr> trees = DataTrees(file);
    return trees.empty() ? KvNodePtr() : trees[0];
}
