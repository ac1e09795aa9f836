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
    ThrowIfNull(filter);
    const KvNodePtr node(filter, false);
    std::wstring path;
    if (node.GetType() != L"FilterByPath")
        ThrowHR(E_INVALIDARG);
    if (!node.TryGetString(L"NodePath", path))
        ThrowHR(KVCFG_E_FILTER_NO_NODE_PATH);
    bool isParent = false;
    int64_t depth = KvNodePtr::WholeTree;
    node.TryGetBool(L"IsParent", isParent);
    node.TryGetInt64(L"MaxDepth", depth);
    if (isParent || depth < 0)
        ThrowHR(E_INVALIDARG);
    return {CNodePath::Parse(path, true), std::min<ULONGLONG>(depth, KvNodePtr::WholeTree)};
}

// The server's own copy of a written node, named for its place in the tree.
STreeOp MakeWrite(ULONG mode, IKvNode* written) {
    if (mode != KV_WRITE_MERGE && mode != KV_WRITE_ATTRIBUTES && mode != KV_WRITE_SUBTREE)
        ThrowHR(KVCFG_E_UNKNOWN_WRITE_MODE);
    const KvNodePtr node(ThrowIfNull(written), false);
    STreeOp op{static_cast<STreeOp::EKind>(mode), CNodePath::Parse(node.GetPath(), false, KVCFG_E_NODE_NO_PATH),
               node.Clone(mode == KV_WRITE_SUBTREE ? KvNodePtr::WholeTree : 0)};
    op.node.SetName(KVN_NAME_OWN, op.path.Name().c_str());
    return op;
}

// Attributes and Delete change a node that must be there.
bool NeedsNode(const STreeOp& op) {
    return op.kind == STreeOp::Attributes || op.kind == STreeOp::Delete;
}

GUID NewGuid() {
    GUID id;
    ThrowIfFailed(CoCreateGuid(&id));
    return id;
}

} // namespace

CSubscription::CSubscription(const std::shared_ptr<CServerCore>& server, CNodePath path, ULONGLONG depth,
                             ULONG changesMask, ULONG options, InterfacePtr<IKvModifySink> sink)
    : server(server), owner(server.get()), path(std::move(path)), depth(depth), changesMask(changesMask),
      options(options), id(NewGuid()), sink(std::move(sink)) {}

namespace {

// The core behind a subscription or update object, while the server has not shut down.
std::shared_ptr<CServerCore> Alive(const std::weak_ptr<CServerCore>& server) {
    std::shared_ptr<CServerCore> core = server.lock();
    if (!core)
        ThrowHR(InvalidStateHr);
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
        ThrowHR(InvalidStateHr);
}

InterfacePtr<CUpdate> CServerCore::BeginUpdate() {
    InterfacePtr<CUpdate> update(new CUpdate(shared_from_this(), GetCurrentThreadId()), true);
    auto guard = m_lock.lock();
    ThrowIfClosed();
    if (!m_openUpdates.emplace(update->thread, update.Get()).second)
        ThrowHR(InvalidStateHr);
    update->open = true;
    return update;
}

HRESULT CServerCore::EndUpdate(IComponentBase* object) {
    CUpdate& update = ResolveOwn<IUpdateIdentity, CUpdate>(object);
    if (update.owner != this)
        ThrowHR(E_INVALIDARG);
    auto delivery = m_deliveryLock.lock();
    std::vector<SSyncRecord> records;
    std::vector<STreeOp> ops;
    HRESULT result = S_OK;
    {
        auto guard = m_lock.lock();
        ThrowIfClosed();
        if (!update.open)
            ThrowHR(KVCFG_E_END_WITHOUT_BEGIN);
        update.open = false;
        m_openUpdates.erase(update.thread);
        ops.swap(update.ops);
        update.staged.Clear();
        try {
            records = Commit(ops);
        } catch (const HRX& error) {
            result = error.Result();
            records = SyncRecords(ops, nullptr);
        }
    }
    Deliver(records, result >= 0);
    return result;
}

void CServerCore::Rollback(CUpdate& update) {
    auto delivery = m_deliveryLock.lock();
    std::vector<SSyncRecord> records;
    {
        auto guard = m_lock.lock();
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
            ThrowHR(E_INVALIDARG);
    }
    {
        auto guard = m_lock.lock();
        ThrowIfClosed();
        CUpdate* update = named;
        if (update == nullptr) {
            const auto open = m_openUpdates.find(GetCurrentThreadId());
            update = open == m_openUpdates.end() ? nullptr : open->second;
        } else if (!update->open) {
            ThrowHR(InvalidStateHr);
        }
        if (update != nullptr) {
            if (NeedsNode(op) && !update->staged.ExistsAfter(m_tree, op.path, update->ops))
                ThrowHR(KVCFG_E_NODE_MISSING);
            update->staged.Add(op, update->ops.size());
            update->ops.push_back(std::move(op));
            return;
        }
    }
    // A transaction of its own. The delivery lock comes first, so the slim lock is taken again; this
    // thread has no open update, and only it could have opened one meanwhile.
    std::vector<STreeOp> ops;
    ops.push_back(std::move(op));
    auto delivery = m_deliveryLock.lock();
    std::vector<SSyncRecord> records;
    {
        auto guard = m_lock.lock();
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
            ThrowHR(KVCFG_E_NODE_MISSING);
    }
    struct STouched {
        CSubscription* subscription;
        bool before;
    };
    std::vector<STouched> touched;
    for (const InterfacePtr<CSubscription>& subscription : m_subscriptions) {
        const CNodePath& path = subscription->path;
        if (subscription->started &&
            std::any_of(ops.begin(), ops.end(), [&](const STreeOp& op) { return op.path.IsRelated(path); }))
            touched.push_back({subscription.Get(), m_tree.Exists(path)});
    }
    for (const STreeOp& op : ops)
        m_tree.Apply(op);
    for (const STouched& entry : touched) {
        const bool after = m_tree.Exists(entry.subscription->path);
        if (!entry.before && !after)
            continue;
        const ULONG mask = !entry.before ? KV_CHANGE_CREATED : !after ? KV_CHANGE_DELETED : KV_CHANGE_MODIFIED;
        if (mask & entry.subscription->changesMask)
            PostRecord(*entry.subscription, mask);
    }
    return records;
}

void CServerCore::PostRecord(CSubscription& subscription, ULONG mask) {
    // Named by the parent path, the record makes its child 0 carry the node's server path.
    KvNodePtr record = KvNodePtr::Create(subscription.path.ParentText().c_str(), nullptr);
    record.SetString(L"ModifiedNodePath", subscription.path.Text());
    record.SetUInt32(L"ChangesMask", mask);
    if (const KvNodePtr node = m_tree.Find(subscription.path)) {
        KvNodePtr copy = node.Clone(subscription.depth);
        copy.SetName(KVN_NAME_OWN, subscription.path.Name().c_str());
        record.AddChild(copy);
    }
    std::vector<KvNodePtr> records;
    records.push_back(std::move(record));
    m_queue.Post({subscription.sink, InterfacePtr<IKvModifySubscription>(&subscription, false),
                  MakeModifyEnum(std::move(records))});
}

void CServerCore::Deliver(const std::vector<SSyncRecord>& records, int apply) {
    if (records.empty())
        return;
    std::vector<InterfacePtr<INodeModifySink>> sinks;
    {
        auto guard = m_lock.lock_shared();
        for (const SSyncSink& entry : m_syncSinks)
            sinks.push_back(entry.sink);
    }
    // Each call on its own: a sink that fails, in whatever way, does not keep the others from hearing.
    const auto call = [](auto&& body) {
        try {
            static_cast<void>(body());
        } catch (...) {
        }
    };
    for (const InterfacePtr<INodeModifySink>& sink : sinks) {
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
    auto guard = m_lock.lock_shared();
    ThrowIfClosed();
    const KvNodePtr found = m_tree.Find(parsed.path);
    if (!found)
        return 0;
    *node = found.Clone(parsed.depth).Detach();
    return 1;
}

InterfacePtr<CSubscription> CServerCore::Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink) {
    SFilter parsed = ParseFilter(filter);
    const KvNodePtr options(ThrowIfNull(request), false);
    int32_t changesMask = KV_SUBSCRIBE_CHANGES_ALL;
    int32_t optionBits = 0;
    options.TryGetInt32(L"ChangesMask", changesMask);
    options.TryGetInt32(L"SubscribeOptions", optionBits);
    InterfacePtr<CSubscription> subscription(
        new CSubscription(shared_from_this(), std::move(parsed.path), parsed.depth, changesMask, optionBits,
                          InterfacePtr<IKvModifySink>(ThrowIfNull(sink), false)),
        true);
    auto guard = m_lock.lock();
    ThrowIfClosed();
    m_subscriptions.push_back(subscription);
    return subscription;
}

void CServerCore::Unsubscribe(IComponentBase* object) {
    CSubscription& subscription = ResolveOwn<ISubscriptionIdentity, CSubscription>(object);
    if (subscription.owner != this)
        ThrowHR(E_INVALIDARG);
    Unsubscribe(subscription);
}

void CServerCore::Unsubscribe(CSubscription& subscription) {
    // Released after the locks: the last reference to a sink may run its destructor.
    InterfacePtr<IKvModifySink> sink;
    InterfacePtr<CSubscription> held;
    {
        auto guard = m_lock.lock();
        ThrowIfClosed();
        if (!subscription.active)
            ThrowHR(InvalidStateHr);
        subscription.active = false;
        sink = std::move(subscription.sink);
        const auto found = std::find_if(m_subscriptions.begin(), m_subscriptions.end(),
                                        [&](const InterfacePtr<CSubscription>& entry) { return entry.Get() == &subscription; });
        held = std::move(*found);
        m_subscriptions.erase(found);
    }
    m_queue.Cancel(&subscription);
}

void CServerCore::Start(CSubscription& subscription) {
    auto guard = m_lock.lock();
    ThrowIfClosed();
    if (!subscription.active || subscription.started)
        ThrowHR(InvalidStateHr);
    subscription.started = true;
    if ((subscription.options & KV_SUBSCRIBE_INITIAL_CONTENT) && m_tree.Exists(subscription.path))
        PostRecord(subscription, KV_CHANGE_CREATED);
}

GUID CServerCore::RegisterSink(INodeModifySink* sink) {
    SSyncSink entry{NewGuid(), InterfacePtr<INodeModifySink>(ThrowIfNull(sink), false)};
    auto guard = m_lock.lock();
    ThrowIfClosed();
    m_syncSinks.push_back(entry);
    return entry.cookie;
}

void CServerCore::UnregisterSink(const GUID& cookie) {
    // Waiting for the delivery lock lets a delivery under way on another thread end first.
    auto delivery = m_deliveryLock.lock();
    InterfacePtr<INodeModifySink> sink;
    auto guard = m_lock.lock();
    ThrowIfClosed();
    const auto found = std::find_if(m_syncSinks.begin(), m_syncSinks.end(),
                                    [&](const SSyncSink& entry) { return IsEqualGUID(entry.cookie, cookie); });
    if (found == m_syncSinks.end())
        ThrowHR(NotFoundHr);
    sink = std::move(found->sink);
    m_syncSinks.erase(found);
}

void CServerCore::Shutdown() {
    std::vector<InterfacePtr<CSubscription>> subscriptions;
    std::vector<InterfacePtr<IKvModifySink>> sinks;
    std::vector<SSyncSink> syncSinks;
    {
        auto guard = m_lock.lock();
        m_closed = true;
        subscriptions.swap(m_subscriptions);
        for (const InterfacePtr<CSubscription>& subscription : subscriptions) {
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
        ThrowIfNull(update);
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
        ThrowIfNull(nodes);
        if (count != 1)
            ThrowHR(KVCFG_E_COUNT_NOT_ONE);
        m_core->Write(context, MakeWrite(mode, nodes[0]));
        return S_OK;
    });
}

HRESULT CConfigServer::DeleteNode(IComponentBase* context, const WCHAR* path) {
    return HostCall([&] {
        m_core->Write(context, STreeOp{STreeOp::Delete, CNodePath::Parse(ThrowIfNull(path), false), KvNodePtr()});
        return S_OK;
    });
}

HRESULT CConfigServer::QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount, ULONG* count) {
    return HostCall([&] {
        ThrowIfNull(nodes);
        ThrowIfNull(count);
        if (reserved != 0 || maxCount == 0)
            ThrowHR(E_INVALIDARG);
        *count = m_core->Query(filter, nodes);
        return S_OK;
    });
}

HRESULT CConfigServer::Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink,
                                 IKvModifySubscription** subscription) {
    return HostCall([&] {
        ThrowIfNull(subscription);
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
        ThrowIfNull(cookie);
        *cookie = m_core->RegisterSink(sink);
        return S_OK;
    });
}

HRESULT CConfigServer::UnregisterSink(const GUID* cookie) {
    return HostCall([&] {
        m_core->UnregisterSink(*ThrowIfNull(cookie));
        return S_OK;
    });
}
