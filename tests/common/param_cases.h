// Parameterised cases with readable names, so that each case passes or
// fails on its own and reports as Suite/Test/<name>:
//   struct ReadCase { const char* name; ... };
//   KRV_CASE_SUITE(Reads, ControlChannel, ReadCase);   the suite's fixture
//   TEST_P(Reads, Something) { ... c.name ... }        c: the case
//   INSTANTIATE_TEST_SUITE_P(All, Reads, ::testing::Values(...), krvtest::CaseName());
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

// GoogleTest prints a parameter it has no printer for as its bytes, padding
// included (which Valgrind rightly calls uninitialised): a case prints as
// its name instead. In the case's own namespace.
#define KRV_PRINT_BY_NAME(Case) \
    [[maybe_unused]] void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The fixture `Suite` runs the cases of type `Case` on `Fixture`.
#define KRV_CASE_SUITE(Suite, Fixture, Case) \
    KRV_PRINT_BY_NAME(Case)                  \
    using Suite = krvtest::WithCases<Fixture, Case>

namespace krvtest {

template <class Fixture, class Case>
class WithCases : public Fixture, public ::testing::WithParamInterface<Case> {
  protected:
    const Case& c = ::testing::WithParamInterface<Case>::GetParam();
};

struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

}  // namespace krvtest
