// The modification records handed to a subscription's sink: IKvNodeModifyEnum over a fixed list of
// record nodes, and the IKvNodeEnum enumerators it gives out. An enumerator is not shared between
// threads.
#pragma once

#include "HostObject.h"

#include "HostSupport.h"
#include "HostSupport.h"

#include <memory>
#include <vector>

using CRecordList = std::shared_ptr<const std::vector<CHostNode>>;

class CNodeModifyEnum final : public CHostObject<IKvNodeModifyEnum> {
public:
    explicit CNodeModifyEnum(CRecordList records) : m_records(std::move(records)) {}
    HRESULT STDMETHODCALLTYPE GetEnumerator(IKvNodeEnum** enumerator) override;

private:
    const CRecordList m_records;
};

class CNodeEnum final : public CHostObject<IKvNodeEnum> {
public:
    explicit CNodeEnum(CRecordList records) : m_records(std::move(records)) {}
    HRESULT STDMETHODCALLTYPE Reset() override;
    // S_OK with a new handle to the next record, S_FALSE and null at the end.
    HRESULT STDMETHODCALLTYPE Next(IKvNode** node) override;

private:
    const CRecordList m_records;
    size_t m_next = 0;
};

CHostRef<IKvNodeModifyEnum> MakeModifyEnum(std::vector<CHostNode> records);
