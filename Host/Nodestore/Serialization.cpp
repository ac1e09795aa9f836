// Serialization contexts: text collected per call, handed to the callback in runs.
#include "Serialization.h"

#include <algorithm>
#include <new>

CSerialization::CSerialization(ULONG flags, PFN_KvnWriteCallback write, void* writeContext)
    : m_flags(flags), m_write(write), m_writeContext(writeContext) {
    ++g_counters.serializations;
}

CSerialization::~CSerialization() {
    --g_counters.serializations;
}

HRESULT CSerialization::State() const noexcept {
    if (m_failure < 0)
        return m_failure;
    return m_finished ? KVN_E_SERIALIZATION_FINISHED : S_OK;
}

void CSerialization::Start() {
    if (!m_started)
        m_pending += TextHeader(m_flags);
    m_started = true;
}

HRESULT CSerialization::Add(IKvNode* const* nodes, ULONGLONG count, ULONG depth) {
    try {
        Start();
        for (ULONGLONG i = 0; i < count; ++i)
            WriteNodeText(*CNode::FromHandle(nodes[i]), depth, m_flags, m_pending);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY);
    }
}

HRESULT CSerialization::Finish() {
    try {
        Start();
        m_pending += TextFooter(m_flags);
        m_finished = true;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return Fail(E_OUTOFMEMORY);
    }
}

HRESULT CSerialization::Fail(HRESULT hr) noexcept {
    // Half-written text is never handed over.
    m_failure = hr;
    m_pending.clear();
    return hr;
}

HRESULT CSerialization::Deliver(bool all) noexcept {
    size_t done = 0;
    HRESULT hr = S_OK;
    while (hr >= 0 && m_pending.size() - done >= (all ? 1 : RunSize)) {
        const size_t size = std::min(RunSize, m_pending.size() - done);
        try {
            hr = m_write(m_pending.data() + done, static_cast<ULONG>(size), m_writeContext);
        } catch (...) {
            hr = E_UNEXPECTED; // a callback must not throw; it does not get to unwind the store
        }
        done += size;
    }
    if (hr < 0)
        return Fail(hr);
    m_pending.erase(0, done);
    return S_OK;
}
