// The forwarding of the local storage's notifications to the roles maintainer.
#include "Subsystems/ConfigServer/Rolewarden/ModifySinkProxy.h"

namespace {

InterfacePtr<IWeakReference> WeakReferenceOf(INodeModifySink* target) {
    ThrowIfNull(target);
    InterfacePtr<IWeakReferenceSource> source;
    ThrowIfFailed(target->QueryInterface(&IID_IWeakReferenceSource, source.PutVoid()));
    InterfacePtr<IWeakReference> reference;
    ThrowIfFailed(source->GetWeakReference(reference.Put()));
    return reference;
}

} // namespace

CModifySinkProxy::CModifySinkProxy(INodeModifySink* target) : m_weakReference(WeakReferenceOf(target)), m_target(target) {}

template <class Notify>
HRESULT CModifySinkProxy::Forward(const wchar_t* operation, Notify notify) {
    return CallBoundary(operation, [&]() -> HRESULT {
        InterfacePtr<IComponentBase> alive;
        const HRESULT hr = m_weakReference->Resolve(IID_IComponentBase, alive.PutVoid());
        ThrowIfFailed(hr);
        if (hr == S_FALSE || !alive)
            return S_OK;
        return notify();
    });
}

HRESULT CModifySinkProxy::OnBeginModifications() {
    return Forward(L"CModifySinkProxy::OnBeginModifications", [&] { return m_target->OnBeginModifications(); });
}

HRESULT CModifySinkProxy::OnModified(const SNodeModifyRecord* record) {
    return Forward(L"CModifySinkProxy::OnModified", [&] { return m_target->OnModified(record); });
}

HRESULT CModifySinkProxy::OnEndModifications() {
    return Forward(L"CModifySinkProxy::OnEndModifications", [&] { return m_target->OnEndModifications(); });
}

HRESULT CModifySinkProxy::OnFinish(int apply) {
    return Forward(L"CModifySinkProxy::OnFinish", [&] { return m_target->OnFinish(apply); });
}
