// Base fixture of tests that use the node store: after each test the store's live handles, nodes and
// serialization contexts are back where they were, so a test that leaks one fails.
#pragma once

#include "Interfaces/KvNodeStore.h"

#include <gtest/gtest.h>

class NodeStoreTest : public ::testing::Test {
protected:
    static KvnStoreCounters Counters() {
        KvnStoreCounters counters{};
        KvnGetStoreCounters(&counters);
        return counters;
    }

    void SetUp() override { m_before = Counters(); }

    void TearDown() override {
        const KvnStoreCounters after = Counters();
        EXPECT_EQ(after.handles, m_before.handles) << "node handles left open";
        EXPECT_EQ(after.nodes, m_before.nodes) << "nodes left alive";
        EXPECT_EQ(after.serializations, m_before.serializations) << "serialization contexts left open";
    }

    KvnStoreCounters m_before{};
};
