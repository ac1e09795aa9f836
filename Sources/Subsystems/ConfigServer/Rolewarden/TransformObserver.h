// ITransformObserver: hears from the transformers where each entry of their documents comes from, at
// the place where they add it, so that a tool can explain a document by the transformers' own rules.
// A transformer without an observer does nothing more than test a null pointer.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <string>
#include <string_view>

class ITransformObserver {
public:
    virtual ~ITransformObserver() = default;

    // A user roles entry of document: subject holds tag through the role assignment node assignment,
    // by roleId as written there, on object (the object holding the assignment; empty at the tree's
    // root, where a role gives the bare base of its tag).
    virtual void OnUserTag(const std::wstring& document, const std::wstring& subject, std::wstring_view tag,
                           const KvNodePtr& assignment, const std::wstring& roleId, const KvNodePtr& object) = 0;
    // A nested entry of document: the role node role, in effect at object, gives object the tag
    // objectTag and its child child the tag childTag.
    virtual void OnNestedTag(const std::wstring& document, std::wstring_view objectTag, std::wstring_view childTag,
                             const KvNodePtr& role, const KvNodePtr& object, const KvNodePtr& child) = 0;
    // A role definition entry of document: the role node role, whose tag is tag, includes includedTag,
    // written in its Include as include.
    virtual void OnIncludedTag(const std::wstring& document, const std::wstring& tag, const std::wstring& includedTag,
                               const KvNodePtr& role, const std::wstring& include) = 0;
};
