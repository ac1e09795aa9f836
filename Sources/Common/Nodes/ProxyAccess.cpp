// The module's calls to the configuration server and the request and record formats they use.
#include "Common/Nodes/ProxyAccess.h"

InterfacePtr<IKvConfigProxy> GetProxyInstance(PCWSTR name) {
    InterfacePtr<IKvConfigProxy> proxy;
    ThrowIfFailed(CLGetNamedInstance(name, 0, &IID_IKvConfigProxy, proxy.PutVoid()));
    return proxy;
}

KvNodePtr QueryNodeByPath(IKvConfigProxy* proxy, const std::wstring& path, bool required) {
    KvNodePtr::CheckPointer(proxy);
    const KvNodePtr filter = CreateFilterByPath(path);
    KvNodePtr node;
    ULONG count = 0;
    ThrowIfFailed(proxy->QueryNodes(filter.Get(), 0, node.Put(), 1, &count));
    if (count == 0) {
        // Whatever the slot holds without a count is not ours to keep.
        static_cast<void>(node.Detach());
        if (required)
            ThrowHR(HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    }
    return node;
}

void WriteNode(IKvConfigProxy* proxy, const KvNodePtr& node, ULONG mode) {
    KvNodePtr::CheckPointer(proxy);
    IKvNode* nodes[] = {node.Get()};
    ThrowIfFailed(proxy->WriteNodes(nullptr, mode, nodes, 1));
}

std::vector<SModification> ReadModifications(IKvNodeModifyEnum* changes) {
    KvNodePtr::CheckPointer(changes);
    InterfacePtr<IKvNodeEnum> records;
    ThrowIfFailed(changes->GetEnumerator(records.Put()));
    KvNodePtr::CheckPointer(records.Get());
    static_cast<void>(records->Reset());
    std::vector<SModification> modifications;
    for (;;) {
        KvNodePtr record;
        if (records->Next(record.Put()) != S_OK)
            break;
        SModification modification;
        modification.path = record.GetString(L"ModifiedNodePath");
        modification.mask = record.GetInt64(L"ChangesMask");
        modification.node = record.GetChild(0, false);
        modifications.push_back(std::move(modification));
    }
    return modifications;
}

KvNodePtr CreateFilterByPath(const std::wstring& path) {
    KvNodePtr filter = KvNodePtr::Create(nullptr, L"FilterByPath");
    filter.SetString(L"NodePath", path);
    filter.SetBool(L"IsParent", false);
    filter.SetInt64(L"MaxDepth", KvNodePtr::WholeTree);
    return filter;
}

KvNodePtr CreateSubscribeConfig() {
    KvNodePtr request = KvNodePtr::Create(L"SubscribeConfig", nullptr);
    request.SetUInt32(L"ChangesMask", KV_SUBSCRIBE_CHANGES_ALL);
    request.SetUInt32(L"SubscribeOptions", KV_SUBSCRIBE_OPTIONS_STANDARD);
    return request;
}
