// The module's access to the host's configuration server: the named instance, reading a node by path,
// writing a node, the two request nodes of a subscription and the modification records that a
// subscription delivers. Every failing HRESULT from the host is raised as HRX carrying it.
#pragma once

#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/KvNodePtr.h"

#include <cstdint>
#include <string>
#include <vector>

// The named instance every component asks for.
inline constexpr const wchar_t* ConfigServerProxyName = L"ConfigServer.Proxy";

// One modification record of a subscription.
struct SModification {
    // The subscribed path ("ModifiedNodePath").
    std::wstring path;
    // KV_CHANGE_ bits ("ChangesMask").
    int64_t mask = 0;
    // The node's content: the record's child 0 itself. The server names it by its server path, as it
    // names a query result, so it keeps that path once the record is gone. Empty when the record has
    // no child.
    KvNodePtr node;
};

// The named instance as IKvConfigProxy.
InterfacePtr<IKvConfigProxy> GetProxyInstance(PCWSTR name);
// The node at path with its whole subtree, as the server copies it. None found: an empty pointer, or
// HRX with HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when required.
KvNodePtr QueryNodeByPath(IKvConfigProxy* proxy, const std::wstring& path, bool required);
// Writes node, which carries its own path, in a KV_WRITE_ mode.
void WriteNode(IKvConfigProxy* proxy, const KvNodePtr& node, ULONG mode);
// The records of changes in enumeration order. E_POINTER for null changes; ERROR_NOT_FOUND for a record
// without "ModifiedNodePath" or "ChangesMask".
std::vector<SModification> ReadModifications(IKvNodeModifyEnum* changes);

// The filter of queries and subscriptions: no name, type "FilterByPath", "NodePath" = path (code 2),
// "IsParent" = false (code 7), "MaxDepth" = 0x7FFFFFFF (code 6).
KvNodePtr CreateFilterByPath(const std::wstring& path);
// The subscription request: name "SubscribeConfig", no type, "ChangesMask" = 7 and
// "SubscribeOptions" = 11 (code 3).
KvNodePtr CreateSubscribeConfig();
