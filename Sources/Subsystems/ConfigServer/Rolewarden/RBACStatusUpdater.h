// CRBACStatusUpdater: the component that publishes whether the folder tree holds user-defined role
// assignments, that is anything other than its configured default role assignments. It subscribes to
// the folder tree through "ConfigServer.Proxy" and, on every change, writes the status node
// (UserRolesAssigned, and UserRolesEverAssigned while that is true) in merge mode, but only when the
// status differs from the one it wrote last. It has no thread of its own.
//
// Configuration node: the child "DefaultAssigments" (one role assignment node per default) and the
// string attributes "FoldersTreeNodePath" and "RBACStatusNodePath"; all three are required.
//
// Thread Safety: Configure runs once: a call while another one runs, or after one succeeded, fails at
// once. OnTriggered runs on whatever host thread delivers a notification, several at once: the
// configuration is only read there, and the status lock guards the last written status, never held
// across the write.
//
// Lifetime: the server holds the sink of a subscription until the subscription ends. That sink is a
// small object of its own (CRBACStatusSink) that reaches the updater only while the updater lives, so
// the host's release of the updater destroys it; its destructor ends the subscription, and the server
// then lets the sink, and with it the module, go.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Components/ConfigureOnce.h"
#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Common/Sync.h"

#include <string>

class CRBACStatusUpdater;

// The sink the server holds for the updater's subscription. It forwards each notification to the
// updater with a reference of its own while the updater lives, and answers S_OK once it is gone.
class CRBACStatusSink : public CComponentBase, public IKvModifySink {
public:
    using Interfaces = InterfaceTable<IKvModifySink>;
    RW_COMPONENT_OBJECT_TAG(CRBACStatusSink);

    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int recordCount,
                                          IKvNodeModifyEnum* changes) override;
    void Attach(CRBACStatusUpdater* updater) noexcept;
    // From the updater's destructor: afterwards no notification reaches it.
    void Detach() noexcept;

private:
    // Slim: held only to read or clear the pointer, never across the forwarded call, whose last
    // release may run the updater's destructor.
    CSrwLock m_lock;
    CRBACStatusUpdater* m_updater = nullptr;
};

class CRBACStatusUpdater : public CComponentBase, public IConfigurableComponent, public IKvModifySink {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, IKvModifySink>;
    RW_COMPONENT_OBJECT_TAG(CRBACStatusUpdater);

    ~CRBACStatusUpdater() override;

    // Reads the configuration and subscribes to the folder tree. E_POINTER for a null node,
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a missing key, HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED)
    // while another Configure runs or once configured; after a failure nothing is subscribed.
    HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) override;
    // Recomputes the status from every record that carries the folder tree. E_POINTER for a null
    // subscription or changes; a failure ends the call, and the status is written again next time.
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int recordCount,
                                          IKvNodeModifyEnum* changes) override;

private:
    friend class CRBACStatusSink;

    void OnDataUpdated(const std::wstring& path, const KvNodePtr& node);
    // True when tree holds a role assignment that is not a default one, or when some default is
    // missing from it.
    bool UserRoleAssignmentsPresent(const KvNodePtr& tree) const;

    CConfigureOnce m_configureOnce;
    std::wstring m_foldersTreePath;
    std::wstring m_statusPath;
    KvNodePtr m_defaultAssignments;
    InterfacePtr<IKvModifySubscription> m_subscription;
    // The subscription's sink; set together with m_subscription.
    InterfacePtr<CComponentObject<CRBACStatusSink>> m_sink;
    // Slim: held only to compare with or replace the last status, never across a call out.
    CSrwLock m_statusLock;
    KvNodePtr m_lastStatus;
};
