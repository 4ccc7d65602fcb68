// Parameterised cases with readable names: a case struct with a `name`
// field, a fixture WithCases<Fixture, Case>, and CaseName for
// INSTANTIATE_TEST_SUITE_P, so that each case passes or fails on its own
// and reports as Suite/Test/<name>.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace krvtest {

template <class Fixture, class Case>
class WithCases : public Fixture, public ::testing::WithParamInterface<Case> {};

struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

}  // namespace krvtest
