// The sample's files (samples/config.tree and samples/host.tree), which the build copies beside the
// test executables as RolewardenData/SampleConfig.tree and SampleHost.tree: trees for the server and
// the configurations of the four components.
#pragma once

#include "Support/ComponentHostTest.h"
#include "Support/DataTrees.h"

#include <map>
#include <string>

// The configuration of each component of the sample's host file, by class name, with the refreshers'
// interval set to refreshSeconds.
inline std::map<std::wstring, KvNodePtr> SampleConfigs(uint32_t refreshSeconds) {
    std::map<std::wstring, KvNodePtr> configs;
    for (const KvNodePtr& component : DataTrees(L"SampleHost.tree").at(0).GetChildren()) {
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
