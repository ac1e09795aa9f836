// A logger that appends UTF-16LE lines to a file. The file is kept open for KeepOpenInterval
// milliseconds (Logger section, default 5000; 0 opens and closes it for every record) and each record
// is written through a private duplicate of the kept handle, so writers never wait for each other.
// Every (re)open tests the file against LogFileSizeThresholdMB (default 1024, 0 = no limit) and
// starts a new physical file with the header.
//
// Thread safety: Write may be called from any thread. Opening and duplication are serialised by the
// logger's lock; writes go through the duplicate outside it. The file is opened for appending, so
// records never interleave; writes of one process are serialised all the same by a lock of their
// own, because Wine appends by reading the file's size and writing there, so two appends at once
// could land on one offset and a record would be lost.
#pragma once

#include "Common/LogManager.h"
#include "Common/UniqueHandle.h"

#include <cstdint>

class FileLogger final : public ILogger {
public:
    // fileName is a bare file name, placed in the log directory, or a path (it contains "\" or "/").
    // header is written at the start of every new physical file; empty for none.
    FileLogger(std::wstring fileName, std::wstring header);

    void Write(const wchar_t* text, int length) noexcept override;

private:
    struct SFileId {
        DWORD volume;
        std::uint64_t index;
        bool operator==(const SFileId&) const = default;
    };
    static constexpr SFileId NoFileId = {0xFFFFFFFF, ~std::uint64_t{0}};

    CFileHandle ObtainHandle();
    // Called under m_lock.
    CFileHandle OpenLogFile();

    DWORD m_lastOpenTime = 0;
    const std::wstring m_header;
    const std::wstring m_fileName;
    const bool m_nameIsPath;
    CCriticalSection m_lock; // guards everything below and the open logic
    CFileHandle m_cachedHandle;
    SFileId m_lastFileId = NoFileId;
    bool m_tooBigReported = false;
    CSrwLock m_writeLock; // serialises WriteFile calls only
};

// Reverts the calling thread's impersonation for its lifetime, so that the log file is opened with
// the process's identity whoever the thread is impersonating. Restoring that fails ends the process:
// the thread must not go on with the process's rights.
class ImpersonationRevertGuard {
public:
    // With revert false the guard does nothing.
    explicit ImpersonationRevertGuard(bool revert = true) noexcept;
    ~ImpersonationRevertGuard();

    ImpersonationRevertGuard(const ImpersonationRevertGuard&) = delete;
    ImpersonationRevertGuard& operator=(const ImpersonationRevertGuard&) = delete;

private:
    CHandle m_token; // the impersonation token to put back, if one was reverted
};
