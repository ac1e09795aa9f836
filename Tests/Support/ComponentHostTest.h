// Tests of the module's components as the product's host runs them: the built Rolewarden.dll, loaded
// from beside the test executable and reached only through its export and binary interfaces, and a
// fresh configuration server per test, registered as "ConfigServer.Proxy". Each test ends with the
// check that nothing is left: the module unlocked, no host object or notification thread, no node
// handle, no fault proxy.
//
// Tests wait for the components' work through the server: WaitUntil re-checks its condition after
// every transaction the server commits (a synchronous sink of the fixture's own), and Writes() lists
// every node written, in commit order, so a test can tell what a component wrote and how often.
#pragma once

#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/ComponentInterfaces.h"
#include "Interfaces/ModhostHost.h"
#include "Support/NodeStoreTest.h"
#include "Support/ParsedTree.h"
#include "Support/TestObject.h"
#include "Support/TestSupport.h"
#include "Support/ThreadGates.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// Loads Rolewarden.dll from beside the test executable, as a host loads a module: its module object,
// or none (and the test failed).
IComponentsModule* LoadRolewarden(HMODULE* dll = nullptr);
// The module object of Rolewarden.dll, loaded on first use for the rest of the process.
IComponentsModule* RolewardenModule();

// Waits until module answers IsLocked with FALSE, as a host does before it unloads the module: a run
// of a component's worker that is under way when the component's last reference goes holds the
// component, and its thread the module, until it returns. False after timeoutMs, which only a test
// that went wrong reaches.
bool WaitForUnlock(IComponentsModule& module, DWORD timeoutMs = TestTimeoutMs());

// One node written to the server: the synchronous sink's mask and full path.
struct SServerWrite {
    ULONG mask;
    std::wstring path;
    bool operator==(const SServerWrite&) const = default;
};
inline void PrintTo(const SServerWrite& write, std::ostream* out) {
    *out << "{" << write.mask << ", " << ::testing::PrintToString(write.path) << "}";
}

// Orders events of different threads in a test: each call gives the next number.
int NextTestSequence();

// A configuration proxy in front of a server for tests that fail or hold calls on purpose: the next
// failWrites calls of WriteNodes, or failQueries of QueryNodes, return failure (default E_FAIL) without
// reaching the server; writes, queries and subscriptions pass gates that can hold the calling thread;
// with dropServerAfterWrite it lets the server go right after the next write, on the writing thread,
// where afterDrop can hold it. Everything else is the server's. Once it has let the server go, its calls
// answer ERROR_INVALID_STATE.
class CFaultyProxy final : public CTestObject<IKvConfigProxy, IKvSubscriptionSource> {
public:
    // oneAtATime: see CGate.
    static InterfacePtr<CFaultyProxy> New(IKvConfigProxy* server, bool oneAtATime = false);
    static int Live() { return s_live.load(); }

    std::atomic<int> failWrites{0}, failQueries{0};
    std::atomic<HRESULT> failure{E_FAIL};
    // Calls that were failed, queries that went through, and BeginUpdate calls.
    std::atomic<int> failedCalls{0}, passedQueries{0}, beginUpdates{0};
    CGate writes, queries, subscribes, afterDrop;
    std::atomic<bool> dropServerAfterWrite{false};
    // The last WriteNodes call: its thread and its NextTestSequence number.
    std::atomic<DWORD> lastWriteThread{0};
    std::atomic<int> lastWriteSequence{0};

    // Waits until failedCalls reaches count; false after timeoutMs, which only a broken test reaches.
    bool WaitForFailures(int count, DWORD timeoutMs = TestTimeoutMs());

    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override;
    HRESULT STDMETHODCALLTYPE BeginUpdate(IComponentBase** update) override;
    HRESULT STDMETHODCALLTYPE EndUpdate(IComponentBase* update) override {
        return Call([&](IKvConfigProxy* server) { return server->EndUpdate(update); });
    }
    HRESULT STDMETHODCALLTYPE WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes, ULONG count) override;
    HRESULT STDMETHODCALLTYPE DeleteNode(IComponentBase* context, const WCHAR* path) override {
        return Call([&](IKvConfigProxy* server) { return server->DeleteNode(context, path); });
    }
    HRESULT STDMETHODCALLTYPE QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount,
                                         ULONG* count) override;
    HRESULT STDMETHODCALLTYPE Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink,
                                        IKvModifySubscription** subscription) override;
    HRESULT STDMETHODCALLTYPE Unsubscribe(IKvModifySubscription* subscription) override;

private:
    CFaultyProxy(IKvConfigProxy* server, bool oneAtATime);
    ~CFaultyProxy() override { --s_live; }
    // True when this call is to fail: takes one from the counter while it is positive.
    bool TakeFault(std::atomic<int>& counter);
    // body(server), or ERROR_INVALID_STATE once the server is gone.
    template <class Body>
    HRESULT Call(Body body) {
        InterfacePtr<IKvConfigProxy> server;
        {
            std::lock_guard guard(m_lock);
            server = m_server;
        }
        return server ? body(server.Get()) : HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
    }

    static inline std::atomic<int> s_live{0};
    std::mutex m_lock;
    InterfacePtr<IKvConfigProxy> m_server;
};

class ComponentHostTest : public NodeStoreTest {
protected:
    // Out of line: the watcher's type is complete only there.
    ComponentHostTest();
    ~ComponentHostTest() override;

    void SetUp() override;
    void TearDown() override;

    // A new component of Rolewarden.dll, asked for interface I; empty (and the test failed) when
    // CreateInstance fails.
    template <class I>
    InterfacePtr<I> CreateComponent(const GUID& classId) {
        InterfacePtr<I> component;
        EXPECT_EQ(Module()->CreateInstance(&classId, &InterfaceId<I>::Value, component.PutVoid()), S_OK);
        return component;
    }

    // The module whose components the test creates and which must be unlocked at its end; none once a
    // test has unloaded it.
    virtual IComponentsModule* Module() { return RolewardenModule(); }
    // Makes instance (the test's server when null) reachable as name until the test ends; a name given
    // before is given anew, so a fault proxy can take the place of "ConfigServer.Proxy".
    void AddName(const wchar_t* name, IKvConfigProxy* instance = nullptr);
    void RemoveName(const wchar_t* name);
    // Writes a tree (text form, named by its full path) or a node to the server.
    void Write(const std::string& tree, ULONG mode = KV_WRITE_SUBTREE) const;
    void Write(const KvNodePtr& node, ULONG mode = KV_WRITE_SUBTREE) const;
    void Delete(const std::wstring& path) const;
    // The node at path with its subtree, or empty.
    KvNodePtr Query(const std::wstring& path) const;
    // Waits until the server has delivered every notification it queued.
    void Settle() const;
    // Checks done() now and after every transaction the server commits; false when it still does not
    // hold after timeoutMs. The limit only stops a test that went wrong; it is not a measure of speed.
    bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = TestTimeoutMs()) const;
    // Every node written to the server since the test started (or since the last ClearWrites), in
    // commit order; with a path prefix, only those at or below it.
    std::vector<SServerWrite> Writes(const std::wstring& under = L"") const;
    void ClearWrites();

    InterfacePtr<IKvConfigProxy> m_server;

private:
    class CWriteWatcher;

    std::vector<std::wstring> m_names;
    InterfacePtr<CWriteWatcher> m_watcher;
    GUID m_watcherCookie{};
};
