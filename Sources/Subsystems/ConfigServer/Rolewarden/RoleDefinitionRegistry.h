// CRoleDefinitionRegistry: the current data of every role definition source of one roles maintainer,
// by source path. Both transformers look roles up here, so a role defined by one source can be used
// by every other source. A role is any direct child of a source's data node; its security tag is the
// string attribute "SecurityTag".
//
// Thread safety: any thread. Lookups take the lock shared and updates exclusive; a roles maintainer
// takes its own lock first, never the other way round.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Common/Sync.h"

#include <map>
#include <string>

// Attribute names of a role definition item.
inline constexpr const wchar_t* RoleDefinitionItemType = L"RoleDefinitionItem";
inline constexpr const wchar_t* SecurityTagAttribute = L"SecurityTag";
inline constexpr const wchar_t* IncludeAttribute = L"Include";
inline constexpr const wchar_t* SupportedObjectTypesAttribute = L"SupportedObjectTypes";

class CRoleDefinitionRegistry {
public:
    // Enters data under sourcePath, replacing what that path held before; empty data removes the
    // path's entry.
    void Update(const std::wstring& sourcePath, const KvNodePtr& data);

    // The first direct child named id, searching the sources in ordinal order of their paths; empty
    // when there is none.
    KvNodePtr FindRoleById(const std::wstring& id) const;
    // The first direct child, searching the sources in ordinal order of their paths and each one's
    // children in order, whose string attribute SecurityTag has the same base (the text before "[")
    // as tagText, compared case-sensitively; empty when there is none.
    KvNodePtr FindRoleBySecurityTag(const std::wstring& tagText) const;

private:
    // Reader-writer: every transformer run makes many lookups, while updates come only with a
    // changed role definition source.
    mutable CSrwLock m_lock;
    std::map<std::wstring, KvNodePtr> m_definitions;
};
