// Enumeration of modification records.
#include "NodeModifyEnum.h"

HRESULT CNodeModifyEnum::GetEnumerator(IKvNodeEnum** enumerator) {
    return HostCall([&] {
        ThrowIfNull(enumerator);
        *enumerator = new CNodeEnum(m_records);
        return S_OK;
    });
}

HRESULT CNodeEnum::Reset() {
    m_next = 0;
    return S_OK;
}

HRESULT CNodeEnum::Next(IKvNode** node) {
    return HostCall([&] {
        ThrowIfNull(node);
        *node = nullptr;
        if (m_next == m_records->size())
            return S_FALSE;
        *node = KvNodePtr((*m_records)[m_next]).Detach();
        ++m_next;
        return S_OK;
    });
}

InterfacePtr<IKvNodeModifyEnum> MakeModifyEnum(std::vector<KvNodePtr> records) {
    return InterfacePtr<IKvNodeModifyEnum>(
        new CNodeModifyEnum(std::make_shared<const std::vector<KvNodePtr>>(std::move(records))), true);
}
