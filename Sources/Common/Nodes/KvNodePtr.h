// KvNodePtr: the module's owning handle over one node of the node store. Components read their
// configuration, walk trees and build the nodes they write back through it, so the store's C
// functions, their buffer-size protocol and their HRESULTs stay here. Every store failure is raised as
// HRX carrying the store's HRESULT; a missing node or attribute becomes an empty result or `false` only
// where the operation says so (the Try reads, `required` / `mustExist` cleared, FindNode without
// FindRequired).
//
// Thread safety: the store may be called from any thread, but one KvNodePtr is not shared between
// threads without its owner's lock.
#pragma once

#include "Common/ErrorHandling.h"
#include "Interfaces/KvNode.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

class KvNodePtr {
public:
    // Depth of Clone that reaches the whole subtree.
    static constexpr uint64_t WholeTree = KVN_DEPTH_ALL;
    // FindNode flags: never climb above the start node; raise ERROR_NOT_FOUND when nothing is found.
    static constexpr ULONG FindBelowOnly = 1;
    static constexpr ULONG FindRequired = 2;
    // CompareNodes option: compare own names rather than full paths (used for children).
    static constexpr ULONG CompareOwnNames = 2;
    // SetString length that means: measure up to the terminating NUL.
    static constexpr size_t MeasureLength = static_cast<size_t>(-1);

    KvNodePtr() noexcept = default;
    // attach: take ownership of node as it is; otherwise hold a duplicate of it. A null node gives an
    // empty pointer either way.
    KvNodePtr(IKvNode* node, bool attach);
    // Duplicates the handle; a copy of an empty pointer is empty and makes no store call.
    KvNodePtr(const KvNodePtr& other);
    KvNodePtr(KvNodePtr&& other) noexcept : m_node(other.m_node) { other.m_node = nullptr; }
    // Holding the same handle value already does nothing; otherwise the new handle is duplicated first
    // and the old one closed after.
    KvNodePtr& operator=(const KvNodePtr& other);
    // Takes the other's handle and closes the old one. A handle value held by two pointers carries two
    // references, so the old one is closed even when the values are equal; only self-move does nothing.
    KvNodePtr& operator=(KvNodePtr&& other) noexcept;
    ~KvNodePtr() { Reset(); }

    explicit operator bool() const noexcept { return m_node != nullptr; }
    IKvNode* Get() const noexcept { return m_node; }
    // Closes the held handle and offers the slot to a store call that hands out a new one.
    IKvNode** Put() noexcept;
    // Gives up ownership without closing.
    [[nodiscard]] IKvNode* Detach() noexcept;
    void Reset() noexcept;

    // Raises HRX with E_POINTER for a null pointer.
    static void CheckPointer(const void* pointer) { ThrowIfNull(pointer); }

    // Structure.
    static KvNodePtr Create(PCWSTR name, PCWSTR type);
    void AddChild(const KvNodePtr& child);
    // The parent; empty for a root.
    KvNodePtr GetParent() const;
    uint64_t GetChildCount() const;
    // With `required` cleared, a missing child gives an empty pointer.
    KvNodePtr GetChild(uint64_t index, bool required) const;
    KvNodePtr GetChildByName(PCWSTR name, bool required) const;
    // All direct children in index order; any failure throws.
    std::vector<KvNodePtr> GetChildren() const;
    // A detached copy to depth levels; the copy keeps the source's full path.
    KvNodePtr Clone(uint64_t depth = WholeTree, ULONG flags = 0) const;
    // kind: KVN_NAME_OWN or KVN_NAME_PATH.
    std::wstring GetName(ULONG kind = KVN_NAME_OWN) const;
    std::wstring GetPath() const { return GetName(KVN_NAME_PATH); }
    void SetName(ULONG kind, PCWSTR name);
    std::wstring GetType() const;
    // The node reached by path: relative paths walk down from this node; absolute paths (leading
    // backslash) are matched against this node's full path, climb to the common prefix and walk down.
    // Empty when nothing is reached, unless flags hold FindRequired (then ERROR_NOT_FOUND). E_POINTER
    // for a null path.
    KvNodePtr FindNode(PCWSTR path, ULONG flags = 0) const;

    // Attributes. Missing ones: `false` from the Try reads, HRESULT_FROM_WIN32(ERROR_NOT_FOUND) from
    // the others.
    bool TryGetAttribute(PCWSTR name, const USHORT* requestedType, void* buffer, ULONG* size,
                         USHORT* storedType) const;
    bool TryGetInt32(PCWSTR name, int32_t& value) const;
    bool TryGetInt64(PCWSTR name, int64_t& value) const;
    bool TryGetBool(PCWSTR name, bool& value) const;
    int32_t GetInt32(PCWSTR name) const;
    int64_t GetInt64(PCWSTR name) const;
    bool GetBool(PCWSTR name) const;
    bool TryGetString(PCWSTR name, std::wstring& value) const;
    std::wstring GetString(PCWSTR name) const;
    // A list attribute in order (empty strings kept), a single string as a list of one. A missing or
    // value-less attribute gives an empty list, or ERROR_NOT_FOUND when required.
    std::vector<std::wstring> GetStringList(PCWSTR name, bool required) const;
    std::vector<std::wstring> GetAttributeNames() const;
    void SetString(PCWSTR name, PCWSTR value, size_t length = MeasureLength);
    void SetString(PCWSTR name, const std::wstring& value);
    void SetStringList(PCWSTR name, const std::vector<std::wstring>& values);
    // The list whose strings text holds, each followed by a NUL, as the store keeps it.
    void SetStringListText(PCWSTR name, std::wstring_view text);
    void SetUInt32(PCWSTR name, uint32_t value);
    void SetInt64(PCWSTR name, int64_t value);
    void SetBool(PCWSTR name, bool value);
    // The attribute present without a value.
    void SetEmpty(PCWSTR name);
    // With mustExist cleared, a missing attribute is not an error.
    void DeleteAttribute(PCWSTR name, bool mustExist);
    // Makes the attribute hold values with the fewest writes: nothing when it already does, SetEmpty for
    // no values (or deletion when deleteWhenEmpty), SetString for one, SetStringList for more. True when
    // the node was changed.
    bool UpdateStringList(PCWSTR name, const std::vector<std::wstring>& values, bool deleteWhenEmpty);

    // The deep comparison: names (full paths with options 0, own names with CompareOwnNames), every
    // attribute by type code and bytes, and the children in the same order, each compared by own name.
    // Node types are not compared. An empty pointer equals only an empty pointer. Walks without
    // recursion, so any depth is compared.
    static bool CompareNodes(const KvNodePtr& a, const KvNodePtr& b, ULONG options = 0);

    // The list as GetStringList reads it; false when the attribute is missing or has no value.
    bool TryGetStringList(PCWSTR name, std::vector<std::wstring>& values) const;

private:
    bool TryGetFixed(PCWSTR name, USHORT type, void* value, ULONG size) const;
    void SetAttribute(PCWSTR name, USHORT type, const void* value, size_t size);

    IKvNode* m_node = nullptr;
};

// Writes the node's dump for the log (NodeDump.h): its text with the hidden attributes masked, so that
// RW_LOG_DBG(L"Configuration: " << config) shows the node and its subtree.
std::wostream& operator<<(std::wostream& stream, const KvNodePtr& node);
// The same dump appended to a log statement's text (Common/Logging.h), without the copies of a stream.
void AppendToLog(std::wstring& text, const KvNodePtr& node);
