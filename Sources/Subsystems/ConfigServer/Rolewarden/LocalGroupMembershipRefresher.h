// CLocalGroupMembershipRefresher publishes which local user accounts of this machine belong to which
// configured local groups, as a security mapping document: one entry per user, its security id the
// user's SID subject, its tags the SID subjects of the user's groups. A worker resolves the groups
// periodically and writes the document (mode 3) only when it differs from the one stored last.
//
// Configuration: "TargetMappingNodePath" (string, required: where the document is stored and its
// name), "GroupsToResolve" (string or multi-string, required), "RefreshIntervalS" (32-bit, unsigned,
// default 60). With groups the first run comes 5 seconds after Configure; without any nothing runs.
//
// Thread Safety: each worker's runs never overlap, and each worker has settings of its own. The last
// mapping belongs to the object and outlives its workers, so a new worker compares against what an
// earlier one read or wrote rather than reading the stored document again. Cancel may come from any
// thread. Configure may be called again, from any thread, also while another Configure is under way:
// the last to put its worker in place wins. The worker it replaces is stopped; a run of it under way
// ends with the settings it started with, without anyone waiting for it. A run holds a reference to
// the refresher, so the refresher's last release never waits for a run.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Helpers/AsyncAction.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Common/Sync.h"

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

    // What one worker works with: the settings of the Configure that made it.
    struct SRun {
        std::wstring targetMappingPath;
        std::vector<std::wstring> groupsToResolve;
    };

    // One run of a worker. A group that cannot be resolved only drops out of the document; any other
    // failure ends the run with a WARN record. Nothing leaves it.
    void Refresh(const SRun& run);

private:
    KvNodePtr GetLastMapping();
    void SetLastMapping(KvNodePtr mapping);

    std::atomic<bool> m_canceled{false};
    // Slim: held only to copy or replace the last mapping, never across a call out. A replaced worker
    // may still be finishing a run while the new one starts.
    CSrwLock m_lastMappingLock;
    // The document as last read from or written to the server; empty until the first run reads it.
    KvNodePtr m_lastMapping;
    // Slim: held only to put a new worker in place.
    CSrwLock m_actionLock;
    // Null while there are no groups.
    std::unique_ptr<CAsyncAction> m_action;
};
