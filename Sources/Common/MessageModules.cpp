// Loading of the message modules, and the descriptions of HRESULTs with their cache.
#include "Common/MessageModules.h"

#include "Common/Logging.h"
#include "Common/ModuleInfo.h"
#include "Common/StringHelpers.h"

#include <map>

namespace {

// The records about message modules name this source, whichever file writes them.
constexpr const wchar_t* RecordSource = L"Sources\\Common\\ErrorHandling";

constexpr const wchar_t* NoDescription = L"<no description>";

// Interface-specific codes, the only ones the primary message modules are asked for.
constexpr DWORD FirstInterfaceCode = 0x80040200;
constexpr DWORD EndOfInterfaceCodes = 0x80050000;

thread_local bool t_loading = false;

// Marks the calling thread as loading the lists for the lifetime of the object.
class CLoadingMark {
public:
    CLoadingMark() noexcept { t_loading = true; }
    ~CLoadingMark() { t_loading = false; }
    CLoadingMark(const CLoadingMark&) = delete;
    CLoadingMark& operator=(const CLoadingMark&) = delete;
};

// The descriptions found so far, per HRESULT; entries stay for the process's lifetime.
class CDescriptionCache {
public:
    static CDescriptionCache& Instance() {
        static CDescriptionCache cache;
        return cache;
    }

    bool Find(DWORD code, std::wstring& text) {
        // Exclusive even for reading: lookups are rare next to the cost of the text they save.
        auto guard = m_lock.lock();
        const auto found = m_texts.find(code);
        if (found == m_texts.end())
            return false;
        text = found->second;
        return true;
    }

    // Keeps an entry already there.
    void Add(DWORD code, const std::wstring& text) {
        auto guard = m_lock.lock();
        m_texts.emplace(code, text);
    }

private:
    CSrwLock m_lock;
    std::map<DWORD, std::wstring> m_texts;
};

// Created while the DLL loads, so that the first failure does not pay for it.
[[maybe_unused]] const CDescriptionCache& g_descriptionCache = CDescriptionCache::Instance();

// One FormatMessageW lookup in module (null: the system's table), in the user's default language and
// then in any language. Inserts such as "%1" stay as they are written.
bool LookUp(HMODULE module, DWORD code, std::wstring& text) {
    const DWORD source = module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM;
    for (const DWORD language : {static_cast<DWORD>(GetUserDefaultLangID()), DWORD{0}}) {
        CLocalMemory buffer;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source, module,
                                            code, language, reinterpret_cast<LPWSTR>(buffer.Put()), 0, nullptr);
        if (length != 0) {
            text.assign(static_cast<const wchar_t*>(buffer.Get()), length);
            return true;
        }
    }
    return false;
}

bool LookUpIn(const CMessageModules::List& list, DWORD code, std::wstring& text) {
    for (const CModuleHandle& module : list) {
        if (!module)
            break;
        if (LookUp(module.Get(), code, text))
            return true;
    }
    return false;
}

// The description from the tables; withModules false uses the system's table only.
std::wstring Describe(DWORD code, bool withModules) {
    const CMessageModules* modules = withModules ? &CMessageModules::Instance() : nullptr;
    std::wstring text;
    if (modules != nullptr && code >= FirstInterfaceCode && code < EndOfInterfaceCodes && LookUpIn(modules->Primary(), code, text))
        return text;
    const bool win32 = HRESULT_FACILITY(code) == FACILITY_WIN32;
    for (const DWORD candidate : {code, code & 0xFFFF}) {
        if (LookUp(nullptr, candidate, text) || (modules != nullptr && LookUpIn(modules->Fallback(), candidate, text)))
            return text;
        if (!win32)
            break;
    }
    return NoDescription;
}

} // namespace

const CMessageModules& CMessageModules::Instance() {
    static const CMessageModules modules;
    return modules;
}

bool CMessageModules::LoadingOnThisThread() noexcept {
    return t_loading;
}

size_t CMessageModules::Count(const List& list) noexcept {
    size_t count = 0;
    while (count < list.size() && list[count])
        ++count;
    return count;
}

CMessageModules::CMessageModules() {
    CLoadingMark loading;
    try {
        LoadList(GetGlobalStringOr(L"ErrorHandling", L"MessageFile", L"Faulttext.dll"), DirectoryOf(GetModulePath(CurrentModule())),
                 m_primary);
        LoadList(GetGlobalStringOr(L"ErrorHandling", L"FallbackMessageFile", L""), L"", m_fallback);
    } catch (const HRX& error) {
        RW_LOG_AT(SevErr, RecordSource, L"Loading error message module(s) failed: " << static_cast<long>(error.Result()));
    }
}

void CMessageModules::LoadList(const std::wstring& setting, const std::wstring& directory, List& list) {
    size_t filled = Count(list);
    for (const std::wstring& item : SplitSkippingEmpty(setting, L",|;")) {
        const std::wstring path = !directory.empty() && item.find_first_of(L"\\/") == std::wstring::npos ? directory + item : item;
        CModuleHandle module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        if (!module) {
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            RW_LOG_AT(SevErr, RecordSource,
                      L"Loading errormsg module '" << item << L"' failed: " << ToString(SErrorRecord{hr, GetErrorDescription(hr), L""}));
        } else if (filled < list.size()) {
            list[filled++] = std::move(module);
        } else {
            // The module is freed again when it goes out of scope.
            RW_LOG_AT(SevErr, RecordSource, L"Loading errormsg module '" << item << L"' failed: No more slots");
        }
    }
}

std::wstring GetErrorDescription(HRESULT hr) {
    const DWORD code = static_cast<DWORD>(hr);
    CDescriptionCache& cache = CDescriptionCache::Instance();
    std::wstring text;
    if (cache.Find(code, text))
        return text;
    const bool loading = CMessageModules::LoadingOnThisThread();
    text = Describe(code, !loading);
    TrimRight(text, L" .\r\n");
    // A text found while the lists load may lack what a message module would give.
    if (!loading)
        cache.Add(code, text);
    return text;
}
