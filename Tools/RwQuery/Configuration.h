// CConfiguration: what rwquery answers from. It reads a tree file and a host file as rwhost does (both in
// the node store's text form), fills a configuration server with the trees, finds the roles
// maintainer's configuration among the host file's components and runs its sources' transformers,
// with an observer when a query needs one.
#pragma once

#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/ConfigProxy.h"
#include "Subsystems/ConfigServer/Rolewarden/TransformObserver.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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
    // where its entries come from. CQueryError when a transformation fails (a required attribute is
    // missing).
    SDocuments Transform(ITransformObserver* observer) const;

    const std::wstring& TreeFile() const noexcept { return m_treeFile; }
    const std::vector<SSource>& Sources() const noexcept { return m_sources; }

private:
    std::wstring m_treeFile;
    InterfacePtr<IKvConfigProxy> m_server;
    std::vector<SSource> m_sources;
};
