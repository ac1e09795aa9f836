// The role assignments refresher: configuration, the periodic run over the folder tree and the
// refresh of one role assignment. The tree is walked depth first with an explicit stack, so a tree of
// any depth is safe on the worker's stack.
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentsRefresher.h"

#include "Common/Logging.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

RW_REGISTER_COMPONENT(CRoleAssignmentsRefresher, CLSID_RoleAssignmentsRefresher);

namespace {

constexpr const wchar_t* FoldersTreeNodePathAttribute = L"FoldersTreeNodePath";
constexpr const wchar_t* RefreshIntervalAttribute = L"RefreshIntervalS";
constexpr std::chrono::seconds FirstDelay{5};
constexpr int32_t DefaultRefreshIntervalS = 3600;

// What resolving the subjects of one role assignment gave.
struct SResolvedSubjects {
    std::vector<std::wstring> displayNames;
    std::vector<std::wstring> preprocessedIds;
    bool failed = false;
};

SResolvedSubjects ResolveSubjects(const std::vector<std::wstring>& subjectIds, bool updateDisplayNames,
                                  bool updatePreprocessedIds) {
    SResolvedSubjects resolved;
    for (const std::wstring& id : subjectIds) {
        RW_LOG_DBG(L"Processing AuthId: '" << id << L"'");
        try {
            std::wstring displayName;
            std::wstring preprocessedId;
            ResolveAuthId(id, updateDisplayNames ? &displayName : nullptr, updatePreprocessedIds ? &preprocessedId : nullptr);
            if (updateDisplayNames) {
                RW_LOG_DBG(L"Resolved display name: '" << displayName << L"'");
                resolved.displayNames.push_back(std::move(displayName));
            }
            if (updatePreprocessedIds) {
                RW_LOG_DBG(L"Preprocessed AuthId: '" << preprocessedId << L"'");
                resolved.preprocessedIds.push_back(std::move(preprocessedId));
            }
        } catch (const HRX& error) {
            RW_LOG_WARN(L"Resolving AuthId='" << id << L"' failed: " << ToString(error));
            // Without display names to fill in, a subject that does not resolve leaves nothing to
            // write that would be right.
            if (!updateDisplayNames)
                throw;
            std::wstring altName = GetAltDisplayName(id);
            RW_LOG_DBG(L"Using alt display name: '" << altName << L"'");
            resolved.displayNames.push_back(std::move(altName));
            resolved.failed = true;
        }
    }
    return resolved;
}

// The names joined with "; ", a separator only after text.
std::wstring JoinDisplayNames(const std::vector<std::wstring>& names) {
    std::wstring joined;
    for (const std::wstring& name : names) {
        if (!joined.empty())
            joined += L"; ";
        joined += name;
    }
    return joined;
}

// The refreshed copy of a role assignment, or an empty pointer when nothing changed or the refresh
// failed; a failure is logged and leaves the role assignment as it is.
KvNodePtr RefreshRoleAssignment(const KvNodePtr& node) {
    RW_TRACE_SCOPE(SevDbg, L"RefreshRoleAssignment");
    try {
        RW_LOG_DBG(L"RoleAssignment" << node);
        std::vector<std::wstring> subjectIds;
        bool updateDisplayNames = !IsPredefined(node);
        // Without SubjectId the display names are the account names themselves, so they are the input
        // rather than something to refresh. A SubjectId that holds an empty list is there all the same.
        if (!node.TryGetStringList(SubjectIdAttribute, subjectIds)) {
            for (const std::wstring& name : node.GetStringList(SubjectDisplayNameAttribute, true))
                subjectIds.push_back(MakeNameSubjectId(name));
            updateDisplayNames = false;
        }
        const bool updatePreprocessedIds = HasAttribute(node, PreprocessedSubjectIdAttribute) ||
                                           std::any_of(subjectIds.begin(), subjectIds.end(), IsNameSubjectId);
        RW_LOG_DBG(L"UpdateDisplayNames=" << (updateDisplayNames ? 1 : 0)
                                         << L" UpdatePrepSubjectIds=" << (updatePreprocessedIds ? 1 : 0));
        if (!updateDisplayNames && !updatePreprocessedIds)
            return {};

        const SResolvedSubjects resolved = ResolveSubjects(subjectIds, updateDisplayNames, updatePreprocessedIds);
        KvNodePtr copy = node.Clone(KvNodePtr::WholeTree);
        bool changed = false;
        if (updateDisplayNames) {
            // While some subject does not resolve, the last complete display name is kept beside the
            // one with stand-ins; once all resolve it goes.
            std::vector<std::wstring> keep;
            if (resolved.failed && HasAttribute(copy, LastResolvedDisplayNameAttribute))
                keep = copy.GetStringList(LastResolvedDisplayNameAttribute, false);
            else if (resolved.failed)
                keep = copy.GetStringList(SubjectDisplayNameAttribute, false);
            changed |= copy.UpdateStringList(SubjectDisplayNameAttribute, {JoinDisplayNames(resolved.displayNames)}, false);
            changed |= copy.UpdateStringList(LastResolvedDisplayNameAttribute, keep, true);
        }
        if (updatePreprocessedIds)
            changed |= copy.UpdateStringList(PreprocessedSubjectIdAttribute, resolved.preprocessedIds, true);
        if (!changed)
            return {};
        RW_LOG_DBG(L"Updated role assignment: " << copy);
        return copy;
    } catch (const HRX& error) {
        RW_LOG_ERR(L"`anonymous-namespace'::RefreshRoleAssignment failed: " << ToString(error));
        return {};
    }
}

} // namespace

HRESULT STDMETHODCALLTYPE CRoleAssignmentsRefresher::Configure(IKvNode* config) {
    return CallBoundary(L"CRoleAssignmentsRefresher::Configure", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CRoleAssignmentsRefresher::Configure");
        KvNodePtr::CheckPointer(config);
        const KvNodePtr node(config, false);
        RW_LOG_DBG(L"Config: " << node);
        std::wstring foldersTreePath = node.GetString(FoldersTreeNodePathAttribute);
        int32_t interval = DefaultRefreshIntervalS;
        node.TryGetInt32(RefreshIntervalAttribute, interval);
        auto action = std::make_unique<CAsyncAction>(
            std::chrono::seconds(static_cast<uint32_t>(interval)), FirstDelay,
            [this, path = std::move(foldersTreePath)] { Refresh(path); }, static_cast<CComponentBase*>(this));
        ReplaceWorker(m_actionLock, m_action, std::move(action));
    });
}

HRESULT STDMETHODCALLTYPE CRoleAssignmentsRefresher::Cancel() {
    RW_LOG_DBG(L"Canceling");
    m_canceled = true;
    return S_OK;
}

void CRoleAssignmentsRefresher::Refresh(const std::wstring& foldersTreePath) {
    RW_TRACE_SCOPE(SevDbg, L"CRoleAssignmentsRefresher::Refresh");
    try {
        const auto checkCanceled = [this] {
            if (m_canceled)
                ThrowHR(E_ABORT);
        };
        const InterfacePtr<IKvConfigProxy> proxy = GetProxyInstance(ConfigServerProxyName);
        const KvNodePtr tree = QueryNodeByPath(proxy.Get(), foldersTreePath, false);
        if (!tree)
            return;

        // (node as read, refreshed copy), in walk order.
        std::vector<std::pair<KvNodePtr, KvNodePtr>> updates;
        std::vector<KvNodePtr> pending{tree};
        while (!pending.empty()) {
            checkCanceled();
            KvNodePtr node = std::move(pending.back());
            pending.pop_back();
            if (IsRoleAssignment(node)) {
                if (KvNodePtr updated = RefreshRoleAssignment(node))
                    updates.emplace_back(node, std::move(updated));
            }
            std::vector<KvNodePtr> children = node.GetChildren();
            std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
        }
        if (updates.empty())
            return;

        // Read again: a role assignment somebody changed since the first read keeps that change, and
        // the next run refreshes it.
        const KvNodePtr fresh = QueryNodeByPath(proxy.Get(), foldersTreePath, false);
        // Released without EndUpdate when the run fails, which drops what was written in it.
        InterfacePtr<IComponentBase> update;
        ThrowIfFailed(proxy->BeginUpdate(update.Put()));
        for (const auto& [read, updated] : updates) {
            checkCanceled();
            const KvNodePtr current = fresh ? fresh.FindNode(read.GetPath().c_str()) : KvNodePtr();
            if (current && KvNodePtr::CompareNodes(current, read)) {
                RW_LOG_DBG(L"Storing updated role assignment: " << updated);
                WriteNode(proxy.Get(), updated, KV_WRITE_ATTRIBUTES);
            } else {
                RW_LOG_DBG(L"Skipping role assignment update (changed): " << updated.GetPath());
            }
        }
        ThrowIfFailed(proxy->EndUpdate(update.Get()));
    } catch (const HRX& error) {
        if (error.Result() == E_ABORT)
            RW_LOG_WARN(L"CRoleAssignmentsRefresher::Refresh failed: " << ToString(error));
        else
            RW_LOG_ERR(L"CRoleAssignmentsRefresher::Refresh failed: " << ToString(error));
    }
}
