/* Binary interfaces of the host's component library (Modhost.dll) that the module uses to reach the
 * configuration server: the named instance lookup, the proxy that reads and writes nodes, the two
 * subscription sources, the subscription, the enumeration of modification records and the two sinks
 * that components implement.
 *
 * Every interface starts with the slots of IComponentBase (AddRef, Release, QueryInterface); the Vtbl
 * structures spell out the full slot order, the C++ declarations have the same layout. Nodes cross as
 * node store handles (IKvNode*): handles passed in stay the caller's, handles handed out become the
 * receiver's, to be closed with KvnCloseNodeHandle.
 *
 * Failure codes of the configuration server: E_POINTER for a null pointer that is required; E_INVALIDARG
 * for a malformed request (a reserved value that is not 0, a count other than 1, an unknown write mode,
 * a filter that is not a "FilterByPath" node with an absolute "NodePath", a written node whose path does
 * not name a node below the root, an object that does not come from this server);
 * HRESULT_FROM_WIN32(ERROR_NOT_FOUND) for a node, name or cookie that does not exist;
 * HRESULT_FROM_WIN32(ERROR_INVALID_STATE) for a call out of order (EndUpdate of an update that has
 * ended, a second Start, a subscription that has ended, a server that is gone). A failed call changes
 * nothing. */
#ifndef RW_INTERFACES_CONFIGPROXY_H
#define RW_INTERFACES_CONFIGPROXY_H

#include "ComponentBase.h"

/* Modhost.dll exports CLGetNamedInstance and the host's functions of ModhostHost.h. */
#ifdef RW_MODHOST_EXPORTS
#define CL_API __declspec(dllexport)
#else
#define CL_API __declspec(dllimport)
#endif

typedef struct IKvConfigProxy IKvConfigProxy;
typedef struct IKvSubscriptionSource IKvSubscriptionSource;
typedef struct IKvSyncModifySource IKvSyncModifySource;
typedef struct IKvModifySubscription IKvModifySubscription;
typedef struct IKvModifySink IKvModifySink;
typedef struct IKvNodeModifyEnum IKvNodeModifyEnum;
typedef struct IKvNodeEnum IKvNodeEnum;
typedef struct INodeModifySink INodeModifySink;

/* {8EF91B5E-1B76-4811-8A4F-DFA0328AD473} */
static const GUID IID_IKvConfigProxy = {0x8EF91B5E, 0x1B76, 0x4811, {0x8A, 0x4F, 0xDF, 0xA0, 0x32, 0x8A, 0xD4, 0x73}};
/* {B3BE9604-1352-4DAB-B413-D37764C0CE97} */
static const GUID IID_IKvSubscriptionSource = {0xB3BE9604, 0x1352, 0x4DAB, {0xB4, 0x13, 0xD3, 0x77, 0x64, 0xC0, 0xCE, 0x97}};
/* {35FB6A0B-C2D7-4410-B599-5D84F57E0D37} */
static const GUID IID_IKvSyncModifySource = {0x35FB6A0B, 0xC2D7, 0x4410, {0xB5, 0x99, 0x5D, 0x84, 0xF5, 0x7E, 0x0D, 0x37}};
/* {F1355F72-44C6-472B-8A69-25B3F6A4B3C8} */
static const GUID IID_IKvModifySubscription = {0xF1355F72, 0x44C6, 0x472B, {0x8A, 0x69, 0x25, 0xB3, 0xF6, 0xA4, 0xB3, 0xC8}};
/* {C58F7C8C-47FB-490D-AC0F-A6ED5C96ADC8} */
static const GUID IID_IKvModifySink = {0xC58F7C8C, 0x47FB, 0x490D, {0xAC, 0x0F, 0xA6, 0xED, 0x5C, 0x96, 0xAD, 0xC8}};
/* {E1FCFD26-0478-47A1-9A6C-6AF0BA5EDE5A} */
static const GUID IID_IKvNodeModifyEnum = {0xE1FCFD26, 0x0478, 0x47A1, {0x9A, 0x6C, 0x6A, 0xF0, 0xBA, 0x5E, 0xDE, 0x5A}};
/* {F359D47C-2E39-4B83-BC8D-028217D9E456} */
static const GUID IID_IKvNodeEnum = {0xF359D47C, 0x2E39, 0x4B83, {0xBC, 0x8D, 0x02, 0x82, 0x17, 0xD9, 0xE4, 0x56}};
/* {DB181091-87D3-40CE-AB52-7B2E0E59C84E} */
static const GUID IID_INodeModifySink = {0xDB181091, 0x87D3, 0x40CE, {0xAB, 0x52, 0x7B, 0x2E, 0x0E, 0x59, 0xC8, 0x4E}};

/* Write modes of WriteNodes. */
/* Merge: the written attributes are set on the node, which is created when missing; its other
 * attributes and its children stay. */
#define KV_WRITE_MERGE 0
/* Attributes: the node, which must exist, gets exactly the written attributes; its children stay. */
#define KV_WRITE_ATTRIBUTES 2
/* Subtree: the node and everything below it are replaced by the written subtree, or created. */
#define KV_WRITE_SUBTREE 3

/* Bits of a modification mask ("ChangesMask" of a record, mask of SNodeModifyRecord). */
#define KV_CHANGE_CREATED 1
#define KV_CHANGE_DELETED 2
#define KV_CHANGE_MODIFIED 4

/* "SubscribeOptions" bit: Start delivers a record with the current content when the node exists. */
#define KV_SUBSCRIBE_INITIAL_CONTENT 0x8
/* The request every component sends: all changes ("ChangesMask"), initial content ("SubscribeOptions"). */
#define KV_SUBSCRIBE_CHANGES_ALL 7
#define KV_SUBSCRIBE_OPTIONS_STANDARD 11

/* What INodeModifySink::OnModified receives for one written node. */
typedef struct SNodeModifyRecord {
    /* KV_CHANGE_ bits: CREATED for a node that did not exist, MODIFIED for attributes written to an
     * existing node, all three for an existing subtree replaced, DELETED for a deleted node. */
    ULONG mask;
    /* Full path of the written node; valid during the call. */
    const WCHAR* path;
} SNodeModifyRecord;

/* Slot layouts. */
typedef struct IKvConfigProxyVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvConfigProxy* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvConfigProxy* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvConfigProxy* self, const GUID* iid, void** out);
    /* 3: opens a transaction for the calling thread and hands out the object that stands for it. Writes
     * of this thread with a null context join it until EndUpdate; releasing the object without EndUpdate
     * rolls the transaction back. ERROR_INVALID_STATE when the thread has one open already. */
    HRESULT(STDMETHODCALLTYPE* BeginUpdate)(IKvConfigProxy* self, IComponentBase** update);
    /* 4: commits the update's writes as one change. ERROR_INVALID_STATE when it has ended already;
     * ERROR_NOT_FOUND, with everything rolled back, when a node that a write needs is gone by now. */
    HRESULT(STDMETHODCALLTYPE* EndUpdate)(IKvConfigProxy* self, IComponentBase* update);
    /* 5: stores nodes[0] (count must be 1) at its full path in the given KV_WRITE_ mode. context: null
     * for the calling thread's open update, or for a transaction of its own when it has none; or an open
     * update object of this server. Missing parents are created without type or attributes. */
    HRESULT(STDMETHODCALLTYPE* WriteNodes)(IKvConfigProxy* self, IComponentBase* context, ULONG mode,
                                           IKvNode* const* nodes, ULONG count);
    /* 6: deletes the node at path with its subtree, in a transaction as WriteNodes does; ERROR_NOT_FOUND
     * when it does not exist. The module never calls it. */
    HRESULT(STDMETHODCALLTYPE* DeleteNode)(IKvConfigProxy* self, IComponentBase* context, const WCHAR* path);
    /* 7: the node that filter (a "FilterByPath" node) names, as a detached copy to its "MaxDepth" that
     * carries the node's path as its full path, in nodes[0] with *count 1; *count 0 when there is none.
     * reserved must be 0, maxCount at least 1; "IsParent" must be false. */
    HRESULT(STDMETHODCALLTYPE* QueryNodes)(IKvConfigProxy* self, IKvNode* filter, ULONGLONG reserved,
                                           IKvNode** nodes, ULONG maxCount, ULONG* count);
} IKvConfigProxyVtbl;

typedef struct IKvSubscriptionSourceVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvSubscriptionSource* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvSubscriptionSource* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvSubscriptionSource* self, const GUID* iid, void** out);
    /* 3: a subscription to the node that filter names, with the "ChangesMask" and "SubscribeOptions" of
     * request (a "SubscribeConfig" node; missing values: 7 and 0). It delivers nothing before Start and
     * holds a reference to sink until it ends; it stays in force when the caller releases it. */
    HRESULT(STDMETHODCALLTYPE* Subscribe)(IKvSubscriptionSource* self, IKvNode* filter, IKvNode* request,
                                          IKvModifySink* sink, IKvModifySubscription** subscription);
    /* 4: ends a subscription of this server. When it returns, no call to its sink is under way (unless
     * it is made from inside that call) and none follows. */
    HRESULT(STDMETHODCALLTYPE* Unsubscribe)(IKvSubscriptionSource* self, IKvModifySubscription* subscription);
} IKvSubscriptionSourceVtbl;

typedef struct IKvSyncModifySourceVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvSyncModifySource* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvSyncModifySource* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvSyncModifySource* self, const GUID* iid, void** out);
    /* 3: registers a sink for synchronous notifications of every transaction; *cookie names it. */
    HRESULT(STDMETHODCALLTYPE* RegisterSink)(IKvSyncModifySource* self, INodeModifySink* sink, GUID* cookie);
    /* 4: removes the sink that cookie names; when it returns, no call to it is under way on another
     * thread. The module never calls it. */
    HRESULT(STDMETHODCALLTYPE* UnregisterSink)(IKvSyncModifySource* self, const GUID* cookie);
} IKvSyncModifySourceVtbl;

typedef struct IKvModifySubscriptionVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvModifySubscription* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvModifySubscription* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvModifySubscription* self, const GUID* iid, void** out);
    /* 3: starts delivery (once); with KV_SUBSCRIBE_INITIAL_CONTENT the current content comes first. */
    HRESULT(STDMETHODCALLTYPE* Start)(IKvModifySubscription* self);
    /* 4: ends the subscription, as Unsubscribe does. The module never calls it. */
    HRESULT(STDMETHODCALLTYPE* Stop)(IKvModifySubscription* self);
    /* 5: the subscription's identifier. */
    HRESULT(STDMETHODCALLTYPE* GetId)(IKvModifySubscription* self, GUID* id);
} IKvModifySubscriptionVtbl;

typedef struct IKvModifySinkVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvModifySink* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvModifySink* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvModifySink* self, const GUID* iid, void** out);
    /* 3: modification records of one subscription; recordCount is how many changes holds. Called on
     * the server's notification thread; S_OK when the changes were taken. */
    HRESULT(STDMETHODCALLTYPE* OnTriggered)(IKvModifySink* self, IKvModifySubscription* subscription, int recordCount,
                                            IKvNodeModifyEnum* changes);
} IKvModifySinkVtbl;

typedef struct IKvNodeModifyEnumVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvNodeModifyEnum* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvNodeModifyEnum* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvNodeModifyEnum* self, const GUID* iid, void** out);
    /* 3: a new enumerator over the records, at the first one. */
    HRESULT(STDMETHODCALLTYPE* GetEnumerator)(IKvNodeModifyEnum* self, IKvNodeEnum** enumerator);
} IKvNodeModifyEnumVtbl;

typedef struct IKvNodeEnumVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IKvNodeEnum* self);
    ULONG(STDMETHODCALLTYPE* Release)(IKvNodeEnum* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IKvNodeEnum* self, const GUID* iid, void** out);
    /* 3: back to the first record. */
    HRESULT(STDMETHODCALLTYPE* Reset)(IKvNodeEnum* self);
    /* 4: S_OK and the next record in *node, or S_FALSE and null at the end. A record is a node named by
     * the parent path of the subscribed node, with "ModifiedNodePath" (the subscribed path, code 2),
     * "ChangesMask" (KV_CHANGE_ bits, code 3) and, when the node exists, a copy of it to the
     * subscription's depth as child 0, whose full path is therefore the node's server path. */
    HRESULT(STDMETHODCALLTYPE* Next)(IKvNodeEnum* self, IKvNode** node);
} IKvNodeEnumVtbl;

typedef struct INodeModifySinkVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(INodeModifySink* self);
    ULONG(STDMETHODCALLTYPE* Release)(INodeModifySink* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(INodeModifySink* self, const GUID* iid, void** out);
    /* 3: the notifications of one transaction begin. */
    HRESULT(STDMETHODCALLTYPE* OnBeginModifications)(INodeModifySink* self);
    /* 4: one written node of the transaction, in the order of the writes. */
    HRESULT(STDMETHODCALLTYPE* OnModified)(INodeModifySink* self, const SNodeModifyRecord* record);
    /* 5: every OnModified of the transaction has been made; OnFinish follows. */
    HRESULT(STDMETHODCALLTYPE* OnEndModifications)(INodeModifySink* self);
    /* 6: apply 1: the transaction is committed and can be read; 0: it was rolled back. */
    HRESULT(STDMETHODCALLTYPE* OnFinish)(INodeModifySink* self, int apply);
} INodeModifySinkVtbl;

#if defined(__cplusplus) && !defined(CINTERFACE)

struct IKvConfigProxy : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE BeginUpdate(IComponentBase** update) = 0;
    virtual HRESULT STDMETHODCALLTYPE EndUpdate(IComponentBase* update) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes,
                                                 ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeleteNode(IComponentBase* context, const WCHAR* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount,
                                                 ULONG* count) = 0;
};

struct IKvSubscriptionSource : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink,
                                                IKvModifySubscription** subscription) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unsubscribe(IKvModifySubscription* subscription) = 0;
};

struct IKvSyncModifySource : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE RegisterSink(INodeModifySink* sink, GUID* cookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnregisterSink(const GUID* cookie) = 0;
};

struct IKvModifySubscription : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Start() = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetId(GUID* id) = 0;
};

struct IKvModifySink : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int recordCount,
                                                  IKvNodeModifyEnum* changes) = 0;
};

struct IKvNodeModifyEnum : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE GetEnumerator(IKvNodeEnum** enumerator) = 0;
};

struct IKvNodeEnum : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Next(IKvNode** node) = 0;
};

struct INodeModifySink : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE OnBeginModifications() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEndModifications() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnFinish(int apply) = 0;
};

#else

struct IKvConfigProxy { const IKvConfigProxyVtbl* lpVtbl; };
struct IKvSubscriptionSource { const IKvSubscriptionSourceVtbl* lpVtbl; };
struct IKvSyncModifySource { const IKvSyncModifySourceVtbl* lpVtbl; };
struct IKvModifySubscription { const IKvModifySubscriptionVtbl* lpVtbl; };
struct IKvModifySink { const IKvModifySinkVtbl* lpVtbl; };
struct IKvNodeModifyEnum { const IKvNodeModifyEnumVtbl* lpVtbl; };
struct IKvNodeEnum { const IKvNodeEnumVtbl* lpVtbl; };
struct INodeModifySink { const INodeModifySinkVtbl* lpVtbl; };

#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The instance the host registered under name, queried for iid into *out (with a reference for the
 * caller). reserved must be 0 (E_INVALIDARG); ERROR_NOT_FOUND for a name nobody registered. */
CL_API HRESULT STDAPICALLTYPE CLGetNamedInstance(const WCHAR* name, ULONGLONG reserved, const GUID* iid, void** out);

#ifdef __cplusplus
}
#endif

#endif
