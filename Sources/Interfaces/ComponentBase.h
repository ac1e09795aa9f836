/* Binary interfaces shared by the component module and its host: the base interface of every object,
 * the module interface handed out by GetComponentsModuleObject, the configuration interface of every
 * component, their interface ids and the class ids of the module's components.
 *
 * Every interface is a table of functions in a fixed slot order. The Vtbl structures spell that order
 * out for callers that do not use C++ classes; the C++ declarations have the same layout. Ids are
 * compared bytewise. Note that the base slot order differs from the usual COM base interface:
 * AddRef, Release, QueryInterface. */
#ifndef RW_INTERFACES_COMPONENTBASE_H
#define RW_INTERFACES_COMPONENTBASE_H

#include "Win32.h"

/* Opaque node handle of the node store (see KvNode.h). */
typedef struct IKvNode IKvNode;

typedef struct IComponentBase IComponentBase;
typedef struct IComponentsModule IComponentsModule;
typedef struct IConfigurableComponent IConfigurableComponent;

/* {51C3FBA2-85FE-436B-A0FF-1C61A5C0C585} */
static const GUID IID_IComponentBase = {0x51C3FBA2, 0x85FE, 0x436B, {0xA0, 0xFF, 0x1C, 0x61, 0xA5, 0xC0, 0xC5, 0x85}};
/* {989524A9-625D-48C8-AB03-7C084EB5265D} */
static const GUID IID_IComponentsModule = {0x989524A9, 0x625D, 0x48C8, {0xAB, 0x03, 0x7C, 0x08, 0x4E, 0xB5, 0x26, 0x5D}};
/* {9FD0681A-A35D-48EF-A226-DE3846E19D38} */
static const GUID IID_IConfigurableComponent = {0x9FD0681A, 0xA35D, 0x48EF, {0xA2, 0x26, 0xDE, 0x38, 0x46, 0xE1, 0x9D, 0x38}};

/* Class ids of the creatable components. */
/* {5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20} */
static const GUID CLSID_RolesMaintainer = {0x5F8A40F7, 0x6A13, 0x4A63, {0x90, 0xEE, 0xB3, 0xBD, 0x6A, 0x2B, 0xAE, 0x20}};
/* {5E6127B2-284E-4A42-B0E3-788245DF24DA} */
static const GUID CLSID_RoleAssignmentsRefresher = {0x5E6127B2, 0x284E, 0x4A42, {0xB0, 0xE3, 0x78, 0x82, 0x45, 0xDF, 0x24, 0xDA}};
/* {18D8C8A9-8995-4A0B-8385-77053F3A02FE} */
static const GUID CLSID_LocalGroupMembershipRefresher = {0x18D8C8A9, 0x8995, 0x4A0B, {0x83, 0x85, 0x77, 0x05, 0x3F, 0x3A, 0x02, 0xFE}};
/* {49160FC5-F94D-4407-8799-A7083700EC69} */
static const GUID CLSID_RBACStatusUpdater = {0x49160FC5, 0xF94D, 0x4407, {0x87, 0x99, 0xA7, 0x08, 0x37, 0x00, 0xEC, 0x69}};

/* Slot layouts. */
typedef struct IComponentBaseVtbl {
    /* 0: adds a reference, returns the new count. */
    ULONG(STDMETHODCALLTYPE* AddRef)(IComponentBase* self);
    /* 1: drops a reference, returns the new count; at 0 the object is gone. */
    ULONG(STDMETHODCALLTYPE* Release)(IComponentBase* self);
    /* 2: E_INVALIDARG for a null argument, E_NOINTERFACE for an unknown id (out untouched). */
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IComponentBase* self, const GUID* iid, void** out);
} IComponentBaseVtbl;

typedef struct IComponentsModuleVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IComponentsModule* self);
    ULONG(STDMETHODCALLTYPE* Release)(IComponentsModule* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IComponentsModule* self, const GUID* iid, void** out);
    /* 3: does nothing, S_OK. */
    HRESULT(STDMETHODCALLTYPE* Reserved)(IComponentsModule* self);
    /* 4: writes the live component objects to the module log, S_OK. */
    HRESULT(STDMETHODCALLTYPE* DumpAliveObjects)(IComponentsModule* self);
    /* 5, 6: raise / lower the module's lock count, return the new count. */
    ULONG(STDMETHODCALLTYPE* Lock)(IComponentsModule* self);
    ULONG(STDMETHODCALLTYPE* Unlock)(IComponentsModule* self);
    /* 7: TRUE while any component object is alive; E_POINTER for a null argument. */
    HRESULT(STDMETHODCALLTYPE* IsLocked)(IComponentsModule* self, BOOL* locked);
    /* 8: creates a component and queries it for iid; REGDB_E_CLASSNOTREG for an unknown class id. */
    HRESULT(STDMETHODCALLTYPE* CreateInstance)(IComponentsModule* self, const GUID* classId, const GUID* iid, void** out);
} IComponentsModuleVtbl;

typedef struct IConfigurableComponentVtbl {
    ULONG(STDMETHODCALLTYPE* AddRef)(IConfigurableComponent* self);
    ULONG(STDMETHODCALLTYPE* Release)(IConfigurableComponent* self);
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(IConfigurableComponent* self, const GUID* iid, void** out);
    /* 3: configures the component from its configuration node; E_POINTER for a null node. */
    HRESULT(STDMETHODCALLTYPE* Configure)(IConfigurableComponent* self, IKvNode* config);
} IConfigurableComponentVtbl;

#if defined(__cplusplus) && !defined(CINTERFACE)

struct IComponentBase {
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) = 0;
};

struct IComponentsModule : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Reserved() = 0;
    virtual HRESULT STDMETHODCALLTYPE DumpAliveObjects() = 0;
    virtual ULONG STDMETHODCALLTYPE Lock() = 0;
    virtual ULONG STDMETHODCALLTYPE Unlock() = 0;
    virtual HRESULT STDMETHODCALLTYPE IsLocked(BOOL* locked) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(const GUID* classId, const GUID* iid, void** out) = 0;
};

struct IConfigurableComponent : IComponentBase {
    virtual HRESULT STDMETHODCALLTYPE Configure(IKvNode* config) = 0;
};

#else

struct IComponentBase { const IComponentBaseVtbl* lpVtbl; };
struct IComponentsModule { const IComponentsModuleVtbl* lpVtbl; };
struct IConfigurableComponent { const IConfigurableComponentVtbl* lpVtbl; };

#endif

/* The module's only export: *module receives the module object's IComponentsModule pointer (no
 * reference is added; the module object is not reference counted). E_INVALIDARG for a null module. */
typedef HRESULT(STDMETHODCALLTYPE* PFN_GetComponentsModuleObject)(void** module);

#endif
