// The binary contract of the built Rolewarden.dll, checked from the outside: interface and class ids,
// slot indices and the layout of a modify record are literal values here, never taken from the headers
// that the module compiles. The module is loaded as the host loads it and called only through its
// export and slot tables; the storage it reads is a table of functions written here in slot order.
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

GUID Id(const wchar_t* text) {
    GUID id{};
    EXPECT_EQ(IIDFromString(text, &id), S_OK) << "not an id";
    return id;
}

const GUID ComponentBase = Id(L"{51C3FBA2-85FE-436B-A0FF-1C61A5C0C585}"), ComponentsModule = Id(L"{989524A9-625D-48C8-AB03-7C084EB5265D}"),
           Configurable = Id(L"{9FD0681A-A35D-48EF-A226-DE3846E19D38}"), ModifySink = Id(L"{C58F7C8C-47FB-490D-AC0F-A6ED5C96ADC8}"),
           NodeModifySink = Id(L"{DB181091-87D3-40CE-AB52-7B2E0E59C84E}"), MappingProvider = Id(L"{14F45622-B5A3-4BB1-A37F-CD998B73941E}"),
           WeakSource = Id(L"{A85AE290-89EE-46E0-9395-3AAB22F29105}"), WeakReference = Id(L"{B114EFFB-7880-43B8-9A2A-40BE1DD57D5E}"),
           Cancelable = Id(L"{45622F80-2F68-4571-BCBC-70651601771B}"), ConfigProxy = Id(L"{8EF91B5E-1B76-4811-8A4F-DFA0328AD473}"),
           SyncSource = Id(L"{35FB6A0B-C2D7-4410-B599-5D84F57E0D37}");

// Calls slot index of the interface at object with args, as the host calls it.
template <class R, class... A>
R Slot(void* object, int index, A... args) {
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<R(STDMETHODCALLTYPE*)(void*, A...)>(table[index])(object, args...);
}
// Rolewarden.dll from beside this executable, as a host loads it, and its one export; none when either is missing.
using GetModule = HRESULT(STDMETHODCALLTYPE*)(void**);
GetModule LoadModule(HMODULE* dll) {
    wchar_t exe[MAX_PATH];
    const std::wstring path(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    *dll = LoadLibraryW((path.substr(0, path.find_last_of(L'\\') + 1) + L"Rolewarden.dll").c_str());
    return *dll ? reinterpret_cast<GetModule>(reinterpret_cast<void*>(GetProcAddress(*dll, "GetComponentsModuleObject"))) : nullptr;
}
ULONG Release(void* object) { return Slot<ULONG>(object, 1); }
HRESULT Query(void* object, const GUID& iid, void** out) { return Slot<HRESULT>(object, 2, &iid, out); }

// A storage with one node to give: it answers slot 7 of the configuration proxy (QueryNodes) with a copy
// of its node, counting the calls, and keeps the sink handed to slot 3 of the synchronous source.
struct SStorage {
    void* const* proxyTable;
    void* const* syncTable;
    IKvNode* node = nullptr;
    int queries = 0;
    void* sink = nullptr;

    static SStorage* Of(void* self, bool sync) {
        return reinterpret_cast<SStorage*>(static_cast<char*>(self) - (sync ? offsetof(SStorage, syncTable) : 0));
    }
    static ULONG STDMETHODCALLTYPE Count(void*) { return 1; }
    static HRESULT STDMETHODCALLTYPE QueryAny(void* self, const GUID* iid, void** out, bool sync) {
        SStorage* storage = Of(self, sync);
        if (IsEqualGUID(*iid, ConfigProxy) || IsEqualGUID(*iid, ComponentBase))
            *out = &storage->proxyTable;
        else if (IsEqualGUID(*iid, SyncSource))
            *out = &storage->syncTable;
        else
            return E_NOINTERFACE;
        return S_OK;
    }
    static HRESULT STDMETHODCALLTYPE QueryProxy(void* self, const GUID* iid, void** out) { return QueryAny(self, iid, out, false); }
    static HRESULT STDMETHODCALLTYPE QuerySync(void* self, const GUID* iid, void** out) { return QueryAny(self, iid, out, true); }
    static HRESULT STDMETHODCALLTYPE Unused() { return E_NOTIMPL; }
    // QueryNodes(filter, reserved, nodes, maxCount, count): one node.
    static HRESULT STDMETHODCALLTYPE QueryNodes(void* self, void*, ULONGLONG, void** nodes, ULONG, ULONG* count) {
        SStorage* storage = Of(self, false);
        ++storage->queries;
        *count = KvnCloneNode(storage->node, KVN_DEPTH_ALL, 0, reinterpret_cast<IKvNode**>(nodes)) == S_OK;
        return S_OK;
    }
    // RegisterSink(sink, cookie): the sink is kept with a reference of the storage's.
    static HRESULT STDMETHODCALLTYPE RegisterSink(void* self, void* sink, GUID* cookie) {
        Slot<ULONG>(sink, 0);
        Of(self, true)->sink = sink;
        *cookie = GUID{};
        return S_OK;
    }
};
void* const ProxySlots[] = {reinterpret_cast<void*>(&SStorage::Count), reinterpret_cast<void*>(&SStorage::Count),
                            reinterpret_cast<void*>(&SStorage::QueryProxy), reinterpret_cast<void*>(&SStorage::Unused),
                            reinterpret_cast<void*>(&SStorage::Unused), reinterpret_cast<void*>(&SStorage::Unused),
                            reinterpret_cast<void*>(&SStorage::Unused), reinterpret_cast<void*>(&SStorage::QueryNodes)};
void* const SyncSlots[] = {reinterpret_cast<void*>(&SStorage::Count), reinterpret_cast<void*>(&SStorage::Count),
                           reinterpret_cast<void*>(&SStorage::QuerySync), reinterpret_cast<void*>(&SStorage::RegisterSink)};

} // namespace

TEST(ModuleEntryTests, BinaryContractFromOutside) {
    HMODULE dll = nullptr;
    const GetModule getModule = LoadModule(&dll);
    ASSERT_NE(getModule, nullptr) << "Rolewarden.dll or its export is missing: " << GetLastError();
    EXPECT_EQ(getModule(nullptr), static_cast<HRESULT>(0x80070057));
    void *module = nullptr, *again = nullptr, *out = nullptr;
    ASSERT_EQ(getModule(&module), S_OK);
    ASSERT_TRUE(getModule(&again) == S_OK && again == module) << "one module object per process";
    EXPECT_TRUE(Slot<ULONG>(module, 0) == 0xFFFFFFFF && Release(module) == 0xFFFFFFFF) << "the module object is not counted";
    EXPECT_EQ(Query(module, ComponentsModule, &again), S_OK);
    ASSERT_EQ(Query(module, ComponentBase, &out), S_OK);
    EXPECT_TRUE(out != module && Query(out, ComponentsModule, &again) == S_OK && again == module) << "the primary interface";
    EXPECT_EQ(Query(module, Configurable, &out), static_cast<HRESULT>(0x80004002));
    BOOL locked = TRUE;
    EXPECT_TRUE(Slot<HRESULT>(module, 3) == S_OK && Slot<HRESULT>(module, 4) == S_OK) << "Reserved, DumpAliveObjects";
    EXPECT_EQ(Slot<HRESULT>(module, 7, static_cast<BOOL*>(nullptr)), static_cast<HRESULT>(0x80004003));
    EXPECT_TRUE(Slot<HRESULT>(module, 7, &locked) == S_OK && !locked);
    EXPECT_TRUE(Slot<ULONG>(module, 5) == 1 && Slot<HRESULT>(module, 7, &locked) == S_OK && locked && Slot<ULONG>(module, 6) == 0);
    const GUID unknown = Id(L"{01234567-89AB-CDEF-0102-030405060708}");
    EXPECT_EQ(Slot<HRESULT>(module, 8, &unknown, &Configurable, &out), static_cast<HRESULT>(0x80040154));

    // Each class by its id, the interfaces it answers, and the first slot of each with what a host may
    // pass that is wrong.
    const GUID all[] = {Configurable, ModifySink, NodeModifySink, MappingProvider, WeakSource, Cancelable};
    const struct {
        const wchar_t* classId;
        std::vector<GUID> answers;
    } classes[] = {{L"{5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20}", {Configurable, ModifySink, NodeModifySink, MappingProvider, WeakSource}},
                   {L"{5E6127B2-284E-4A42-B0E3-788245DF24DA}", {Configurable, Cancelable}},
                   {L"{18D8C8A9-8995-4A0B-8385-77053F3A02FE}", {Configurable, Cancelable}},
                   {L"{49160FC5-F94D-4407-8799-A7083700EC69}", {Configurable, ModifySink}}};
    for (const auto& cls : classes) {
        const GUID classId = Id(cls.classId);
        void* component = nullptr;
        ASSERT_EQ(Slot<HRESULT>(module, 8, &classId, &ComponentBase, &component), S_OK) << cls.classId;
        for (const GUID& iid : all) {
            const bool answers = std::find(cls.answers.begin(), cls.answers.end(), iid) != cls.answers.end();
            void* face = nullptr;
            ASSERT_EQ(Query(component, iid, &face), answers ? S_OK : static_cast<HRESULT>(0x80004002)) << cls.classId;
            if (!answers)
                continue;
            HRESULT hr = S_OK, expected = static_cast<HRESULT>(0x80004003);
            if (IsEqualGUID(iid, Configurable))
                hr = Slot<HRESULT>(face, 3, static_cast<void*>(nullptr));
            else if (IsEqualGUID(iid, ModifySink))
                hr = Slot<HRESULT>(face, 3, static_cast<void*>(nullptr), 1, static_cast<void*>(nullptr));
            else if (IsEqualGUID(iid, NodeModifySink))
                hr = Slot<HRESULT>(face, 3) | Slot<HRESULT>(face, 5) | Slot<HRESULT>(face, 6, 0) | Slot<HRESULT>(face, 4, static_cast<void*>(nullptr));
            else if (IsEqualGUID(iid, MappingProvider))
                hr = Slot<HRESULT>(face, 3, static_cast<void*>(nullptr), 0ULL, static_cast<void*>(nullptr), static_cast<void*>(nullptr)), expected = S_FALSE;
            else if (IsEqualGUID(iid, Cancelable))
                hr = Slot<HRESULT>(face, 3), expected = S_OK;
            else if (IsEqualGUID(iid, WeakSource)) {
                void* weak = nullptr;
                hr = Slot<HRESULT>(face, 3, &weak), expected = S_OK;
                // Resolve(iid, out), then AddObserver(null).
                EXPECT_TRUE(Slot<HRESULT>(weak, 3, &Configurable, &out) == S_OK && Query(weak, WeakReference, &again) == S_OK);
                EXPECT_EQ(Slot<HRESULT>(weak, 4, static_cast<void*>(nullptr)), static_cast<HRESULT>(0x80004003));
                for (void* reference : {out, again, weak})
                    Release(reference);
            }
            EXPECT_EQ(hr, expected) << "the first slot of an interface of " << cls.classId;
            Release(face);
        }
        EXPECT_EQ(Release(component), 0u) << "the last Release gives 0";
    }
    EXPECT_TRUE(Slot<HRESULT>(module, 7, &locked) == S_OK && !locked);
}

// A modify record is the mask (32 bits) at offset 0 and the path's pointer at offset 8: a record for the
// source's path makes the roles maintainer read the source again when the transaction is applied.
TEST(ModuleEntryTests, ModifyRecordLayout) {
    SStorage storage{ProxySlots, SyncSlots};
    ASSERT_EQ(KvnCreateNode(L"\\S", L"SecurityTagMapping", &storage.node), S_OK);
    ASSERT_EQ(CLRegisterNamedInstance(L"ContractStorage", reinterpret_cast<IComponentBase*>(&storage.proxyTable)), S_OK);
    void *module = nullptr, *maintainer = nullptr;
    IKvNode* config = nullptr;
    const std::string text = "<node name=\"C\"><attr name=\"LocalStorageInstance\" code=\"2\">ContractStorage</attr>"
                             "<node name=\"S\" type=\"SecurityMappingSource\"><attr name=\"SourcePath\" code=\"2\">\\S</attr></node></node>";
    ULONGLONG count = 1;
    ASSERT_EQ(KvnParseText(text.data(), text.size(), &config, &count, nullptr), S_OK);
    HMODULE dll = nullptr;
    const GetModule getModule = LoadModule(&dll);
    ASSERT_TRUE(getModule != nullptr && getModule(&module) == S_OK);
    const GUID classId = Id(L"{5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20}");
    ASSERT_EQ(Slot<HRESULT>(module, 8, &classId, &Configurable, &maintainer), S_OK);
    ASSERT_EQ(Slot<HRESULT>(maintainer, 3, config), S_OK);
    ASSERT_TRUE(storage.sink != nullptr && storage.queries == 1) << "the source is read during Configure, the sink registered";

    struct alignas(8) SRecord {
        unsigned char bytes[16] = {};
    };
    const auto notify = [&](ULONG mask, const wchar_t* path, int apply = 1) {
        SRecord record;
        std::memcpy(record.bytes, &mask, 4);
        std::memcpy(record.bytes + 8, &path, sizeof(path));
        EXPECT_EQ(Slot<HRESULT>(storage.sink, 4, &record), S_OK);
        EXPECT_EQ(Slot<HRESULT>(storage.sink, 6, apply), S_OK);
    };
    notify(4, L"\\Other");
    EXPECT_EQ(storage.queries, 1) << "a path that is not the source's";
    notify(4, L"\\S", 0);
    EXPECT_EQ(storage.queries, 1) << "a rolled-back transaction reads nothing";
    notify(4, L"\\S");
    EXPECT_EQ(storage.queries, 2) << "the source's path at offset 8";
    // Once the roles maintainer is gone (its weak reference resolves to nothing), the storage's
    // notifications reach nobody and succeed.
    void *source = nullptr, *weak = nullptr, *strong = nullptr;
    ASSERT_TRUE(Query(maintainer, WeakSource, &source) == S_OK && Slot<HRESULT>(source, 3, &weak) == S_OK);
    Release(source);
    Release(maintainer);
    while (Slot<HRESULT>(weak, 3, &ComponentBase, &strong) == S_OK)
        Release(strong);
    Release(weak);
    EXPECT_EQ(Slot<HRESULT>(storage.sink, 6, 1), S_OK) << "a notification after the roles maintainer is gone";
    KvnCloseNodeHandle(config);
    KvnCloseNodeHandle(storage.node);
    Release(storage.sink);
    ASSERT_EQ(CLRevokeNamedInstance(L"ContractStorage"), S_OK);
    FreeLibrary(dll);
}
