// bench_transformers: the folder tree security transformer on a folder tree of 100,000 nodes (70,000
// folders and managed-object links, 10,000 "RoleAssignments" containers holding 20,000 role
// assignments over 100 roles), next to one bare walk of the same tree through KvNodePtr that reads
// every name, type and attribute the transformer reads, role lookups included, and to the floor of any
// transformer of this tree: that walk plus building the same output documents through the store's
// interface from a list prepared beforehand. TransformData / floor is the transformer's own cost.
//
// The figures are printed twice: with the default settings (maximum severity DBG, where the
// transformer writes its whole input and output into the log) and, from a child process of this
// program, with GS_Logger_MaxSeverity=INFO.
#include "Common/Logging.h"
#include "Common/Nodes/NodeSerializer.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "BenchTree.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <vector>

using namespace Bench;

namespace {

// Best of this many runs: the machine's own noise is of the order of the differences measured. At DBG
// each run writes some 44 MB of log, so fewer.
constexpr int Runs = 9;
constexpr int DbgRuns = 3;
constexpr const char* ChildFlag = "--info-child";

// An output document as plain data, read before the timed part: what building it must put in the store.
struct SPreparedNode {
    std::wstring name, type;
    std::vector<std::tuple<std::wstring, USHORT, std::string>> attributes; // name, type code, bytes
    std::vector<SPreparedNode> children;
};

SPreparedNode Prepare(const KvNodePtr& node) {
    SPreparedNode prepared{node.GetName(), node.GetType(), {}, {}};
    for (const std::wstring& name : node.GetAttributeNames()) {
        ULONG size = 0;
        USHORT type = 0;
        node.TryGetAttribute(name.c_str(), nullptr, nullptr, &size, &type);
        std::string bytes(size, '\0');
        node.TryGetAttribute(name.c_str(), nullptr, bytes.data(), &size, &type);
        prepared.attributes.emplace_back(name, type, std::move(bytes));
    }
    for (const KvNodePtr& child : node.GetChildren())
        prepared.children.push_back(Prepare(child));
    return prepared;
}

KvNodePtr Build(const SPreparedNode& prepared) {
    KvNodePtr node = KvNodePtr::Create(prepared.name.c_str(), prepared.type.c_str());
    for (const auto& [name, type, bytes] : prepared.attributes)
        ThrowIfFailed(KvnSetAttribute(node.Get(), name.c_str(), type, bytes.empty() ? nullptr : bytes.data(), static_cast<ULONG>(bytes.size())));
    for (const SPreparedNode& child : prepared.children)
        node.AddChild(Build(child));
    return node;
}

uintmax_t LogBytes(const std::wstring& directory) {
    uintmax_t bytes = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ignored))
        bytes += entry.is_regular_file(ignored) ? entry.file_size(ignored) : 0;
    return bytes;
}

int Measure(const wchar_t* settings, const std::wstring& logDirectory) {
    int nodeCount = 0;
    int assignmentCount = 0;
    const KvNodePtr roles = BuildRoles();
    const KvNodePtr tree = BuildTree(nodeCount, assignmentCount);
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    registry->Update(roles.GetPath(), roles);
    KvNodePtr config = KvNodePtr::Create(L"Folders", L"FoldersTreeSource");
    config.SetString(L"TargetUserRolesMappingPath", L"\\Config\\Security\\UserRoles");
    config.SetString(L"TargetObjectsHierarchyRolesMappingPath", L"\\Config\\Security\\ObjectRoles");
    CFolderTreeSecurityTransformer transformer(config, registry);

    std::vector<SPreparedNode> prepared;
    for (const SMappingDocument& document : transformer.TransformData(tree))
        prepared.push_back(Prepare(document.node));

    double walk = 1e9;
    double transform = 1e9;
    double floor = 1e9;
    size_t entries[2] = {};
    size_t characters = 0;
    const uintmax_t logBefore = LogBytes(logDirectory);
    const int runs = IsLogEnabled(SevDbg) ? DbgRuns : Runs;
    for (int run = 0; run < runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        characters += BareWalk(tree, roles);
        walk = std::min(walk, Seconds(start));

        start = std::chrono::steady_clock::now();
        characters += BareWalk(tree, roles);
        for (const SPreparedNode& document : prepared)
            characters += Build(document).GetChildCount();
        floor = std::min(floor, Seconds(start));

        start = std::chrono::steady_clock::now();
        const std::vector<SMappingDocument> output = transformer.TransformData(tree);
        transform = std::min(transform, Seconds(start));
        entries[0] = output.at(0).node.GetChildCount();
        entries[1] = output.at(1).node.GetChildCount();
    }
    const uintmax_t logAfter = LogBytes(logDirectory);

    std::printf("-- %ls\n", settings);
    std::printf("tree: %d nodes, %d role assignments over %d roles; output: %zu user entries, %zu nested entries\n",
                nodeCount, assignmentCount, RoleCount, entries[0], entries[1]);
    std::printf("%-44s %8.3f s\n", (std::string("bare walk through KvNodePtr (best of ") + std::to_string(runs) + ")").c_str(), walk);
    std::printf("%-44s %8.3f s\n", (std::string("TransformData (best of ") + std::to_string(runs) + ")").c_str(), transform);
    std::printf("%-44s %8.3f s\n", (std::string("floor: walk + output built (best of ") + std::to_string(runs) + ")").c_str(), floor);
    std::printf("%-44s %8.2f\n", "ratio TransformData / bare walk", transform / walk);
    std::printf("%-44s %8.2f\n", "ratio TransformData / floor", transform / floor);
    std::printf("%-44s %8.1f MB\n", "log written per TransformData", double(logAfter - logBefore) / runs / 1e6);
    if (IsLogEnabled(SevDbg)) {
        // A node dump in the log next to the store's text form alone, for the input tree.
        double text = 1e9, dump = 1e9;
        for (int run = 0; run < DbgRuns; ++run) {
            auto start = std::chrono::steady_clock::now();
            characters += SerializeNodeToString(tree, KVN_DEPTH_ALL).size();
            text = std::min(text, Seconds(start));
            start = std::chrono::steady_clock::now();
            RW_LOG_DBG(L"Input : " << tree);
            dump = std::min(dump, Seconds(start));
        }
        std::printf("%-44s %8.3f s\n", "text form of the input tree (best of 3)", text);
        std::printf("%-44s %8.3f s\n", "dump of the input tree into the log", dump);
        std::printf("%-44s %8.2f\n", "ratio dump / text form", dump / text);
    }
    return characters > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const bool child = argc > 1 && std::strcmp(argv[1], ChildFlag) == 0;
    // The log goes to a directory of its own; it is read at the first log call, which has not
    // happened yet.
    const std::wstring logDirectory = (std::filesystem::temp_directory_path() / L"rw-bench-transformers" / L"").wstring();
    SetEnvironmentVariableW(L"GS_Logger_Path", logDirectory.c_str());
    std::error_code ignored;
    try {
        if (child)
            return Measure(L"GS_Logger_MaxSeverity=INFO", logDirectory);
        // The DBG run writes some 130 MB of log; what an earlier run left goes first.
        std::filesystem::remove_all(logDirectory, ignored);
        const int result = Measure(L"default settings (maximum severity DBG)", logDirectory);
        return RunChild(L"--info-child", L"GS_Logger_MaxSeverity", L"INFO") | result;
    } catch (const HRX& error) {
        std::printf("failed: 0x%08lx\n", static_cast<unsigned long>(error.Result()));
        return 1;
    }
}
