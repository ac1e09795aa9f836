// Security tag texts: what the parser makes of well-formed and malformed parameter lists, the text
// written back after a change, and a fixed-seed run over random and mutated texts.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using P = CSecurityTagParameter;

std::vector<P> Parameters(const CSecurityTag& tag) {
    std::vector<P> parameters;
    for (size_t i = 0; i < tag.GetParameterCount(); ++i)
        parameters.push_back(*tag.GetParameter(i));
    return parameters;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text)
        narrow += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    return narrow;
}

} // namespace

TEST(SecurityTagTests, ParsesEveryParameterForm) {
    const struct {
        const wchar_t* text;
        const wchar_t* base;
        std::vector<P> parameters;
    } cases[] = {
        {L"stag:Scope[Folder=$Folder;Tenant='A']", L"stag:Scope",
         {P::Reference(L"Folder", L"$Folder"), P::Plain(L"Tenant", L"A")}},
        {L"stag:Plain", L"stag:Plain", {}},
        {L"", L"", {}},
        {L"t[a=1]", L"t", {P::Plain(L"a", L"1")}},
        // A quoted value runs to the next quote, over ";" and "]".
        {L"t[a='x;y]z';b]", L"t", {P::Plain(L"a", L"x;y]z"), P::Bare(L"b")}},
        {L"x[a;b=]", L"x", {P::Bare(L"a"), P::Plain(L"b", L"")}},
        // Values without an end leave a bare parameter and end the list.
        {L"x[a=$r", L"x", {P::Bare(L"a")}},
        {L"x[a='v;b]", L"x", {P::Bare(L"a")}},
        {L"x[a=", L"x", {P::Bare(L"a")}},
        {L"x[a", L"x", {}},
        {L"x[", L"x", {}},
        {L"x[;;a]", L"x", {P::Bare(L"a")}},
        {L"a[b[c]", L"a", {P::Bare(L"b[c")}},
        {L"x[a]tail", L"x", {P::Bare(L"a")}},
        // Text between a closing quote and the next delimiter is read as a name.
        {L"x[a='v'w;b=$]", L"x", {P::Plain(L"a", L"v"), P::Bare(L"w"), P::Reference(L"b", L"$")}},
        {L"x[=v]", L"x", {P::Bare(L"v")}},
    };
    for (const auto& c : cases) {
        const CSecurityTag tag(c.text);
        EXPECT_EQ(tag.GetBase(), c.base) << Narrow(c.text);
        EXPECT_EQ(Parameters(tag), c.parameters) << Narrow(c.text);
        EXPECT_EQ(tag.ToString(), c.text) << "an unchanged tag gives back its input";
        EXPECT_EQ(tag.GetParameter(tag.GetParameterCount()), nullptr);
    }
}

TEST(SecurityTagTests, SetParameterRewritesTheText) {
    CSecurityTag scope(L"stag:Scope[Folder=$Folder;Tenant='A']");
    scope.SetParameter(P::Plain(L"Folder", L"Finance"));
    EXPECT_EQ(scope.ToString(), L"stag:Scope[Folder='Finance';Tenant='A']");

    CSecurityTag unquoted(L"t[a=1]");
    unquoted.SetParameter(P::Plain(L"A", L"2"));
    EXPECT_EQ(unquoted.ToString(), L"t[a=1]") << "names are case-sensitive; no match changes nothing";
    unquoted.SetParameter(P::Plain(L"a", L"2"));
    EXPECT_EQ(unquoted.ToString(), L"t[a='2']");

    CSecurityTag twice(L"t[a=1;a=2]tail");
    twice.SetParameter(P::Plain(L"a", L"9"));
    EXPECT_EQ(twice.ToString(), L"t[a='9';a='2']") << "only the first of two equal names changes";

    CSecurityTag kinds(L"t[a;b='x']");
    kinds.SetParameter(P::Reference(L"a", L"$y"));
    EXPECT_EQ(kinds.ToString(), L"t[a=$y;b='x']");
    kinds.SetParameter(P::Bare(L"b"));
    EXPECT_EQ(kinds.ToString(), L"t[a=$y;b]");
    EXPECT_EQ(Parameters(CSecurityTag(kinds.ToString())), Parameters(kinds));
}

TEST(SecurityTagTests, AllParametersEmpty) {
    EXPECT_FALSE(CSecurityTag(L"stag:NoParameters").AllParametersEmpty());
    EXPECT_FALSE(CSecurityTag(L"x[]").AllParametersEmpty());
    EXPECT_TRUE(CSecurityTag(L"x[a='';b=]").AllParametersEmpty());
    EXPECT_FALSE(CSecurityTag(L"x[a='';b]").AllParametersEmpty()) << "a bare parameter is not empty";
    EXPECT_FALSE(CSecurityTag(L"x[a='';b=$]").AllParametersEmpty()) << "a reference is not empty";
    EXPECT_FALSE(CSecurityTag(L"x[a='';b=' ']").AllParametersEmpty());
}

// Thousands of texts from a fixed seed: random ones over an alphabet rich in delimiters (with NUL,
// surrogates and other odd characters) and mutations of well-formed tags. Whatever the text, the
// tag gives its input back, its base is the text before the first "[", its parameters are well
// formed, and once rewritten its text parses back to the same parameters.
TEST(SecurityTagTests, RandomAndMutatedTexts) {
    std::mt19937 random(20240607);
    const std::wstring alphabet = std::wstring(L"[];='$ab", 8) + L"[];='$xyz09 " + std::wstring(1, L'\0') +
                                  L"\xD800\xDFFF\x00E9\xFFFF";
    const std::wstring seeds[] = {L"stag:Scope[Folder=$Folder;Tenant='A']", L"stag:F[Folder=$f]",
                                  L"stag:M[Folder=$f;Container=$c;Flag;Region='eu;west]']", L"t[a=1;b=;c]"};
    const auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };
    size_t withParameters = 0;
    for (int round = 0; round < 20000; ++round) {
        std::wstring text;
        if (round % 2 == 0) {
            for (size_t length = pick(24); length > 0; --length)
                text += alphabet[pick(alphabet.size())];
        } else {
            text = seeds[pick(std::size(seeds))];
            for (size_t edits = 1 + pick(4); edits > 0; --edits) {
                const size_t at = pick(text.size() + 1);
                switch (pick(4)) {
                case 0: text.insert(at, 1, alphabet[pick(alphabet.size())]); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                case 2: if (at < text.size()) text[at] = alphabet[pick(alphabet.size())]; break;
                default: text.resize(at); break;
                }
            }
        }
        SCOPED_TRACE(Narrow(text));
        const CSecurityTag tag(text);
        ASSERT_EQ(tag.ToString(), text);
        ASSERT_EQ(tag.GetBase(), text.substr(0, text.find(L'[')));
        ASSERT_EQ(tag.GetParameter(tag.GetParameterCount()), nullptr);
        bool requotable = true;
        for (const P& parameter : Parameters(tag)) {
            ASSERT_FALSE(parameter.Name().empty());
            ASSERT_EQ(parameter.Name().find_first_of(L";=]"), std::wstring::npos);
            ASSERT_FALSE(parameter.IsPlain() && parameter.IsReference());
            if (parameter.IsReference()) {
                ASSERT_EQ(parameter.Value().front(), L'$');
                ASSERT_EQ(parameter.Value().find_first_of(L";]"), std::wstring::npos);
            }
            if (!parameter.IsPlain() && !parameter.IsReference()) {
                ASSERT_TRUE(parameter.Value().empty());
            }
            requotable = requotable && !(parameter.IsPlain() && parameter.Value().find(L'\'') != std::wstring::npos);
        }
        if (tag.GetParameterCount() == 0 || !requotable)
            continue;
        ++withParameters;
        CSecurityTag rewritten = tag;
        rewritten.SetParameter(*tag.GetParameter(0));
        const CSecurityTag reparsed(rewritten.ToString());
        ASSERT_EQ(reparsed.GetBase(), tag.GetBase());
        ASSERT_EQ(Parameters(reparsed), Parameters(tag)) << Narrow(rewritten.ToString());
    }
    EXPECT_GT(withParameters, 4000u) << "too few texts with parameters to show anything";
}
