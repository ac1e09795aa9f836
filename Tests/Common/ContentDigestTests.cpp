// The digest that tells documents apart without reading them again.
#include "Common/ContentDigest.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <set>
#include <string>
#include <utility>

namespace {

SContentDigest DigestOf(std::initializer_list<std::wstring_view> texts) {
    CContentDigest digest;
    for (const std::wstring_view text : texts)
        digest.Add(text);
    return digest.Finish();
}

} // namespace

// Sequences differ by one character at any place of texts of every length around the 8-byte words the
// digest takes in, by where one text ends and the next begins, and by an empty text; the same sequence
// gives the same digest again.
TEST(ContentDigestTests, TellsSequencesApart) {
    std::set<std::pair<uint64_t, uint64_t>> seen;
    size_t made = 0;
    const auto add = [&](const SContentDigest& digest) {
        seen.emplace(digest.low, digest.high);
        ++made;
    };
    std::wstring text;
    for (int length = 1; length <= 12; ++length) {
        text.push_back(static_cast<wchar_t>(L'a' + length));
        add(DigestOf({text}));
        for (size_t place = 0; place < text.size(); ++place) {
            std::wstring changed = text;
            changed[place] = L'\x263a';
            add(DigestOf({changed}));
        }
    }
    for (const auto& texts : {std::initializer_list<std::wstring_view>{L"ab", L"c"}, {L"a", L"bc"}, {L"abc"}, {L"abc", L""}, {L""}, {}})
        add(DigestOf(texts));
    EXPECT_EQ(seen.size(), made);
    EXPECT_EQ(DigestOf({L"stag:A", L"stag:B[Folder='x']"}), DigestOf({L"stag:A", L"stag:B[Folder='x']"}));
}
