// The configuration server's tree and the operations a transaction applies to it. The tree lives in the
// node store, one detached root named "\" per server; clients only ever see copies of it. Callers hold
// the server's lock.
#pragma once

#include "HostSupport.h"
#include "Interfaces/ConfigProxy.h"

#include <string>
#include <unordered_map>
#include <vector>

// A server path: the names below the root, in order (none for the root "\" itself).
class CNodePath {
public:
    // An absolute path of non-empty names; otherwise raises invalid. allowRoot: "\" is accepted.
    static CNodePath Parse(const std::wstring& text, bool allowRoot, HRESULT invalid = E_INVALIDARG);

    const std::wstring& Text() const noexcept { return m_text; }
    const std::vector<std::wstring>& Names() const noexcept { return m_names; }
    bool IsRoot() const noexcept { return m_names.empty(); }
    // The last name; empty for the root.
    const std::wstring& Name() const;
    // The path of the parent ("\" for a node right below the root); empty for the root.
    std::wstring ParentText() const;
    // The path below this one that leads to descendant, without a leading backslash.
    std::wstring RelativeText(const CNodePath& descendant) const;

    bool operator==(const CNodePath& other) const { return m_names == other.m_names; }
    // True when other lies below this path.
    bool IsAncestorOf(const CNodePath& other) const;
    // True when one of the two paths is the other or lies below it.
    bool IsRelated(const CNodePath& other) const { return *this == other || IsAncestorOf(other) || other.IsAncestorOf(*this); }

private:
    std::vector<std::wstring> m_names;
    std::wstring m_text;
};

// One change of a transaction.
struct STreeOp {
    enum EKind { Merge = KV_WRITE_MERGE, Attributes = KV_WRITE_ATTRIBUTES, Subtree = KV_WRITE_SUBTREE, Delete };

    EKind kind;
    CNodePath path;
    // The server's own copy of the written node, a detached root already named by path's last name:
    // the node alone for Merge and Attributes, the whole subtree for Subtree, empty for Delete.
    CHostNode node;
    // Merge and Attributes: the caller's node when it came with children, which these modes do not
    // write; they must be those the server holds. Checked and dropped when the op is staged.
    CHostNode children;
};

class CServerTree {
public:
    CServerTree();

    // The node at path, or empty.
    CHostNode Find(const CNodePath& path) const;
    bool Exists(const CNodePath& path) const { return static_cast<bool>(Find(path)); }
    // Applies op; it has been checked (Attributes and Delete need the node). Subtree and a created Merge
    // node move op.node into the tree.
    void Apply(const STreeOp& op);

private:
    // The parent of path, created with its missing ancestors.
    CHostNode MakeParent(const CNodePath& path);

    CHostNode m_root;
};

// What the ops of a transaction staged so far do to which paths, so that whether a path exists once they
// are applied is known without walking them all: every op that bears on a path decides it alone (a
// write at it or below it makes it exist, a deletion at it or above it removes it, a subtree written
// above it decides by its own content), so the last one of them is the answer.
class CStagedIndex {
public:
    // op is ops[index], staged after every op added before.
    void Add(const STreeOp& op, size_t index);
    // Whether path exists in tree once the ops added so far (from ops) are applied.
    bool ExistsAfter(const CServerTree& tree, const CNodePath& path, const std::vector<STreeOp>& ops) const;
    // Whether an op added so far may change what lies at or below path.
    bool Touches(const CNodePath& path) const;
    void Clear();

private:
    // By path text: the last op at the path, the last deletion or subtree write at it, and the last
    // op other than a deletion strictly below it.
    std::unordered_map<std::wstring, size_t> m_at, m_cutting, m_below;
};

// The bytes-exact copy of every attribute of from onto to; to's other attributes stay.
void CopyAttributes(const CHostNode& from, const CHostNode& to);
// Whether the children of a and b (either may be empty: no children) are the same subtrees: names,
// types, attributes and children, in order.
bool SameChildren(const CHostNode& a, const CHostNode& b);
// KVCFG_E_INVALID_NODE_NAME when a node below root has a backslash in its name: its path would name
// another node.
void CheckNamesBelow(const CHostNode& root);
