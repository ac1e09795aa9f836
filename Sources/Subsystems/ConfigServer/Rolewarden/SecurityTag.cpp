// Parsing and writing security tags. The parser works on positions found with find / find_first_of
// only, so any text, however malformed, gives a tag without reading past its end.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"

#include <utility>

namespace {

constexpr std::wstring_view::size_type None = std::wstring_view::npos;

} // namespace

CSecurityTagParameter::CSecurityTagParameter(std::wstring name, bool plain, bool reference, std::wstring value)
    : m_name(std::move(name)), m_plain(plain), m_reference(reference), m_value(std::move(value)) {}

CSecurityTagParameter CSecurityTagParameter::Plain(std::wstring name, std::wstring value) {
    return CSecurityTagParameter(std::move(name), true, false, std::move(value));
}

CSecurityTagParameter CSecurityTagParameter::Reference(std::wstring name, std::wstring value) {
    return CSecurityTagParameter(std::move(name), false, true, std::move(value));
}

CSecurityTagParameter CSecurityTagParameter::Bare(std::wstring name) {
    return CSecurityTagParameter(std::move(name), false, false, std::wstring());
}

void CSecurityTagParameter::AppendTo(std::wstring& text) const {
    text += m_name;
    if (m_plain) {
        text += L"='";
        text += m_value;
        text += L'\'';
    } else if (m_reference) {
        text += L'=';
        text += m_value;
    }
}

CSecurityTag::CSecurityTag(std::wstring_view text) : m_text(text) {
    size_t p = text.find(L'[');
    m_base = text.substr(0, p);
    while (p != None) {
        const size_t nameEnd = text.find_first_of(L";=]", p + 1);
        if (nameEnd == None)
            break;
        std::wstring name(text.substr(p + 1, nameEnd - p - 1));
        p = nameEnd;
        // Two delimiters in a row (as after a quoted value) name nothing.
        if (name.empty())
            continue;
        if (text[p] != L'=') {
            m_parameters.push_back(CSecurityTagParameter::Bare(std::move(name)));
            continue;
        }
        size_t start = p + 1;
        const wchar_t first = start < text.size() ? text[start] : L'\0';
        bool reference = false;
        if (first == L'$') {
            reference = true;
            p = text.find_first_of(L";]", start);
        } else if (first == L'\'') {
            ++start;
            p = text.find(L'\'', start);
        } else {
            p = text.find_first_of(L";]", start);
        }
        // A value without an end leaves only the name.
        if (p == None) {
            m_parameters.push_back(CSecurityTagParameter::Bare(std::move(name)));
            break;
        }
        std::wstring value(text.substr(start, p - start));
        m_parameters.push_back(reference ? CSecurityTagParameter::Reference(std::move(name), std::move(value))
                                         : CSecurityTagParameter::Plain(std::move(name), std::move(value)));
    }
}

std::wstring CSecurityTag::ToString() const {
    if (m_text.empty()) {
        std::wstring text = m_base;
        if (!m_parameters.empty()) {
            text += L'[';
            for (size_t i = 0; i < m_parameters.size(); ++i) {
                if (i > 0)
                    text += L';';
                m_parameters[i].AppendTo(text);
            }
            text += L']';
        }
        m_text = std::move(text);
    }
    return m_text;
}

const CSecurityTagParameter* CSecurityTag::GetParameter(size_t index) const noexcept {
    return index < m_parameters.size() ? &m_parameters[index] : nullptr;
}

void CSecurityTag::SetParameter(const CSecurityTagParameter& parameter) {
    for (CSecurityTagParameter& existing : m_parameters) {
        if (existing.Name() == parameter.Name()) {
            existing = parameter;
            m_text.clear();
            return;
        }
    }
}

bool CSecurityTag::AllParametersEmpty() const noexcept {
    if (m_parameters.empty())
        return false;
    for (const CSecurityTagParameter& parameter : m_parameters) {
        if (!parameter.IsPlain() || !parameter.Value().empty())
            return false;
    }
    return true;
}
