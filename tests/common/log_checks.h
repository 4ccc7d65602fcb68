// In every test binary with the log capture, a test fails when the library
// logs an error-priority line during it that the test did not declare. A
// test that provokes error lines says so first:
//   krvtest::allow_error_lines();                       any error line
//   krvtest::allow_error_lines({"Open fifo file error\n"});  only these texts
// The declaration lasts until the test ends. Lines logged between tests (a
// worker of an earlier test still ending) count for no test.
#pragma once

#include <string>
#include <vector>

namespace krvtest {

void allow_error_lines(std::vector<std::string> texts = {});

}  // namespace krvtest
