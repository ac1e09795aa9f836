// CRoleAssignmentsRefresher keeps the derived attributes of every role assignment in the folder tree
// up to date: the readable names of its subjects (SubjectDisplayName, LastResolvedDisplayName) and
// their SID form (PreprocessedSubjectId). Account names change and names typed by administrators must
// be turned into SIDs, so a worker refreshes them periodically and writes back, in one update, only
// the role assignments whose attributes changed and that nobody modified since they were read.
//
// Configuration: "FoldersTreeNodePath" (string, required), "RefreshIntervalS" (32-bit, unsigned,
// default 3600). The first run comes 5 seconds after Configure.
//
// Thread Safety: each worker's runs never overlap. Cancel may come from any thread. Configure may be
// called again, from any thread, also while another Configure is under way: each starts a worker with
// the folder tree path it read, and the last to put its worker in place wins. The worker it replaces is
// stopped; a run of it under way ends with the settings it started with, without anyone waiting for it.
// A run holds a reference to the refresher, so the refresher's last release never waits for a run.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Helpers/AsyncAction.h"
#include "Common/Sync.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

class CRoleAssignmentsRefresher : public CComponentBase, public IConfigurableComponent, public ICancelableComponent {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, ICancelableComponent>;
    RW_COMPONENT_OBJECT_TAG(CRoleAssignmentsRefresher);

    // E_POINTER for a null node, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) without FoldersTreeNodePath; a
    // failed Configure leaves the component as it was.
    HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) override;
    // A run under way ends at its next check with E_ABORT; later runs end at their first. Never undone.
    HRESULT STDMETHODCALLTYPE Cancel() override;

    // One run of a worker: refreshes every role assignment of the folder tree at foldersTreePath and
    // writes the changed ones with mode 2 between BeginUpdate and EndUpdate. A failure ends the run with a
    // log record (WARN for E_ABORT, ERR otherwise); nothing leaves it.
    void Refresh(const std::wstring& foldersTreePath);

private:
    std::atomic<bool> m_canceled{false};
    // Slim: held only to put a new worker in place.
    CSrwLock m_actionLock;
    // Runs Refresh with the path of the Configure that made it.
    std::unique_ptr<CAsyncAction> m_action;
};
