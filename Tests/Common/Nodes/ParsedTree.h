// Test trees written in the store's text form, read back through the store, and the text of trees for
// comparisons and messages.
#pragma once

#include "Common/Nodes/NodeSerializer.h"
#include "Support/NodeStoreTest.h"

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
