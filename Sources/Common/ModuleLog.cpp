// Registration of the module log at load and its removal at unload.
#include "Common/ModuleLog.h"

#include "Common/FileLogger.h"
#include "Common/ModuleInfo.h"

#include <memory>

namespace {

constexpr const wchar_t* ModuleDescription = L"Rolewarden64";

class CModuleLog {
public:
    CModuleLog() noexcept {
        // Whatever fails here must not keep the module from loading: the module then runs without
        // its log.
        try {
            LogManager* manager = LogManager::Instance();
            if (manager == nullptr)
                return;
            const HMODULE module = CurrentModule();
            m_logger = std::make_unique<FileLogger>(FileStemOf(GetModulePath(module)) + L".log", ModuleBanner(module));
            manager->AddLogger(m_logger.get());
        } catch (...) {
            m_logger.reset();
        }
    }

    ~CModuleLog() {
        if (LogManager* manager = LogManager::Instance(); manager != nullptr && m_logger)
            manager->RemoveLogger(m_logger.get());
    }

    CModuleLog(const CModuleLog&) = delete;
    CModuleLog& operator=(const CModuleLog&) = delete;

private:
    std::unique_ptr<FileLogger> m_logger;
};

const CModuleLog g_moduleLog;

} // namespace

std::wstring ModuleBanner(HMODULE module) {
    const std::wstring rule(100, L'*');
    const std::wstring modulePath = GetModulePath(module);
    std::array<WORD, 4> version = {};
    ReadFileVersion(modulePath, version);
    // PointerText rather than %p: this C runtime prints %p in lower case, every other address of the
    // log is 16 upper-case digits.
    return rule + L"\r\n" +
           FormatText(L"*** Module: %ls (Base: 0x%ls)\r\n*** Version: %d.%d.%d.%d\r\n*** Module description: %ls\r\n"
                      L"*** Process: %ls (Pid: %u)\r\n*** Command line: %ls\r\n",
                      modulePath.c_str(), PointerText(module).c_str(), version[0], version[1], version[2], version[3],
                      ModuleDescription, GetModulePath(nullptr).c_str(), static_cast<unsigned>(GetCurrentProcessId()),
                      GetCommandLineW()) +
           rule + L"\r\n";
}
