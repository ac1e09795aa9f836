// Attribute values: validation, conversion and layout. A conversion succeeds only when converting the
// result back gives the original value, so numbers travel as canonical decimal text and booleans as
// "true" and "false".
#include "AttributeValue.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr HRESULT MismatchHr = KVN_E_TYPE_MISMATCH;

bool IsNumeric(USHORT type) {
    return type == KVN_TYPE_UINT32 || type == KVN_TYPE_INT32 || type == KVN_TYPE_INT64 || type == KVN_TYPE_BOOL;
}

bool FitsType(USHORT type, LONGLONG number) {
    switch (type) {
    case KVN_TYPE_UINT32:
        return number >= 0 && number <= static_cast<LONGLONG>(std::numeric_limits<uint32_t>::max());
    case KVN_TYPE_INT32:
        return number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<int32_t>::max();
    case KVN_TYPE_BOOL:
        return number == 0 || number == 1;
    default:
        return true;
    }
}

std::wstring NumberText(USHORT type, LONGLONG number) {
    if (type == KVN_TYPE_BOOL)
        return number ? L"true" : L"false";
    const std::string digits = std::to_string(number);
    return std::wstring(digits.begin(), digits.end());
}

// Canonical decimal text only ("-?(0|[1-9][0-9]*)", no "-0"), or "true" / "false" for booleans.
bool ParseNumber(USHORT type, std::wstring_view text, LONGLONG& number) {
    if (type == KVN_TYPE_BOOL) {
        if (text == L"true" || text == L"false") {
            number = text == L"true";
            return true;
        }
        return false;
    }
    std::string digits;
    for (wchar_t c : text) {
        if (c > 0x7F)
            return false;
        digits += static_cast<char>(c);
    }
    const size_t first = !digits.empty() && digits[0] == '-' ? 1 : 0;
    if (first == digits.size() || (digits[first] == '0' && digits.size() != 1))
        return false;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, number);
    return error == std::errc() && stop == end;
}

// The single string of a list of one, or false.
bool SingleItem(const std::wstring& list, std::wstring& item) {
    int count = 0;
    ForEachListItem(list, [&](std::wstring_view part) {
        if (++count == 1)
            item = part;
    });
    return count == 1;
}

bool AsText(const SValue& value, std::wstring& text) {
    if (value.type == KVN_TYPE_STRING)
        text = value.text;
    else if (value.type == KVN_TYPE_STRING_LIST)
        return SingleItem(value.text, text);
    else if (IsNumeric(value.type))
        text = NumberText(value.type, value.number);
    else
        return false;
    return true;
}

} // namespace

bool IsKnownType(USHORT type) noexcept {
    return type == KVN_TYPE_NONE || type == KVN_TYPE_STRING || type == KVN_TYPE_STRING_LIST || IsNumeric(type);
}

HRESULT MakeValue(USHORT type, const void* data, ULONG size, SValue& out) {
    if (data == nullptr && size != 0)
        return E_POINTER;
    // A value of no bytes (no value, an empty list) comes as a null pointer.
    if (data != nullptr && size == 0)
        return E_INVALIDARG;
    out = SValue{type, 0, {}};
    switch (type) {
    case KVN_TYPE_NONE:
        return size == 0 ? S_OK : E_INVALIDARG;
    case KVN_TYPE_STRING:
    case KVN_TYPE_STRING_LIST: {
        if (size % sizeof(wchar_t) != 0)
            return E_INVALIDARG;
        out.text.resize(size / sizeof(wchar_t));
        // An empty list comes as a null pointer, which memcpy may not be given even for no bytes.
        if (size != 0)
            std::memcpy(out.text.data(), data, size);
        if (type == KVN_TYPE_STRING_LIST)
            return out.text.empty() || out.text.back() == L'\0' ? S_OK : E_INVALIDARG;
        // One terminator, at the end: a NUL inside would make the string a list.
        if (out.text.empty() || out.text.find(L'\0') != out.text.size() - 1)
            return E_INVALIDARG;
        out.text.pop_back();
        return S_OK;
    }
    case KVN_TYPE_UINT32:
    case KVN_TYPE_INT32: {
        if (size != 4)
            return E_INVALIDARG;
        uint32_t bits;
        std::memcpy(&bits, data, 4);
        out.number = type == KVN_TYPE_UINT32 ? LONGLONG(bits) : LONGLONG(static_cast<int32_t>(bits));
        return S_OK;
    }
    case KVN_TYPE_INT64:
        if (size != 8)
            return E_INVALIDARG;
        std::memcpy(&out.number, data, 8);
        return S_OK;
    case KVN_TYPE_BOOL:
        if (size != 1 || *static_cast<const BYTE*>(data) > 1)
            return E_INVALIDARG;
        out.number = *static_cast<const BYTE*>(data);
        return S_OK;
    default:
        return E_INVALIDARG;
    }
}

HRESULT ConvertValue(const SValue& value, USHORT type, SValue& out) {
    if (!IsKnownType(type))
        return E_INVALIDARG;
    out = SValue{type, 0, {}};
    if (value.type == type) {
        out = value;
        return S_OK;
    }
    if (type == KVN_TYPE_NONE || value.type == KVN_TYPE_NONE)
        return MismatchHr;
    // Codes 3 and 4 are one 32-bit integer read as unsigned or signed.
    if ((value.type == KVN_TYPE_UINT32 && type == KVN_TYPE_INT32) ||
        (value.type == KVN_TYPE_INT32 && type == KVN_TYPE_UINT32)) {
        const auto bits = static_cast<uint32_t>(value.number);
        out.number = type == KVN_TYPE_UINT32 ? LONGLONG(bits) : LONGLONG(static_cast<int32_t>(bits));
        return S_OK;
    }
    std::wstring text;
    if (type == KVN_TYPE_STRING_LIST) {
        if (!AsText(value, text))
            return MismatchHr;
        out.text = text + L'\0';
        return S_OK;
    }
    if (!AsText(value, text))
        return MismatchHr;
    if (type == KVN_TYPE_STRING) {
        out.text = std::move(text);
        return S_OK;
    }
    if (IsNumeric(value.type))
        out.number = value.number;
    else if (!ParseNumber(type, text, out.number))
        return MismatchHr;
    return FitsType(type, out.number) ? S_OK : MismatchHr;
}

std::string ValueBytes(const SValue& value, bool closeList) {
    std::string bytes;
    const auto append = [&](const void* data, size_t size) {
        bytes.append(static_cast<const char*>(data), size);
    };
    switch (value.type) {
    case KVN_TYPE_STRING:
    case KVN_TYPE_STRING_LIST: {
        const bool terminate = value.type == KVN_TYPE_STRING || closeList;
        append(value.text.data(), value.text.size() * sizeof(wchar_t));
        if (terminate)
            bytes.append(sizeof(wchar_t), '\0');
        break;
    }
    case KVN_TYPE_UINT32:
    case KVN_TYPE_INT32: {
        const auto bits = static_cast<uint32_t>(value.number);
        append(&bits, 4);
        break;
    }
    case KVN_TYPE_INT64:
        append(&value.number, 8);
        break;
    case KVN_TYPE_BOOL:
        bytes.push_back(static_cast<char>(value.number));
        break;
    default:
        break;
    }
    return bytes;
}
