// Security tag texts: what the parser makes of well-formed and malformed parameter lists, the text
// written back after a change, and a fixed-seed run over random and mutated texts. Then mapping
// documents past 9999 entries; entry order, tags without repeats and empty documents show in every
// expected document of the transformer tests.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include "Support/NodeStoreTest.h"

#include <random>

namespace {

using P = CSecurityTagParameter;

std::vector<P> Parameters(const CSecurityTag& tag) {
    std::vector<P> parameters;
    for (size_t i = 0; i < tag.GetParameterCount(); ++i)
        parameters.push_back(*tag.GetParameter(i));
    return parameters;
}

class SecurityTagMappingBuilderTests : public NodeStoreTest {};

} // namespace

TEST(SecurityTagTests, ParsesEveryParameterForm) {
    const struct {
        const wchar_t* text;
        std::vector<P> parameters;
    } cases[] = {
        {L"stag:S[Folder=$Folder;Tenant='A']", {P::Reference(L"Folder", L"$Folder"), P::Plain(L"Tenant", L"A")}},
        {L"t[a=1;b='x;y]z';c]", {P::Plain(L"a", L"1"), P::Plain(L"b", L"x;y]z"), P::Bare(L"c")}},
        {L"x[a;b=]", {P::Bare(L"a"), P::Plain(L"b", L"")}},
        {L"stag:Plain", {}}, {L"x[a", {}}, {L"x[;;a]tail", {P::Bare(L"a")}}, {L"a[b[c]", {P::Bare(L"b[c")}},
        // A value without an end leaves a bare parameter and ends the list.
        {L"x[a=$r", {P::Bare(L"a")}}, {L"x[a='v;b]", {P::Bare(L"a")}}, {L"x[a=", {P::Bare(L"a")}},
        // Text between a closing quote and the next delimiter is a name of its own.
        {L"x[a='v'w;b=$]", {P::Plain(L"a", L"v"), P::Bare(L"w"), P::Reference(L"b", L"$")}},
    };
    for (const auto& c : cases) {
        const CSecurityTag tag(c.text);
        EXPECT_EQ(Parameters(tag), c.parameters) << c.text;
        EXPECT_EQ(tag.ToString(), c.text) << "an unchanged tag gives back its input";
    }
}

TEST(SecurityTagTests, SetParameterRewritesTheText) {
    CSecurityTag tag(L"t[a=1;b=$r;a=2]tail");
    tag.SetParameter(P::Plain(L"A", L"9"));
    EXPECT_EQ(tag.ToString(), L"t[a=1;b=$r;a=2]tail") << "names are case-sensitive: no change";
    tag.SetParameter(P::Plain(L"a", L"9"));
    EXPECT_EQ(tag.ToString(), L"t[a='9';b=$r;a='2']") << "the first of two equal names changes; values are quoted";
    tag.SetParameter(P::Bare(L"a"));
    tag.SetParameter(P::Reference(L"b", L"$s"));
    EXPECT_EQ(tag.ToString(), L"t[a;b=$s;a='2']");

    // Bare parameters and references are not empty; a tag without parameters is not all empty.
    for (const wchar_t* text : {L"x[]", L"x", L"x[a='';b]", L"x[a='';b=$]"})
        EXPECT_FALSE(CSecurityTag(text).AllParametersEmpty()) << text;
    EXPECT_TRUE(CSecurityTag(L"x[a='';b=]").AllParametersEmpty());
}

// Random texts over an alphabet rich in delimiters (NUL and lone surrogates included) and mutations
// of well-formed tags: the tag gives its input back, its base is the text before "[", and its
// parameters have names without delimiters and references that start with "$".
TEST(SecurityTagTests, RandomAndMutatedTexts) {
    std::mt19937 random(20240607);
    const std::wstring alphabet = std::wstring(L"[];='$ab[];='$x9 \0\xD800\xDFFF\xE9", 21);
    const std::wstring seeds[] = {L"stag:F[Folder=$f]", L"stag:M[Folder=$f;Container=$c;Flag;Region='eu;w]']", L"t[a=1;b=;c]"};
    const auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };
    size_t withParameters = 0;
    for (int round = 0; round < 20000; ++round) {
        std::wstring text = round % 2 ? seeds[pick(std::size(seeds))] : std::wstring();
        for (size_t edits = pick(round % 2 ? 5 : 25); edits > 0; --edits) {
            const size_t at = pick(text.size() + 1);
            if (round % 2 == 0 || pick(3) == 0)
                text.insert(at, 1, alphabet[pick(alphabet.size())]);
            else
                pick(2) ? text.erase(at, 1) : text.erase(at);
        }
        const CSecurityTag tag(text);
        ASSERT_EQ(tag.ToString(), text) << text;
        ASSERT_EQ(tag.GetBase(), text.substr(0, text.find(L'['))) << text;
        ASSERT_EQ(tag.GetParameter(tag.GetParameterCount()), nullptr);
        withParameters += tag.GetParameterCount() > 0;
        for (const P& p : Parameters(tag)) {
            ASSERT_TRUE(!p.Name().empty() && p.Name().find_first_of(L";=]") == std::wstring::npos) << text;
            ASSERT_TRUE(!p.IsReference() || (p.Value()[0] == L'$' && p.Value().find_first_of(L";]") == std::wstring::npos));
        }
    }
    EXPECT_GT(withParameters, 5000u) << "too few texts with parameters to show anything";
}

TEST_F(SecurityTagMappingBuilderTests, EntryNamesPastTenThousand) {
    CSecurityTagMappingBuilder builder(L"\\Big");
    for (int i = 10000; i >= 0; --i)
        builder.Add(L"id" + std::to_wstring(100000 + i), L"stag:T");
    const KvNodePtr document = builder.Build();
    EXPECT_EQ(document.GetChild(9999, true).GetName() + L" " + document.GetChild(10000, true).GetName(), L"9999 10000");
    EXPECT_EQ(document.GetChild(10000, true).GetString(L"SecurityId"), L"id110000");
    EXPECT_EQ(document.GetType() + L" " + document.GetChild(0, true).GetType(), L"SecurityTagMapping SecurityTagMappingEntry");
}
