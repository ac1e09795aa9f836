// The configuration server: transactions, queries, subscriptions and the two kinds of notification.
#include "ConfigServer.h"

#include "NodeModifyEnum.h"

#include <algorithm>

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT InvalidStateHr = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

struct SFilter {
    CNodePath path;
    ULONGLONG depth;
};

SFilter ParseFilter(IKvNode* filter) {
    HostNotNull(filter);
    const CHostNode node = CHostNode::Share(filter);
    std::wstring path;
    if (node.Type() != L"FilterByPath")
        HostThrow(E_INVALIDARG);
    if (!node.TryString(L"NodePath", path))
        HostThrow(KVCFG_E_FILTER_NO_NODE_PATH);
    bool isParent = false;
    int64_t depth = KVN_DEPTH_ALL;
    node.TryBool(L"IsParent", isParent);
    node.TryInt64(L"MaxDepth", depth);
    if (isParent || depth < 0)
        HostThrow(E_INVALIDARG);
    return {CNodePath::Parse(path, true), std::min<ULONGLONG>(depth, KVN_DEPTH_ALL)};
}

// The server's own copy of a written node, named for its place in the tree.
STreeOp MakeWrite(ULONG mode, IKvNode* written) {
    if (mode != KV_WRITE_MERGE && mode != KV_WRITE_ATTRIBUTES && mode != KV_WRITE_SUBTREE)
        HostThrow(KVCFG_E_UNKNOWN_WRITE_MODE);
    const CHostNode node = CHostNode::Share(HostNotNull(written));
    STreeOp op{static_cast<STreeOp::EKind>(mode), CNodePath::Parse(node.Name(KVN_NAME_PATH), false, KVCFG_E_NODE_NO_PATH),
               node.Clone(mode == KV_WRITE_SUBTREE ? KVN_DEPTH_ALL : 0), CHostNode()};
    op.node.SetName(KVN_NAME_OWN, op.path.Name());
    if (mode == KV_WRITE_SUBTREE)
        CheckNamesBelow(op.node);
    else if (!node.Children().empty())
        op.children = node;
    return op;
}

// Attributes and Delete change a node that must be there.
bool NeedsNode(const STreeOp& op) {
    return op.kind == STreeOp::Attributes || op.kind == STreeOp::Delete;
}

GUID NewGuid() {
    GUID id;
    HostCheck(CoCreateGuid(&id));
    return id;
}

} // namespace

CSubscription::CSubscription(const std::shared_ptr<CServerCore>& server, CNodePath path, ULONGLONG depth,
                             ULONG changesMask, ULONG options, CHostRef<IKvModifySink> sink)
    : server(server), owner(server.get()), path(std::move(path)), depth(depth), changesMask(changesMask),
      options(options), id(NewGuid()), sink(std::move(sink)) {}

namespace {

// The core behind a subscription or update object, while the server has not shut down.
std::shared_ptr<CServerCore> Alive(const std::weak_ptr<CServerCore>& server) {
    std::shared_ptr<CServerCore> core = server.lock();
    if (!core)
        HostThrow(InvalidStateHr);
    return core;
}

} // namespace

HRESULT CSubscription::Start() {
    return HostCall([&] {
        Alive(server)->Start(*this);
        return S_OK;
    });
}

HRESULT CSubscription::Stop() {
    return HostCall([&] {
        Alive(server)->Unsubscribe(*this);
        return S_OK;
    });
}

HRESULT CSubscription::GetId(GUID* out) {
    if (out == nullptr)
        return E_POINTER;
    *out = id;
    return S_OK;
}

CUpdate::~CUpdate() {
    if (const std::shared_ptr<CServerCore> core = server.lock()) {
        // A destructor lets nothing out; the rollback's only failures are the sinks', which it ignores.
        static_cast<void>(HostCall([&] {
            core->Rollback(*this);
            return S_OK;
        }));
    }
}

void CServerCore::ThrowIfClosed() const {
    if (m_closed)
        HostThrow(InvalidStateHr);
}

CHostRef<CUpdate> CServerCore::BeginUpdate() {
    CHostRef<CUpdate> update = CHostRef<CUpdate>::Attach(new CUpdate(shared_from_this(), GetCurrentThreadId()));
    std::unique_lock guard(m_lock);
    ThrowIfClosed();
    if (!m_openUpdates.emplace(update->thread, update.Get()).second)
        HostThrow(InvalidStateHr);
    update->open = true;
    return update;
}

HRESULT CServerCore::EndUpdate(IComponentBase* object) {
    CUpdate& update = ResolveOwn<IUpdateIdentity, CUpdate>(object);
    if (update.owner != this)
        HostThrow(E_INVALIDARG);
    std::unique_lock delivery(m_deliveryLock);
    std::vector<SSyncRecord> records;
    std::vector<STreeOp> ops;
    HRESULT result = S_OK;
    {
        std::unique_lock guard(m_lock);
        ThrowIfClosed();
        if (!update.open)
            HostThrow(KVCFG_E_END_WITHOUT_BEGIN);
        update.open = false;
        m_openUpdates.erase(update.thread);
        ops.swap(update.ops);
        update.staged.Clear();
        try {
            records = Commit(ops);
        } catch (const CHostError& error) {
            result = error.result;
            records = SyncRecords(ops, nullptr);
        }
    }
    Deliver(records, result >= 0);
    return result;
}

void CServerCore::Rollback(CUpdate& update) {
    std::unique_lock delivery(m_deliveryLock);
    std::vector<SSyncRecord> records;
    {
        std::unique_lock guard(m_lock);
        if (m_closed || !update.open)
            return;
        update.open = false;
        m_openUpdates.erase(update.thread);
        records = SyncRecords(update.ops, nullptr);
        update.ops.clear();
        update.staged.Clear();
    }
    Deliver(records, 0);
}

void CServerCore::Write(IComponentBase* context, STreeOp op) {
    CUpdate* named = nullptr;
    if (context != nullptr) {
        named = &ResolveOwn<IUpdateIdentity, CUpdate>(context);
        if (named->owner != this)
            HostThrow(E_INVALIDARG);
    }
    {
        std::unique_lock guard(m_lock);
        ThrowIfClosed();
        CUpdate* update = named;
        if (update == nullptr) {
            const auto open = m_openUpdates.find(GetCurrentThreadId());
            update = open == m_openUpdates.end() ? nullptr : open->second;
        } else if (!update->open) {
            HostThrow(InvalidStateHr);
        }
        // Modes 0 and 2 leave children as they are, so the children a caller sends along must be those
        // held; where the transaction changed the place already, nobody can tell them apart cheaply.
        if (op.children && !(update != nullptr && update->staged.Touches(op.path)) && !SameChildren(op.children, m_tree.Find(op.path)))
            HostThrow(KVCFG_E_CHILDREN_DIFFER);
        op.children = CHostNode();
        if (update != nullptr) {
            if (NeedsNode(op) && !update->staged.ExistsAfter(m_tree, op.path, update->ops))
                HostThrow(KVCFG_E_NODE_MISSING);
            update->staged.Add(op, update->ops.size());
            update->ops.push_back(std::move(op));
            return;
        }
    }
    // A transaction of its own. The delivery lock comes first, so the slim lock is taken again; this
    // thread has no open update, and only it could have opened one meanwhile.
    std::vector<STreeOp> ops;
    ops.push_back(std::move(op));
    std::unique_lock delivery(m_deliveryLock);
    std::vector<SSyncRecord> records;
    {
        std::unique_lock guard(m_lock);
        ThrowIfClosed();
        records = Commit(ops);
    }
    Deliver(records, 1);
}

std::vector<CServerCore::SSyncRecord> CServerCore::SyncRecords(const std::vector<STreeOp>& ops,
                                                                std::vector<bool>* existed) const {
    std::vector<SSyncRecord> records;
    CStagedIndex staged;
    for (size_t i = 0; i < ops.size(); ++i) {
        const STreeOp& op = ops[i];
        const bool exists = staged.ExistsAfter(m_tree, op.path, ops);
        staged.Add(op, i);
        if (existed != nullptr)
            existed->push_back(exists);
        ULONG mask = KV_CHANGE_MODIFIED;
        if (op.kind == STreeOp::Delete)
            mask = KV_CHANGE_DELETED;
        else if (!exists)
            mask = KV_CHANGE_CREATED;
        else if (op.kind == STreeOp::Subtree)
            mask = KV_CHANGE_CREATED | KV_CHANGE_DELETED | KV_CHANGE_MODIFIED;
        records.push_back({mask, op.path.Text()});
    }
    return records;
}

std::vector<CServerCore::SSyncRecord> CServerCore::Commit(const std::vector<STreeOp>& ops) {
    std::vector<bool> existed;
    std::vector<SSyncRecord> records = SyncRecords(ops, &existed);
    for (size_t i = 0; i < ops.size(); ++i) {
        if (NeedsNode(ops[i]) && !existed[i])
            HostThrow(KVCFG_E_NODE_MISSING);
    }
    struct STouched {
        CSubscription* subscription;
        bool before;
    };
    std::vector<STouched> touched;
    for (const CHostRef<CSubscription>& subscription : m_subscriptions) {
        const CNodePath& path = subscription->path;
        if (subscription->started &&
            std::any_of(ops.begin(), ops.end(), [&](const STreeOp& op) { return op.path.IsRelated(path); }))
            touched.push_back({subscription.Get(), m_tree.Exists(path)});
    }
    for (const STreeOp& op : ops)
        m_tree.Apply(op);
    // The records of one commit come in one call per sink, in the order of the subscriptions.
    std::vector<CNotificationQueue::SItem> calls;
    for (const STouched& entry : touched) {
        CSubscription& subscription = *entry.subscription;
        const bool after = m_tree.Exists(subscription.path);
        if (!entry.before && !after)
            continue;
        const ULONG mask = !entry.before ? KV_CHANGE_CREATED : !after ? KV_CHANGE_DELETED : KV_CHANGE_MODIFIED;
        if ((mask & subscription.changesMask) == 0)
            continue;
        auto call = std::find_if(calls.begin(), calls.end(), [&](const auto& item) { return item.sink.Get() == subscription.sink.Get(); });
        if (call == calls.end())
            call = calls.insert(calls.end(), {subscription.sink, {}});
        call->records.push_back({CHostRef<IKvModifySubscription>::Share(&subscription), MakeRecord(subscription, mask)});
    }
    for (CNotificationQueue::SItem& call : calls)
        m_queue.Post(std::move(call));
    return records;
}

CHostNode CServerCore::MakeRecord(const CSubscription& subscription, ULONG mask) const {
    // The content is a copy, which the store names by its server path as it names a query result,
    // under a record without a name: its path is that path while the record holds it, and stays so
    // when a sink keeps the content and lets the record go.
    CHostNode record = CHostNode::Create(nullptr, nullptr);
    record.SetString(L"ModifiedNodePath", subscription.path.Text());
    record.SetUInt32(L"ChangesMask", mask);
    if (const CHostNode node = m_tree.Find(subscription.path))
        record.AddChild(node.Clone(subscription.depth));
    return record;
}

void CServerCore::Deliver(const std::vector<SSyncRecord>& records, int apply) {
    if (records.empty())
        return;
    std::vector<CHostRef<INodeModifySink>> sinks;
    {
        std::shared_lock guard(m_lock);
        for (const SSyncSink& entry : m_syncSinks)
            sinks.push_back(entry.sink);
    }
    // Each call on its own: a sink that fails, in whatever way, does not keep the others from hearing;
    // the failure is counted.
    const auto call = [](auto&& body) {
        try {
            if (body() < 0)
                ++g_sinkFailures;
        } catch (...) {
            ++g_sinkFailures;
        }
    };
    for (const CHostRef<INodeModifySink>& sink : sinks) {
        call([&] { return sink->OnBeginModifications(); });
        for (const SSyncRecord& record : records) {
            const SNodeModifyRecord raw{record.mask, record.path.c_str()};
            call([&] { return sink->OnModified(&raw); });
        }
        call([&] { return sink->OnEndModifications(); });
        call([&] { return sink->OnFinish(apply); });
    }
}

ULONG CServerCore::Query(IKvNode* filter, IKvNode** node) {
    const SFilter parsed = ParseFilter(filter);
    std::shared_lock guard(m_lock);
    ThrowIfClosed();
    const CHostNode found = m_tree.Find(parsed.path);
    if (!found)
        return 0;
    *node = found.Clone(parsed.depth).Detach();
    return 1;
}

CHostRef<CSubscription> CServerCore::Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink) {
    SFilter parsed = ParseFilter(filter);
    const CHostNode options = CHostNode::Share(HostNotNull(request));
    int32_t changesMask = KV_SUBSCRIBE_CHANGES_ALL;
    int32_t optionBits = 0;
    options.TryInt32(L"ChangesMask", changesMask);
    options.TryInt32(L"SubscribeOptions", optionBits);
    CHostRef<CSubscription> subscription = CHostRef<CSubscription>::Attach(
        new CSubscription(shared_from_this(), std::move(parsed.path), parsed.depth, changesMask, optionBits,
                          CHostRef<IKvModifySink>::Share(HostNotNull(sink))));
    std::unique_lock guard(m_lock);
    ThrowIfClosed();
    m_subscriptions.push_back(subscription);
    return subscription;
}

void CServerCore::Unsubscribe(IComponentBase* object) {
    CSubscription& subscription = ResolveOwn<ISubscriptionIdentity, CSubscription>(object);
    if (subscription.owner != this)
        HostThrow(E_INVALIDARG);
    Unsubscribe(subscription);
}

void CServerCore::Unsubscribe(CSubscription& subscription) {
    // Released after the locks: the last reference to a sink may run its destructor.
    CHostRef<IKvModifySink> sink;
    CHostRef<CSubscription> held;
    {
        std::unique_lock guard(m_lock);
        ThrowIfClosed();
        if (!subscription.active)
            HostThrow(InvalidStateHr);
        subscription.active = false;
        sink = std::move(subscription.sink);
        const auto found = std::find_if(m_subscriptions.begin(), m_subscriptions.end(),
                                        [&](const CHostRef<CSubscription>& entry) { return entry.Get() == &subscription; });
        held = std::move(*found);
        m_subscriptions.erase(found);
    }
    m_queue.Cancel(&subscription);
}

void CServerCore::Start(CSubscription& subscription) {
    std::unique_lock guard(m_lock);
    ThrowIfClosed();
    if (!subscription.active || subscription.started)
        HostThrow(InvalidStateHr);
    subscription.started = true;
    if ((subscription.options & KV_SUBSCRIBE_INITIAL_CONTENT) && m_tree.Exists(subscription.path))
        m_queue.Post({subscription.sink, {{CHostRef<IKvModifySubscription>::Share(&subscription), MakeRecord(subscription, KV_CHANGE_CREATED)}}});
}

GUID CServerCore::RegisterSink(INodeModifySink* sink) {
    SSyncSink entry{NewGuid(), CHostRef<INodeModifySink>::Share(HostNotNull(sink))};
    std::unique_lock guard(m_lock);
    ThrowIfClosed();
    m_syncSinks.push_back(entry);
    return entry.cookie;
}

void CServerCore::UnregisterSink(const GUID& cookie) {
    // Waiting for the delivery lock lets a delivery under way on another thread end first.
    std::unique_lock delivery(m_deliveryLock);
    CHostRef<INodeModifySink> sink;
    std::unique_lock guard(m_lock);
    ThrowIfClosed();
    const auto found = std::find_if(m_syncSinks.begin(), m_syncSinks.end(),
                                    [&](const SSyncSink& entry) { return IsEqualGUID(entry.cookie, cookie); });
    if (found == m_syncSinks.end())
        HostThrow(NotFoundHr);
    sink = std::move(found->sink);
    m_syncSinks.erase(found);
}

void CServerCore::Shutdown() {
    std::vector<CHostRef<CSubscription>> subscriptions;
    std::vector<CHostRef<IKvModifySink>> sinks;
    std::vector<SSyncSink> syncSinks;
    {
        std::unique_lock guard(m_lock);
        m_closed = true;
        subscriptions.swap(m_subscriptions);
        for (const CHostRef<CSubscription>& subscription : subscriptions) {
            subscription->active = false;
            sinks.push_back(std::move(subscription->sink));
        }
        syncSinks.swap(m_syncSinks);
        for (const auto& [thread, update] : m_openUpdates) {
            update->open = false;
            update->ops.clear();
            update->staged.Clear();
        }
        m_openUpdates.clear();
    }
    m_queue.Stop();
}

// The binary interface of the server: argument checks and HostCall around the core.

HRESULT CConfigServer::BeginUpdate(IComponentBase** update) {
    return HostCall([&] {
        HostNotNull(update);
        *update = nullptr;
        *update = static_cast<IUpdateIdentity*>(m_core->BeginUpdate().Detach());
        return S_OK;
    });
}

HRESULT CConfigServer::EndUpdate(IComponentBase* update) {
    return HostCall([&] { return m_core->EndUpdate(update); });
}

HRESULT CConfigServer::WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes, ULONG count) {
    return HostCall([&] {
        HostNotNull(nodes);
        if (count != 1)
            HostThrow(KVCFG_E_COUNT_NOT_ONE);
        m_core->Write(context, MakeWrite(mode, nodes[0]));
        return S_OK;
    });
}

HRESULT CConfigServer::DeleteNode(IComponentBase* context, const WCHAR* path) {
    return HostCall([&] {
        m_core->Write(context, STreeOp{STreeOp::Delete, CNodePath::Parse(HostNotNull(path), false), CHostNode(), CHostNode()});
        return S_OK;
    });
}

HRESULT CConfigServer::QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount, ULONG* count) {
    return HostCall([&] {
        HostNotNull(nodes);
        HostNotNull(count);
        if (reserved != 0 || maxCount == 0)
            HostThrow(E_INVALIDARG);
        *count = m_core->Query(filter, nodes);
        return S_OK;
    });
}

HRESULT CConfigServer::Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink,
                                 IKvModifySubscription** subscription) {
    return HostCall([&] {
        HostNotNull(subscription);
        *subscription = nullptr;
        *subscription = m_core->Subscribe(filter, request, sink).Detach();
        return S_OK;
    });
}

HRESULT CConfigServer::Unsubscribe(IKvModifySubscription* subscription) {
    return HostCall([&] {
        m_core->Unsubscribe(subscription);
        return S_OK;
    });
}

HRESULT CConfigServer::RegisterSink(INodeModifySink* sink, GUID* cookie) {
    return HostCall([&] {
        HostNotNull(cookie);
        *cookie = m_core->RegisterSink(sink);
        return S_OK;
    });
}

HRESULT CConfigServer::UnregisterSink(const GUID* cookie) {
    return HostCall([&] {
        m_core->UnregisterSink(*HostNotNull(cookie));
        return S_OK;
    });
}
