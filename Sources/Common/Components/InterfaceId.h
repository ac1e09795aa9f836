// Maps interface types to their ids, so that C++ code can name an interface by its type.
#pragma once

#include "Interfaces/ComponentBase.h"

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
