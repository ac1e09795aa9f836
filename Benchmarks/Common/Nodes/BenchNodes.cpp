// bench_nodes: figures of the node store and KvNodePtr on a tree of 100,000 nodes with four attributes
// each (a string, two integers and a boolean), ten children per node.
#include "Common/Nodes/NodeSerializer.h"
#include "Interfaces/KvNodeStore.h"

#include <psapi.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr int NodeCount = 100000;
constexpr int FanOut = 10;

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Committed private bytes of the process (Wine fills PagefileUsage, which Windows keeps equal to
// PrivateUsage).
SIZE_T CommittedBytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

// Breadth first: node i has the parent (i - 1) / FanOut.
KvNodePtr BuildTree() {
    std::vector<KvNodePtr> nodes;
    nodes.reserve(NodeCount);
    for (int i = 0; i < NodeCount; ++i) {
        KvNodePtr node = KvNodePtr::Create((L"Node" + std::to_wstring(i)).c_str(), L"BenchNode");
        node.SetString(L"DisplayName", L"Display name of node " + std::to_wstring(i));
        node.SetUInt32(L"Mask", static_cast<uint32_t>(i));
        node.SetInt64(L"Usn", 1000000000000LL + i);
        node.SetBool(L"Enabled", i % 2 == 0);
        if (i > 0)
            nodes[(i - 1) / FanOut].AddChild(node);
        nodes.push_back(std::move(node));
    }
    return nodes[0];
}

// Reads every name, type and attribute; returns the number of nodes seen.
int Walk(const KvNodePtr& root) {
    int seen = 0;
    size_t characters = 0;
    std::vector<KvNodePtr> pending{root};
    while (!pending.empty()) {
        KvNodePtr node = std::move(pending.back());
        pending.pop_back();
        characters += node.GetName().size() + node.GetType().size();
        for (const std::wstring& name : node.GetAttributeNames())
            characters += name.size();
        characters += node.GetString(L"DisplayName").size();
        characters += node.GetInt32(L"Mask") + node.GetInt64(L"Usn") + node.GetBool(L"Enabled") > 0;
        for (KvNodePtr& child : node.GetChildren())
            pending.push_back(std::move(child));
        ++seen;
    }
    return characters > 0 ? seen : 0;
}

void Report(const char* what, double seconds, double perSecond, const char* unit) {
    std::printf("%-44s %10.0f %s/s  (%.3f s)\n", what, perSecond, unit, seconds);
}

} // namespace

int main() {
    try {
        std::printf("tree: %d nodes, 4 attributes each, %d children per node\n", NodeCount, FanOut);
        const SIZE_T before = CommittedBytes();
        auto start = std::chrono::steady_clock::now();
        KvNodePtr root = BuildTree();
        double seconds = Seconds(start);
        const SIZE_T after = CommittedBytes();
        Report("create, set attributes and attach", seconds, NodeCount / seconds, "nodes");

        start = std::chrono::steady_clock::now();
        const int seen = Walk(root);
        seconds = Seconds(start);
        Report("walk: names, types, attributes", seconds, seen / seconds, "nodes");

        start = std::chrono::steady_clock::now();
        KvNodePtr copy = root.Clone();
        seconds = Seconds(start);
        Report("Clone of the whole tree", seconds, NodeCount / seconds, "nodes");

        start = std::chrono::steady_clock::now();
        const bool equal = KvNodePtr::CompareNodes(root, copy);
        seconds = Seconds(start);
        Report(equal ? "CompareNodes of two equal trees" : "CompareNodes (trees differ!)", seconds,
               NodeCount / seconds, "nodes");

        start = std::chrono::steady_clock::now();
        const std::string text = SerializeNodeToString(root, KVN_DEPTH_ALL);
        seconds = Seconds(start);
        const double megabytes = text.size() / 1e6;
        Report("serialize (readable text)", seconds, megabytes / seconds, "MB");

        start = std::chrono::steady_clock::now();
        IKvNode* parsed = nullptr;
        ULONGLONG count = 1;
        const HRESULT hr = KvnParseText(text.data(), text.size(), &parsed, &count, nullptr);
        seconds = Seconds(start);
        KvNodePtr reread(parsed, true);
        Report(hr == S_OK ? "parse the text back" : "parse FAILED", seconds, megabytes / seconds, "MB");

        std::printf("%-44s %10.1f MB\n", "text size", megabytes);
        std::printf("%-44s %10.0f bytes\n", "memory per node (committed bytes)", double(after - before) / NodeCount);
        return equal && hr == S_OK ? 0 : 1;
    } catch (const HRX& error) {
        std::printf("failed: 0x%08lx\n", static_cast<unsigned long>(error.Result()));
        return 1;
    }
}
