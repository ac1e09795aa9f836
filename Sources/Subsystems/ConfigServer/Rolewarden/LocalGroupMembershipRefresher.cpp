// The local group membership refresher: configuration, the periodic run and the resolution of one
// group into the document builder.
#include "Subsystems/ConfigServer/Rolewarden/LocalGroupMembershipRefresher.h"

#include "Common/Logging.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <cstdint>
#include <utility>

RW_REGISTER_COMPONENT(CLocalGroupMembershipRefresher, CLSID_LocalGroupMembershipRefresher);

namespace {

constexpr const wchar_t* TargetMappingNodePathAttribute = L"TargetMappingNodePath";
constexpr const wchar_t* GroupsToResolveAttribute = L"GroupsToResolve";
constexpr const wchar_t* RefreshIntervalAttribute = L"RefreshIntervalS";
constexpr std::chrono::seconds FirstDelay{5};
constexpr int32_t DefaultRefreshIntervalS = 60;

// Adds every user account that is a direct member of group, tagged with the group's SID subject.
// Nested groups and other kinds of member are left out. A failure is logged and ends only this group;
// what it added before stays.
void ResolveGroup(const std::wstring& group, CSecurityTagMappingBuilder& builder) {
    const std::wstring scopeName = L"Resolving members for '" + group + L"'";
    RW_TRACE_SCOPE(SevDbg2, scopeName.c_str());
    try {
        const CSid groupSid = GetLocalGroupSid(group);
        RW_LOG_DBG2(L"group sid: '" << groupSid.ToString());
        const std::wstring groupTag = MakeSidSubjectId(groupSid);
        for (const SMemberInfo& member : GetLocalGroupMembers(group)) {
            RW_LOG_DBG2(L"member: name='" << member.Name << L"' sid=" << member.Sid.ToString() << L" usage=0x" << std::hex
                                         << member.Usage);
            if (member.Usage != SidTypeUser)
                continue;
            RW_LOG_DBG(L"Local user->group mapping: '" << group << L"'->'" << member.Name << L"' (" << groupSid.ToString()
                                                       << L"->" << member.Sid.ToString() << L")");
            builder.Add(MakeSidSubjectId(member.Sid), groupTag);
        }
    } catch (const HRX& error) {
        RW_LOG_DBG(L"Querying group info for '" << group << L"' failed: " << ToString(error));
    }
}

} // namespace

HRESULT STDMETHODCALLTYPE CLocalGroupMembershipRefresher::Configure(IKvNode* config) {
    return CallBoundary(L"CLocalGroupMembershipRefresher::Configure", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CLocalGroupMembershipRefresher::Configure");
        KvNodePtr::CheckPointer(config);
        const KvNodePtr node(config, false);
        RW_LOG_DBG(L"Config: " << node);
        SRun run{node.GetString(TargetMappingNodePathAttribute), node.GetStringList(GroupsToResolveAttribute, true)};
        // Without groups nothing runs, and the interval is not read.
        std::unique_ptr<CAsyncAction> action;
        if (!run.groupsToResolve.empty()) {
            int32_t interval = DefaultRefreshIntervalS;
            node.TryGetInt32(RefreshIntervalAttribute, interval);
            action = std::make_unique<CAsyncAction>(
                std::chrono::seconds(static_cast<uint32_t>(interval)), FirstDelay,
                [this, run = std::move(run)] { Refresh(run); }, static_cast<CComponentBase*>(this));
        }
        ReplaceWorker(m_actionLock, m_action, std::move(action));
    });
}

HRESULT STDMETHODCALLTYPE CLocalGroupMembershipRefresher::Cancel() {
    RW_LOG_DBG(L"Canceling");
    m_canceled = true;
    return S_OK;
}

KvNodePtr CLocalGroupMembershipRefresher::GetLastMapping() {
    auto guard = m_lastMappingLock.lock();
    return m_lastMapping;
}

void CLocalGroupMembershipRefresher::SetLastMapping(KvNodePtr mapping) {
    {
        auto guard = m_lastMappingLock.lock();
        std::swap(m_lastMapping, mapping);
    }
    // The replaced document's handle closes here, outside the lock.
}

void CLocalGroupMembershipRefresher::Refresh(const SRun& run) {
    RW_TRACE_SCOPE(SevDbg, L"CLocalGroupMembershipRefresher::Refresh");
    try {
        if (m_canceled)
            return;
        const InterfacePtr<IKvConfigProxy> proxy = GetProxyInstance(ConfigServerProxyName);
        // Read once in the object's life: afterwards it knows what it wrote itself, whichever worker
        // wrote it.
        KvNodePtr lastMapping = GetLastMapping();
        if (!lastMapping) {
            lastMapping = QueryNodeByPath(proxy.Get(), run.targetMappingPath, false);
            if (!lastMapping)
                lastMapping = CSecurityTagMappingBuilder(run.targetMappingPath).Build().node;
            SetLastMapping(lastMapping);
        }
        CSecurityTagMappingBuilder builder(run.targetMappingPath);
        for (const std::wstring& group : run.groupsToResolve) {
            if (m_canceled)
                return;
            ResolveGroup(group, builder);
        }
        KvNodePtr document = builder.Build().node;
        if (!KvNodePtr::CompareNodes(document, lastMapping) && !m_canceled) {
            RW_LOG_DBG(L"Storing updated local group membership mapping: " << document);
            WriteNode(proxy.Get(), document, KV_WRITE_SUBTREE);
            SetLastMapping(std::move(document));
        }
    } catch (const HRX& error) {
        RW_LOG_WARN(L"Refreshing local groups membership failed: " << ToString(error));
    }
}
