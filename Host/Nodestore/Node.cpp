// Nodes, handle references and the tree walks that copy and free whole trees. Trees may be deeper than
// any thread's stack allows for recursion, so every walk here is a loop.
#include "Node.h"

#include <algorithm>

SStoreCounters g_counters;

namespace {

// Below this many children a walk over them is as quick as a lookup.
constexpr size_t IndexFrom = 16;

} // namespace

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
    if (m_byName) {
        const auto found = m_byName->find(childName);
        return found == m_byName->end() ? nullptr : found->second;
    }
    for (CNode* child : children) {
        if (child->name == childName)
            return child;
    }
    return nullptr;
}

HRESULT CNode::CheckChildName(std::wstring_view childName, const CNode* ignore) const noexcept {
    if (childName.empty())
        return KVN_E_INVALID_NAME;
    const CNode* holder = FindChild(childName);
    return holder != nullptr && holder != ignore ? KVN_E_DUPLICATE_NAME : S_OK;
}

void CNode::Index(CNode* child) {
    if (!m_byName && children.size() >= IndexFrom) {
        m_byName = std::make_unique<std::unordered_map<std::wstring_view, CNode*>>();
        for (CNode* each : children)
            m_byName->emplace(each->name, each);
    } else if (m_byName) {
        m_byName->emplace(child->name, child);
    }
}

void CNode::Unindex(const CNode* child) {
    if (m_byName)
        m_byName->erase(child->name);
}

std::wstring CNode::FullPath() const {
    std::vector<const CNode*> chain;
    for (const CNode* node = this; node != nullptr; node = node->parent)
        chain.push_back(node);
    // The names joined by single backslashes, with one in front: a name that is itself a path (a
    // root named "\", a query result or a record's content named by its server path) brings its
    // own separator.
    std::wstring path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        std::wstring_view name = (*it)->name;
        const bool separated = !path.empty() && path.back() == L'\\';
        if (!name.empty() && name[0] == L'\\') {
            if (separated)
                name.remove_prefix(1);
        } else if (!separated) {
            path += L'\\';
        }
        path += name;
    }
    return path;
}

void CNode::Attach(CNode* child) {
    children.push_back(child);
    child->parent = this;
    Index(child);
}

void CNode::Replace(CNode* child, CNode* with) {
    const auto place = std::find(children.begin(), children.end(), child);
    Unindex(child);
    if (with != nullptr) {
        *place = with;
        with->parent = this;
        Index(with);
    } else {
        children.erase(place);
    }
    child->parent = nullptr;
}

void CNode::Rename(std::wstring newName) {
    if (parent != nullptr)
        parent->Unindex(this);
    name = std::move(newName);
    if (parent != nullptr)
        parent->Index(this);
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
