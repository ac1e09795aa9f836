// CConfiguration: what rwquery answers from. It reads a tree file and a host file as rwhost does (both in
// the node store's text form), fills a configuration server with the trees, finds the roles
// maintainer's configuration among the host file's components and runs its sources' transformers,
// with an observer when a query needs one.
#pragma once

#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/ConfigProxy.h"
#include "Subsystems/ConfigServer/Rolewarden/TransformObserver.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CRoleDefinitionRegistry;

// Bad input: its text names the file, the place and the reason, on one line.
class CQueryError {
public:
    explicit CQueryError(std::wstring text) : m_text(std::move(text)) {}
    const std::wstring& Text() const noexcept { return m_text; }

private:
    std::wstring m_text;
};

// One entry of a security mapping document: its identifier and tags.
struct SEntryText {
    std::wstring id;
    std::vector<std::wstring> tags;
};

// The entries of a mapping document, in order; none for an empty pointer.
std::vector<SEntryText> EntriesOf(const KvNodePtr& document);

// What a required attribute that cannot be read means, in one phrase ("no RoleId").
std::wstring MissingAttributeText(const wchar_t* attribute, const HRX& error);

// The trees of a file in the node store's text form; CQueryError when it cannot be read or parsed.
std::vector<KvNodePtr> ReadTreeFile(const std::wstring& path);

class CConfiguration {
public:
    // One source of the roles maintainer: its configuration node, kind (node type) and path.
    struct SSource {
        KvNodePtr config;
        std::wstring kind;
        std::wstring path;
    };
    // The documents of one run of every source, by mapping name, and which of them are user roles
    // documents.
    struct SDocuments {
        std::map<std::wstring, KvNodePtr> byName;
        std::vector<std::wstring> userRoles;
    };

    // CQueryError for a file that cannot be read, a tree the server refuses, a host file without one
    // "Host" node holding a roles maintainer with a configuration, or a source without SourcePath.
    CConfiguration(const std::wstring& treeFile, const std::wstring& hostFile);
    ~CConfiguration();
    CConfiguration(const CConfiguration&) = delete;
    CConfiguration& operator=(const CConfiguration&) = delete;

    // Runs the sources as the roles maintainer does, each transformer telling observer (may be null)
    // what it does, and onSource (may be empty) which source runs next. CQueryError when a
    // transformation fails: a required attribute the observer does not let the run go on without,
    // named by its file, node and source.
    SDocuments Transform(ITransformObserver* observer, const std::function<void(const SSource&)>& onSource = {}) const;

    // The source's subtree in the server; empty when there is none.
    KvNodePtr Data(const SSource& source) const;
    // A registry holding every role definition source's data, entered as the roles maintainer enters it.
    std::shared_ptr<CRoleDefinitionRegistry> MakeRegistry() const;

    const std::wstring& TreeFile() const noexcept { return m_treeFile; }
    const std::wstring& HostFile() const noexcept { return m_hostFile; }
    const std::vector<SSource>& Sources() const noexcept { return m_sources; }

private:
    std::wstring m_treeFile;
    std::wstring m_hostFile;
    // The host file's trees: a node's path runs through its parents only while they live.
    std::vector<KvNodePtr> m_hostTrees;
    InterfacePtr<IKvConfigProxy> m_server;
    std::vector<SSource> m_sources;
};
