// Modification records made by a test, for calling a component's OnTriggered directly: a record as
// the configuration server makes it, the enumeration that hands records out, and a subscription with a
// fixed id.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/ConfigProxy.h"
#include "Support/TestObject.h"

#include <string>
#include <utility>
#include <vector>

class CRecords final : public CTestObject<IKvNodeModifyEnum, IKvNodeEnum> {
public:
    explicit CRecords(std::vector<KvNodePtr> records) : m_records(std::move(records)) {}
    HRESULT STDMETHODCALLTYPE GetEnumerator(IKvNodeEnum** enumerator) override {
        AddRef();
        *enumerator = this;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        m_next = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Next(IKvNode** node) override {
        if (m_next == m_records.size())
            return S_FALSE;
        *node = KvNodePtr(m_records[m_next++]).Detach();
        return S_OK;
    }

private:
    std::vector<KvNodePtr> m_records;
    size_t m_next = 0;
};

// Its id is {0123ABCD-4567-89EF-0102-0304050607AB}.
class CTestSubscription final : public CTestObject<IKvModifySubscription> {
public:
    HRESULT STDMETHODCALLTYPE Start() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Stop() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetId(GUID* id) override {
        *id = {0x0123ABCD, 0x4567, 0x89EF, {1, 2, 3, 4, 5, 6, 7, 0xAB}};
        return S_OK;
    }
};

// A modification record as the server makes it: without a name, with content (when given) as child 0
// named by path, so that the content's full path is path, with or without the record.
inline KvNodePtr Record(const std::wstring& path, KvNodePtr content = KvNodePtr()) {
    KvNodePtr record = KvNodePtr::Create(nullptr, nullptr);
    record.SetString(L"ModifiedNodePath", path);
    record.SetInt64(L"ChangesMask", KV_CHANGE_MODIFIED);
    if (content) {
        content.SetName(KVN_NAME_OWN, path.c_str());
        record.AddChild(content);
    }
    return record;
}

// sink->OnTriggered with the records in one call.
inline HRESULT Notify(IKvModifySink* sink, std::vector<KvNodePtr> records) {
    const int count = static_cast<int>(records.size());
    const InterfacePtr<CTestSubscription> subscription(new CTestSubscription(), true);
    const InterfacePtr<CRecords> changes(new CRecords(std::move(records)), true);
    return sink->OnTriggered(subscription.Get(), count, changes.Get());
}
