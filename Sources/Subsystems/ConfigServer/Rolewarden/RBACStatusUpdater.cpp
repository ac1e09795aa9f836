// The RBAC status updater: its configuration and subscription with the sink that forwards to it, the
// classification of the folder tree's role assignments as default or user-defined, and the writing of
// the status node.
#include "Subsystems/ConfigServer/Rolewarden/RBACStatusUpdater.h"

#include "Common/Logging.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

RW_REGISTER_COMPONENT(CRBACStatusUpdater, CLSID_RBACStatusUpdater);

namespace {

constexpr const wchar_t* DefaultAssignmentsKey = L"DefaultAssigments";
constexpr const wchar_t* FoldersTreeNodePathKey = L"FoldersTreeNodePath";
constexpr const wchar_t* RBACStatusNodePathKey = L"RBACStatusNodePath";
constexpr const wchar_t* UserRolesAssignedAttribute = L"UserRolesAssigned";
constexpr const wchar_t* UserRolesEverAssignedAttribute = L"UserRolesEverAssigned";

// A role assignment directly in the "RoleAssignments" child of the folder tree's root: root, container,
// assignment. Only those may be defaults.
constexpr uint64_t RootAssignmentDepth = 2;

// Both nodes lack the attribute, or both carry it with the same values in the same order.
bool SameList(const KvNodePtr& a, const KvNodePtr& b, const wchar_t* name) {
    const bool present = HasAttribute(a, name);
    if (present != HasAttribute(b, name))
        return false;
    return !present || a.GetStringList(name, false) == b.GetStringList(name, false);
}

// A default with subjects by id matches by id; one without, by display name.
bool MatchesDefault(const KvNodePtr& assignment, const KvNodePtr& defaultAssignment) {
    const wchar_t* subjects =
        HasAttribute(defaultAssignment, SubjectIdAttribute) ? SubjectIdAttribute : SubjectDisplayNameAttribute;
    return SameList(assignment, defaultAssignment, subjects) && SameList(assignment, defaultAssignment, RoleIdAttribute);
}

} // namespace

HRESULT STDMETHODCALLTYPE CRBACStatusSink::OnTriggered(IKvModifySubscription* subscription, int recordCount,
                                                       IKvNodeModifyEnum* changes) {
    InterfacePtr<IKvModifySink> updater;
    {
        auto guard = m_lock.lock();
        if (m_updater != nullptr && m_updater->TryAddRef())
            updater = InterfacePtr<IKvModifySink>(m_updater, true);
    }
    return updater ? updater->OnTriggered(subscription, recordCount, changes) : S_OK;
}

void CRBACStatusSink::Attach(CRBACStatusUpdater* updater) noexcept {
    auto guard = m_lock.lock();
    m_updater = updater;
}

void CRBACStatusSink::Detach() noexcept {
    auto guard = m_lock.lock();
    m_updater = nullptr;
}

CRBACStatusUpdater::~CRBACStatusUpdater() {
    if (!m_sink)
        return;
    m_sink->Detach();
    // Until the subscription ends, the server holds the sink, and the sink the module. A destructor lets
    // nothing out: when the proxy cannot be reached, the sink, which reaches nobody now, stays with the
    // server until it shuts down.
    InterfacePtr<IKvConfigProxy> proxy;
    InterfacePtr<IKvSubscriptionSource> source;
    if (CLGetNamedInstance(ConfigServerProxyName, 0, &IID_IKvConfigProxy, proxy.PutVoid()) >= 0 &&
        proxy->QueryInterface(&IID_IKvSubscriptionSource, source.PutVoid()) >= 0)
        static_cast<void>(source->Unsubscribe(m_subscription.Get()));
}

HRESULT STDMETHODCALLTYPE CRBACStatusUpdater::Configure(IKvNode* config) {
    return CallBoundary(L"CRBACStatusUpdater::Configure", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CRBACStatusUpdater::Configure");
        KvNodePtr::CheckPointer(config);
        const KvNodePtr node(config, false);
        RW_LOG_DBG(L"Config: " << node);
        // Notifications read the configuration without a lock: it must not change under them, so it is
        // written by one Configure only.
        CConfigureOnce::CClaim claim = m_configureOnce.Begin();
        KvNodePtr defaults = node.GetChildByName(DefaultAssignmentsKey, true);
        std::wstring foldersTreePath = node.GetString(FoldersTreeNodePathKey);
        std::wstring statusPath = node.GetString(RBACStatusNodePathKey);
        m_foldersTreePath = std::move(foldersTreePath);
        m_statusPath = std::move(statusPath);
        m_defaultAssignments = std::move(defaults);

        const InterfacePtr<IKvSubscriptionSource> source =
            GetProxyInstance(ConfigServerProxyName).Query<IKvSubscriptionSource>();
        InterfacePtr<CComponentObject<CRBACStatusSink>> sink(new CComponentObject<CRBACStatusSink>(), false);
        InterfacePtr<IKvModifySubscription> subscription;
        ThrowIfFailed(source->Subscribe(CreateFilterByPath(m_foldersTreePath).Get(), CreateSubscribeConfig().Get(),
                                        sink.Get(), subscription.Put()));
        KvNodePtr::CheckPointer(subscription.Get());
        // Attached only now: a sink that a failed Subscribe left with the server reaches nobody.
        sink->Attach(this);
        const HRESULT started = subscription->Start();
        if (started < 0) {
            // The server would otherwise keep the sink of a subscription nobody started.
            static_cast<void>(source->Unsubscribe(subscription.Get()));
            sink->Detach();
            ThrowHR(started);
        }
        m_subscription = std::move(subscription);
        m_sink = std::move(sink);
        claim.Commit();
    });
}

HRESULT STDMETHODCALLTYPE CRBACStatusUpdater::OnTriggered(IKvModifySubscription* subscription, int,
                                                          IKvNodeModifyEnum* changes) {
    return CallBoundary(L"CRBACStatusUpdater::OnTriggered", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CRBACStatusUpdater::OnTriggered");
        KvNodePtr::CheckPointer(subscription);
        KvNodePtr::CheckPointer(changes);
        for (const SModification& record : ReadModifications(changes)) {
            // A record without content: the folder tree is gone, and there is nothing to classify.
            if (record.node)
                OnDataUpdated(record.path, record.node);
        }
    });
}

void CRBACStatusUpdater::OnDataUpdated(const std::wstring& path, const KvNodePtr& node) {
    RW_TRACE_SCOPE(SevDbg, L"CRBACStatusUpdater::OnDataUpdated");
    RW_LOG_DBG(L"Path: " << path);
    RW_LOG_DBG3(L"Data: " << node);
    KvNodePtr tree = node.Clone(KvNodePtr::WholeTree);
    // Paths in the log are then the server's.
    tree.SetName(KVN_NAME_PATH, path.c_str());
    const bool assigned = UserRoleAssignmentsPresent(tree);

    KvNodePtr status = KvNodePtr::Create(m_statusPath.c_str(), nullptr);
    status.SetBool(UserRolesAssignedAttribute, assigned);
    if (assigned)
        status.SetBool(UserRolesEverAssignedAttribute, true);
    {
        auto guard = m_statusLock.lock();
        if (m_lastStatus && KvNodePtr::CompareNodes(m_lastStatus, status))
            return;
    }
    RW_LOG_DBG(L"Updating RBACStatus: " << status);
    WriteNode(GetProxyInstance(ConfigServerProxyName).Get(), status, KV_WRITE_MERGE);
    auto guard = m_statusLock.lock();
    m_lastStatus = std::move(status);
}

bool CRBACStatusUpdater::UserRoleAssignmentsPresent(const KvNodePtr& tree) const {
    const std::vector<KvNodePtr> defaults = m_defaultAssignments.GetChildren();
    // Indexes into defaults: a default counts once however many root assignments match it.
    std::set<size_t> matched;
    bool found = false;
    // Depth first, children in index order, without recursion: folder trees may be deep.
    std::vector<std::pair<KvNodePtr, uint64_t>> pending;
    pending.emplace_back(tree, 0);
    while (!pending.empty()) {
        const auto [node, depth] = std::move(pending.back());
        pending.pop_back();
        if (IsRoleAssignment(node)) {
            if (depth != RootAssignmentDepth) {
                RW_LOG_DBG(L"Non-root user defined RA found: " << node.GetPath());
                found = true;
                break;
            }
            const auto match = std::find_if(defaults.begin(), defaults.end(),
                                            [&](const KvNodePtr& candidate) { return MatchesDefault(node, candidate); });
            if (match == defaults.end()) {
                RW_LOG_DBG(L"Root user defined RA found: " << node.GetPath());
                found = true;
                break;
            }
            RW_LOG_DBG(L"Default RA found: " << node.GetPath());
            matched.insert(static_cast<size_t>(match - defaults.begin()));
        }
        std::vector<KvNodePtr> children = node.GetChildren();
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.emplace_back(std::move(*child), depth + 1);
    }
    RW_LOG_DBG(L"User defined role-assignments present: " << (found ? L"true" : L"false")
                                                          << L". Default role-assignments: " << matched.size()
                                                          << L" out of " << defaults.size());
    // A default that no root assignment matches was deleted or changed, which is a user's doing too.
    return found || matched.size() != defaults.size();
}
