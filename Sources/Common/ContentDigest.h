// CContentDigest: a 128-bit digest of a sequence of texts, keyed with random bytes drawn once per
// process. Two sequences with equal digests are taken as equal: for different ones that happens with a
// chance of about 2^-128, and since the key never leaves the process, no data can be chosen to make it
// happen. Each text goes in with its length, so that ("ab", "c") and ("a", "bc") differ.
//
// The input, as 8-byte words, is taken in by two SipHash-1-3 lanes with keys of their own, the even
// words by one and the odd ones by the other, so that a processor works on both at once; the final
// word (the last bytes and the length) goes into both, and the digest is the XOR of their 128-bit
// results. Two inputs that differ give at least one lane different input.
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
    struct SLane {
        uint64_t v[4];
    };

    void AddBytes(const unsigned char* bytes, size_t size) noexcept;
    void Compress(uint64_t word) noexcept;

    SLane m_lanes[2];
    // Whole words taken in so far: the next one goes to lane m_words % 2.
    uint64_t m_words = 0;
    uint64_t m_tail = 0;
    size_t m_tailBytes = 0;
    uint64_t m_length = 0;
};
