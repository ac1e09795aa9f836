// Small text helpers shared by the framework: trimming, splitting settings lists, UTF-8 to UTF-16.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Blank, tab, CR and LF.
inline constexpr std::wstring_view WhiteSpace = L" \t\r\n";

// Removes every trailing character that is one of chars.
void TrimRight(std::wstring& text, std::wstring_view chars = WhiteSpace);
// Removes every leading and trailing character that is one of chars.
std::wstring Trim(std::wstring_view text, std::wstring_view chars = WhiteSpace);

// The parts of text between any of the separators, in order, leaving out empty parts: "a;;b;" gives
// "a" and "b". Parts are not trimmed.
std::vector<std::wstring> SplitSkippingEmpty(std::wstring_view text, std::wstring_view separators);

// UTF-8 text as UTF-16; invalid sequences become U+FFFD. Raises HRX when the system cannot convert.
std::wstring Utf8ToWide(std::string_view text);
// The same conversion, appended to wide in one pass.
void AppendUtf8(std::wstring& wide, std::string_view text);
// UTF-16 text as UTF-8; unpaired surrogates become U+FFFD. Raises HRX when the system cannot convert.
std::string WideToUtf8(std::wstring_view text);
