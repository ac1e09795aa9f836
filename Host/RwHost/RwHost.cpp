// rwhost: runs Rolewarden.dll the way the product's host does. It fills an in-memory configuration
// server from a tree file, makes it reachable as "ConfigServer.Proxy" (and under the storage names the
// host file gives), loads the module, creates and configures the components the host file lists, lets
// them work, releases them and prints the trees they wrote. It talks to the module only through its
// export and binary interfaces.
//
//     rwhost <tree file> <host file> [<module path>]
//
// Both files are in the node store's text form. The tree file holds top-level nodes named by their
// server paths ("\Config", ...), written to the server with mode 3. The host file holds one "Host" node:
//
//     <node name="Host">
//       <attr name="StorageInstances" code="0x102"><item>LocalStorage</item></attr>  names of the server
//       <attr name="RunSeconds" code="4">3</attr>                how long the components work
//       <attr name="PrintPaths" code="0x102"><item>\</item></attr>  trees printed at the end
//       <node name="Roles" type="Component">                     one per component, in creation order
//         <attr name="ClassName" code="2">CRolesMaintainer</attr>  or "ClassId" as {GUID}
//         <node name="Config">...</node>                         child 0: its configuration node
//       </node>
//     </node>
#include "HostSupport.h"
#include "Interfaces/ModhostHost.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct SComponentClass {
    const wchar_t* name;
    const GUID* classId;
};

const SComponentClass g_classes[] = {
    {L"CRolesMaintainer", &CLSID_RolesMaintainer},
    {L"CRoleAssignmentsRefresher", &CLSID_RoleAssignmentsRefresher},
    {L"CLocalGroupMembershipRefresher", &CLSID_LocalGroupMembershipRefresher},
    {L"CRBACStatusUpdater", &CLSID_RBACStatusUpdater},
};

constexpr const wchar_t* ProxyName = L"ConfigServer.Proxy";

std::vector<CHostNode> ReadTreeFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file)
        HostThrow(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ULONGLONG count = 0;
    KvnTextError error = {};
    HRESULT hr = KvnParseText(text.data(), text.size(), nullptr, &count, &error);
    if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
        std::vector<IKvNode*> handles(count);
        hr = KvnParseText(text.data(), text.size(), handles.data(), &count, &error);
        if (hr >= 0) {
            std::vector<CHostNode> trees;
            for (IKvNode* handle : handles)
                trees.push_back(CHostNode::Attach(handle));
            return trees;
        }
    }
    if (hr < 0 && error.reason != nullptr)
        std::fwprintf(stderr, L"rwhost: %ls, line %lu, column %lu: %ls\n", path.c_str(), error.line, error.column,
                      error.reason);
    HostCheck(hr);
    return {};
}

HRESULT WriteToStdout(const void* data, ULONG size, void*) {
    return std::fwrite(data, 1, size, stdout) == size ? S_OK : E_FAIL;
}

void PrintTree(IKvConfigProxy* proxy, const std::wstring& path) {
    CHostNode filter = CHostNode::Create(nullptr, L"FilterByPath");
    filter.SetString(L"NodePath", path);
    IKvNode* found = nullptr;
    ULONG count = 0;
    HostCheck(proxy->QueryNodes(filter.Get(), 0, &found, 1, &count));
    const CHostNode tree = CHostNode::Attach(count == 1 ? found : nullptr);
    std::wprintf(L"--- %ls\n", path.c_str());
    std::fflush(stdout);
    if (!tree) {
        std::wprintf(L"(no node)\n");
        return;
    }
    KvnSerializationContext* context = nullptr;
    HostCheck(KvnStartSerialization(KvnSerializationText, KVN_SERIALIZE_LAYOUT, &WriteToStdout, nullptr, &context));
    IKvNode* nodes[] = {tree.Get()};
    HRESULT hr = KvnSerializeNodes(context, nodes, 1, KVN_DEPTH_ALL);
    if (hr >= 0)
        hr = KvnFinalizeSerialization(context);
    KvnCloseSerializationContext(context);
    HostCheck(hr);
    std::fflush(stdout);
    std::wprintf(L"\n");
}

bool ClassIdOf(const CHostNode& component, GUID& classId, std::wstring& name) {
    if (component.TryString(L"ClassName", name)) {
        for (const SComponentClass& cls : g_classes) {
            if (name == cls.name) {
                classId = *cls.classId;
                return true;
            }
        }
        return false;
    }
    return component.TryString(L"ClassId", name) && CLSIDFromString(name.c_str(), &classId) == S_OK;
}

std::wstring ModuleBesideHost() {
    wchar_t path[MAX_PATH];
    std::wstring host(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return host.substr(0, host.find_last_of(L'\\') + 1) + L"Rolewarden.dll";
}

int Run(const std::wstring& treeFile, const std::wstring& hostFile, const std::wstring& modulePath) {
    std::vector<CHostNode> hostTrees = ReadTreeFile(hostFile);
    if (hostTrees.size() != 1 || hostTrees[0].Name() != L"Host") {
        std::fwprintf(stderr, L"rwhost: %ls must hold one node named Host\n", hostFile.c_str());
        return 2;
    }
    const CHostNode& host = hostTrees[0];

    // The configuration server, filled from the tree file.
    CHostRef<IKvConfigProxy> proxy;
    HostCheck(CLCreateConfigServer(&IID_IKvConfigProxy, proxy.Put()));
    for (const CHostNode& tree : ReadTreeFile(treeFile)) {
        IKvNode* nodes[] = {tree.Get()};
        HostCheck(proxy->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1));
    }
    std::vector<std::wstring> names = host.StringList(L"StorageInstances");
    names.insert(names.begin(), ProxyName);
    for (const std::wstring& name : names)
        HostCheck(CLRegisterNamedInstance(name.c_str(), proxy.Get()));
    std::wprintf(L"Configuration server filled from %ls, reachable as", treeFile.c_str());
    for (const std::wstring& name : names)
        std::wprintf(L" \"%ls\"", name.c_str());
    std::wprintf(L"\n");

    HMODULE module = LoadLibraryW(modulePath.c_str());
    if (module == nullptr)
        HostCheck(HRESULT_FROM_WIN32(GetLastError()));
    auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetComponentsModuleObject")));
    if (getModuleObject == nullptr)
        HostCheck(HRESULT_FROM_WIN32(GetLastError()));
    IComponentsModule* components = nullptr;
    HostCheck(getModuleObject(reinterpret_cast<void**>(&components)));
    std::wprintf(L"Loaded %ls\n", modulePath.c_str());

    int exitCode = 0;
    {
        std::vector<CHostRef<IConfigurableComponent>> alive;
        for (const CHostNode& entry : host.Children()) {
            GUID classId = {};
            std::wstring className;
            if (!ClassIdOf(entry, classId, className)) {
                std::fwprintf(stderr, L"rwhost: component %ls has no known ClassName or ClassId\n", entry.Name().c_str());
                exitCode = 2;
                continue;
            }
            CHostRef<IConfigurableComponent> component;
            HRESULT hr = components->CreateInstance(&classId, &IID_IConfigurableComponent, component.Put());
            if (hr < 0) {
                std::wprintf(L"  %-32ls cannot be created (0x%08lx)\n", className.c_str(), static_cast<unsigned long>(hr));
                continue;
            }
            const std::vector<CHostNode> children = entry.Children();
            const CHostNode config = children.empty() ? CHostNode() : children[0];
            hr = component->Configure(config.Get());
            std::wprintf(L"  %-32ls created, Configure: 0x%08lx\n", className.c_str(), static_cast<unsigned long>(hr));
            if (hr < 0)
                exitCode = 1;
            alive.push_back(std::move(component));
        }

        int32_t runSeconds = 0;
        host.TryInt32(L"RunSeconds", runSeconds);
        if (!alive.empty() && runSeconds > 0) {
            std::wprintf(L"Letting the components work for %d s\n", runSeconds);
            Sleep(static_cast<DWORD>(runSeconds) * 1000);
        }
        HostCheck(CLWaitForNotifications(proxy.Get(), 10000));
    }

    for (const std::wstring& path : host.StringList(L"PrintPaths"))
        PrintTree(proxy.Get(), path);

    // The server's subscriptions and sinks hold components too: they go with the server's last reference.
    for (const std::wstring& name : names)
        CLRevokeNamedInstance(name.c_str());
    proxy.Reset();
    // A worker's run that is under way holds its component, and its thread the module, until the run
    // returns; the module may be unloaded once it answers FALSE.
    BOOL locked = TRUE;
    for (int wait = 0; wait < 3000; ++wait) {
        HostCheck(components->IsLocked(&locked));
        if (!locked)
            break;
        Sleep(10);
    }
    std::wprintf(L"Components and server released; module locked: %ls\n", locked ? L"yes" : L"no");
    if (!locked)
        FreeLibrary(module);
    return exitCode;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: rwhost <tree file> <host file> [<module path>]\n");
        return 2;
    }
    try {
        return Run(argv[1], argv[2], argc > 3 ? argv[3] : ModuleBesideHost());
    } catch (const CHostError& error) {
        std::fwprintf(stderr, L"rwhost: failed with 0x%08lx\n", static_cast<unsigned long>(error.result));
        return 1;
    }
}
