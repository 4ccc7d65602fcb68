// "navctl status" on the simulated hardware: the ready device, each way a
// check fails, and that looking changes nothing and wakes nobody.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/log_checks.h"
#include "common/param_cases.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "navctl_status.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

using namespace krvtest;

namespace {

struct Status {
    bool ready = false;
    std::vector<std::string> lines;
};

Status run_status(const std::string& pipe, const char* proc = "/proc") {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    krvtools::StatusOptions options;
    options.pipe = pipe.c_str();
    options.proc = proc;
    Status s;
    s.ready = krvtools::print_status(options, out);
    fclose(out);
    std::istringstream in(std::string(text, size));
    free(text);
    for (std::string line; std::getline(in, line);) s.lines.push_back(line);
    return s;
}

std::string own_comm() {
    std::ifstream in("/proc/self/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

const std::string kSensorReady = "sensor node /dev/kvs508: ready, opens read-write";
const std::string kPanelReady =
    "input node /dev/input/event2: ready, \"krv simulated touch panel\" declares KEY_LEFT KEY_RIGHT KEY_BACK "
    "KEY_HOMEPAGE BTN_TOUCH ABS_MT_POSITION_X ABS_MT_POSITION_Y ABS_MT_TRACKING_ID";
const char* const kPropertyNote = " (kept for the host; navigation runs whatever it holds)";

// Members are public: the cases arrange them.
class NavctlStatus : public ::testing::Test {
  public:
    void SetUp() override {
        sensor_reset();
        clear_logs();
        setenv("KRV_PROPERTY_DIR", props_.path().c_str(), 1);
        pipe_ = pipe_real_path();
    }
    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        unsetenv("KRV_PROPERTY_DIR");
        sensor_reset();
    }

    // A FIFO at the pipe's place that another process has open for
    // reading, as the library's control thread would.
    void fifo_read_by_child() {
        ASSERT_EQ(mkfifo(pipe_.c_str(), 0666), 0);
        ASSERT_EQ(chmod(pipe_.c_str(), 0666), 0);
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            // The system call itself: the interposers may take locks that
            // another thread held at the fork.
            const long fd = syscall(SYS_openat, AT_FDCWD, pipe_.c_str(), O_RDONLY | O_NONBLOCK);
            const char ok = fd >= 0 ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            pause();
            _exit(0);
        }
        ::close(ready[1]);
        char ok = 0;
        ASSERT_EQ(::read(ready[0], &ok, 1), 1);
        ::close(ready[0]);
        ASSERT_EQ(ok, 'y');
    }

    TempDir props_{"krv-status-props"};
    std::string pipe_;
    std::string fake_proc_;  // a /proc stand-in, when a case makes one
    pid_t child_ = -1;
};

// The library runs in this process: its control thread holds the pipe
// open for reading, its navigation thread waits armed for a touch. Looking
// wakes neither, arms nothing and writes nothing.
TEST_F(NavctlStatus, ReadyDeviceAndNothingDisturbed) {
    allow_uinit_write_line();
    ASSERT_EQ(krv_nav_core_ctl_setSta(1), 0);
    ASSERT_EQ(krv_nav_core_init(), 0);
    ASSERT_EQ(krv_nav_core_ctl_init(), 0);
    ASSERT_TRUE(armed());
    Status s;
    ASSERT_TRUE(eventually([&] { return (s = run_status(pipe_)).ready; }, 10000)) << ::testing::PrintToString(s.lines);
    ASSERT_TRUE(wait_quiet());
    clear_logs();
    const int fcntls = fault_calls(Fault::kSensorFcntl), opens = input_opens();

    s = run_status(pipe_);
    EXPECT_TRUE(s.ready);
    const std::string reader = "command pipe " + pipe_ + ": ready, FIFO of mode 0666, open for reading in pid " +
                               std::to_string(getpid()) + " (" + own_comm() + ")";
    EXPECT_EQ(s.lines,
              (std::vector<std::string>{kSensorReady, kPanelReady, reader,
                                        std::string("property persist.korrivan.nav: \"enable\"") + kPropertyNote}));
    EXPECT_TRUE(wait_quiet());
    EXPECT_EQ(log_texts(), std::vector<std::string>{}) << "a worker woke";
    EXPECT_EQ(fault_calls(Fault::kSensorFcntl), fcntls) << "the sensor descriptor was armed or changed";
    EXPECT_EQ(sensor_open_count(), 1);
    EXPECT_EQ(sensor_armed_count(), 1);
    EXPECT_EQ(sensor_frame_requests(), 0);
    EXPECT_TRUE(input_wait_drained(10000));
    EXPECT_EQ(input_opens(), opens + 1);
    EXPECT_TRUE(input_packets().empty()) << "something was written to the input node";
    EXPECT_EQ(nav_state(), STATE_RUN);

    EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
    EXPECT_TRUE(workers_gone());
}

struct FailCase {
    const char* name;
    std::function<void(NavctlStatus*)> arrange;  // everything else is ready
    size_t line;                                 // the line that fails
    std::string want;                            // that line after "<what> <path>: "
};
KRV_CASE_SUITE(FailingChecks, NavctlStatus, FailCase);

// Each fault makes its own line fail and the whole status unready; the
// other lines still say ready.
TEST_P(FailingChecks, OneLineSaysWhy) {
    if (c.line != 2) fifo_read_by_child();
    c.arrange(this);
    const Status s = run_status(pipe_, fake_proc_.empty() ? "/proc" : fake_proc_.c_str());
    EXPECT_FALSE(s.ready);
    ASSERT_EQ(s.lines.size(), 4u);
    std::string want = c.want;
    if (const size_t at = want.find("{proc}"); at != std::string::npos) want.replace(at, 6, fake_proc_);
    const std::string& line = s.lines[c.line];
    EXPECT_EQ(line.substr(line.find(": ") + 2), want);
    for (size_t i = 0; i < 3; ++i) {
        if (i == c.line) continue;
        EXPECT_NE(s.lines[i].find(": ready, "), std::string::npos) << s.lines[i];
    }
    EXPECT_EQ(s.lines[3], std::string("property persist.korrivan.nav: unset") + kPropertyNote);
}

INSTANTIATE_TEST_SUITE_P(
    All, FailingChecks,
    ::testing::Values(
        FailCase{"sensor_missing", [](NavctlStatus*) { sensor_set_present(false); }, 0, "NOT READY, missing"},
        FailCase{"sensor_refused", [](NavctlStatus*) { fault_fail_next(Fault::kSensorOpen, 1, EACCES); }, 0,
                 "NOT READY, cannot open read-write: Permission denied"},
        FailCase{"input_missing", [](NavctlStatus*) { input_set_present(false); }, 1, "NOT READY, missing"},
        FailCase{"panel_without_back_key", [](NavctlStatus*) { input_panel_lacks(EV_KEY, KEY_BACK); }, 1,
                 "NOT READY, \"krv simulated touch panel\" lacks KEY_BACK (the input core drops them)"},
        FailCase{"panel_without_axes", [](NavctlStatus*) { input_panel_lacks(0, EV_ABS); }, 1,
                 "NOT READY, \"krv simulated touch panel\" lacks ABS_MT_POSITION_X ABS_MT_POSITION_Y "
                 "ABS_MT_TRACKING_ID (the input core drops them)"},
        FailCase{"pipe_missing", [](NavctlStatus*) {}, 2, "NOT READY, missing (the library's control thread makes it)"},
        FailCase{"pipe_is_a_file", [](NavctlStatus* f) { ::close(::open(f->pipe_.c_str(), O_CREAT | O_WRONLY, 0666)); },
                 2, "NOT READY, not a FIFO but a regular file"},
        FailCase{"pipe_without_reader",
                 [](NavctlStatus* f) {
                     mkfifo(f->pipe_.c_str(), 0600);
                     chmod(f->pipe_.c_str(), 0640);
                 },
                 2, "NOT READY, FIFO of mode 0640, no process has it open for reading"},
        // Another process's descriptors cannot be listed (not root on a
        // device): whether anyone reads the pipe is unknown, and unknown
        // is not ready.
        FailCase{
            "reader_unknown",
            [](NavctlStatus* f) {
                mkfifo(f->pipe_.c_str(), 0666);
                chmod(f->pipe_.c_str(), 0666);
                f->fake_proc_ = f->props_.path() + "/proc";
                mkdir(f->fake_proc_.c_str(), 0755);
                mkdir((f->fake_proc_ + "/1").c_str(), 0755);
                ::close(::open((f->fake_proc_ + "/1/fd").c_str(), O_CREAT | O_WRONLY, 0600));
            },
            2,
            "unknown, FIFO of mode 0666, no reader seen, but {proc}/1/fd: Not a directory (run as root to see all)"}),
    krvtest::CaseName());

}  // namespace
