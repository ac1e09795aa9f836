// CConfiguration: what rwquery answers from. It reads a tree file and a host file as rwhost does (both in
// the node store's text form), fills a configuration server with the trees, finds the roles
// maintainer's configuration among the host file's components and runs its sources' transformers,
// with an observer when a query needs one.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Subsystems/ConfigServer/Rolewarden/TransformObserver.h"

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

// The bytes of a file; CQueryError when it cannot be opened.
std::string ReadWholeFile(const std::wstring& path);

// The trees of a file in the node store's text form; CQueryError when it cannot be read or parsed.
std::vector<KvNodePtr> ReadTreeFile(const std::wstring& path);

class CQueryObserver;

class CConfiguration {
public:
    // One source of the roles maintainer: its configuration node, kind (node type) and path, and its
    // data: the subtree at its path, empty when there is none.
    struct SSource {
        KvNodePtr config;
        std::wstring kind;
        std::wstring path;
        KvNodePtr data;
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
    CConfiguration(const CConfiguration&) = delete;
    CConfiguration& operator=(const CConfiguration&) = delete;

    // Runs the sources as the roles maintainer does, each transformer telling observer (may be null)
    // what it does. CQueryError when a transformation fails: a required attribute the observer does not
    // let the run go on without, named by its file, node and source.
    SDocuments Transform(CQueryObserver* observer) const;

    // A registry holding every role definition source's data, entered as the roles maintainer enters it.
    std::shared_ptr<CRoleDefinitionRegistry> MakeRegistry() const;

    const std::wstring& TreeFile() const noexcept { return m_treeFile; }
    const std::vector<SSource>& Sources() const noexcept { return m_sources; }

private:
    std::wstring m_treeFile;
    std::wstring m_hostFile;
    // The host file's trees, as the sources keep their data: a node's path runs through its parents only
    // while they live.
    std::vector<KvNodePtr> m_hostTrees;
    std::vector<SSource> m_sources;
};

// What the tools hear from the transformers. By default a required attribute that cannot be read fails
// the run, and the observer remembers it, so that the failure can be named; an observer that lets runs go
// on overrides OnMissingAttribute.
class CQueryObserver : public ITransformObserver {
public:
    bool OnMissingAttribute(const KvNodePtr& node, const wchar_t* attribute, const HRX& error) override;

    // The source whose transformer runs now.
    const CConfiguration::SSource& Source() const noexcept { return *m_source; }

private:
    friend class CConfiguration;

    const CConfiguration::SSource* m_source = nullptr;
    std::wstring m_failedPath;
    const wchar_t* m_failedAttribute = nullptr;
};
