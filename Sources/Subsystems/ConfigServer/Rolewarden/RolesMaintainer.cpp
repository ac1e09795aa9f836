// The roles maintainer: configuration and sources, change notifications, processing into mappings,
// reporting and the mapping queries.
#include "Subsystems/ConfigServer/Rolewarden/RolesMaintainer.h"

#include "Common/Logging.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Common/ScopeExit.h"
#include "Subsystems/ConfigServer/Rolewarden/ModifySinkProxy.h"

#include <algorithm>
#include <vector>

RW_REGISTER_COMPONENT(CRolesMaintainer, CLSID_RolesMaintainer);

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case digits.
std::wstring GuidText(const GUID& id) {
    wchar_t text[39];
    swprintf(text, 39, L"{%08lX-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}", id.Data1, id.Data2, id.Data3,
             id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

} // namespace

bool IsSameOrUnder(const std::wstring& path, const std::wstring& base) {
    if (base.empty() || base[0] != L'\\' || path.size() < base.size() || path.compare(0, base.size(), base) != 0)
        return false;
    return path.size() == base.size() || path[base.size()] == L'\\' || base.size() == 1;
}

HRESULT CRolesMaintainer::Configure(IKvNode* configNode) {
    return CallBoundary(L"CRolesMaintainer::Configure", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::Configure");
        ThrowIfNull(configNode);
        const KvNodePtr config(configNode, false);
        RW_LOG_DBG(L"Config: " << config);
        CConfigureOnce::CClaim claim = m_configureOnce.Begin();
        {
            auto guard = m_lock.lock();
            m_roleDefinitions = std::make_shared<CRoleDefinitionRegistry>();
        }

        InterfacePtr<IKvConfigProxy> storage;
        InterfacePtr<IKvSyncModifySource> syncSource;
        InterfacePtr<IKvSubscriptionSource> subscriptionSource;
        std::wstring localName;
        const bool local = config.TryGetString(L"LocalStorageInstance", localName);
        if (local) {
            m_storageInstanceName = localName;
            RW_LOG_DBG(L"Local storage - using syncronous subscriptions");
            storage = GetProxyInstance(m_storageInstanceName.c_str());
            syncSource = storage.Query<IKvSyncModifySource>();
        } else {
            RW_LOG_DBG(L"Remote storage - using asyncronous subscriptions");
            m_storageInstanceName = config.GetString(L"RemoteStorageInstance");
            storage = GetProxyInstance(m_storageInstanceName.c_str());
            subscriptionSource = storage.Query<IKvSubscriptionSource>();
        }

        // Undoes what a failing Configure set up: the subscriptions made and the sources. The worker is
        // made last, when nothing can fail any more, so that no run of a failed configuration is left.
        std::vector<InterfacePtr<IKvModifySubscription>> subscriptions;
        CScopeExit cleanup([&] {
            for (const InterfacePtr<IKvModifySubscription>& subscription : subscriptions)
                static_cast<void>(subscriptionSource->Unsubscribe(subscription.Get()));
            auto guard = m_lock.lock();
            m_sources.clear();
        });

        for (const KvNodePtr& child : config.GetChildren()) {
            const std::wstring path = child.GetString(L"SourcePath");
            const std::shared_ptr<SSourceInfo> source = MakeSourceInfo(child);
            if (!source) {
                RW_LOG_WARN(L"Skipping unsupported SourceInfo: " << child.GetType());
                continue;
            }
            if (local) {
                UpdateSourceData(*source, QueryNodeByPath(storage.Get(), path, true));
            } else {
                const KvNodePtr filter = CreateFilterByPath(path), request = CreateSubscribeConfig();
                InterfacePtr<IKvModifySubscription> subscription;
                ThrowIfFailed(subscriptionSource->Subscribe(filter.Get(), request.Get(), static_cast<IKvModifySink*>(this),
                                                            subscription.Put()));
                subscriptions.push_back(std::move(subscription));
            }
            auto guard = m_lock.lock();
            m_sources.emplace(path, source);
        }

        for (const InterfacePtr<IKvModifySubscription>& subscription : subscriptions)
            ThrowIfFailed(subscription->Start());

        // A transaction that commits before the worker exists is read by OnFinish all the same, and the
        // worker's first run, triggered below, processes it.
        if (local) {
            const InterfacePtr<INodeModifySink> sink =
                CreateComponentObject<CModifySinkProxy, INodeModifySink>(static_cast<INodeModifySink*>(this));
            GUID cookie{};
            ThrowIfFailed(syncSource->RegisterSink(sink.Get(), &cookie));
        }

        {
            auto guard = m_lock.lock();
            m_worker = std::make_unique<CAsyncAction>(
                m_processingPeriod, m_processingPeriod, [this](CAsyncAction& action) { AsyncProcessingWorker(action); },
                static_cast<CComponentBase*>(this));
        }
        TriggerWorker();
        cleanup.Dismiss();
        claim.Commit();
    });
}

std::shared_ptr<SSourceInfo> CRolesMaintainer::MakeSourceInfo(const KvNodePtr& source) {
    RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::MakeSourceInfo");
    auto info = std::make_shared<SSourceInfo>();
    info->SourcePath = source.GetString(L"SourcePath");
    const auto bump = [this](SSourceInfo& changed) { changed.usn = NextUsn(); };
    const std::wstring type = source.GetType();
    if (type == FoldersTreeSourceType || type == SecurityMappingSourceType)
        info->handler = bump;
    else if (type == RoleDefinitionSourceType)
        info->handler = [this](SSourceInfo& changed) { OnRoleDefinitionUpdate(changed); };
    else
        return {};
    info->transformer = MakeSourceTransformer(source, m_roleDefinitions);
    return info;
}

void CRolesMaintainer::OnRoleDefinitionUpdate(SSourceInfo& source) {
    m_roleDefinitions->Update(source.SourcePath, source.data);
    // Every transformer looks roles up, so every source is transformed again under one new USN.
    const uint64_t usn = NextUsn();
    source.usn = usn;
    for (auto& entry : m_sources)
        entry.second->usn = usn;
}

HRESULT CRolesMaintainer::OnTriggered(IKvModifySubscription* subscription, int, IKvNodeModifyEnum* changes) {
    return CallBoundary(L"CRolesMaintainer::OnTriggered", [&] {
        RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::OnTriggered");
        ThrowIfNull(subscription);
        ThrowIfNull(changes);
        GUID id{};
        ThrowIfFailed(subscription->GetId(&id));
        RW_LOG_DBG(L"Subscription triggered: " << GuidText(id));
        for (const SModification& modification : ReadModifications(changes)) {
            RW_LOG_DBG(L"ModifyMask: " << modification.mask);
            HandleSourceUpdate(modification.path, modification.node);
        }
        TriggerWorker();
    });
}

void CRolesMaintainer::HandleSourceUpdate(const std::wstring& path, const KvNodePtr& newData) {
    RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::HandleSourceUpdate");
    RW_LOG_DBG(L"NewData: " << newData);
    auto guard = m_lock.lock();
    const auto found = m_sources.find(path);
    if (found == m_sources.end()) {
        HRES notFound;
        notFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        RW_LOG_ERR(L"Looking for the source info for '" << path << L"' failed: " << ToString(notFound));
        return;
    }
    UpdateSourceData(*found->second, newData);
}

void CRolesMaintainer::UpdateSourceData(SSourceInfo& source, const KvNodePtr& data) {
    auto guard = m_lock.lock();
    source.data = data;
    if (source.handler)
        source.handler(source);
}

HRESULT CRolesMaintainer::OnModified(const SNodeModifyRecord* record) {
    return CallBoundary(L"CRolesMaintainer::OnModified", [&] {
        ThrowIfNull(record);
        const std::wstring path = ThrowIfNull(record->path);
        // A created or deleted node also changes every source below it.
        const bool structural = (record->mask & (KV_CHANGE_CREATED | KV_CHANGE_DELETED)) != 0;
        auto guard = m_lock.lock();
        for (auto& [sourcePath, source] : m_sources) {
            if (IsSameOrUnder(path, sourcePath) || (structural && IsSameOrUnder(sourcePath, path)))
                source->modified = true;
        }
    });
}

HRESULT CRolesMaintainer::OnFinish(int apply) {
    return CallBoundary(L"CRolesMaintainer::OnFinish", [&] {
        bool updated = false;
        // Also when a read fails part-way: what was read is processed.
        CScopeExit trigger([&] {
            if (updated)
                TriggerWorker();
        });
        auto guard = m_lock.lock();
        InterfacePtr<IKvConfigProxy> storage;
        for (auto& [path, source] : m_sources) {
            if (apply != 0 && source->modified) {
                if (!storage)
                    storage = GetProxyInstance(m_storageInstanceName.c_str());
                UpdateSourceData(*source, QueryNodeByPath(storage.Get(), path, false));
                updated = true;
            }
            source->modified = false;
        }
    });
}

bool CRolesMaintainer::ProcessSourceChanges() {
    RW_TRACE_SCOPE(SevDbg2, L"CRolesMaintainer::ProcessSourceChanges");
    bool changed = false;
    auto guard = m_lock.lock();
    for (auto& [path, source] : m_sources) {
        const uint64_t usn = source->usn;
        if (usn <= source->processedUsn)
            continue;
        RW_LOG_DBG(L"ProcessSourceChanges: processing updated source: '" << path << L"' old_usn=" << source->processedUsn
                                                                          << L" new_usn=" << usn);
        std::vector<SMappingRecord> outputs;
        if (source->transformer) {
            for (SMappingDocument& document : source->transformer->TransformData(source->data))
                outputs.push_back({std::move(document.node), usn, document.digest});
        } else {
            outputs.push_back({source->data, usn, std::nullopt});
        }
        for (SMappingRecord& output : outputs) {
            // A security mapping source whose subtree is missing has no mapping to offer.
            if (!output.data)
                continue;
            std::wstring name = output.data.GetName();
            const auto found = m_mappings.find(name);
            if (found != m_mappings.end() && SameMapping(found->second, output))
                continue;
            RW_LOG_DBG(L"Mapping updated: mapping='" << name << L"' usn=" << usn);
            m_mappings.insert_or_assign(std::move(name), std::move(output));
            changed = true;
        }
        source->processedUsn = usn;
    }
    return changed;
}

bool CRolesMaintainer::SameMapping(const SMappingRecord& record, const SMappingRecord& output) {
    // Both documents are detached roots of one own name, so of one full path: their entries decide.
    if (record.digest && output.digest)
        return *record.digest == *output.digest;
    return KvNodePtr::CompareNodes(record.data, output.data);
}

void CRolesMaintainer::ProcessMappingChanges() {
    RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::ProcessMappingChanges");
    struct SChange {
        uint64_t usn;
        KvNodePtr mapping;
    };
    std::vector<SChange> changes;
    {
        auto guard = m_lock.lock();
        RW_LOG_DBG(L"LastReportedMappingUsn: " << m_lastReportedMappingUsn);
        for (const auto& [name, record] : m_mappings) {
            if (record.Derived() && record.usn > m_lastReportedMappingUsn)
                changes.push_back({record.usn, record.data});
        }
    }
    // Stable: mappings of one USN keep the map's order, that of their names.
    std::stable_sort(changes.begin(), changes.end(), [](const SChange& a, const SChange& b) { return a.usn < b.usn; });
    for (const SChange& change : changes) {
        RW_LOG_DBG(L"Processing security mapping change: mapping='" << change.mapping.GetName() << L"' usn=" << change.usn);
        ReportMappingChange(change.mapping, change.usn);
    }
    if (!changes.empty()) {
        auto guard = m_lock.lock();
        m_lastReportedMappingUsn = std::max(m_lastReportedMappingUsn, changes.back().usn);
    }
}

void CRolesMaintainer::ReportMappingChange(const KvNodePtr& mapping, uint64_t usn) {
    RW_LOG_DBG(L"Reporting mapping change: mapping='" << mapping.GetName() << L"' usn=" << usn << L" data: " << mapping);
    const InterfacePtr<IKvConfigProxy> proxy = GetProxyInstance(ConfigServerProxyName);
    WriteNode(proxy.Get(), mapping, KV_WRITE_SUBTREE);
}

void CRolesMaintainer::ProcessPendingOperations() {
    RW_TRACE_SCOPE(SevDbg3, L"CRolesMaintainer::ProcessPendingOperations");
    if (ProcessSourceChanges())
        TriggerWorker();
}

void CRolesMaintainer::AsyncProcessingWorker(CAsyncAction& action) {
    RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::AsyncProcessingWorker");
    try {
        ProcessSourceChanges();
        ProcessMappingChanges();
        action.SetPeriod(m_processingPeriod);
    } catch (const HRX& error) {
        action.SetPeriod(m_retryPeriod);
        RW_LOG_ERR(L"CRolesMaintainer::AsyncProcessingWorker failed: " << ToString(error));
    }
}

void CRolesMaintainer::TriggerWorker() {
    auto guard = m_lock.lock();
    if (m_worker)
        static_cast<void>(m_worker->Trigger());
}

HRESULT CRolesMaintainer::GetSecurityMapping(const WCHAR* path, ULONGLONG sinceUsn, IKvNode** data, ULONGLONG* usn) {
    return CallBoundary(L"CRolesMaintainer::GetSecurityMapping", [&]() -> HRESULT {
        ProcessPendingOperations();
        KvNodePtr result;
        uint64_t resultUsn = 0;
        {
            auto guard = m_lock.lock();
            if (path != nullptr) {
                const auto found = m_mappings.find(path);
                if (found != m_mappings.end()) {
                    resultUsn = found->second.usn;
                    if (data != nullptr && resultUsn > sinceUsn)
                        result = found->second.data.Clone(KvNodePtr::WholeTree, 0);
                }
            } else {
                for (const auto& [name, record] : m_mappings) {
                    resultUsn = std::max(resultUsn, record.usn);
                    if (data == nullptr || record.usn <= sinceUsn)
                        continue;
                    if (!result)
                        result = KvNodePtr::Create(nullptr, nullptr);
                    result.AddChild(record.data.Clone(KvNodePtr::WholeTree, 0));
                }
            }
        }
        if (data != nullptr)
            *data = result.Detach();
        if (usn != nullptr)
            *usn = resultUsn;
        return resultUsn > sinceUsn ? S_OK : S_FALSE;
    });
}
