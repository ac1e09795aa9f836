// Owners of kernel handles, registry keys, loaded modules and system-allocated memory. One template, CUniqueHandle<Traits>; the traits say
// which type is held, which value means "none" and how it is closed, because the Win32 API is not
// consistent about it (CreateFileW fails with INVALID_HANDLE_VALUE, OpenThreadToken with null).
#pragma once

#include "Interfaces/Win32.h"

#include <utility>

template <class Traits>
class CUniqueHandle {
public:
    using Type = typename Traits::Type;

    CUniqueHandle() noexcept = default;
    explicit CUniqueHandle(Type value) noexcept : m_value(value) {}
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_value(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    ~CUniqueHandle() { Reset(); }

    Type Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes the held value and takes value instead.
    void Reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(m_value, value);
        if (old != Traits::Invalid())
            Traits::Close(old);
    }

    // Gives up ownership: the caller closes the returned value.
    [[nodiscard]] Type Release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    // For out-parameters of Win32 calls: closes the held value and hands out its storage.
    [[nodiscard]] Type* Put() noexcept {
        Reset();
        return &m_value;
    }

private:
    Type m_value = Traits::Invalid();
};

// Handles that are null when absent, closed by close: tokens, threads, processes, events, registry
// keys, loaded modules, memory the system allocated for the caller (LocalAlloc).
template <class T, auto close>
struct SNullHandleTraits {
    using Type = T;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type value) noexcept { close(value); }
};

// File handles, which CreateFileW reports as INVALID_HANDLE_VALUE when absent.
struct SFileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { CloseHandle(value); }
};

using CHandle = CUniqueHandle<SNullHandleTraits<HANDLE, &CloseHandle>>;
using CFileHandle = CUniqueHandle<SFileHandleTraits>;
using CRegKey = CUniqueHandle<SNullHandleTraits<HKEY, &RegCloseKey>>;
// Loaded modules, message modules among them (LoadLibraryExW).
using CModuleHandle = CUniqueHandle<SNullHandleTraits<HMODULE, &FreeLibrary>>;
// FormatMessageW's buffers.
using CLocalMemory = CUniqueHandle<SNullHandleTraits<HLOCAL, &LocalFree>>;
