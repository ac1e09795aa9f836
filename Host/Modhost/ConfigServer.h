// The in-memory configuration server: CConfigServer is the object clients hold (IKvConfigProxy,
// IKvSubscriptionSource, IKvSyncModifySource); CServerCore does the work and outlives it only as long
// as a call from a subscription or update object is under way; CSubscription and CUpdate are the
// objects a client gets from Subscribe and BeginUpdate. What the server does is written down in
// README.md beside this file.
//
// Thread Safety: every operation may be called from any thread. One slim lock guards the tree and all
// lists; no sink is ever called under it. Synchronous sinks are called on the thread that ends a
// transaction, one transaction at a time (the delivery lock, a critical section because a sink may write
// again from inside its call, is always taken before the slim lock); subscription sinks on the server's
// notification thread (CNotificationQueue).
//
// Stopping: the last release of CConfigServer shuts the core down: the subscriptions end, the
// notification thread is stopped and joined, and every sink reference is released. Subscription and
// update objects that clients still hold answer HRESULT_FROM_WIN32(ERROR_INVALID_STATE) from then on.
#pragma once

#include "HostObject.h"
#include "NotificationQueue.h"
#include "ServerTree.h"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

// Private ids by which the server recognises its own objects when a client hands them back.
struct IServerIdentity : IComponentBase {};
struct ISubscriptionIdentity : IComponentBase {};
struct IUpdateIdentity : IComponentBase {};
/* {49A2D2BD-0E05-4278-AFC3-BA79B39D6411} */
inline constexpr GUID IID_IServerIdentity = {0x49A2D2BD, 0x0E05, 0x4278, {0xAF, 0xC3, 0xBA, 0x79, 0xB3, 0x9D, 0x64, 0x11}};
/* {8AD71950-05B8-46B6-8581-E1F29968D04B} */
inline constexpr GUID IID_ISubscriptionIdentity = {0x8AD71950, 0x05B8, 0x46B6, {0x85, 0x81, 0xE1, 0xF2, 0x99, 0x68, 0xD0, 0x4B}};
/* {A4273E77-776F-4014-B2A0-07576FD4141D} */
inline constexpr GUID IID_IUpdateIdentity = {0xA4273E77, 0x776F, 0x4014, {0xB2, 0xA0, 0x07, 0x57, 0x6F, 0xD4, 0x14, 0x1D}};
RW_HOST_IID(IServerIdentity, IID_IServerIdentity);
RW_HOST_IID(ISubscriptionIdentity, IID_ISubscriptionIdentity);
RW_HOST_IID(IUpdateIdentity, IID_IUpdateIdentity);

class CServerCore;

// A subscription. Its fields are the server's, guarded by the server's lock.
class CSubscription final : public CHostObject<IKvModifySubscription, ISubscriptionIdentity> {
public:
    CSubscription(const std::shared_ptr<CServerCore>& server, CNodePath path, ULONGLONG depth, ULONG changesMask,
                  ULONG options, CHostRef<IKvModifySink> sink);

    HRESULT STDMETHODCALLTYPE Start() override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE GetId(GUID* id) override;

    const std::weak_ptr<CServerCore> server;
    const CServerCore* const owner;
    const CNodePath path;
    const ULONGLONG depth;
    const ULONG changesMask;
    const ULONG options;
    GUID id{};
    // Held until the subscription ends.
    CHostRef<IKvModifySink> sink;
    bool started = false;
    bool active = true;
};

// An open transaction (BeginUpdate). Released without EndUpdate, it rolls back. Its fields are the
// server's, guarded by the server's lock.
class CUpdate final : public CHostObject<IUpdateIdentity> {
public:
    CUpdate(const std::shared_ptr<CServerCore>& server, DWORD thread) : server(server), owner(server.get()), thread(thread) {}
    ~CUpdate() override;

    const std::weak_ptr<CServerCore> server;
    const CServerCore* const owner;
    // The thread whose writes without a context join it.
    const DWORD thread;
    std::vector<STreeOp> ops;
    // What ops do to which paths, kept as they are staged.
    CStagedIndex staged;
    // Registered with the server and neither committed nor rolled back.
    bool open = false;
};

class CServerCore : public std::enable_shared_from_this<CServerCore> {
public:
    CServerCore() = default;
    CServerCore(const CServerCore&) = delete;
    CServerCore& operator=(const CServerCore&) = delete;

    CHostRef<CUpdate> BeginUpdate();
    // The commit's result: S_OK, or the failure for which it was rolled back.
    HRESULT EndUpdate(IComponentBase* update);
    // Stages op in the update that context or the calling thread names, or commits it on its own.
    void Write(IComponentBase* context, STreeOp op);
    // 1 and the copy in *node, or 0.
    ULONG Query(IKvNode* filter, IKvNode** node);

    CHostRef<CSubscription> Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink);
    void Unsubscribe(IComponentBase* subscription);
    void Unsubscribe(CSubscription& subscription);
    void Start(CSubscription& subscription);

    GUID RegisterSink(INodeModifySink* sink);
    void UnregisterSink(const GUID& cookie);

    void Rollback(CUpdate& update);
    bool WaitUntilIdle(DWORD timeoutMs) { return m_queue.WaitUntilIdle(timeoutMs); }
    void Shutdown();

private:
    // What a synchronous sink hears of one staged change.
    struct SSyncRecord {
        ULONG mask;
        std::wstring path;
    };
    struct SSyncSink {
        GUID cookie;
        CHostRef<INodeModifySink> sink;
    };

    void ThrowIfClosed() const;
    // Checks ops against the tree, applies them and queues the records of the subscriptions they touch;
    // KVCFG_E_NODE_MISSING, with nothing applied, when a node that an op needs is missing.
    std::vector<SSyncRecord> Commit(const std::vector<STreeOp>& ops);
    // The records ops give, each judged against the tree as the ops before it would leave it.
    std::vector<SSyncRecord> SyncRecords(const std::vector<STreeOp>& ops, std::vector<bool>* existed) const;
    // A modification record of subscription: its path, mask and, as child 0, a copy of what lies there,
    // named by its server path.
    CHostNode MakeRecord(const CSubscription& subscription, ULONG mask) const;
    // Called with the delivery lock held and the slim lock free.
    void Deliver(const std::vector<SSyncRecord>& records, int apply);

    std::recursive_mutex m_deliveryLock;
    std::shared_mutex m_lock;
    bool m_closed = false;
    CServerTree m_tree;
    std::vector<CHostRef<CSubscription>> m_subscriptions;
    std::vector<SSyncSink> m_syncSinks;
    std::map<DWORD, CUpdate*> m_openUpdates;
    CNotificationQueue m_queue;
};

class CConfigServer final
    : public CHostObject<IKvConfigProxy, IKvSubscriptionSource, IKvSyncModifySource, IServerIdentity> {
public:
    CConfigServer() : m_core(std::make_shared<CServerCore>()) {}
    ~CConfigServer() override { m_core->Shutdown(); }

    CServerCore& Core() noexcept { return *m_core; }

    HRESULT STDMETHODCALLTYPE BeginUpdate(IComponentBase** update) override;
    HRESULT STDMETHODCALLTYPE EndUpdate(IComponentBase* update) override;
    HRESULT STDMETHODCALLTYPE WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes, ULONG count) override;
    HRESULT STDMETHODCALLTYPE DeleteNode(IComponentBase* context, const WCHAR* path) override;
    HRESULT STDMETHODCALLTYPE QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount,
                                         ULONG* count) override;
    HRESULT STDMETHODCALLTYPE Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink,
                                        IKvModifySubscription** subscription) override;
    HRESULT STDMETHODCALLTYPE Unsubscribe(IKvModifySubscription* subscription) override;
    HRESULT STDMETHODCALLTYPE RegisterSink(INodeModifySink* sink, GUID* cookie) override;
    HRESULT STDMETHODCALLTYPE UnregisterSink(const GUID* cookie) override;

private:
    const std::shared_ptr<CServerCore> m_core;
};

// The object behind one of the server's own interfaces that a client hands back; E_INVALIDARG for any
// other object. The caller's reference keeps it alive.
template <class Identity, class Object>
Object& ResolveOwn(IComponentBase* object) {
    HostNotNull(object);
    CHostRef<Identity> identity;
    if (object->QueryInterface(&HostIid<Identity>::Value, identity.Put()) < 0)
        HostThrow(E_INVALIDARG);
    return *static_cast<Object*>(identity.Get());
}
