// Two SipHash-1-3 lanes, 128-bit results: one compression round per word, three finalization rounds.
#include "Common/ContentDigest.h"

#include <cstring>
#include <random>

namespace {

struct SKey {
    uint64_t k0;
    uint64_t k1;
};

const SKey* ProcessKeys() {
    static const struct SKeys {
        SKey lanes[2];
    } keys = [] {
        std::random_device random;
        const auto draw = [&] { return (uint64_t{random()} << 32) | random(); };
        SKeys drawn{};
        for (SKey& key : drawn.lanes)
            key = {draw(), draw()};
        return drawn;
    }();
    return keys.lanes;
}

constexpr uint64_t Rotate(uint64_t x, int bits) noexcept {
    return (x << bits) | (x >> (64 - bits));
}

inline void Round(uint64_t (&v)[4]) noexcept {
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

inline void Take(uint64_t (&v)[4], uint64_t word) noexcept {
    v[3] ^= word;
    Round(v);
    v[0] ^= word;
}

uint64_t Load(const unsigned char* bytes) noexcept {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

} // namespace

CContentDigest::CContentDigest() noexcept {
    const SKey* keys = ProcessKeys();
    for (int lane = 0; lane < 2; ++lane) {
        uint64_t(&v)[4] = m_lanes[lane].v;
        v[0] = keys[lane].k0 ^ 0x736f6d6570736575ULL;
        v[1] = keys[lane].k1 ^ 0x646f72616e646f6dULL ^ 0xee;
        v[2] = keys[lane].k0 ^ 0x6c7967656e657261ULL;
        v[3] = keys[lane].k1 ^ 0x7465646279746573ULL;
    }
}

void CContentDigest::Compress(uint64_t word) noexcept {
    Take(m_lanes[m_words++ & 1].v, word);
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
    if (size >= 8 && (m_words & 1) != 0) {
        Compress(Load(bytes));
        bytes += 8;
        size -= 8;
    }
    // Two words at a time, one per lane, with nothing between the lanes' rounds to wait for.
    for (; size >= 16; bytes += 16, size -= 16) {
        Take(m_lanes[0].v, Load(bytes));
        Take(m_lanes[1].v, Load(bytes + 8));
        m_words += 2;
    }
    if (size >= 8) {
        Compress(Load(bytes));
        bytes += 8;
        size -= 8;
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
    const uint64_t last = m_tail | (m_length << 56);
    SContentDigest digest;
    for (SLane& lane : m_lanes) {
        uint64_t(&v)[4] = lane.v;
        Take(v, last);
        v[2] ^= 0xee;
        for (int i = 0; i < 3; ++i)
            Round(v);
        digest.low ^= v[0] ^ v[1] ^ v[2] ^ v[3];
        v[1] ^= 0xdd;
        for (int i = 0; i < 3; ++i)
            Round(v);
        digest.high ^= v[0] ^ v[1] ^ v[2] ^ v[3];
    }
    return digest;
}
