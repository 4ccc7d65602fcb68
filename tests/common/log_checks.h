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

// uinit's "CNL" write gives up when no reader opens the pipe within its
// bound (the control thread busy elsewhere, or slow under Valgrind or a
// sanitizer) and says so at error priority; the cancel it stored ends the
// thread all the same. Fixtures that run uinit with a live control thread
// declare this line.
inline void allow_uinit_write_line() { allow_error_lines({"Open fifo file error\n"}); }

}  // namespace krvtest
