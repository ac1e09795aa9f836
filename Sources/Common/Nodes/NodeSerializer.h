// CNodeSerializer turns nodes with their subtrees into the node store's text form, collected in a byte
// string; SerializeNodeToString does it for one node, as the node dumps of the log do.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <functional>
#include <string>

class CNodeSerializer {
public:
    // Receives each run of bytes the store writes, in order. It may throw; an HRX it raises ends the
    // serialization with the HRX's HRESULT.
    using Sink = std::function<void(const char* data, size_t size)>;

    // Binds the sink to the output, then starts the store's serialization; a failure raises HRX.
    CNodeSerializer(_EnumKvNSerializationType type, ULONG flags, std::string& output);
    CNodeSerializer(_EnumKvNSerializationType type, ULONG flags, Sink sink);
    // Closes the store's context, also when serialization failed part-way.
    ~CNodeSerializer();
    CNodeSerializer(const CNodeSerializer&) = delete;
    CNodeSerializer& operator=(const CNodeSerializer&) = delete;

    // Adds count nodes with their subtrees to depth levels; a failure raises HRX.
    void SerializeNodes(IKvNode* const* nodes, uint64_t count, ULONG depth);
    // Ends the text; the store hands over all it still holds. A failure raises HRX.
    void Finalize();

private:
    // The store's write callback: appends the bytes through the sink. No exception passes into the
    // store: an HRX gives back its HRESULT, anything else E_OUTOFMEMORY or E_UNEXPECTED.
    static HRESULT STDAPICALLTYPE Write(const void* data, ULONG size, void* context) noexcept;

    Sink m_sink;
    KvnSerializationContext* m_context = nullptr;
};

// The text of node and its subtree to depth levels (type 1, flags 0x101), without the 0 byte that the
// store puts after it.
std::string SerializeNodeToString(const KvNodePtr& node, ULONG depth);
