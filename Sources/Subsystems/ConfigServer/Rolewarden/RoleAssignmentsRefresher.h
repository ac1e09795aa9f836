// CRoleAssignmentsRefresher keeps the derived attributes of every role assignment in the folder tree
// up to date: the readable names of its subjects (SubjectDisplayName, LastResolvedDisplayName) and
// their SID form (PreprocessedSubjectId). Account names change and names typed by administrators must
// be turned into SIDs, so a worker refreshes them periodically and writes back, in one update, only
// the role assignments whose attributes changed and that nobody modified since they were read.
//
// Configuration: "FoldersTreeNodePath" (string, required), "RefreshIntervalS" (32-bit, unsigned,
// default 3600). The first run comes 5 seconds after Configure.
//
// Thread Safety: Refresh runs on the worker only, so runs never overlap. Cancel may come from any
// thread. Configure is called by the host before the runs it governs; a second Configure stops and
// joins the earlier worker before it replaces it. Destruction stops and joins the worker.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Helpers/AsyncAction.h"

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

    // One run of the worker: refreshes every role assignment of the folder tree and writes the changed
    // ones with mode 2 between BeginUpdate and EndUpdate. A failure ends the run with a log record
    // (WARN for E_ABORT, ERR otherwise); nothing leaves it.
    void Refresh();

private:
    std::wstring m_foldersTreePath;
    std::chrono::seconds m_refreshInterval{3600};
    std::atomic<bool> m_canceled{false};
    std::unique_ptr<CAsyncAction> m_action;
};
