// Node dumps for the log. Writing a KvNodePtr into a log statement writes the node store's text of the
// node and its whole subtree:
//
//     RW_LOG_DBG(L"Configuration: " << config);
//
//     Configuration: KvNode[0x000001D2C3A41F30]:
//     <node name="Config" type="Component">
//       <attr name="Password" code="2">********</attr>
//     </node>
//
// Attributes named in the global setting Logger/HiddenNodeTypeAttrs are shown as "********". The value
// lists entries separated by ";", each a node type, ":" and attribute names separated by ",":
//
//     *: Password; Account: Secret, Token
//
// masks "Password" on nodes of every type and "Secret" and "Token" on nodes of type "Account". Masking
// works on a detached copy, made only when a node of the dump carries a listed attribute; the logged
// node is never changed.
//
// Thread safety: the settings are read once per process, safely under concurrent first use, and only
// read afterwards. Each view owns its own handles.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <map>
#include <ostream>
#include <set>
#include <string>

// Node type ("*" for every type) to the names of its attributes that dumps mask. Exact,
// case-sensitive names.
using HiddenNodeAttributes = std::map<std::wstring, std::set<std::wstring>>;

class CNodeLogSettings {
public:
    // Replaces the value of every hidden attribute.
    static constexpr const wchar_t* MaskText = L"********";

    // The process's settings, built on first use from Logger/HiddenNodeTypeAttrs. A malformed value
    // raises HRX with E_INVALIDARG, at this use and every later one.
    static const CNodeLogSettings& Instance();

    // Reads the text form: entries separated by ";" (empty ones skipped); each entry must split at ":"
    // into exactly two non-empty parts (a run of ":" counts as one separator), else E_INVALIDARG; the
    // type and each attribute name are trimmed of blanks, tabs, CR and LF; names are separated by ","
    // and empty ones skipped; entries of one type add to one set.
    static HiddenNodeAttributes Parse(const std::wstring& text);

    const HiddenNodeAttributes& Hidden() const noexcept { return m_hidden; }

    CNodeLogSettings(const CNodeLogSettings&) = delete;
    CNodeLogSettings& operator=(const CNodeLogSettings&) = delete;

private:
    CNodeLogSettings();

    const HiddenNodeAttributes m_hidden;
};

// What a dump shows of a node: the node itself, or a copy with the hidden attributes masked.
class CKvNodeLogView {
public:
    // depth: levels below the node; KVN_DEPTH_ALL for the whole subtree. Store failures raise HRX.
    CKvNodeLogView(const KvNodePtr& node, ULONG depth, const HiddenNodeAttributes& hidden);
    // With the process's settings.
    explicit CKvNodeLogView(const KvNodePtr& node, ULONG depth = KVN_DEPTH_ALL);

    // The node the dump shows: a duplicate of the logged node's handle, or the masked copy.
    const KvNodePtr& Node() const noexcept { return m_node; }
    bool IsMaskedCopy() const noexcept { return m_masked; }

    // "KvNode[0x" + the shown node's handle + "]:", CR LF and TextBody of the store's text of it;
    // "KvNode[<null>]" for an empty pointer.
    std::wstring ToString() const;
    // ToString appended to text.
    void AppendTo(std::wstring& text) const;

    // The store's text without trailing blanks, tabs, CR and LF, and without the "<nr>" ... "</nr>"
    // wrapper and the line breaks inside it; a text without the wrapper is kept whole.
    static std::wstring TextBody(std::wstring text);

private:
    template <class Char>
    static std::basic_string_view<Char> TextBody(std::basic_string_view<Char> text);

    KvNodePtr m_node;
    ULONG m_depth;
    bool m_masked = false;
};

std::wostream& operator<<(std::wostream& stream, const CKvNodeLogView& view);
// A log statement's text of a view (Common/Logging.h), appended without a copy of its own.
void AppendToLog(std::wstring& text, const CKvNodeLogView& view);
