// ITransformObserver: hears from the transformers where each entry of their documents comes from, and
// where their rules silently give nothing, at the place where they decide it, so that a tool can explain
// a document, or find the configuration that gives less or more than it says, by the transformers' own
// rules. A transformer without an observer does nothing more than test a null pointer.
#pragma once

#include "Common/ErrorHandling.h"
#include "Common/Nodes/KvNodePtr.h"

#include <string>
#include <string_view>

// Why a role assigned below the tree's root gives the assignment's subjects nothing on its object.
enum class ENoTagReason {
    // The role has no SupportedObjectTypes: it gives something only where it is assigned at the root.
    NoSupportedTypes,
    // The role's SupportedObjectTypes do not list the object's node type.
    TypeNotSupported,
    // The object's node type is none of the object kinds, whose names fill a tag parameter.
    NotAnObjectKind,
    // Every parameter of the role's tag comes out plain and empty for the object.
    AllParametersEmpty,
};

class ITransformObserver {
public:
    virtual ~ITransformObserver() = default;

    // Every callback does nothing unless overridden.

    // A user roles entry of document: subject holds tag through the role assignment node assignment,
    // by roleId as written there, on object (the object holding the assignment; empty at the tree's
    // root, where a role gives the bare base of its tag).
    virtual void OnUserTag(const std::wstring& /*document*/, const std::wstring& /*subject*/, std::wstring_view /*tag*/,
                           const KvNodePtr& /*assignment*/, const std::wstring& /*roleId*/, const KvNodePtr& /*object*/) {}
    // A nested entry of document: the role node role, in effect at object, gives object the tag
    // objectTag and its child child the tag childTag.
    virtual void OnNestedTag(const std::wstring& /*document*/, std::wstring_view /*objectTag*/, std::wstring_view /*childTag*/,
                             const KvNodePtr& /*role*/, const KvNodePtr& /*object*/, const KvNodePtr& /*child*/) {}
    // A role definition entry of document: the role node role, whose tag is tag, includes includedTag,
    // written in its Include as include.
    virtual void OnIncludedTag(const std::wstring& /*document*/, const std::wstring& /*tag*/, const std::wstring& /*includedTag*/,
                               const KvNodePtr& /*role*/, const std::wstring& /*include*/) {}

    // The name of object went, as it is, into the parameter of its kind of tag, which document holds.
    virtual void OnObjectNameInTag(const std::wstring& /*document*/, const KvNodePtr& /*object*/, std::wstring_view /*tag*/) {}
    // roleId of assignment names no node of any role definition source: skipped.
    virtual void OnUnknownRole(const std::wstring& /*document*/, const KvNodePtr& /*assignment*/, const std::wstring& /*roleId*/) {}
    // The role node role, which roleId of assignment names, gives nothing on object, for reason.
    virtual void OnRoleGivesNothing(const std::wstring& /*document*/, const KvNodePtr& /*assignment*/,
                                    const std::wstring& /*roleId*/, const KvNodePtr& /*role*/, const KvNodePtr& /*object*/,
                                    ENoTagReason /*reason*/) {}
    // The list attribute of assignment that names its roles or its subjects holds no value: the assignment
    // gives nothing.
    virtual void OnEmptyAssignment(const std::wstring& /*document*/, const KvNodePtr& /*assignment*/, const wchar_t* /*attribute*/) {}
    // include, in the Include of the role node role whose tag is tag, names no node of any role
    // definition source: skipped.
    virtual void OnUnknownInclude(const std::wstring& /*document*/, const KvNodePtr& /*role*/, const std::wstring& /*tag*/,
                                  const std::wstring& /*include*/) {}
    // The required attribute of node cannot be read, and the transformation would fail as a whole with
    // error. True lets the transformer leave out what needed the attribute and go on, so that one run
    // finds every such node; false (the default) fails the run.
    virtual bool OnMissingAttribute(const KvNodePtr& /*node*/, const wchar_t* /*attribute*/, const HRX& /*error*/) { return false; }
};
