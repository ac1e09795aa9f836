// SipHash-1-3, 128-bit result: one compression round per word, three finalization rounds.
#include "Common/ContentDigest.h"

#include <cstring>
#include <random>

namespace {

struct SKey {
    uint64_t k0;
    uint64_t k1;
};

const SKey& ProcessKey() {
    static const SKey key = [] {
        std::random_device random;
        const auto draw = [&] { return (uint64_t{random()} << 32) | random(); };
        return SKey{draw(), draw()};
    }();
    return key;
}

constexpr uint64_t Rotate(uint64_t x, int bits) noexcept {
    return (x << bits) | (x >> (64 - bits));
}

void Round(uint64_t (&v)[4]) noexcept {
    v[0] += v[1];
    v[1] = Rotate(v[1], 13) ^ v[0];
    v[0] = Rotate(v[0], 32);
    v[2] += v[3];
    v[3] = Rotate(v[3], 16) ^ v[2];
    v[0] += v[3];
    v[3] = Rotate(v[3], 21) ^ v[0];
    v[2] += v[1];
    v[1] = Rotate(v[1], 17) ^ v[2];
    v[2] = Rotate(v[2], 32);
}

} // namespace

CContentDigest::CContentDigest() noexcept {
    const SKey& key = ProcessKey();
    m_v[0] = key.k0 ^ 0x736f6d6570736575ULL;
    m_v[1] = key.k1 ^ 0x646f72616e646f6dULL ^ 0xee;
    m_v[2] = key.k0 ^ 0x6c7967656e657261ULL;
    m_v[3] = key.k1 ^ 0x7465646279746573ULL;
}

void CContentDigest::Compress(uint64_t word) noexcept {
    m_v[3] ^= word;
    Round(m_v);
    m_v[0] ^= word;
}

void CContentDigest::AddBytes(const unsigned char* bytes, size_t size) noexcept {
    m_length += size;
    // Little-endian words, as the algorithm reads its input.
    while (size > 0 && m_tailBytes > 0) {
        m_tail |= uint64_t{*bytes++} << (8 * m_tailBytes);
        --size;
        if (++m_tailBytes == 8) {
            Compress(m_tail);
            m_tail = 0;
            m_tailBytes = 0;
        }
    }
    for (; size >= 8; bytes += 8, size -= 8) {
        uint64_t word;
        std::memcpy(&word, bytes, sizeof word);
        Compress(word);
    }
    for (; size > 0; --size)
        m_tail |= uint64_t{*bytes++} << (8 * m_tailBytes++);
}

void CContentDigest::Add(std::wstring_view text) noexcept {
    const uint64_t length = text.size();
    AddBytes(reinterpret_cast<const unsigned char*>(&length), sizeof length);
    AddBytes(reinterpret_cast<const unsigned char*>(text.data()), text.size() * sizeof(wchar_t));
}

SContentDigest CContentDigest::Finish() noexcept {
    Compress(m_tail | (m_length << 56));
    m_v[2] ^= 0xee;
    for (int i = 0; i < 3; ++i)
        Round(m_v);
    SContentDigest digest;
    digest.low = m_v[0] ^ m_v[1] ^ m_v[2] ^ m_v[3];
    m_v[1] ^= 0xdd;
    for (int i = 0; i < 3; ++i)
        Round(m_v);
    digest.high = m_v[0] ^ m_v[1] ^ m_v[2] ^ m_v[3];
    return digest;
}
