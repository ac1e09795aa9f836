// A serialization context: collects the text of the nodes given to it and hands it to the caller's
// write callback in runs. The text is produced under the store lock and handed over outside it, so
// the callback may call the store. A context is used by one thread at a time.
#pragma once

#include "TextForm.h"

// The context type of the binary interface is the context's base class; it carries nothing.
struct KvnSerializationContext {};

class CSerialization final : public KvnSerializationContext {
public:
    CSerialization(ULONG flags, PFN_KvnWriteCallback write, void* writeContext);
    ~CSerialization();
    CSerialization(const CSerialization&) = delete;
    CSerialization& operator=(const CSerialization&) = delete;

    static CSerialization* FromHandle(KvnSerializationContext* handle) noexcept {
        return static_cast<CSerialization*>(handle);
    }

    // Adds the nodes' text; the caller holds the store lock. E_OUTOFMEMORY ends the serialization.
    HRESULT Add(IKvNode* const* nodes, ULONGLONG count, ULONG depth);
    // Ends the text.
    HRESULT Finish();
    // Hands the collected text to the callback in runs of at most RunSize bytes; all of it, or only
    // whole runs. Called without the store lock.
    HRESULT Deliver(bool all) noexcept;
    // The first failure of the callback, or the state error for a finished context.
    HRESULT State() const noexcept;

    static constexpr size_t RunSize = 64 * 1024;

private:
    void Start();
    HRESULT Fail(HRESULT hr) noexcept;

    ULONG m_flags;
    PFN_KvnWriteCallback m_write;
    void* m_writeContext;
    std::string m_pending;
    bool m_started = false;
    bool m_finished = false;
    HRESULT m_failure = S_OK;
};
