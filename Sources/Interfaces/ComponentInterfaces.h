/* Binary interfaces that the module's components offer besides IConfigurableComponent: the security
 * mapping queries and the weak reference of the roles maintainer, and the cancel operation of the two
 * periodic refreshers. The subscription sinks they implement (IKvModifySink, INodeModifySink) are the
 * host's interfaces, declared in ConfigProxy.h.
 *
 * Every interface starts with the slots of IComponentBase (AddRef, Release, QueryInterface); the Vtbl
 * structures spell out the full slot order, the C++ declarations have the same layout. */
#ifndef RW_INTERFACES_COMPONENTINTERFACES_H
#define RW_INTERFACES_COMPONENTINTERFACES_H

#include "ComponentBase.h"

typedef struct ISecurityMappingProvider ISecurityMappingProvider;
typedef struct IWeakReferenceSource IWeakReferenceSource;
typedef struct IWeakReference IWeakReference;
typedef struct IWeakReferenceObserver IWeakReferenceObserver;
typedef struct ICancelableComponent ICancelableComponent;

/* {14F45622-B5A3-4BB1-A37F-CD998B73941E} */
static const GUID IID_ISecurityMappingProvider = {0x14F45622, 0xB5A3, 0x4BB1, {0xA3, 0x7F, 0xCD, 0x99, 0x8B, 0x73, 0x94, 0x1E}};
/* {A85AE290-89EE-46E0-9395-3AAB22F29105} */
static const GUID IID_IWeakReferenceSource = {0xA85AE290, 0x89EE, 0x46E0, {0x93, 0x95, 0x3A, 0xAB, 0x22, 0xF2, 0x91, 0x05}};
/* {B114EFFB-7880-43B8-9A2A-40BE1DD57D5E} */
static const GUID IID_IWeakReference = {0xB114EFFB, 0x7880, 0x43B8, {0x9A, 0x2A, 0x40, 0xBE, 0x1D, 0xD5, 0x7D, 0x5E}};
/* {45622F80-2F68-4571-BCBC-70651601771B} */
static const GUID IID_ICancelableComponent = {0x45622F80, 0x2F68, 0x4571, {0xBC, 0xBC, 0x70, 0x65, 0x16, 0x01, 0x77, 0x1B}};

typedef struct ISecurityMappingProviderVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(ISecurityMappingProvider* self);
    ULONG(STDMETHODCALLTYPE* Release)(ISecurityMappingProvider* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ISecurityMappingProvider* self, const GUID* iid, void** out);
    /* 3: the mapping named path (a null path: every mapping, as the children of one unnamed container
     * node) when it is newer than sinceUsn. *data (when data is not null) receives a copy that the
     * caller closes, or null; *usn (when usn is not null) the mapping's USN (0 for an unknown name),
     * or for a null path the highest USN held. S_OK when that USN is greater than sinceUsn, S_FALSE
     * otherwise. */
    HRESULT(STDMETHODCALLTYPE* GetSecurityMapping)(ISecurityMappingProvider* self, const WCHAR* path, ULONGLONG sinceUsn,
                                                   IKvNode** data, ULONGLONG* usn);
} ISecurityMappingProviderVtbl;

typedef struct IWeakReferenceSourceVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IWeakReferenceSource* self);
    ULONG(STDMETHODCALLTYPE* Release)(IWeakReferenceSource* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IWeakReferenceSource* self, const GUID* iid, void** out);
    /* 3: the object's weak reference, with a reference for the caller; the same object every time.
     * E_POINTER for a null out. */
    HRESULT(STDMETHODCALLTYPE* GetWeakReference)(IWeakReferenceSource* self, IWeakReference** out);
} IWeakReferenceSourceVtbl;

typedef struct IWeakReferenceVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IWeakReference* self);
    ULONG(STDMETHODCALLTYPE* Release)(IWeakReference* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IWeakReference* self, const GUID* iid, void** out);
    /* 3: S_OK and the owner's interface iid (with a reference) while the owner lives; S_FALSE and null
     * once it is gone or being destroyed; the owner's QueryInterface failure otherwise. */
    HRESULT(STDMETHODCALLTYPE* Resolve)(IWeakReference* self, const GUID* iid, void** out);
    /* 4: observer hears OnOwnerDestroyed when the owner goes; registration order is kept. */
    HRESULT(STDMETHODCALLTYPE* AddObserver)(IWeakReference* self, IWeakReferenceObserver* observer);
    /* 5: removes every registration of observer. */
    HRESULT(STDMETHODCALLTYPE* RemoveObserver)(IWeakReference* self, IWeakReferenceObserver* observer);
} IWeakReferenceVtbl;

typedef struct IWeakReferenceObserverVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IWeakReferenceObserver* self);
    ULONG(STDMETHODCALLTYPE* Release)(IWeakReferenceObserver* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IWeakReferenceObserver* self, const GUID* iid, void** out);
    /* 3: the owner of reference is being destroyed; called under the weak reference's lock, so it must
     * not call back into reference from another thread. */
    HRESULT(STDMETHODCALLTYPE* OnOwnerDestroyed)(IWeakReferenceObserver* self, IWeakReference* reference);
} IWeakReferenceObserverVtbl;

typedef struct ICancelableComponentVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(ICancelableComponent* self);
    ULONG(STDMETHODCALLTYPE* Release)(ICancelableComponent* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ICancelableComponent* self, const GUID* iid, void** out);
    /* 3: a run under way ends at its next check and later runs do nothing; S_OK. */
    HRESULT(STDMETHODCALLTYPE* Cancel)(ICancelableComponent* self);
} ICancelableComponentVtbl;

#if defined(__cplusplus) && !defined(CINTERFACE)

struct ISecurityMappingProvider : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE GetSecurityMapping(const WCHAR* path, ULONGLONG sinceUsn, IKvNode** data,
                                                         ULONGLONG* usn) = 0;
};

struct IWeakReference;

struct IWeakReferenceSource : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** out) = 0;
};

struct IWeakReferenceObserver : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE OnOwnerDestroyed(IWeakReference* reference) = 0;
};

struct IWeakReference : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Resolve(const GUID& iid, void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddObserver(IWeakReferenceObserver* observer) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveObserver(IWeakReferenceObserver* observer) = 0;
};

struct ICancelableComponent : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
};

#else

struct ISecurityMappingProvider { const ISecurityMappingProviderVtbl* lpVtbl; };
struct IWeakReferenceSource { const IWeakReferenceSourceVtbl* lpVtbl; };
struct IWeakReference { const IWeakReferenceVtbl* lpVtbl; };
struct IWeakReferenceObserver { const IWeakReferenceObserverVtbl* lpVtbl; };
struct ICancelableComponent { const ICancelableComponentVtbl* lpVtbl; };

#endif

#endif
