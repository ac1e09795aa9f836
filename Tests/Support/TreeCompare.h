// The tests' own oracle for trees: it reads two trees through the node store's C functions alone, so
// that a fault of the module's node code (KvNodePtr::CompareNodes among it) cannot hide on both sides
// of a comparison.
#pragma once

#include "Interfaces/KvNode.h"

#include <gtest/gtest.h>

#include <string>

// The first difference between the trees at a and b, in words, or an empty text when they are equal:
// the full paths of the two roots, then for each node its own name, its type (unless types is false),
// its attributes (name, stored type code and bytes, in any order) and its children, in order.
std::string TreeDifference(IKvNode* a, IKvNode* b, bool types = true);

// The same, where a plain answer is wanted (conditions, waits); works with any owner that has Get().
template <class A, class B>
bool IsSameTree(const A& a, const B& b, bool types = true) {
    return TreeDifference(a.Get(), b.Get(), types).empty();
}

// For EXPECT_TRUE(SameTree(a, b)) with the difference in the failure message; works with any owner that
// has Get().
template <class A, class B>
::testing::AssertionResult SameTree(const A& a, const B& b, bool types = true) {
    const std::string difference = TreeDifference(a.Get(), b.Get(), types);
    if (difference.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << difference;
}
