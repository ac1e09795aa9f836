// The small configuration that the component tests share (Data/Components.tree): role definitions
// (Admin includes Viewer), a folder tree with Admin at its root and Viewer on Finance, an external
// security mapping, and a configuration of each component, the roles maintainer's in remote storage.
#pragma once

#include "Support/DataTrees.h"

#include <string>

// A copy of the tree named name: a server tree by its full path, or "Maintainer", "Status",
// "Assignments", "Groups".
inline KvNodePtr ComponentTree(const std::wstring& name) {
    for (const KvNodePtr& tree : DataTrees(L"Components.tree")) {
        if (tree.GetName() == name || tree.GetPath() == name)
            return tree.Clone();
    }
    ADD_FAILURE() << "no tree " << std::string(name.begin(), name.end()) << " in Components.tree";
    return KvNodePtr();
}

// The role definitions with Admin's tag changed.
inline KvNodePtr RolesWithAdminTag(const std::wstring& tag) {
    KvNodePtr roles = ComponentTree(L"\\Config\\Roles");
    roles.GetChildByName(L"Admin", true).SetString(L"SecurityTag", tag);
    return roles;
}

// The folder tree with the subject of the role assignment on Finance changed.
inline KvNodePtr TreeWithSubject(const std::wstring& subject) {
    KvNodePtr tree = ComponentTree(L"\\Config\\Tree");
    tree.FindNode(L"Finance\\RoleAssignments\\A").SetString(L"SubjectId", subject);
    return tree;
}

// The roles maintainer's configuration, in local storage or remote storage, with a role definition
// source and a folder tree source, and when external is true a security mapping source of
// \Config\External.
inline KvNodePtr MaintainerConfig(bool local, bool external = true) {
    KvNodePtr config = ComponentTree(L"Maintainer");
    if (external) {
        KvNodePtr source = KvNodePtr::Create(L"SecurityMappingSource", L"SecurityMappingSource");
        source.SetString(L"SourcePath", L"\\Config\\External");
        config.AddChild(source);
    }
    if (local) {
        config.DeleteAttribute(L"RemoteStorageInstance", true);
        config.SetString(L"LocalStorageInstance", L"Storage");
    }
    return config;
}
