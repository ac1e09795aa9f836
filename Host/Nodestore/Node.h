// The store's tree: nodes with their attributes, parent and children, and the handle references that
// keep them alive. A handle is the node's own address, so every lookup of a node gives the same value.
// A parent owns its children; a detached root lives while it has a handle. Callers hold the store lock
// (NodeStore.cpp) unless no other thread can reach the tree yet, as while reading text.
#pragma once

#include "AttributeValue.h"

#include <atomic>
#include <memory>
#include <string_view>
#include <unordered_map>
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
    // S_OK when a child of this name could be attached here: KVN_E_INVALID_NAME for an empty name,
    // KVN_E_DUPLICATE_NAME when another child has it already (ignore: a child that may keep its name).
    HRESULT CheckChildName(std::wstring_view name, const CNode* ignore = nullptr) const noexcept;
    // The names from the root down to this node, joined by single backslashes, with one in front. A
    // name that starts with a backslash (a path) brings its own: a detached root named by a path has
    // that path, and so has a node named by a path below a root named "" or "\".
    std::wstring FullPath() const;
    // Makes child this node's last child. The child is a detached root that does not hold this node;
    // its name has passed CheckChildName.
    void Attach(CNode* child);
    // Puts with (a detached root, or null to remove) in child's place; child becomes a detached root.
    void Replace(CNode* child, CNode* with);
    // Gives this node a new own name; an attached node's name has passed its parent's CheckChildName.
    void Rename(std::wstring newName);

    // Read freely under the store lock; changed only through Attach, Replace, Rename and FreeTree.
    std::wstring name;
    std::wstring type;
    CNode* parent = nullptr;
    std::vector<CNode*> children;
    std::vector<SAttribute> attributes;

private:
    void Index(CNode* child);
    void Unindex(const CNode* child);

    ULONG m_handles = 0;
    // Children by name, kept once a node has many: a name lookup, and the check of every new child's
    // name, would otherwise cost a walk over all of them.
    std::unique_ptr<std::unordered_map<std::wstring_view, CNode*>> m_byName;
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
