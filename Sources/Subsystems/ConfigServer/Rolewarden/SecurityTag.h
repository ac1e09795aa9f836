// Security tags: short texts that name a permission scope, optionally with named parameters, such as
// stag:Scope[Folder=$Folder;Tenant='A']. The transformers parse the tags of roles, fill parameters in
// for the objects of a folder tree and write the tags out again. A tag keeps the text it was parsed
// from and gives it back unchanged until one of its parameters is changed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// A text starting with this prefix is a security tag written out in full (a role's Include, a
// role assignment's RoleId), as opposed to a role's node name.
inline constexpr std::wstring_view SecurityTagPrefix = L"stag:";

// One parameter of a tag: plain (name='value'), reference (name=$value, the "$" belongs to the value)
// or bare (the name alone).
class CSecurityTagParameter {
public:
    static CSecurityTagParameter Plain(std::wstring name, std::wstring value);
    static CSecurityTagParameter Reference(std::wstring name, std::wstring value);
    static CSecurityTagParameter Bare(std::wstring name);

    const std::wstring& Name() const noexcept { return m_name; }
    const std::wstring& Value() const noexcept { return m_value; }
    bool IsPlain() const noexcept { return m_plain; }
    bool IsReference() const noexcept { return m_reference; }

    // The parameter as it appears in a rebuilt tag text.
    void AppendTo(std::wstring& text) const;
    // True when a plain parameter's text carries value as it is: a quoted value runs to the next quote,
    // and the format has no escape for one inside it.
    static bool CanCarry(std::wstring_view value) noexcept { return value.find(L'\'') == std::wstring_view::npos; }

    bool operator==(const CSecurityTagParameter& other) const = default;

private:
    CSecurityTagParameter(std::wstring name, bool plain, bool reference, std::wstring value);

    std::wstring m_name;
    bool m_plain;
    bool m_reference;
    std::wstring m_value;
};

class CSecurityTag {
public:
    // Parses any text: whatever cannot be read as parameters is left out, nothing is rejected.
    explicit CSecurityTag(std::wstring_view text);

    // Everything before the first "[".
    const std::wstring& GetBase() const noexcept { return m_base; }
    // The parsed text while no parameter has been changed; afterwards the base and the parameters
    // written out again, values of plain parameters quoted.
    std::wstring ToString() const;

    size_t GetParameterCount() const noexcept { return m_parameters.size(); }
    // Null when index is out of range.
    const CSecurityTagParameter* GetParameter(size_t index) const noexcept;
    // Replaces the first parameter of the same name (case-sensitive) with parameter; without one,
    // nothing changes.
    void SetParameter(const CSecurityTagParameter& parameter);
    // True when there is at least one parameter and every one is plain with an empty value.
    bool AllParametersEmpty() const noexcept;

private:
    std::wstring m_base;
    // Empty after a change until ToString writes it again.
    mutable std::wstring m_text;
    std::vector<CSecurityTagParameter> m_parameters;
};
