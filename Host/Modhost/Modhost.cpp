// The exported functions of Modhost.dll: the named instances, the server factory and the counters.
#include "ConfigServer.h"

#include "Interfaces/ModhostHost.h"

#include <map>
#include <string>

std::atomic<ULONGLONG> g_liveObjects{0};

namespace {

struct SNamedInstances {
    std::shared_mutex lock;
    std::map<std::wstring, CHostRef<IComponentBase>> names;
};

// Never destroyed: releasing servers at unload would join their threads under the loader lock.
SNamedInstances& NamedInstances() {
    static SNamedInstances* const instances = new SNamedInstances;
    return *instances;
}

} // namespace

extern "C" {

CL_API HRESULT STDAPICALLTYPE CLGetNamedInstance(const WCHAR* name, ULONGLONG reserved, const GUID* iid, void** out) {
    return HostCall([&] {
        if (name == nullptr || iid == nullptr || out == nullptr)
            return E_POINTER;
        if (reserved != 0)
            return E_INVALIDARG;
        *out = nullptr;
        CHostRef<IComponentBase> instance;
        {
            SNamedInstances& instances = NamedInstances();
            std::shared_lock guard(instances.lock);
            const auto found = instances.names.find(name);
            if (found == instances.names.end())
                return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
            instance = found->second;
        }
        return instance->QueryInterface(iid, out);
    });
}

CL_API HRESULT STDAPICALLTYPE CLCreateConfigServer(const GUID* iid, void** out) {
    return HostCall([&] {
        if (iid == nullptr || out == nullptr)
            return E_POINTER;
        *out = nullptr;
        const CHostRef<CConfigServer> server = CHostRef<CConfigServer>::Attach(new CConfigServer());
        return server->QueryInterface(iid, out);
    });
}

CL_API HRESULT STDAPICALLTYPE CLRegisterNamedInstance(const WCHAR* name, IComponentBase* instance) {
    return HostCall([&] {
        if (name == nullptr || instance == nullptr)
            return E_POINTER;
        if (name[0] == L'\0')
            return E_INVALIDARG;
        SNamedInstances& instances = NamedInstances();
        std::unique_lock guard(instances.lock);
        const bool added = instances.names.emplace(name, CHostRef<IComponentBase>::Share(instance)).second;
        return added ? S_OK : HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    });
}

CL_API HRESULT STDAPICALLTYPE CLRevokeNamedInstance(const WCHAR* name) {
    return HostCall([&] {
        if (name == nullptr)
            return E_POINTER;
        // Released after the lock: the last reference to a server stops its thread, whose sinks may be
        // looking names up.
        CHostRef<IComponentBase> instance;
        SNamedInstances& instances = NamedInstances();
        std::unique_lock guard(instances.lock);
        const auto found = instances.names.find(name);
        if (found == instances.names.end())
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        instance = std::move(found->second);
        instances.names.erase(found);
        return S_OK;
    });
}

CL_API HRESULT STDAPICALLTYPE CLWaitForNotifications(IComponentBase* server, ULONG timeoutMs) {
    return HostCall([&] {
        CServerCore& core = ResolveOwn<IServerIdentity, CConfigServer>(server).Core();
        return core.WaitUntilIdle(timeoutMs) ? S_OK : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    });
}

CL_API HRESULT STDAPICALLTYPE CLGetHostCounters(CLHostCounters* counters) {
    if (counters == nullptr)
        return E_POINTER;
    counters->objects = g_liveObjects;
    counters->threads = g_liveThreads;
    counters->sinkFailures = g_sinkFailures;
    return S_OK;
}

} // extern "C"
