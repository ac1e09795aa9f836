// CLocalGroupMembershipRefresher publishes which local user accounts of this machine belong to which
// configured local groups, as a security mapping document: one entry per user, its security id the
// user's SID subject, its tags the SID subjects of the user's groups. A worker resolves the groups
// periodically and writes the document (mode 3) only when it differs from the one stored last.
//
// Configuration: "TargetMappingNodePath" (string, required: where the document is stored and its
// name), "GroupsToResolve" (string or multi-string, required), "RefreshIntervalS" (32-bit, unsigned,
// default 60). With groups the first run comes 5 seconds after Configure; without any nothing runs.
//
// Thread Safety: Refresh runs on the worker only and is the only one to touch the last mapping.
// Cancel may come from any thread. Configure is called by the host before the runs it governs; it
// stops and joins an earlier worker before it changes the settings. Destruction stops and joins the
// worker.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Helpers/AsyncAction.h"
#include "Common/Nodes/KvNodePtr.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

class CLocalGroupMembershipRefresher : public CComponentBase, public IConfigurableComponent, public ICancelableComponent {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, ICancelableComponent>;
    RW_COMPONENT_OBJECT_TAG(CLocalGroupMembershipRefresher);

    // E_POINTER for a null node, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) without TargetMappingNodePath or
    // GroupsToResolve; a failed Configure leaves the component as it was.
    HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) override;
    // A run under way stops at its next check without writing; later runs do nothing. Never undone.
    HRESULT STDMETHODCALLTYPE Cancel() override;

    // One run of the worker. A group that cannot be resolved only drops out of the document; any
    // other failure ends the run with a WARN record. Nothing leaves it.
    void Refresh();

private:
    std::wstring m_targetMappingPath;
    std::vector<std::wstring> m_groupsToResolve;
    std::chrono::seconds m_refreshInterval{60};
    std::atomic<bool> m_canceled{false};
    // The document as last read from or written to the server; empty until the first run reads it.
    KvNodePtr m_lastMapping;
    std::unique_ptr<CAsyncAction> m_action;
};
