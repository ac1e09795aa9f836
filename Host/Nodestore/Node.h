// The store's tree: nodes with their attributes, parent and children, and the handle references that
// keep them alive. A handle is the node's own address, so every lookup of a node gives the same value.
// A parent owns its children; a detached root lives while it has a handle. Callers hold the store lock
// (NodeStore.cpp) unless no other thread can reach the tree yet, as while reading text.
#pragma once

#include "AttributeValue.h"

#include <atomic>
#include <vector>

// The handle type is the node's base class; it carries nothing.
struct IKvNode {};

struct SAttribute {
    std::wstring name;
    SValue value;
};

class CNode final : public IKvNode {
public:
    CNode(std::wstring name, std::wstring type);
    ~CNode();
    CNode(const CNode&) = delete;
    CNode& operator=(const CNode&) = delete;

    static CNode* FromHandle(IKvNode* handle) noexcept { return static_cast<CNode*>(handle); }

    void AddHandle() noexcept;
    // Drops one handle reference; the last one of a detached root frees its tree (FreeTree).
    void CloseHandle() noexcept;
    ULONG Handles() const noexcept { return m_handles; }

    SAttribute* FindAttribute(std::wstring_view name) noexcept;
    CNode* FindChild(std::wstring_view name) const noexcept;
    // Attached: the parent's path, a backslash and the name. Detached: the name when it starts with a
    // backslash, else a backslash and the name.
    std::wstring FullPath() const;
    // Makes child this node's last child. The child is a detached root that does not hold this node.
    void Attach(CNode* child);

    std::wstring name;
    std::wstring type;
    CNode* parent = nullptr;
    std::vector<CNode*> children;
    std::vector<SAttribute> attributes;

private:
    ULONG m_handles = 0;
};

// Frees a root and every node below it that holds no handle; a node below that holds one becomes a
// detached root. Walks without recursion and without allocating.
void FreeTree(CNode* root) noexcept;

// A detached copy of node with its subtree to depth levels (0: the node alone), without handles. The
// copy's root is named by the source's full path when the source is attached. Throws std::bad_alloc and
// then leaves nothing behind.
CNode* CopyTree(const CNode& node, ULONGLONG depth);

// Live handle references, nodes and serialization contexts, for KvnGetStoreCounters.
struct SStoreCounters {
    std::atomic<ULONGLONG> handles{0};
    std::atomic<ULONGLONG> nodes{0};
    std::atomic<ULONGLONG> serializations{0};
};
extern SStoreCounters g_counters;
