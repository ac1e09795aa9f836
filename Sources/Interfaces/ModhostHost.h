/* The host's own functions of Modhost.dll: creating configuration servers, naming instances for
 * CLGetNamedInstance, waiting for a server's notifications and counting what is alive, so that a test
 * can show that a run left nothing behind. The module never calls them. */
#ifndef RW_INTERFACES_MODHOSTHOST_H
#define RW_INTERFACES_MODHOSTHOST_H

#include "ConfigProxy.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What the library holds now. */
typedef struct CLHostCounters {
    /* Live objects: servers, subscriptions, update objects, record enumerations. */
    ULONGLONG objects;
    /* Notification threads that have not ended. */
    ULONGLONG threads;
    /* Calls of sinks (subscription and synchronous) since the library was loaded that answered a failure
     * or threw: the server goes on, but a test can tell. */
    ULONGLONG sinkFailures;
} CLHostCounters;

/* A new empty configuration server (a tree holding only its root "\"), queried for iid: it answers as
 * IKvConfigProxy, IKvSubscriptionSource and IKvSyncModifySource. Releasing its last reference stops and
 * joins its notification thread and releases every sink it holds. */
CL_API HRESULT STDAPICALLTYPE CLCreateConfigServer(const GUID* iid, void** out);
/* Makes instance (any interface of an object) reachable as name; the library keeps a reference until
 * CLRevokeNamedInstance. Several names may refer to one object. E_INVALIDARG for an empty name,
 * HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) for a name in use. Names are compared exactly. */
CL_API HRESULT STDAPICALLTYPE CLRegisterNamedInstance(const WCHAR* name, IComponentBase* instance);
/* Forgets name and releases its reference; ERROR_NOT_FOUND for an unknown name. Names still registered
 * when the process ends are left to the process' end. */
CL_API HRESULT STDAPICALLTYPE CLRevokeNamedInstance(const WCHAR* name);
/* Waits until server (any interface of a server) has delivered every notification it has queued.
 * S_OK, or HRESULT_FROM_WIN32(ERROR_TIMEOUT); ERROR_INVALID_STATE on the server's own notification
 * thread, where it could never return; E_INVALIDARG for an object that is not a server. */
CL_API HRESULT STDAPICALLTYPE CLWaitForNotifications(IComponentBase* server, ULONG timeoutMs);
/* Fills *counters. */
CL_API HRESULT STDAPICALLTYPE CLGetHostCounters(CLHostCounters* counters);

#ifdef __cplusplus
}
#endif

#endif
