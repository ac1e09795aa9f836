// Error records: the text of a failure, the COM error information handed to the host at a boundary,
// and the reading back of that information when a failure comes from another component of this
// module.
#include "Common/ErrorHandling.h"

#include "Common/Logging.h"
#include "Common/StringHelpers.h"

#include <cstring>
#include <cwchar>

namespace {

// Owns one reference to a COM interface.
template <class I>
class CComRef {
public:
    CComRef() noexcept = default;
    ~CComRef() {
        if (m_pointer)
            m_pointer->Release();
    }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;

    I* Get() const noexcept { return m_pointer; }
    I* operator->() const noexcept { return m_pointer; }
    // For out-parameters; only on an empty owner.
    [[nodiscard]] I** Put() noexcept { return &m_pointer; }

private:
    I* m_pointer = nullptr;
};

// Owns a BSTR handed out by a COM call.
class CBstr {
public:
    CBstr() noexcept = default;
    ~CBstr() { SysFreeString(m_value); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    const wchar_t* Get() const noexcept { return m_value; }
    [[nodiscard]] BSTR* Put() noexcept { return &m_value; }

private:
    BSTR m_value = nullptr;
};

// Reads the text ToString wrote: a number (any base prefix), then after one blank the description,
// with the location in a final "[...]". False when the text does not start with a number.
bool ParseOwnText(const wchar_t* text, SErrorRecord& record) {
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text, &end, 0);
    if (end == text)
        return false;
    record.result = static_cast<HRESULT>(number);
    if (*end != L' ')
        return true;
    std::wstring rest(end + 1);
    if (rest.size() > 1 && rest.back() == L']') {
        const size_t open = rest.rfind(L'[');
        if (open != std::wstring::npos) {
            record.location = rest.substr(open + 1, rest.size() - open - 2);
            rest.resize(open);
            TrimRight(rest);
        }
    }
    record.description = std::move(rest);
    return true;
}

// Installs error information with text and the marker GUID as the thread's. A step that fails skips
// the later ones; whatever was obtained by then is installed.
void InstallErrorInfo(const std::wstring& text) {
    CComRef<ICreateErrorInfo> create;
    CComRef<IErrorInfo> info;
    if (CreateErrorInfo(create.Put()) >= 0 &&
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(info.Put())) >= 0 &&
        create->SetDescription(const_cast<LPOLESTR>(text.c_str())) >= 0) {
        create->SetGUID(ErrorInfoMarkerGuid);
    }
    SetErrorInfo(0, info.Get());
}

} // namespace

std::wstring ToString(const SErrorRecord& record, unsigned omit) {
    std::wstring text;
    if ((omit & OmitNumber) == 0)
        text = FormatText(L"0x%08X ", static_cast<unsigned>(record.result));
    if ((omit & OmitDescription) == 0)
        text += record.description;
    if ((omit & OmitLocation) == 0 && !record.location.empty())
        text += L" [" + record.location + L"]";
    TrimRight(text);
    return text;
}

SErrorRecord ErrorRecordOf(const HRES& error) {
    SErrorRecord record;
    bool parsed = false;
    if (IErrorInfo* info = error.ErrorInfo()) {
        CBstr description;
        if (info->GetDescription(description.Put()) >= 0 && description.Get() != nullptr && *description.Get() != L'\0') {
            GUID guid = {};
            if (info->GetGUID(&guid) >= 0 && IsEqualGUID(guid, ErrorInfoMarkerGuid))
                parsed = ParseOwnText(description.Get(), record);
            else
                record.description = description.Get();
        }
    }
    // Our own text about another failure describes something else.
    if (parsed && record.result != error.Result())
        record = SErrorRecord();
    record.result = error.Result();
    if (record.description.empty())
        record.description = GetErrorDescription(record.result);

    // Captured addresses fill the first entries; a short stack leaves the last ones null.
    void* addresses[HRES::ReturnAddressCount];
    size_t captured = 0;
    while (captured < HRES::ReturnAddressCount && error.ReturnAddress(static_cast<int>(captured)) != nullptr) {
        addresses[captured] = error.ReturnAddress(static_cast<int>(captured));
        ++captured;
    }
    if (captured > 0)
        record.location += (record.location.empty() ? L"" : L";") + AddressListText(addresses, captured, L',');
    return record;
}

std::wstring ToString(const HRES& error, unsigned omit) {
    return ToString(ErrorRecordOf(error), omit);
}

HRESULT ToComResult(const HRES& error) {
    if (error.Failed())
        InstallErrorInfo(ToString(error));
    return error.Result();
}

namespace Detail {

HRESULT ReportBoundaryFailure(const wchar_t* operation, const HRX& error, const std::source_location& where) {
    const std::wstring text = ToString(error);
    if (IsLogEnabled(SevErr)) {
        // Source file names are ASCII; a conversion that could fail has no place in this handler.
        const char* file = where.file_name();
        const std::wstring source(file, file + std::strlen(file));
        WriteLogStatement(SevErr, source.c_str(), where.line(),
                          [&](CLogStream& message) { message << operation << L" failed: " << text; });
    }
    InstallErrorInfo(text);
    return error.Result();
}

} // namespace Detail

std::wstring CurrentExceptionText() {
    try {
        throw;
    } catch (const HRES& error) {
        return ToString(error);
    } catch (const std::exception& error) {
        const char* what = error.what();
        return std::wstring(what, what + std::strlen(what));
    } catch (...) {
        return L"unknown exception";
    }
}
