// What the configuration server tests share: a fixture with a fresh server registered as
// "ConfigServer.Proxy" that checks after each test that no host object, thread, sink or node handle is
// left; sinks that record what they hear; trees written in the store's text form.
#pragma once

#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/ModhostHost.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT InvalidStateHr = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

// Sinks made by the tests and not destroyed yet.
inline std::atomic<int> g_liveSinks{0};

// A reference-counted test object implementing I.
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
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }

private:
    std::atomic<ULONG> m_refs{1};
};

// Keeps every record; onCall, when set, runs first on the notification thread.
class CRecordingSink final : public CTestObject<IKvModifySink> {
public:
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int count,
                                          IKvNodeModifyEnum* changes) override;
    std::vector<SModification> Records() {
        std::lock_guard guard(m_lock);
        return m_records;
    }

    std::function<void(IKvModifySubscription*)> onCall;
    std::atomic<int> calls{0};

private:
    std::mutex m_lock;
    std::vector<SModification> m_records;
};

// Notes each synchronous notification as a line: "begin", "1 \A\B", "end", "finish 1".
class CSyncSink final : public CTestObject<INodeModifySink> {
public:
    explicit CSyncSink(HRESULT result = S_OK) : m_result(result) {}
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return Note(L"begin"); }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override {
        return Note(std::to_wstring(record->mask) + L" " + record->path);
    }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return Note(L"end"); }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override { return Note(L"finish " + std::to_wstring(apply)); }
    // The lines since the last call.
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

// One tree from the store's text form, and a node's text form for messages.
KvNodePtr Tree(const std::string& text);
std::string Text(const KvNodePtr& node);

class ServerTest : public NodeStoreTest {
protected:
    void SetUp() override;
    void TearDown() override;

    IKvConfigProxy* Proxy() const { return m_proxy.Get(); }
    HRESULT Write(const std::string& tree, ULONG mode, IComponentBase* context = nullptr) const;
    KvNodePtr Query(const std::wstring& path) const { return QueryNodeByPath(Proxy(), path, false); }
    InterfacePtr<IKvModifySubscription> Subscribe(const std::wstring& path, IKvModifySink* sink,
                                                  const KvNodePtr& request = CreateSubscribeConfig()) const;
    // Waits until the server has delivered everything it queued.
    void Settle() const { ASSERT_EQ(CLWaitForNotifications(m_proxy.Get(), 10000), S_OK); }

    InterfacePtr<IKvConfigProxy> m_proxy;
    InterfacePtr<IKvSubscriptionSource> m_subscriptions;
    InterfacePtr<IKvSyncModifySource> m_syncSource;
};
