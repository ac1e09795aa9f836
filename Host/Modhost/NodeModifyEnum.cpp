// Enumeration of modification records.
#include "NodeModifyEnum.h"

HRESULT CNodeModifyEnum::GetEnumerator(IKvNodeEnum** enumerator) {
    return HostCall([&] {
        HostNotNull(enumerator);
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
        HostNotNull(node);
        *node = nullptr;
        if (m_next == m_records->size())
            return S_FALSE;
        *node = CHostNode::Share((*m_records)[m_next].Get()).Detach();
        ++m_next;
        return S_OK;
    });
}

CHostRef<IKvNodeModifyEnum> MakeModifyEnum(std::vector<CHostNode> records) {
    return CHostRef<IKvNodeModifyEnum>::Attach(
        new CNodeModifyEnum(std::make_shared<const std::vector<CHostNode>>(std::move(records))));
}
