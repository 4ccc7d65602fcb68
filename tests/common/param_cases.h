// Parameterised cases with readable names: a case struct with a `name`
// field, KRV_PRINT_BY_NAME(Case) beside it, a fixture WithCases<Fixture,
// Case>, and CaseName for INSTANTIATE_TEST_SUITE_P, so that each case
// passes or fails on its own and reports as Suite/Test/<name>.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

// GoogleTest prints a parameter it has no printer for as its bytes, padding
// included (which Valgrind rightly calls uninitialised): a case prints as
// its name instead. In the case's own namespace.
#define KRV_PRINT_BY_NAME(Case) \
    [[maybe_unused]] void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

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
