// The sample's files (samples/config.tree and samples/host.tree), which the build copies beside the
// test executables as RolewardenData/SampleConfig.tree and SampleHost.tree: trees for the server and
// the configurations of the four components.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Interfaces/KvNodeStore.h"
#include "Support/ComponentHostTest.h"
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

// Every tree of a file of the sample; a file that cannot be read fails the test and gives none.
inline std::vector<KvNodePtr> SampleTrees(const wchar_t* file) {
    std::ifstream in(std::filesystem::path(TestExecutablePath()).parent_path() / L"RolewardenData" / file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    IKvNode* roots[8] = {};
    ULONGLONG count = std::size(roots);
    const bool read = KvnParseText(text.data(), text.size(), roots, &count, nullptr) == S_OK;
    EXPECT_TRUE(read) << "cannot read the sample's trees";
    std::vector<KvNodePtr> trees;
    for (ULONGLONG i = 0; read && i < count; ++i)
        trees.emplace_back(roots[i], true);
    return trees;
}

// The configuration of each component of the sample's host file, by class name, with the refreshers'
// interval set to refreshSeconds.
inline std::map<std::wstring, KvNodePtr> SampleConfigs(uint32_t refreshSeconds) {
    std::map<std::wstring, KvNodePtr> configs;
    for (const KvNodePtr& component : SampleTrees(L"SampleHost.tree").at(0).GetChildren()) {
        KvNodePtr config = component.GetChild(0, true).Clone();
        if (config.TryGetAttribute(L"RefreshIntervalS", nullptr, nullptr, nullptr, nullptr))
            config.SetUInt32(L"RefreshIntervalS", refreshSeconds);
        configs.emplace(component.GetString(L"ClassName"), std::move(config));
    }
    return configs;
}

// The component host fixture with the sample's configurations at hand (refreshers every second).
class SampleHostTest : public ComponentHostTest {
protected:
    void SetUp() override {
        ComponentHostTest::SetUp();
        m_configs = SampleConfigs(1);
    }
    void TearDown() override {
        m_configs.clear();
        ComponentHostTest::TearDown();
    }

    std::map<std::wstring, KvNodePtr> m_configs;
};
