// Helpers of the Rolewarden tests: trees in the store's text form read from the files under Data/
// (copied next to the test executable), scenarios that run transformers over such files as the
// roles maintainer does, tree comparison that shows both texts on a difference, and the messages
// of the module log.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// Every tree of the file Data/<name>; an unreadable file fails the test and gives none.
std::vector<KvNodePtr> LoadTrees(const wchar_t* name);
// A node with string attributes.
KvNodePtr MakeNode(const wchar_t* name, const std::vector<std::pair<const wchar_t*, std::wstring>>& attributes);
// CompareNodes with options 0, tree by tree; on a difference the message holds the texts of both.
::testing::AssertionResult SameTrees(const std::vector<KvNodePtr>& expected, const std::vector<KvNodePtr>& actual);

// A scenario file: its first tree, "Sources", holds source configurations ("RoleDefinitionSource" or
// "FoldersTreeSource" nodes with SourcePath and their target names); the other trees are the data,
// each named by its full path. Every role definition source's data is in the registry.
struct SScenario {
    explicit SScenario(const wchar_t* name);
    // The tree at the source's path, or empty.
    KvNodePtr Data(const KvNodePtr& source) const;
    // The source's transformer over its data.
    std::vector<KvNodePtr> Run(const KvNodePtr& source) const;
    // Every source in configuration order; the documents one after the other.
    std::vector<KvNodePtr> RunAll() const;

    std::vector<KvNodePtr> trees;
    std::vector<KvNodePtr> sources;
    std::shared_ptr<CRoleDefinitionRegistry> registry = std::make_shared<CRoleDefinitionRegistry>();
};

// The messages of the records of that severity ("WARN", "DBG") that log received, in order, without
// their indentation.
std::vector<std::wstring> Messages(const CModuleLogTail& log, const wchar_t* severity);
