// Trimming, splitting and conversion of texts.
#include "Common/StringHelpers.h"

#include "Common/ErrorHandling.h"

#include <climits>

void TrimRight(std::wstring& text, std::wstring_view chars) {
    const size_t last = text.find_last_not_of(chars);
    text.resize(last == std::wstring::npos ? 0 : last + 1);
}

std::wstring Trim(std::wstring_view text, std::wstring_view chars) {
    const size_t first = text.find_first_not_of(chars);
    if (first == std::wstring_view::npos)
        return {};
    return std::wstring(text.substr(first, text.find_last_not_of(chars) - first + 1));
}

std::vector<std::wstring> SplitSkippingEmpty(std::wstring_view text, std::wstring_view separators) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(separators, start);
        if (end == std::wstring_view::npos)
            end = text.size();
        if (end > start)
            parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring wide;
    AppendUtf8(wide, text);
    return wide;
}

std::string WideToUtf8(std::wstring_view text) {
    if (text.empty())
        return {};
    if (text.size() > INT_MAX / 3)
        ThrowHR(E_INVALIDARG);
    // A UTF-16 unit takes at most three UTF-8 bytes (a surrogate pair four for two units): one pass.
    std::string bytes(text.size() * 3, '\0');
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, nullptr);
    ThrowLastErrorIfFalse(length != 0);
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

void AppendUtf8(std::wstring& wide, std::string_view text) {
    if (text.empty())
        return;
    if (text.size() > INT_MAX)
        ThrowHR(E_INVALIDARG);
    // Every UTF-16 unit takes at least one UTF-8 byte, so the bytes' count is room enough: one pass.
    const size_t start = wide.size();
    wide.resize(start + text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data() + start,
                                           static_cast<int>(text.size()));
    if (length == 0) {
        wide.resize(start);
        ThrowLastErrorIfFalse(FALSE);
    }
    wide.resize(start + static_cast<size_t>(length));
}
