// rwhost: runs Rolewarden.dll the way the product's host does. It fills an in-memory configuration
// server from a tree file, makes it reachable as "ConfigServer.Proxy" (and under the storage names the
// host file gives), loads the module, creates and configures the components the host file lists, lets
// them work, releases them, prints the trees they wrote and a summary. It talks to the module only
// through its export and binary interfaces.
//
//     rwhost <tree file> <host file> [<module path>]
//
// Both files are in the node store's text form. The tree file holds top-level nodes named by their
// server paths ("\Config", ...), written to the server with mode 3. The host file holds one "Host" node:
//
//     <node name="Host">
//       <attr name="StorageInstances" code="0x102"><item>LocalStorage</item></attr>  names of the server
//       <attr name="RunSeconds" code="4">8</attr>                how long the components work: 1 to 86400;
//                                                                 the refreshers' first runs come 5 s
//                                                                 after Configure
//       <attr name="PrintPaths" code="0x102"><item>\</item></attr>  trees printed at the end
//       <node name="Roles" type="Component">                     one per component, in creation order
//         <attr name="ClassName" code="2">CRolesMaintainer</attr>  or "ClassId" as {GUID}
//         <node name="Config">...</node>                         child 0: its configuration node
//       </node>
//     </node>
//
// Exit codes: 0 every component configured and the module unlocked at the end; 1 a component could not
// be created or configured, or the module stayed locked; 2 bad input (a file, the host file's content,
// a class the module does not have), with one line on stderr naming the file, the place and the reason.
#include "HostSupport.h"
#include "Interfaces/ModhostHost.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// The paths of a component's configuration under which it writes, by the attribute that names them.
struct SComponentClass {
    const wchar_t* name;
    const GUID* classId;
    // Attributes of the configuration node itself, or of its children when childTargets is set.
    std::vector<const wchar_t*> targets;
    bool childTargets;
};

const SComponentClass g_classes[] = {
    {L"CRolesMaintainer", &CLSID_RolesMaintainer,
     {L"TargetMappingPath", L"TargetUserRolesMappingPath", L"TargetObjectsHierarchyRolesMappingPath"}, true},
    {L"CRoleAssignmentsRefresher", &CLSID_RoleAssignmentsRefresher, {L"FoldersTreeNodePath"}, false},
    {L"CLocalGroupMembershipRefresher", &CLSID_LocalGroupMembershipRefresher, {L"TargetMappingNodePath"}, false},
    {L"CRBACStatusUpdater", &CLSID_RBACStatusUpdater, {L"RBACStatusNodePath"}, false},
};

constexpr const wchar_t* ProxyName = L"ConfigServer.Proxy";
constexpr int64_t MaxRunSeconds = 86400;

constexpr const wchar_t* Usage =
    L"usage: rwhost <tree file> <host file> [<module path>]\n"
    L"\n"
    L"Fills a configuration server from the tree file, loads Rolewarden.dll (beside rwhost, or the\n"
    L"module path), creates and configures the components the host file lists, lets them work for\n"
    L"RunSeconds (1 to 86400), releases them, prints the trees at PrintPaths and, per component, its\n"
    L"Configure result and the documents it wrote. Both files are in the node store's text form.\n"
    L"Exit codes: 0 every component configured and the module unlocked; 1 a component failed or the\n"
    L"module stayed locked; 2 bad input.\n";

// Output in UTF-8 with "\n" line ends, whatever the console: printf-style formatting of wide text.
void Write(FILE* stream, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vector<wchar_t> text(256);
    for (;;) {
        va_list copy;
        va_copy(copy, arguments);
        const int length = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<size_t>(length) < text.size()) {
            text.resize(length);
            break;
        }
        // vswprintf fails alike for a buffer too small and a bad format: give up at a size no line needs.
        if (text.size() >= (1u << 20)) {
            text.clear();
            break;
        }
        text.resize(text.size() * 4);
    }
    va_end(arguments);
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

// Bad input: its text names the file, the place and the reason.
struct SBadInput {
    std::wstring text;
};

// "0x%08X" and the text of the HRESULT: the host's message module beside rwhost for the host's own
// codes, then the system's.
std::wstring ErrorText(HRESULT hr) {
    wchar_t number[16];
    std::swprintf(number, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    static const HMODULE messages = [] {
        wchar_t path[MAX_PATH];
        std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
        return LoadLibraryExW((self.substr(0, self.find_last_of(L'\\') + 1) + L"Faulttext.dll").c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE);
    }();
    wchar_t* text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD length = messages ? FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, messages, hr, 0,
                                             reinterpret_cast<wchar_t*>(&text), 0, nullptr)
                            : 0;
    if (length == 0)
        length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, hr, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring description(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!description.empty() && (iswspace(description.back()) || description.back() == L'.'))
        description.pop_back();
    return std::wstring(number) + L" " + (description.empty() ? L"<no description>" : description);
}

std::vector<CHostNode> ReadTreeFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file)
        throw SBadInput{path + L": cannot be opened"};
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ULONGLONG count = 0;
    KvnTextError error = {};
    HRESULT hr = KvnParseText(text.data(), text.size(), nullptr, &count, &error);
    std::vector<IKvNode*> handles(count);
    if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER))
        hr = KvnParseText(text.data(), text.size(), handles.data(), &count, &error);
    if (hr < 0) {
        throw SBadInput{path + L", line " + std::to_wstring(error.line) + L", column " + std::to_wstring(error.column) + L": " +
                        (error.reason ? error.reason : ErrorText(hr))};
    }
    std::vector<CHostNode> trees;
    for (ULONGLONG i = 0; i < count; ++i)
        trees.push_back(CHostNode::Attach(handles[i]));
    return trees;
}

// The store's text with its line ends as the rest of the output has them: "\n" alone.
HRESULT WriteToStdout(const void* data, ULONG size, void*) {
    std::string text(static_cast<const char*>(data), size);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() ? S_OK : E_FAIL;
}

void PrintTree(IKvConfigProxy* proxy, const std::wstring& path) {
    CHostNode filter = CHostNode::Create(nullptr, L"FilterByPath");
    filter.SetString(L"NodePath", path);
    IKvNode* found = nullptr;
    ULONG count = 0;
    HostCheck(proxy->QueryNodes(filter.Get(), 0, &found, 1, &count));
    const CHostNode tree = CHostNode::Attach(count == 1 ? found : nullptr);
    Write(stdout, L"--- %ls\n", path.c_str());
    if (!tree) {
        Write(stdout, L"(no node)\n");
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
    Write(stdout, L"\n");
}

// One component of the host file, checked before anything runs.
struct SComponent {
    std::wstring name;
    std::wstring className;
    GUID classId{};
    const SComponentClass* known = nullptr;
    CHostNode config;
};

// The host file's settings.
struct SHost {
    std::vector<std::wstring> storageNames;
    int64_t runSeconds = 0;
    std::vector<std::wstring> printPaths;
    std::vector<SComponent> components;
};

SHost ReadHost(const std::wstring& hostFile) {
    std::vector<CHostNode> trees = ReadTreeFile(hostFile);
    if (trees.size() != 1 || trees[0].Name() != L"Host")
        throw SBadInput{hostFile + L": must hold one node named Host"};
    const CHostNode& host = trees[0];
    const auto attribute = [&](const wchar_t* name, const std::wstring& reason) {
        return SBadInput{hostFile + L": Host, attribute " + name + L": " + reason};
    };
    SHost settings;
    USHORT type = 0;
    std::string bytes;
    const auto read = [&](const wchar_t* name, auto body) {
        try {
            body();
        } catch (const CHostError& error) {
            throw attribute(name, ErrorText(error.result));
        }
    };
    read(L"StorageInstances", [&] { settings.storageNames = host.StringList(L"StorageInstances"); });
    if (host.Raw(L"RunSeconds", type, bytes)) {
        const bool whole = type == KVN_TYPE_UINT32 || type == KVN_TYPE_INT32 || type == KVN_TYPE_INT64;
        if (!whole || !host.TryInt64(L"RunSeconds", settings.runSeconds) || settings.runSeconds < 1 ||
            settings.runSeconds > MaxRunSeconds) {
            std::wstring shown;
            if (!host.TryString(L"RunSeconds", shown))
                shown = L"(no text)";
            throw attribute(L"RunSeconds", shown + L" is not a whole number of seconds from 1 to 86400");
        }
    }
    read(L"PrintPaths", [&] { settings.printPaths = host.StringList(L"PrintPaths"); });
    for (const std::wstring& path : settings.printPaths) {
        if (path.empty() || path[0] != L'\\')
            throw attribute(L"PrintPaths", path + L" is not a server path (one starts with a backslash)");
    }
    for (const CHostNode& entry : host.Children()) {
        SComponent component{entry.Name(), {}, {}, nullptr, CHostNode()};
        const std::wstring where = hostFile + L": component " + component.name;
        std::wstring id;
        if (entry.TryString(L"ClassName", component.className)) {
            for (const SComponentClass& cls : g_classes) {
                if (component.className == cls.name) {
                    component.known = &cls;
                    component.classId = *cls.classId;
                }
            }
            if (component.known == nullptr)
                throw SBadInput{where + L": ClassName " + component.className + L" is not a class of the module"};
        } else if (entry.TryString(L"ClassId", id)) {
            if (CLSIDFromString(id.c_str(), &component.classId) != S_OK)
                throw SBadInput{where + L": ClassId " + id + L" is not a {GUID}"};
            component.className = id;
            for (const SComponentClass& cls : g_classes) {
                if (IsEqualGUID(*cls.classId, component.classId)) {
                    component.known = &cls;
                    component.className = cls.name;
                }
            }
        } else {
            throw SBadInput{where + L": neither ClassName nor ClassId"};
        }
        const std::vector<CHostNode> children = entry.Children();
        if (!children.empty())
            component.config = children[0];
        settings.components.push_back(std::move(component));
    }
    return settings;
}

// Notes the path of every node written in a committed transaction.
class CWrittenPaths final : public INodeModifySink {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_references;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override {
        std::lock_guard guard(m_lock);
        if (record != nullptr && record->path != nullptr)
            m_pending.emplace_back(record->path);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override {
        std::lock_guard guard(m_lock);
        if (apply != 0)
            m_written.insert(m_pending.begin(), m_pending.end());
        m_pending.clear();
        return S_OK;
    }
    std::set<std::wstring> Written() {
        std::lock_guard guard(m_lock);
        return m_written;
    }

private:
    std::atomic<ULONG> m_references{1};
    std::mutex m_lock;
    std::vector<std::wstring> m_pending;
    std::set<std::wstring> m_written;
};

bool IsSameOrBelow(const std::wstring& path, const std::wstring& base) {
    return path == base || (path.size() > base.size() && path.compare(0, base.size(), base) == 0 && path[base.size()] == L'\\');
}

// The written paths at or below the paths the component's configuration names as its targets.
std::vector<std::wstring> WrittenBy(const SComponent& component, const std::set<std::wstring>& written) {
    std::vector<std::wstring> targets;
    if (component.known != nullptr && component.config) {
        std::vector<CHostNode> holders{component.config};
        if (component.known->childTargets)
            holders = component.config.Children();
        for (const CHostNode& holder : holders) {
            for (const wchar_t* attribute : component.known->targets) {
                std::wstring target;
                if (holder.TryString(attribute, target))
                    targets.push_back(target);
            }
        }
    }
    std::vector<std::wstring> paths;
    for (const std::wstring& path : written) {
        if (std::any_of(targets.begin(), targets.end(), [&](const std::wstring& target) { return IsSameOrBelow(path, target); }))
            paths.push_back(path);
    }
    return paths;
}

std::wstring ModuleBesideHost() {
    wchar_t path[MAX_PATH];
    std::wstring host(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return host.substr(0, host.find_last_of(L'\\') + 1) + L"Rolewarden.dll";
}

int Run(const std::wstring& treeFile, const std::wstring& hostFile, const std::wstring& modulePath) {
    const SHost host = ReadHost(hostFile);
    const std::vector<CHostNode> trees = ReadTreeFile(treeFile);

    // The configuration server, filled from the tree file.
    CHostRef<IKvConfigProxy> proxy;
    HostCheck(CLCreateConfigServer(&IID_IKvConfigProxy, proxy.Put()));
    for (const CHostNode& tree : trees) {
        IKvNode* nodes[] = {tree.Get()};
        const HRESULT hr = proxy->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1);
        if (hr < 0)
            throw SBadInput{treeFile + L": tree " + tree.Name() + L": the server refuses it: " + ErrorText(hr)};
    }
    std::vector<std::wstring> names = host.storageNames;
    names.insert(names.begin(), ProxyName);
    std::vector<std::wstring> registered;
    // Names registered so far go again when a later one fails.
    struct SRevoke {
        std::vector<std::wstring>& names;
        ~SRevoke() {
            for (const std::wstring& name : names)
                CLRevokeNamedInstance(name.c_str());
        }
    } revoke{registered};
    for (const std::wstring& name : names) {
        const HRESULT hr = CLRegisterNamedInstance(name.c_str(), proxy.Get());
        if (hr < 0)
            throw SBadInput{hostFile + L": Host, attribute StorageInstances: " + name + L" cannot be registered: " + ErrorText(hr)};
        registered.push_back(name);
    }
    Write(stdout, L"Configuration server filled from %ls, reachable as", treeFile.c_str());
    for (const std::wstring& name : names)
        Write(stdout, L" \"%ls\"", name.c_str());
    Write(stdout, L"\n");
    const CHostRef<CWrittenPaths> written = CHostRef<CWrittenPaths>::Attach(new CWrittenPaths());
    GUID cookie{};
    HostCheck(proxy.As<IKvSyncModifySource>()->RegisterSink(written.Get(), &cookie));

    HMODULE module = LoadLibraryW(modulePath.c_str());
    if (module == nullptr)
        throw SBadInput{modulePath + L": cannot be loaded: " + ErrorText(HRESULT_FROM_WIN32(GetLastError()))};
    auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetComponentsModuleObject")));
    IComponentsModule* components = nullptr;
    const HRESULT got = getModuleObject ? getModuleObject(reinterpret_cast<void**>(&components)) : HRESULT_FROM_WIN32(GetLastError());
    if (got < 0)
        throw SBadInput{modulePath + L": no module object: " + ErrorText(got)};
    Write(stdout, L"Loaded %ls\n", modulePath.c_str());

    int exitCode = 0;
    // Per component: what Configure returned, or why it was not called.
    std::vector<std::wstring> results;
    {
        std::vector<CHostRef<IConfigurableComponent>> alive;
        for (const SComponent& entry : host.components) {
            CHostRef<IConfigurableComponent> component;
            HRESULT hr = components->CreateInstance(&entry.classId, &IID_IConfigurableComponent, component.Put());
            if (hr < 0) {
                // A class the module does not have is the host file's mistake; any other failure the
                // component's.
                const bool unknown = hr == CLASS_E_CLASSNOTAVAILABLE || hr == REGDB_E_CLASSNOTREG;
                Write(stderr, L"rwhost: %ls: component %ls: %ls cannot be created: %ls\n", hostFile.c_str(),
                              entry.name.c_str(), entry.className.c_str(), ErrorText(hr).c_str());
                exitCode = std::max(exitCode, unknown ? 2 : 1);
                results.push_back(L"not created: " + ErrorText(hr));
                continue;
            }
            hr = component->Configure(entry.config.Get());
            Write(stdout, L"  %-32ls created, Configure: 0x%08lx\n", entry.className.c_str(), static_cast<unsigned long>(hr));
            if (hr < 0)
                exitCode = std::max(exitCode, 1);
            results.push_back(L"Configure " + ErrorText(hr));
            alive.push_back(std::move(component));
        }
        if (!alive.empty() && host.runSeconds > 0) {
            Write(stdout, L"Letting the components work for %lld s\n", static_cast<long long>(host.runSeconds));
                    Sleep(static_cast<DWORD>(host.runSeconds) * 1000);
        }
        HostCheck(CLWaitForNotifications(proxy.Get(), 10000));
    }
    HostCheck(proxy.As<IKvSyncModifySource>()->UnregisterSink(&cookie));

    for (const std::wstring& path : host.printPaths)
        PrintTree(proxy.Get(), path);

    // The server's subscriptions and sinks hold components too: they go with the server's last reference.
    for (const std::wstring& name : std::exchange(registered, {}))
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
    Write(stdout, L"Components and server released; module locked: %ls\n", locked ? L"yes" : L"no");
    if (locked)
        exitCode = std::max(exitCode, 1);
    else
        FreeLibrary(module);

    Write(stdout, L"Summary:\n");
    const std::set<std::wstring> paths = written->Written();
    for (size_t i = 0; i < host.components.size(); ++i) {
        const SComponent& entry = host.components[i];
        Write(stdout, L"  %ls (%ls): %ls\n", entry.name.c_str(), entry.className.c_str(), results[i].c_str());
        const std::vector<std::wstring> wrote = WrittenBy(entry, paths);
        for (const std::wstring& path : wrote)
            Write(stdout, L"    wrote %ls\n", path.c_str());
        if (wrote.empty())
            Write(stdout, L"    wrote nothing\n");
    }
    return exitCode;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Lines end in "\n" alone, on every system.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--help" || std::wstring(argv[i]) == L"-h") {
            Write(stdout, L"%ls", Usage);
            return 0;
        }
    }
    if (argc < 3 || argc > 4) {
        Write(stderr, L"%ls", Usage);
        return 2;
    }
    try {
        return Run(argv[1], argv[2], argc > 3 ? argv[3] : ModuleBesideHost());
    } catch (const SBadInput& error) {
        Write(stderr, L"rwhost: %ls\n", error.text.c_str());
        return 2;
    } catch (const CHostError& error) {
        Write(stderr, L"rwhost: %ls\n", ErrorText(error.result).c_str());
        return 1;
    }
}
