// "navctl status" on the simulated hardware: the ready device, each way a
// check fails, and that looking changes nothing and wakes nobody.
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/file_text.h"
#include "common/log_checks.h"
#include "common/param_cases.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "navctl_status.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

using namespace krvtest;

extern char** environ;

namespace {

constexpr uid_t kNobody = 65534;  // and its group, 65534

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
            // System calls themselves: the interposers may take locks that
            // another thread held at the fork.
            if (reader_uid_ != 0 && (syscall(SYS_setgroups, 0, nullptr) != 0 ||
                                     syscall(SYS_setresgid, reader_uid_, reader_uid_, reader_uid_) != 0 ||
                                     syscall(SYS_setresuid, reader_uid_, reader_uid_, reader_uid_) != 0 ||
                                     // Dumpable again, as after an exec: the user may look at it.
                                     syscall(SYS_prctl, PR_SET_DUMPABLE, 1, 0, 0, 0) != 0))
                _exit(1);
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
    uid_t reader_uid_ = 0;   // the user of the process fifo_read_by_child makes
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
        // Refused by permissions: the node may well be fine, only this
        // user cannot tell.
        FailCase{"sensor_refused", [](NavctlStatus*) { fault_fail_next(Fault::kSensorOpen, 1, EACCES); }, 0,
                 "unknown (needs root), cannot open read-write: Permission denied"},
        FailCase{"sensor_not_permitted", [](NavctlStatus*) { fault_fail_next(Fault::kSensorOpen, 1, EPERM); }, 0,
                 "unknown (needs root), cannot open read-write: Operation not permitted"},
        FailCase{"sensor_busy", [](NavctlStatus*) { fault_fail_next(Fault::kSensorOpen, 1, EBUSY); }, 0,
                 "NOT READY, cannot open read-write: Device or resource busy"},
        FailCase{"input_missing", [](NavctlStatus*) { input_set_present(false); }, 1, "NOT READY, missing"},
        FailCase{"input_refused", [](NavctlStatus*) { fault_fail_next(Fault::kInputOpen, 1, EACCES); }, 1,
                 "unknown (needs root), cannot open read-only: Permission denied"},
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

// ---- navctl itself, run as a program of its own

// How navctl runs: as this test's user (root) or as nobody, and with /proc
// as the test sees it or as Android mounts it (hidepid=2: a user sees only
// its own processes), in a mount namespace of navctl's own.
struct Runner {
    bool nobody = false;
    bool hidepid = false;
};

constexpr int kCannotHide = 125;  // the child could not mount a /proc of its own

struct NavctlRun {
    int status = -1;  // -1: still running after 30 s (killed)
    std::string out, err;
    long ms = 0;  // how long it ran
};

// navctl `args` with `env` added to this test's environment, through sh,
// which takes the emulator prefix of a cross build. Between fork and exec
// the child makes system calls only.
NavctlRun run_navctl(const std::string& args, const std::vector<std::string>& env, const Runner& who) {
    NavctlRun r;
    const TempDir dir("navctl-run");
    if (dir.path().empty()) return r;
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    std::string script = std::string("exec ") + KRV_NAVCTL + " " + args;
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) vars.emplace_back(*e);
    vars.insert(vars.end(), env.begin(), env.end());  // the last of a name wins
    std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), script.data(), nullptr};
    std::vector<char*> envp;
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0) return r;
    if (pid == 0) {
        const long o = syscall(SYS_openat, AT_FDCWD, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const long e = syscall(SYS_openat, AT_FDCWD, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(int(o), 1) < 0 || dup2(int(e), 2) < 0) _exit(126);
        if (who.hidepid &&
            (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=2") != 0))
            _exit(kCannotHide);
        if (who.nobody &&
            (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, kNobody, kNobody, kNobody) != 0 ||
             syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0))
            _exit(126);
        execve("/bin/sh", argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    } else {
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.ms =
        long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A proc mount takes options of its own (hidepid) only from Linux 5.8; an
// older kernel would apply them to every /proc of the machine.
bool proc_mounts_separate() {
    struct utsname u;
    int major = 0, minor = 0;
    return uname(&u) == 0 && sscanf(u.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 8));
}

// Run without root, navctl cannot see what root sees: a check that
// permissions stopped says "unknown (needs root)", never "NOT READY" or
// "unset", and a reader the user cannot see is no proof that none exists.
// The pipe is read by a process of the case's user, the pipe's folder and
// the property store have the case's modes.
struct UserCase {
    const char* name;
    bool hidepid;
    mode_t folder_mode;  // the pipe's folder
    mode_t props_mode;   // the property store's folder
    uid_t reader;        // the user of the process that reads the pipe
    size_t line;         // the line that says it
    const char* want;    // that line after "<what> <path>: " (fnmatch pattern)
};
KRV_CASE_SUITE(WithoutRoot, NavctlStatus, UserCase);

TEST_P(WithoutRoot, SaysWhatItCannotSee) {
#ifdef KRV_TEST_EMULATED
    GTEST_SKIP() << "other users and /proc mounts are not tried under user-mode emulation";
#endif
    if (c.hidepid && !proc_mounts_separate()) GTEST_SKIP() << "this kernel shares one set of /proc options";
    const TempDir base("navctl-users");
    ASSERT_FALSE(base.path().empty());
    ASSERT_EQ(chmod(base.path().c_str(), 0711), 0);
    const std::string folder = base.path() + "/fpdata", props = base.path() + "/props";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(props.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    ASSERT_EQ(chmod(props.c_str(), c.props_mode), 0);
    pipe_ = folder + "/navCtrlPipe";
    reader_uid_ = c.reader;
    fifo_read_by_child();

    const NavctlRun r = run_navctl("--pipe " + pipe_ + " status", {"KRV_PROPERTY_DIR=" + props}, {true, c.hidepid});
    if (r.status == kCannotHide) GTEST_SKIP() << "no /proc of its own can be mounted here";
    ASSERT_NE(r.status, 127) << "nobody cannot run " KRV_NAVCTL;
    EXPECT_EQ(r.status, 1) << r.out << r.err;  // the nodes are missing on a host
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
    const std::string& line = lines[c.line];
    const std::string said = line.substr(line.find(": ") + 2);
    EXPECT_EQ(fnmatch(c.want, said.c_str(), 0), 0) << said << "\nwanted: " << c.want;
    if (c.line != 2) {
        EXPECT_NE(lines[2].find(": ready, "), std::string::npos) << lines[2];
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, WithoutRoot,
    ::testing::Values(
        // As on a device: root's reader is hidden, not absent.
        UserCase{"hidepid", true, 0711, 0755, 0, 2,
                 "unknown (needs root), FIFO of mode 0666, no reader seen, but only root sees every process's "
                 "descriptors"},
        UserCase{"others_descriptors_closed", false, 0711, 0755, 0, 2,
                 "unknown (needs root), FIFO of mode 0666, no reader seen, but /proc/*/fd: Permission denied"},
        // A reader the user can see is a reader.
        UserCase{"hidepid_own_reader", true, 0711, 0755, kNobody, 2,
                 "ready, FIFO of mode 0666, open for reading in pid * (*)"},
        UserCase{"folder_closed", false, 0700, 0755, 0, 2,
                 "unknown (needs root), cannot be looked at: Permission denied"},
        UserCase{"property_closed", false, 0711, 0700, kNobody, 3,
                 "unknown (needs root), cannot be read: Permission denied (kept for the host; navigation runs "
                 "whatever it holds)"}),
    krvtest::CaseName());

// --timeout takes a finite number of seconds from 0 to 86400; anything
// else is a usage error (exit 2) before anything is sent. A value taken is
// waited for: a reader comes at once, or none within it.
struct TimeoutCase {
    const char* name;
    const char* value;
    bool reader;       // a process holds the pipe open for reading
    int status;        // navctl's exit status
    const char* want;  // in its output (stdout when it exits 0, else stderr); {pipe} and {value} filled in
};
KRV_CASE_SUITE(Timeouts, NavctlStatus, TimeoutCase);

TEST_P(Timeouts, OnlyFiniteSecondsUpToADay) {
    if (c.reader) {
        fifo_read_by_child();
    } else {
        ASSERT_EQ(mkfifo(pipe_.c_str(), 0666), 0);
    }
    const NavctlRun r = run_navctl("--timeout '" + std::string(c.value) + "' --pipe " + pipe_ + " stop", {}, {});
    std::string want = c.want;
    for (const auto& [key, text] : {std::pair<std::string, std::string>{"{pipe}", pipe_}, {"{value}", c.value}})
        if (const size_t at = want.find(key); at != std::string::npos) want.replace(at, key.size(), text);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(count(c.status == 0 ? r.out : r.err, want), 1) << r.out << r.err << "wanted: " << want;
    if (c.status == 2) {
        EXPECT_EQ(count(r.err, "usage: navctl"), 1) << r.err;
    }
    if (std::string(c.value) == "0.2") {
        EXPECT_GE(r.ms, 200);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, Timeouts,
    ::testing::Values(
        TimeoutCase{"a_day", "86400", true, 0, "sent STP"},
        TimeoutCase{"a_fifth", "0.2", false, 1, "navctl: no reader opened {pipe} within 0.2 s; nothing sent"},
        TimeoutCase{"over_a_day", "86401", true, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"e13", "1e13", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"e16", "1e16", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"inf", "inf", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"nan", "nan", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"negative", "-1", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""},
        TimeoutCase{"empty", "", false, 2, "navctl: --timeout takes seconds from 0 to 86400, not \"{value}\""}),
    krvtest::CaseName());

}  // namespace
