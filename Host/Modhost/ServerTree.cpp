// Paths, lookups and the four changes of the server's tree.
#include "ServerTree.h"

#include "Interfaces/KvNodeStore.h"

#include <algorithm>

CNodePath CNodePath::Parse(const std::wstring& text, bool allowRoot, HRESULT invalid) {
    if (text.empty() || text[0] != L'\\')
        HostThrow(invalid);
    CNodePath path;
    path.m_text = text;
    if (text.size() == 1) {
        if (!allowRoot)
            HostThrow(invalid);
        return path;
    }
    size_t start = 1;
    for (;;) {
        const size_t end = text.find(L'\\', start);
        std::wstring name = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (name.empty())
            HostThrow(invalid);
        path.m_names.push_back(std::move(name));
        if (end == std::wstring::npos)
            return path;
        start = end + 1;
    }
}

const std::wstring& CNodePath::Name() const {
    static const std::wstring root;
    return m_names.empty() ? root : m_names.back();
}

std::wstring CNodePath::ParentText() const {
    if (m_names.empty())
        return std::wstring();
    std::wstring parent;
    for (size_t i = 0; i + 1 < m_names.size(); ++i)
        parent += L'\\' + m_names[i];
    return parent.empty() ? L"\\" : parent;
}

std::wstring CNodePath::RelativeText(const CNodePath& descendant) const {
    std::wstring relative;
    for (size_t i = m_names.size(); i < descendant.m_names.size(); ++i)
        relative += (relative.empty() ? L"" : L"\\") + descendant.m_names[i];
    return relative;
}

bool CNodePath::IsAncestorOf(const CNodePath& other) const {
    return m_names.size() < other.m_names.size() && std::equal(m_names.begin(), m_names.end(), other.m_names.begin());
}

CServerTree::CServerTree() : m_root(CHostNode::Create(L"\\", nullptr)) {}

CHostNode CServerTree::Find(const CNodePath& path) const {
    // A relative walk from the root: an absolute path never matches from a root named "\".
    return path.IsRoot() ? m_root : m_root.Walk(path.Text().c_str() + 1);
}

void CStagedIndex::Add(const STreeOp& op, size_t index) {
    m_at[op.path.Text()] = index;
    if (op.kind == STreeOp::Delete || op.kind == STreeOp::Subtree)
        m_cutting[op.path.Text()] = index;
    if (op.kind == STreeOp::Delete)
        return;
    std::wstring prefix;
    const std::vector<std::wstring>& names = op.path.Names();
    m_below[L"\\"] = index;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        prefix += L'\\' + names[i];
        m_below[prefix] = index;
    }
}

bool CStagedIndex::ExistsAfter(const CServerTree& tree, const CNodePath& path, const std::vector<STreeOp>& ops) const {
    // The last op that bears on path, and what it makes of it.
    size_t last = 0;
    bool found = false, exists = false;
    const auto consider = [&](const std::unordered_map<std::wstring, size_t>& map, const std::wstring& key, auto decide) {
        const auto entry = map.find(key);
        if (entry != map.end() && (!found || entry->second > last)) {
            found = true;
            last = entry->second;
            exists = decide(ops[last]);
        }
    };
    consider(m_at, path.Text(), [](const STreeOp& op) { return op.kind != STreeOp::Delete; });
    consider(m_below, path.Text(), [](const STreeOp&) { return true; });
    std::wstring prefix;
    const std::vector<std::wstring>& names = path.Names();
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        prefix += L'\\' + names[i];
        consider(m_cutting, prefix, [&](const STreeOp& op) {
            return op.kind == STreeOp::Subtree && static_cast<bool>(op.node.Walk(op.path.RelativeText(path).c_str()));
        });
    }
    return found ? exists : tree.Exists(path);
}

bool CStagedIndex::Touches(const CNodePath& path) const {
    if (m_at.count(path.Text()) != 0 || m_below.count(path.Text()) != 0)
        return true;
    std::wstring prefix;
    const std::vector<std::wstring>& names = path.Names();
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        prefix += L'\\' + names[i];
        if (m_cutting.count(prefix) != 0)
            return true;
    }
    return false;
}

void CStagedIndex::Clear() {
    m_at.clear();
    m_cutting.clear();
    m_below.clear();
}

CHostNode CServerTree::MakeParent(const CNodePath& path) {
    CHostNode node = m_root;
    const std::vector<std::wstring>& names = path.Names();
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        CHostNode child = node.Child(names[i].c_str());
        if (!child) {
            child = CHostNode::Create(names[i].c_str(), nullptr);
            node.AddChild(child);
        }
        node = std::move(child);
    }
    return node;
}

void CServerTree::Apply(const STreeOp& op) {
    CHostNode node = Find(op.path);
    switch (op.kind) {
    case STreeOp::Merge:
        if (node)
            CopyAttributes(op.node, node);
        else
            MakeParent(op.path).AddChild(op.node);
        break;
    case STreeOp::Attributes:
        for (const std::wstring& name : node.AttributeNames())
            node.DeleteAttribute(name.c_str());
        CopyAttributes(op.node, node);
        break;
    case STreeOp::Subtree:
        if (node)
            HostCheck(KvnReplaceNode(node.Get(), op.node.Get()));
        else
            MakeParent(op.path).AddChild(op.node);
        break;
    case STreeOp::Delete:
        HostCheck(KvnReplaceNode(node.Get(), nullptr));
        break;
    }
}

void CopyAttributes(const CHostNode& from, const CHostNode& to) {
    for (const std::wstring& name : from.AttributeNames()) {
        USHORT type = KVN_TYPE_NONE;
        std::string bytes;
        if (from.Raw(name.c_str(), type, bytes))
            to.SetRaw(name.c_str(), type, bytes);
    }
}

namespace {

std::vector<CHostNode> ChildrenOf(const CHostNode& node) {
    return node ? node.Children() : std::vector<CHostNode>();
}

bool SameNode(const CHostNode& a, const CHostNode& b) {
    if (a.Name() != b.Name() || a.Type() != b.Type())
        return false;
    const std::vector<std::wstring> names = a.AttributeNames();
    if (names.size() != b.AttributeNames().size())
        return false;
    for (const std::wstring& name : names) {
        USHORT aType = 0, bType = 0;
        std::string aBytes, bBytes;
        if (!a.Raw(name.c_str(), aType, aBytes) || !b.Raw(name.c_str(), bType, bBytes) || aType != bType || aBytes != bBytes)
            return false;
    }
    return true;
}

} // namespace

bool SameChildren(const CHostNode& a, const CHostNode& b) {
    // Pairs of child lists still to compare; a loop, since trees may be deep.
    std::vector<std::pair<std::vector<CHostNode>, std::vector<CHostNode>>> pending;
    pending.emplace_back(ChildrenOf(a), ChildrenOf(b));
    while (!pending.empty()) {
        const auto [as, bs] = std::move(pending.back());
        pending.pop_back();
        if (as.size() != bs.size())
            return false;
        for (size_t i = 0; i < as.size(); ++i) {
            if (!SameNode(as[i], bs[i]))
                return false;
            pending.emplace_back(as[i].Children(), bs[i].Children());
        }
    }
    return true;
}

void CheckNamesBelow(const CHostNode& root) {
    std::vector<CHostNode> pending = root.Children();
    while (!pending.empty()) {
        const CHostNode node = std::move(pending.back());
        pending.pop_back();
        if (node.Name().find(L'\\') != std::wstring::npos)
            HostThrow(KVCFG_E_INVALID_NODE_NAME);
        for (CHostNode& child : node.Children())
            pending.push_back(std::move(child));
    }
}
