// The file logger and the impersonation revert guard.
#include "Common/FileLogger.h"

#include <cstdlib>
#include <cwchar>

namespace {

constexpr int DefaultKeepOpenInterval = 5000;
constexpr int DefaultSizeThresholdMB = 1024;
constexpr bool RevertImpersonationOnOpen = true;
constexpr int OpenAttempts = 4;
constexpr DWORD SharingViolationDelay = 10;

HRESULT LastErrorResult() {
    return HRESULT_FROM_WIN32(GetLastError());
}

void WriteText(HANDLE file, const wchar_t* text, size_t length) {
    DWORD written = 0;
    if (!WriteFile(file, text, static_cast<DWORD>(length * sizeof(wchar_t)), &written, nullptr))
        ReportInternal(L"FileLogger: cannot write (error: 0x%08x)", LastErrorResult());
}

} // namespace

FileLogger::FileLogger(std::wstring fileName, std::wstring header)
    : m_header(std::move(header)), m_fileName(std::move(fileName)),
      m_nameIsPath(m_fileName.find_first_of(L"\\/") != std::wstring::npos) {}

void FileLogger::Write(const wchar_t* text, int length) noexcept {
    try {
        const CFileHandle file = ObtainHandle();
        if (!file)
            return;
        auto guard = m_writeLock.lock();
        WriteText(file.Get(), text, length < 0 ? std::wcslen(text) : static_cast<size_t>(length));
    } catch (...) {
        // Out of memory while building the path: the record is dropped.
    }
}

CFileHandle FileLogger::ObtainHandle() {
    LogManager* manager = LogManager::Instance();
    if (manager == nullptr)
        return CFileHandle();
    manager->Config().RefreshIfDue();
    int keepOpenInterval = DefaultKeepOpenInterval;
    manager->Config().Section().GetInt(L"KeepOpenInterval", keepOpenInterval);

    auto guard = m_lock.lock();
    if (keepOpenInterval == 0) {
        m_cachedHandle.Reset();
        return OpenLogFile();
    }
    const DWORD now = GetTickCount();
    if (m_lastOpenTime == 0 || now - m_lastOpenTime >= static_cast<DWORD>(keepOpenInterval)) {
        m_lastOpenTime = now;
        m_cachedHandle.Reset();
        m_cachedHandle = OpenLogFile();
    }
    if (!m_cachedHandle)
        return CFileHandle();
    CFileHandle duplicate;
    if (!DuplicateHandle(GetCurrentProcess(), m_cachedHandle.Get(), GetCurrentProcess(), duplicate.Put(), 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        ReportInternal(L"FileLogger: cannot duplicate handle (error: 0x%08x)", LastErrorResult());
        return CFileHandle();
    }
    return duplicate;
}

CFileHandle FileLogger::OpenLogFile() {
    ImpersonationRevertGuard revert(RevertImpersonationOnOpen);
    LogManager* manager = LogManager::Instance();
    if (manager == nullptr)
        return CFileHandle();
    const std::wstring path = m_nameIsPath ? m_fileName : manager->GetLogDirectory() + m_fileName;
    int threshold = DefaultSizeThresholdMB;
    manager->Config().Section().GetInt(L"LogFileSizeThresholdMB", threshold);

    CFileHandle file;
    for (int attempt = 1;; ++attempt) {
        file.Reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION || attempt == OpenAttempts) {
            ReportInternal(L"FileLogger: cannot open log file '%ls' (error: 0x%08x)", path.c_str(), HRESULT_FROM_WIN32(error));
            return CFileHandle();
        }
        Sleep(SharingViolationDelay);
    }

    LARGE_INTEGER size = {};
    const bool sized = GetFileSizeEx(file.Get(), &size) != FALSE;
    if (threshold != 0 && sized && (size.QuadPart >> 20) >= threshold) {
        if (!m_tooBigReported) {
            ReportInternal(L"FileLogger: log file '%ls' is too big (size=%dMB threshold=%dMB)", path.c_str(),
                           static_cast<int>(size.QuadPart >> 20), threshold);
            m_tooBigReported = true;
        }
        return CFileHandle();
    }
    m_tooBigReported = false;

    if (!m_header.empty()) {
        SFileId id = NoFileId;
        BY_HANDLE_FILE_INFORMATION information;
        if (GetFileInformationByHandle(file.Get(), &information))
            id = {information.dwVolumeSerialNumber,
                  (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
        else
            ReportInternal(L"FileLogger: cannot get file id (error: 0x%08x)", LastErrorResult());
        // An empty file is a new one even when it has the identity of the last: file systems give a
        // deleted file's index to the next new file (ext4 under Wine at once), so the identity alone
        // would miss a log file that was deleted or replaced.
        if (id != m_lastFileId || (sized && size.QuadPart == 0)) {
            m_lastFileId = id;
            auto guard = m_writeLock.lock();
            WriteText(file.Get(), m_header.c_str(), m_header.size());
        }
    }
    return file;
}

ImpersonationRevertGuard::ImpersonationRevertGuard(bool revert) noexcept {
    if (!revert)
        return;
    CHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, token.Put())) {
        const DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN) // ERROR_NO_TOKEN: the thread is not impersonating
            ReportInternal(L"ImpersonationRevertGuard: cannot get current thread token (error: 0x%08x)\n", HRESULT_FROM_WIN32(error));
        return;
    }
    if (!SetThreadToken(nullptr, nullptr)) {
        ReportInternal(L"ImpersonationRevertGuard: cannot revert thread token (error: 0x%08x)\n", LastErrorResult());
        return;
    }
    m_token = std::move(token);
}

ImpersonationRevertGuard::~ImpersonationRevertGuard() {
    if (m_token && !SetThreadToken(nullptr, m_token.Get())) {
        ReportInternal(L"ImpersonationRevertGuard: cannot restore token back (error: 0x%08x)\n", LastErrorResult());
        std::abort();
    }
}
