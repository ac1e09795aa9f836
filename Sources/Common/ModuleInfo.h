// Facts about the module this code is linked into and path text helpers built on them. "The module"
// is found from an address inside it, so it is Rolewarden.dll in the product and the test
// executable when a test links the module's object library.
#pragma once

#include "Interfaces/Win32.h"

#include <array>
#include <string>

// The handle of the module that contains this code (no reference added).
HMODULE CurrentModule() noexcept;

// The full path of a loaded module; null gives the process's executable. Raises HRX on failure.
std::wstring GetModulePath(HMODULE module);

// The directory part of a path, up to and including its last "\" or "/" (empty when it has none).
std::wstring DirectoryOf(const std::wstring& path);

// The file name of a path without directory and without extension.
std::wstring FileStemOf(const std::wstring& path);

// path with "\" appended unless it already ends with "\" or "/".
std::wstring WithTrailingSeparator(std::wstring path);

// The four-part file version from the version resource of the file at path; false when the file
// has none.
bool ReadFileVersion(const std::wstring& path, std::array<WORD, 4>& version);
