// Attribute values as the store keeps them: which sizes and contents fit a type code, the lossless
// conversions between codes, and the byte layout handed to readers.
#pragma once

#include "Interfaces/KvNode.h"

#include <string>
#include <string_view>

struct SValue {
    USHORT type = KVN_TYPE_NONE;
    // Integer and boolean codes: the value (code 3 as unsigned, code 4 as signed).
    LONGLONG number = 0;
    // Code 2: the characters without terminator. Code 0x102: each string followed by one NUL.
    std::wstring text;
};

// True for the type codes the store keeps.
bool IsKnownType(USHORT type) noexcept;

// Takes a value in the layout of its type code. E_INVALIDARG when the code is unknown or the size or
// content does not fit it; E_POINTER for a null value with a size.
HRESULT MakeValue(USHORT type, const void* data, ULONG size, SValue& out);

// The value converted to another code, when nothing is lost; otherwise KVN_E_TYPE_MISMATCH.
HRESULT ConvertValue(const SValue& value, USHORT type, SValue& out);

// The bytes of a value in its code's layout. A list read as a list carries one more NUL that ends it
// (closeList), so that a reader can drop one terminator as for any text.
std::string ValueBytes(const SValue& value, bool closeList);

// Calls each(item) for every string of a list value, in order.
template <class Each>
void ForEachListItem(const std::wstring& list, Each each) {
    std::wstring_view rest = list;
    while (!rest.empty()) {
        const size_t end = rest.find(L'\0');
        each(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
}
