// Test trees written in the store's text form, read back through the store, and the text of trees for
// comparisons and messages.
#pragma once

#include "Common/Nodes/NodeSerializer.h"
#include "Support/NodeStoreTest.h"

#include <initializer_list>

// The one tree that text holds.
inline KvNodePtr ParseTree(const std::string& text) {
    KvNodePtr tree;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), tree.Put(), &count, nullptr), S_OK) << text;
    return tree;
}

// The store's text of nodes with their whole subtrees, on one line unless flags ask for a layout; "-"
// when the first node is null.
inline std::string TreeText(std::initializer_list<IKvNode*> list, ULONG flags = 0) {
    std::string text;
    if (list.size() == 0 || *list.begin() == nullptr)
        return "-";
    CNodeSerializer serializer(KvnSerializationText, flags, text);
    serializer.SerializeNodes(list.begin(), list.size(), KVN_DEPTH_ALL);
    serializer.Finalize();
    return text;
}

inline std::string TreeText(const KvNodePtr& node) { return TreeText({node.Get()}); }
