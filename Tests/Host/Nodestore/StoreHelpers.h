// Small owners and readers over the store's C functions, for the store's own tests.
#pragma once

#include "Support/NodeStoreTest.h"

#include <memory>
#include <string>
#include <vector>

struct SCloseNode {
    void operator()(IKvNode* node) const { KvnCloseNodeHandle(node); }
};
using Handle = std::unique_ptr<IKvNode, SCloseNode>;

inline Handle Make(const wchar_t* name, const wchar_t* type = nullptr) {
    IKvNode* node = nullptr;
    EXPECT_EQ(KvnCreateNode(name, type, &node), S_OK);
    return Handle(node);
}

inline std::wstring NodeName(IKvNode* node, ULONG kind) {
    ULONG size = 0;
    EXPECT_EQ(KvnGetNodeName(node, kind, nullptr, &size), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    std::wstring name(size, L'?');
    EXPECT_EQ(KvnGetNodeName(node, kind, name.data(), &size), S_OK);
    name.resize(size - 1);
    return name;
}

inline HRESULT CollectText(const void* data, ULONG size, void* context) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    return S_OK;
}

// The nodes' text, with the store's final 0 byte when flags ask for a document.
inline std::string Serialize(std::vector<IKvNode*> nodes, ULONG flags = KVN_SERIALIZE_READABLE,
                             ULONG depth = KVN_DEPTH_ALL) {
    std::string text;
    KvnSerializationContext* context = nullptr;
    EXPECT_EQ(KvnStartSerialization(KvnSerializationText, flags, CollectText, &text, &context), S_OK);
    EXPECT_EQ(KvnSerializeNodes(context, nodes.data(), nodes.size(), depth), S_OK);
    EXPECT_EQ(KvnFinalizeSerialization(context), S_OK);
    KvnCloseSerializationContext(context);
    return text;
}

inline std::vector<Handle> Parse(const std::string& text, HRESULT expected = S_OK, KvnTextError* error = nullptr) {
    std::vector<IKvNode*> nodes(16);
    ULONGLONG count = nodes.size();
    KvnTextError ignored{};
    EXPECT_EQ(KvnParseText(text.data(), text.size(), nodes.data(), &count, error ? error : &ignored), expected);
    std::vector<Handle> trees;
    for (ULONGLONG i = 0; expected == S_OK && i < count; ++i)
        trees.emplace_back(nodes[i]);
    return trees;
}
