// Test support: tables of Kel snippets and the molded values they must give.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "tests/support/kel_eval.h"

namespace kel_test {

inline void expect_cases(std::initializer_list<Case> cases) {
    for (const Case& c : cases) EXPECT_EQ(eval(c.code), c.expected) << "code: " << c.code;
}

}  // namespace kel_test
