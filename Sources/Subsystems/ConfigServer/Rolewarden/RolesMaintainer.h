// CRolesMaintainer: keeps the security mappings derived from the configuration tree up to date. Its
// configuration names a storage instance and the sources to follow: role definition subtrees, folder
// trees and security mapping subtrees. Every change of a source is stamped with an update sequence
// number (USN); a worker runs changed sources through their transformers, keeps the resulting mapping
// nodes, reports the derived ones to the configuration server in USN order, and GetSecurityMapping
// hands out what it holds.
//
// Storage: with "LocalStorageInstance" it registers a synchronous modify sink (through a
// CModifySinkProxy that holds only a weak reference to it) and reads each source at once; with
// "RemoteStorageInstance" it subscribes to each source path and gets the data with the notifications.
//
// Thread Safety: notifications arrive on the host's threads (OnTriggered, OnModified, OnFinish),
// GetSecurityMapping on any thread, processing and reporting on the worker. One recursive lock guards
// the sources, the mappings and the last reported USN; transformers run under it, reports go out
// without it, and only the worker reports. Configure runs once: a concurrent or later call fails.
//
// Lifetime: the host, the subscriptions of remote storage (which the server keeps until it shuts
// down), the local storage's calls through the sink proxy (for the length of a call) and each run of
// the worker hold references. The last release may therefore come on a host thread, the server's
// notification thread, a thread inside a storage write, or the worker itself at the end of a run; none
// of them can be inside a run of the worker at that moment, so the destructor never waits for one: it
// joins a waiting worker, or, on the worker itself, leaves the thread to end as the run returns.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Common/Components/ConfigureOnce.h"
#include "Common/Components/WeakReference.h"
#include "Common/Helpers/AsyncAction.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Common/Sync.h"
#include "Interfaces/ComponentInterfaces.h"
#include "Interfaces/ConfigProxy.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

// One followed subtree of the configuration.
struct SSourceInfo {
    std::wstring SourcePath;
    // The kind's reaction to new data; runs under the roles maintainer's lock.
    std::function<void(SSourceInfo&)> handler;
    // Empty for a security mapping source, whose data is passed through as it is.
    std::shared_ptr<ISourceTransformer> transformer;
    // A local storage transaction touched the subtree; read again when it commits.
    bool modified = false;
    // The subtree as last read; empty while it does not exist.
    KvNodePtr data;
    // USN of the latest change, and the USN up to which the source has been transformed.
    uint64_t usn = 0;
    uint64_t processedUsn = 0;
};

// The path test of the roles maintainer: path is base or lies below it. base must start with a
// backslash; "\" is the root, under which every absolute path lies. Case-sensitive.
bool IsSameOrUnder(const std::wstring& path, const std::wstring& base);

class CRolesMaintainer : public CComponentBase,
                         public IConfigurableComponent,
                         public IKvModifySink,
                         public INodeModifySink,
                         public ISecurityMappingProvider,
                         public Detail::CWeakReferenceSource<CRolesMaintainer> {
public:
    using Interfaces = InterfaceTable<IConfigurableComponent, IKvModifySink, INodeModifySink, ISecurityMappingProvider,
                                      IWeakReferenceSource>;
    RW_COMPONENT_OBJECT_TAG(CRolesMaintainer);
    static constexpr const char* WeakReferenceObjectTag =
        "CComponentObject<class Detail::CWeakRefObj<class CRolesMaintainer> >::CComponentObject";

    CRolesMaintainer() = default;
    ~CRolesMaintainer() override = default;

    // Reads the storage mode and the sources (children of config), subscribes or reads them, starts
    // the worker and has it run at once. E_POINTER for a null config; HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
    // for a missing SourcePath, RemoteStorageInstance or (local storage) source subtree; a failure undoes
    // the subscriptions made and leaves no sources and no worker. A Configure while another one runs or
    // after one succeeded fails with HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED).
    HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) override;

    // Remote storage: the records of one subscription's changes. E_POINTER for null arguments.
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int reserved,
                                          IKvNodeModifyEnum* changes) override;

    // Local storage: OnModified marks the sources that a written node touches; OnFinish reads the marked
    // sources again when the transaction committed (apply not 0) and drops the marks either way.
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override;
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override;

    // Processes pending source changes first, on the caller's thread.
    HRESULT STDMETHODCALLTYPE GetSecurityMapping(const WCHAR* path, ULONGLONG sinceUsn, IKvNode** data,
                                                 ULONGLONG* usn) override;

private:
    // A current output mapping.
    struct SMappingRecord {
        KvNodePtr data;
        uint64_t usn = 0;
        // The digest of a transformer's document; none for data passed through from a security mapping
        // source.
        std::optional<SContentDigest> digest;
        // Made by a transformer, so reported.
        bool Derived() const noexcept { return digest.has_value(); }
    };
    // Whether output holds what record holds: by digests when both have one (a document of thousands
    // of entries is then told apart, or found equal, without reading it through the store), otherwise
    // by deep node comparison.
    static bool SameMapping(const SMappingRecord& record, const SMappingRecord& output);

    uint64_t NextUsn() noexcept { return ++m_usnCounter; }
    // The source's record for a configuration child; empty for a node type that is no source kind.
    std::shared_ptr<SSourceInfo> MakeSourceInfo(const KvNodePtr& source);
    void OnRoleDefinitionUpdate(SSourceInfo& source);
    void HandleSourceUpdate(const std::wstring& path, const KvNodePtr& newData);
    void UpdateSourceData(SSourceInfo& source, const KvNodePtr& data);
    // True when some mapping changed.
    bool ProcessSourceChanges();
    void ProcessMappingChanges();
    void ReportMappingChange(const KvNodePtr& mapping, uint64_t usn);
    void ProcessPendingOperations();
    void AsyncProcessingWorker(CAsyncAction& action);
    // Asks the worker for a run when it exists; the caller must not hold the lock.
    void TriggerWorker();

    CConfigureOnce m_configureOnce;
    std::chrono::seconds m_processingPeriod{60};
    std::chrono::seconds m_retryPeriod{60};
    std::wstring m_storageInstanceName;
    std::atomic<uint64_t> m_usnCounter{0};
    // Recursive: handlers and transformers run under it and call back into functions that take it.
    CCriticalSection m_lock;
    std::shared_ptr<CRoleDefinitionRegistry> m_roleDefinitions;
    std::map<std::wstring, std::shared_ptr<SSourceInfo>> m_sources;
    std::map<std::wstring, SMappingRecord> m_mappings;
    uint64_t m_lastReportedMappingUsn = 0;
    std::unique_ptr<CAsyncAction> m_worker;
};
