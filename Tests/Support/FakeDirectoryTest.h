// Tests of components that resolve accounts against a CFakeDirectory, and helpers for reading what
// they logged. Only code linked with the module's sources can put the directory in the system's
// place, so these components are created through the test executable's own copy of the module (the
// same sources and binary interfaces as Rolewarden.dll); their records go to
// <test executable name>.log. On top of the component host checks, each test ends with that module
// copy unlocked and every network buffer of the directory freed.
#pragma once

#include "Common/Components/ComponentsModule.h"
#include "Support/ComponentHostTest.h"
#include "Support/FakeDirectory.h"
#include "Support/ModuleLogTail.h"

#include <filesystem>
#include <fstream>
#include <iterator>

class FakeDirectoryTest : public ComponentHostTest {
protected:
    void TearDown() override {
        EXPECT_EQ(CComponentsModule::Instance().LockCount(), 0u) << "a component object of the linked module is still alive";
        EXPECT_TRUE(m_directory.LiveBuffers() == 0 && m_directory.BadFrees() == 0)
            << m_directory.LiveBuffers() << " network buffers not freed, " << m_directory.BadFrees() << " bad frees";
        ComponentHostTest::TearDown();
    }

    // A new component of the linked module copy, asked for interface I.
    template <class I>
    InterfacePtr<I> CreateLinkedComponent(const GUID& classId) {
        InterfacePtr<I> component;
        EXPECT_EQ(CComponentsModule::Instance().CreateInstance(&classId, &InterfaceId<I>::Value, component.PutVoid()), S_OK);
        return component;
    }

    // proxy answers as "ConfigServer.Proxy" in place of the test's server until the test ends.
    static void UseProxy(IComponentBase* proxy) {
        ASSERT_EQ(CLRevokeNamedInstance(L"ConfigServer.Proxy"), S_OK);
        ASSERT_EQ(CLRegisterNamedInstance(L"ConfigServer.Proxy", proxy), S_OK);
    }

    CFakeDirectory m_directory;
};

// A record's message without the indentation of the trace scopes around it.
inline std::wstring MessageOf(const CModuleLogTail::SRecord& record) {
    return record.message.substr(std::min(record.message.find_first_not_of(L' '), record.message.size()));
}

// The WARN and ERR records as "<severity> <message>", a failure's text cut after its HRESULT
// ("... failed: 0x80070534"), since descriptions and addresses vary.
inline std::vector<std::wstring> Problems(const CModuleLogTail& log) {
    std::vector<std::wstring> problems;
    for (const CModuleLogTail::SRecord& record : log.Records()) {
        if (record.severity != L"WARN" && record.severity != L"ERR")
            continue;
        std::wstring message = MessageOf(record);
        if (const size_t failed = message.find(L" failed: 0x"); failed != std::wstring::npos)
            message.resize(std::min(message.size(), failed + 19));
        problems.push_back(record.severity + L" " + message);
    }
    return problems;
}

// True when a record of the severity has a message that starts with text.
inline bool Logged(const CModuleLogTail& log, const std::wstring& severity, const std::wstring& text) {
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    return std::any_of(records.begin(), records.end(),
                       [&](const auto& record) { return record.severity == severity && MessageOf(record).starts_with(text); });
}

// The one tree of Data/<name>, which the build copies beside the test executables.
inline KvNodePtr DataTree(const wchar_t* name) {
    std::ifstream file(std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData" / name, std::ios::binary);
    return ParseTree(std::string(std::istreambuf_iterator<char>(file), {}));
}
