// CModifySinkProxy: the synchronous modify sink that the roles maintainer registers with its local
// storage. The storage keeps its sink until it goes away and is never asked to let go of it, so the sink
// it holds is this small forwarder, which reaches the roles maintainer only through a weak reference:
// the storage's reference never keeps the roles maintainer alive, and once the roles maintainer is gone
// the storage's notifications reach nobody.
//
// Thread Safety: any thread; nothing changes after construction.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Interfaces/ComponentInterfaces.h"
#include "Interfaces/ConfigProxy.h"

class CModifySinkProxy : public CComponentBase, public INodeModifySink {
public:
    using Interfaces = InterfaceTable<INodeModifySink>;
    RW_COMPONENT_OBJECT_TAG(CModifySinkProxy);

    // target: the sink to forward to, whose object must be an IWeakReferenceSource. Raises HRX with the
    // failure of that query or of GetWeakReference.
    explicit CModifySinkProxy(INodeModifySink* target);

    // Each forwards to the target while it lives and returns its result; once it is gone, S_OK.
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override;
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override;
    HRESULT STDMETHODCALLTYPE OnEndModifications() override;
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override;

private:
    // Calls notify on the target with a strong reference held for the call, when the target lives.
    template <class Notify>
    HRESULT Forward(const wchar_t* operation, Notify notify);

    InterfacePtr<IWeakReference> m_weakReference;
    INodeModifySink* m_target;
};
