// The module log: a FileLogger named after the module's file ("Rolewarden.log" for Rolewarden.dll)
// in the log directory, registered with the log manager by static initialisation when the module
// loads and removed when it unloads. Every new physical log file starts with the module's banner.
#pragma once

#include "Interfaces/Win32.h"

#include <string>

// The banner: the module's path, load address, file version and description, the process's
// executable, id and command line, between two rules of 100 asterisks; CR LF line ends.
std::wstring ModuleBanner(HMODULE module);
