// What the configuration server tests share: a fixture with a fresh server registered as
// "ConfigServer.Proxy" that checks, after each test, that no object, thread, sink or node handle is
// left; sinks that record what they hear; trees written in the store's text form.
#pragma once

#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/ModhostHost.h"
#include "Support/NodeStoreTest.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT InvalidStateHr = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

// Sinks made by the tests and not released yet.
inline std::atomic<int> g_liveSinks{0};

// Reference counting and QueryInterface for a test object that implements I.
template <class I>
class CTestObject : public I {
public:
    CTestObject() { ++g_liveSinks; }
    virtual ~CTestObject() { --g_liveSinks; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_refs;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override {
        if (!IsEqualGUID(*iid, IID_IComponentBase) && !IsEqualGUID(*iid, InterfaceId<I>::Value))
            return E_NOINTERFACE;
        AddRef();
        *out = static_cast<I*>(this);
        return S_OK;
    }

private:
    std::atomic<ULONG> m_refs{1};
};

// One record as a subscription sink receives it.
struct SRecord {
    SModification modification;
    // Full path of the record's child 0 while the record lives ("" without a child).
    std::wstring childPath;
};

// Keeps every record it is given; onCall, when set, runs first on the notification thread.
class CRecordingSink final : public CTestObject<IKvModifySink> {
public:
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int count,
                                          IKvNodeModifyEnum* changes) override;
    std::vector<SRecord> Records() const {
        std::lock_guard guard(m_lock);
        return m_records;
    }

    std::function<void(IKvModifySubscription*)> onCall;
    std::atomic<int> calls{0};

private:
    mutable std::mutex m_lock;
    std::vector<SRecord> m_records;
};

// Writes every synchronous notification as a line: "begin", "1 \A\B", "end", "finish 1".
class CSyncSink final : public CTestObject<INodeModifySink> {
public:
    explicit CSyncSink(HRESULT result = S_OK) : m_result(result) {}
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return Note(L"begin"); }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override {
        return Note(std::to_wstring(record->mask) + L" " + record->path);
    }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return Note(L"end"); }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override { return Note(L"finish " + std::to_wstring(apply)); }
    // The lines so far, and none from then on.
    std::vector<std::wstring> Take() {
        std::lock_guard guard(m_lock);
        return std::exchange(m_lines, {});
    }

private:
    HRESULT Note(std::wstring line) {
        std::lock_guard guard(m_lock);
        m_lines.push_back(std::move(line));
        return m_result;
    }

    const HRESULT m_result;
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

// One tree from the store's text form.
KvNodePtr Tree(const std::string& text);
// The node's text form with its subtree, for messages and whole-tree comparisons.
std::string Text(const KvNodePtr& node);

class ServerTest : public NodeStoreTest {
protected:
    void SetUp() override;
    void TearDown() override;

    IKvConfigProxy* Proxy() const { return m_proxy.Get(); }
    // Subscribes sink to path with the standard request.
    InterfacePtr<IKvModifySubscription> Subscribe(const std::wstring& path, IKvModifySink* sink);
    // Waits until the server has delivered everything it queued.
    void Settle() const { ASSERT_EQ(CLWaitForNotifications(m_proxy.Get(), 10000), S_OK); }

    InterfacePtr<IKvConfigProxy> m_proxy;
    InterfacePtr<IKvSubscriptionSource> m_subscriptions;
    InterfacePtr<IKvSyncModifySource> m_syncSource;
};
