// CContentDigest: a 128-bit digest of a sequence of texts (SipHash-1-3 with its 128-bit result), keyed
// with random bytes drawn once per process. Two sequences with equal digests are taken as equal: for
// different ones that happens with a chance of 2^-128, and since the key never leaves the process, no
// data can be chosen to make it happen. Each text goes in with its length, so that ("ab", "c") and
// ("a", "bc") differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

struct SContentDigest {
    uint64_t low = 0;
    uint64_t high = 0;
    bool operator==(const SContentDigest&) const = default;
};

class CContentDigest {
public:
    CContentDigest() noexcept;
    void Add(std::wstring_view text) noexcept;
    // The digest of everything added; the object is not used afterwards.
    SContentDigest Finish() noexcept;

private:
    void AddBytes(const unsigned char* bytes, size_t size) noexcept;
    void Compress(uint64_t word) noexcept;

    uint64_t m_v[4];
    uint64_t m_tail = 0;
    size_t m_tailBytes = 0;
    uint64_t m_length = 0;
};
