// CNodeSerializer over the store's serialization context.
#include "Common/Nodes/NodeSerializer.h"

CNodeSerializer::CNodeSerializer(_EnumKvNSerializationType type, ULONG flags, std::string& output)
    : CNodeSerializer(type, flags, [&output](const char* data, size_t size) { output.append(data, size); }) {}

CNodeSerializer::CNodeSerializer(_EnumKvNSerializationType type, ULONG flags, Sink sink) : m_sink(std::move(sink)) {
    ThrowIfFailed(KvnStartSerialization(type, flags, &CNodeSerializer::Write, this, &m_context));
}

CNodeSerializer::~CNodeSerializer() {
    KvnCloseSerializationContext(m_context);
}

void CNodeSerializer::SerializeNodes(IKvNode* const* nodes, uint64_t count, ULONG depth) {
    ThrowIfFailed(KvnSerializeNodes(m_context, nodes, count, depth));
}

void CNodeSerializer::Finalize() {
    ThrowIfFailed(KvnFinalizeSerialization(m_context));
}

HRESULT STDAPICALLTYPE CNodeSerializer::Write(const void* data, ULONG size, void* context) noexcept {
    try {
        static_cast<CNodeSerializer*>(context)->m_sink(static_cast<const char*>(data), size);
        return S_OK;
    } catch (...) {
        return CurrentExceptionResult();
    }
}

std::string SerializeNodeToString(const KvNodePtr& node, ULONG depth) {
    std::string output;
    {
        CNodeSerializer serializer(KvnSerializationText, KVN_SERIALIZE_READABLE, output);
        IKvNode* handle = node.Get();
        serializer.SerializeNodes(&handle, 1, depth);
        serializer.Finalize();
    }
    if (!output.empty() && output.back() == '\0')
        output.pop_back();
    return output;
}
