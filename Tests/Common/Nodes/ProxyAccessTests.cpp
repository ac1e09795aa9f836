// The module's proxy helpers against fakes of the host's side: the exact request nodes, the calls made
// to the proxy, failures passed on, and modification records read in order, malformed ones refused.
// (The real server is driven through the same helpers in ModhostTests.)
#include "Common/Nodes/ProxyAccess.h"
#include "Support/NodeStoreTest.h"

#include <vector>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class ProxyAccessTests : public NodeStoreTest {};

template <class Call>
HRESULT Raised(Call call) {
    try {
        call();
        return S_OK;
    } catch (const HRX& error) {
        return error.Result();
    }
}

template <class I>
class CFake : public I {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    ULONG refs = 1;
};

// Records how it is called and answers with result; QueryNodes hands out `found` when there is one.
class CFakeProxy final : public CFake<IKvConfigProxy> {
public:
    HRESULT STDMETHODCALLTYPE BeginUpdate(IComponentBase**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndUpdate(IComponentBase*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteNode(IComponentBase*, const WCHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes, ULONG count) override {
        EXPECT_EQ(context, nullptr);
        EXPECT_EQ(count, 1u);
        written = nodes[0];
        writtenMode = mode;
        return result;
    }
    HRESULT STDMETHODCALLTYPE QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount,
                                         ULONG* count) override {
        EXPECT_EQ(reserved, 0u);
        EXPECT_EQ(maxCount, 1u);
        queried = KvNodePtr(filter, false).GetString(L"NodePath");
        *count = found ? 1 : 0;
        if (found)
            *nodes = found.Clone().Detach();
        return result;
    }

    HRESULT result = S_OK;
    KvNodePtr found;
    IKvNode* written = nullptr;
    ULONG writtenMode = 99;
    std::wstring queried;
};

// An enumeration over the given records that ends with endResult.
class CFakeRecords final : public CFake<IKvNodeModifyEnum> {
    class CEnum final : public CFake<IKvNodeEnum> {
    public:
        explicit CEnum(CFakeRecords& owner) : m_owner(owner) {}
        HRESULT STDMETHODCALLTYPE Reset() override {
            m_next = 0;
            ++m_owner.resets;
            return E_NOTIMPL; // ignored by the reader
        }
        HRESULT STDMETHODCALLTYPE Next(IKvNode** node) override {
            if (m_next >= m_owner.records.size())
                return m_owner.endResult;
            *node = KvNodePtr(m_owner.records[m_next++]).Detach();
            return S_OK;
        }

    private:
        CFakeRecords& m_owner;
        size_t m_next = 7; // Reset first, or nothing is read
    };

public:
    HRESULT STDMETHODCALLTYPE GetEnumerator(IKvNodeEnum** enumerator) override {
        m_enum.refs = 1;
        *enumerator = &m_enum;
        return S_OK;
    }

    std::vector<KvNodePtr> records;
    HRESULT endResult = S_FALSE;
    int resets = 0;
    ULONG EnumRefs() const { return m_enum.refs; }

private:
    CEnum m_enum{*this};
};

KvNodePtr Record(const wchar_t* name, const wchar_t* path, bool withMask, const wchar_t* child) {
    KvNodePtr record = KvNodePtr::Create(name, nullptr);
    if (path)
        record.SetString(L"ModifiedNodePath", path);
    if (withMask)
        record.SetUInt32(L"ChangesMask", KV_CHANGE_DELETED | KV_CHANGE_MODIFIED);
    if (child)
        record.AddChild(KvNodePtr::Create(child, L"Folder"));
    return record;
}

USHORT StoredType(const KvNodePtr& node, const wchar_t* name) {
    USHORT type = 0xFFFF;
    EXPECT_TRUE(node.TryGetAttribute(name, nullptr, nullptr, nullptr, &type)) << "missing " << name;
    return type;
}

} // namespace

TEST_F(ProxyAccessTests, RequestNodesHaveTheExactFormat) {
    const KvNodePtr filter = CreateFilterByPath(L"\\Folders\\Tree");
    EXPECT_EQ(filter.GetName(), L"");
    EXPECT_EQ(filter.GetType(), L"FilterByPath");
    EXPECT_EQ(filter.GetAttributeNames().size(), 3u);
    EXPECT_EQ(StoredType(filter, L"NodePath"), KVN_TYPE_STRING);
    EXPECT_EQ(filter.GetString(L"NodePath"), L"\\Folders\\Tree");
    EXPECT_EQ(StoredType(filter, L"IsParent"), KVN_TYPE_BOOL);
    EXPECT_FALSE(filter.GetBool(L"IsParent"));
    EXPECT_EQ(StoredType(filter, L"MaxDepth"), KVN_TYPE_INT64);
    EXPECT_EQ(filter.GetInt64(L"MaxDepth"), 0x7FFFFFFF);

    const KvNodePtr request = CreateSubscribeConfig();
    EXPECT_EQ(request.GetName(), L"SubscribeConfig");
    EXPECT_EQ(request.GetType(), L"");
    EXPECT_EQ(request.GetAttributeNames().size(), 2u);
    EXPECT_EQ(StoredType(request, L"ChangesMask"), KVN_TYPE_UINT32);
    EXPECT_EQ(request.GetInt32(L"ChangesMask"), 7);
    EXPECT_EQ(StoredType(request, L"SubscribeOptions"), KVN_TYPE_UINT32);
    EXPECT_EQ(request.GetInt32(L"SubscribeOptions"), 11);
}

TEST_F(ProxyAccessTests, CallsTheProxyAndPassesItsFailuresOn) {
    CFakeProxy proxy;
    EXPECT_FALSE(QueryNodeByPath(&proxy, L"\\Missing", false));
    EXPECT_EQ(proxy.queried, L"\\Missing");
    EXPECT_EQ(Raised([&] { QueryNodeByPath(&proxy, L"\\Missing", true); }), NotFound);
    proxy.found = KvNodePtr::Create(L"\\Found", nullptr);
    EXPECT_EQ(QueryNodeByPath(&proxy, L"\\Found", true).GetPath(), L"\\Found");

    const KvNodePtr node = KvNodePtr::Create(L"\\Status", nullptr);
    WriteNode(&proxy, node, KV_WRITE_SUBTREE);
    EXPECT_EQ(proxy.written, node.Get());
    EXPECT_EQ(proxy.writtenMode, static_cast<ULONG>(KV_WRITE_SUBTREE));

    proxy.result = E_ACCESSDENIED;
    proxy.found.Reset();
    EXPECT_EQ(Raised([&] { QueryNodeByPath(&proxy, L"\\X", false); }), E_ACCESSDENIED);
    EXPECT_EQ(Raised([&] { WriteNode(&proxy, node, KV_WRITE_MERGE); }), E_ACCESSDENIED);
    EXPECT_EQ(Raised([&] { QueryNodeByPath(nullptr, L"\\X", false); }), E_POINTER);
    EXPECT_EQ(Raised([&] { WriteNode(nullptr, node, KV_WRITE_MERGE); }), E_POINTER);
    EXPECT_EQ(Raised([] { GetProxyInstance(L"No such instance"); }), NotFound);
    EXPECT_EQ(proxy.refs, 1u) << "the helpers take no reference of their own";
}

TEST_F(ProxyAccessTests, ReadsModificationRecordsInOrder) {
    EXPECT_EQ(Raised([] { ReadModifications(nullptr); }), E_POINTER);
    std::vector<SModification> read;
    {
        CFakeRecords changes;
        changes.records.push_back(Record(L"\\A", L"\\A\\B", true, L"B"));
        changes.records.push_back(Record(L"", L"\\Gone", true, nullptr));
        changes.endResult = E_FAIL; // any answer but S_OK ends the records
        read = ReadModifications(&changes);
        EXPECT_EQ(changes.resets, 1);
        EXPECT_EQ(changes.EnumRefs(), 0u) << "the enumerator is released";
    }
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].path, L"\\A\\B");
    EXPECT_EQ(read[0].mask, KV_CHANGE_DELETED | KV_CHANGE_MODIFIED);
    ASSERT_TRUE(read[0].node);
    // The record is gone; the content keeps the server path, as a query result does.
    EXPECT_EQ(read[0].node.GetName(), L"\\A\\B");
    EXPECT_EQ(read[0].node.GetType(), L"Folder");
    EXPECT_EQ(read[1].path, L"\\Gone");
    EXPECT_FALSE(read[1].node) << "no child: no content";

    for (const KvNodePtr& malformed : {Record(L"", nullptr, true, nullptr), Record(L"", L"\\A", false, nullptr)}) {
        CFakeRecords changes;
        changes.records.push_back(Record(L"", L"\\Fine", true, nullptr));
        changes.records.push_back(malformed);
        EXPECT_EQ(Raised([&] { ReadModifications(&changes); }), NotFound);
    }
}
