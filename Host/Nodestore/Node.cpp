// Nodes, handle references and the tree walks that copy and free whole trees. Trees may be deeper than
// any thread's stack allows for recursion, so every walk here is a loop.
#include "Node.h"

SStoreCounters g_counters;

CNode::CNode(std::wstring name, std::wstring type) : name(std::move(name)), type(std::move(type)) {
    ++g_counters.nodes;
}

CNode::~CNode() {
    --g_counters.nodes;
}

void CNode::AddHandle() noexcept {
    ++m_handles;
    ++g_counters.handles;
}

void CNode::CloseHandle() noexcept {
    --m_handles;
    --g_counters.handles;
    if (m_handles == 0 && parent == nullptr)
        FreeTree(this);
}

SAttribute* CNode::FindAttribute(std::wstring_view attributeName) noexcept {
    for (SAttribute& attribute : attributes) {
        if (attribute.name == attributeName)
            return &attribute;
    }
    return nullptr;
}

CNode* CNode::FindChild(std::wstring_view childName) const noexcept {
    for (CNode* child : children) {
        if (child->name == childName)
            return child;
    }
    return nullptr;
}

std::wstring CNode::FullPath() const {
    std::vector<const CNode*> chain;
    for (const CNode* node = this; node != nullptr; node = node->parent)
        chain.push_back(node);
    std::wstring path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        // A root named "\" (or named by a path ending in one) gives no second separator.
        if (path.empty() ? (*it)->name.empty() || (*it)->name[0] != L'\\' : path.back() != L'\\')
            path += L'\\';
        path += (*it)->name;
    }
    return path;
}

void CNode::Attach(CNode* child) {
    children.push_back(child);
    child->parent = this;
}

void FreeTree(CNode* root) noexcept {
    // Depth first, taking children off the back; the parent pointer leads back up.
    CNode* node = root;
    while (node != nullptr) {
        if (!node->children.empty()) {
            CNode* child = node->children.back();
            node->children.pop_back();
            if (child->Handles() > 0)
                child->parent = nullptr;
            else
                node = child;
            continue;
        }
        CNode* up = node == root ? nullptr : node->parent;
        delete node;
        node = up;
    }
}

CNode* CopyTree(const CNode& node, ULONGLONG depth) {
    struct SPending {
        const CNode* source;
        CNode* copy;
        ULONGLONG level;
    };
    auto* root = new CNode(node.parent ? node.FullPath() : node.name, node.type);
    try {
        root->attributes = node.attributes;
        std::vector<SPending> pending{{&node, root, 0}};
        while (!pending.empty()) {
            const SPending next = pending.back();
            pending.pop_back();
            if (next.level >= depth)
                continue;
            // Room first, so that a new child is never left without an owner.
            next.copy->children.reserve(next.source->children.size());
            for (const CNode* child : next.source->children) {
                auto* copy = new CNode(child->name, child->type);
                next.copy->Attach(copy);
                copy->attributes = child->attributes;
                pending.push_back({child, copy, next.level + 1});
            }
        }
    } catch (...) {
        FreeTree(root);
        throw;
    }
    return root;
}
