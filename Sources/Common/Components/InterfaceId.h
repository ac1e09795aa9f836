// Maps interface types to their ids, so that C++ code can name an interface by its type.
#pragma once

#include "Interfaces/ComponentBase.h"
#include "Interfaces/ComponentInterfaces.h"
#include "Interfaces/ConfigProxy.h"

template <class I>
struct InterfaceId; // specialised once per interface, next to its declaration

#define RW_INTERFACE_ID(Interface, iid)                                                                 \
    template <>                                                                                         \
    struct InterfaceId<Interface> {                                                                     \
        static constexpr const GUID& Value = iid;                                                       \
    }

RW_INTERFACE_ID(IComponentBase, IID_IComponentBase);
RW_INTERFACE_ID(IComponentsModule, IID_IComponentsModule);
RW_INTERFACE_ID(IConfigurableComponent, IID_IConfigurableComponent);
RW_INTERFACE_ID(IKvConfigProxy, IID_IKvConfigProxy);
RW_INTERFACE_ID(IKvSubscriptionSource, IID_IKvSubscriptionSource);
RW_INTERFACE_ID(IKvSyncModifySource, IID_IKvSyncModifySource);
RW_INTERFACE_ID(IKvModifySubscription, IID_IKvModifySubscription);
RW_INTERFACE_ID(IKvModifySink, IID_IKvModifySink);
RW_INTERFACE_ID(IKvNodeModifyEnum, IID_IKvNodeModifyEnum);
RW_INTERFACE_ID(IKvNodeEnum, IID_IKvNodeEnum);
RW_INTERFACE_ID(INodeModifySink, IID_INodeModifySink);
RW_INTERFACE_ID(ISecurityMappingProvider, IID_ISecurityMappingProvider);
RW_INTERFACE_ID(IWeakReferenceSource, IID_IWeakReferenceSource);
RW_INTERFACE_ID(IWeakReference, IID_IWeakReference);
RW_INTERFACE_ID(ICancelableComponent, IID_ICancelableComponent);
