// Test trees written in the store's text form and read back through the store.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Support/NodeStoreTest.h"

// The one tree that text holds.
inline KvNodePtr ParseTree(const std::string& text) {
    KvNodePtr tree;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), tree.Put(), &count, nullptr), S_OK) << text;
    return tree;
}
