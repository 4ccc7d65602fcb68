// Faults of the sensor, the input node, the command pipe, the property store
// and signals, all injected through the simulated hardware. For each: the
// library survives, its threads stay near idle (no busy loop), it writes a
// bounded number of lines per second, and it works again once the fault
// clears.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log_checks.h"
#include "common/param_cases.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"
#include "support/record_streams.h"

using namespace krvtest;

namespace {

const Blob kStill{20, 50, 20, 20};
const FramePair kSwipeUp = make_pair({20, 10, 20, 20}, {20, 60, 20, 20});
const FramePair kFlagged = make_pair(kStill, kStill, 1);
using krvrec::kKeyRecords;
using krvrec::kSwipeRecords;

// CPU time of both worker threads and the lines written over a span of
// wall-clock time.
class Budget {
  public:
    Budget() : nav_(gFingerprintVarNav.thread), ctl_(gFingerprintVarNavCtl.thread) { restart(); }
    void restart() {
        t0_ = std::chrono::steady_clock::now();
        cpu0_ = cpu();
        lines0_ = logs().size();
    }
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count(); }
    double cpu_share() const { return (cpu() - cpu0_) / 1e3 / seconds(); }
    double lines_per_second() const { return (logs().size() - lines0_) / seconds(); }
    // A busy thread would use a whole core; a quarter is generous for the
    // pauses, the back-offs and a sanitizer's overhead.
    void expect_idle(double max_lines_per_s) const {
        EXPECT_LT(cpu_share(), 0.25) << "worker CPU share over " << seconds() << " s";
        EXPECT_LT(lines_per_second(), max_lines_per_s);
    }

  private:
    double cpu() const { return thread_cpu_ms(nav_) + thread_cpu_ms(ctl_); }
    pthread_t nav_, ctl_;
    std::chrono::steady_clock::time_point t0_;
    double cpu0_ = 0;
    size_t lines0_ = 0;
};

void send_raw(const std::string& bytes) {
    int fd = ::open(pipe_real_path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// Writes raw bytes into the pipe, waiting at most `ms` for a reader.
bool send_within(const std::string& bytes, int ms) {
    int fd = -1;
    eventually(
        [&] {
            fd = ::open(pipe_real_path().c_str(), O_WRONLY | O_NONBLOCK);
            return fd >= 0;
        },
        ms);
    if (fd < 0) return false;
    const bool whole = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return whole;
}

// One touch with these frames injects `records` records (and no more).
void expect_gesture(const FramePair& frames, size_t records) {
    input_clear();
    sensor_set_frames(frames);
    ASSERT_TRUE(armed());
    ASSERT_EQ(touch(), 1);
    EXPECT_EQ(input_wait(records, 5000), records);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(input_packets().size(), records);
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_reset();
        clear_logs();
        allow_uinit_write_line();
        ASSERT_EQ(krv_nav_core_init(), 0);
        ASSERT_TRUE(armed());
    }
    void start_control() {
        ASSERT_EQ(krv_nav_core_ctl_init(), 0);
        ASSERT_TRUE(eventually([] { return access(pipe_real_path().c_str(), F_OK) == 0; }));
    }
    void TearDown() override {
        // The reset removes the pipe under the waiting control thread, and
        // uinit may find no pipe: both say so at error priority. Allowed for
        // the whole test, so the tests that break the pipe on purpose need
        // nothing more.
        allow_error_lines({"Open nav ctl fifo file error\n", "nav ctl fifo file do not not exist\n"});
        sensor_reset();
        clear_logs();
        // Ended as the host ends them: the control thread's end cancels the
        // navigation thread with a wake of its own. No touch is sent, so no
        // SIGIO handler of this test can run late into the next one.
        const bool had_nav = nav_thread();
        if (!ctl_thread()) start_control();
        EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
        EXPECT_TRUE(workers_gone());
        // The threads write their exit trace after letting go of their
        // lock: let them finish it before the next test (or the exit).
        if (had_nav) {
            EXPECT_TRUE(wait_line("--thNavigationFunc"));
        }
        EXPECT_TRUE(wait_line("--thNavigationCtlFunc"));
    }
};

// ------------------------------------------------------------------ EINTR

struct InterruptCase {
    const char* name;
    Fault call;
    const FramePair* frames;
    size_t records;
};
KRV_CASE_SUITE(InterruptedCalls, Faults, InterruptCase);

TEST_P(InterruptedCalls, AreReissuedAndNothingIsLost) {
    const int calls0 = fault_calls(c.call);
    fault_fail_next(c.call, 3, EINTR);
    if (c.call == Fault::kSensorOpen) {
        // Wake the thread for a pass on still frames: the pass's own
        // open of the sensor meets the interruptions. The pass is over
        // once the thread has armed again.
        sensor_set_frames(make_pair(kStill, kStill));
        krv_nav_core_start();
        ASSERT_TRUE(eventually([&] { return fault_calls(c.call) >= calls0 + 3 && sensor_armed_count() == 1; }));
    }
    clear_logs();
    expect_gesture(*c.frames, c.records);
    EXPECT_GE(fault_calls(c.call) - calls0, 4);  // three interrupted calls, then the one that worked
    EXPECT_EQ(count_lines("can't open device"), 0);
    for (auto& l : log_texts()) {
        EXPECT_EQ(l.find("write error"), std::string::npos) << l;
        EXPECT_EQ(l.find("failed"), std::string::npos) << l;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, InterruptedCalls,
                         ::testing::Values(InterruptCase{"sensor_open", Fault::kSensorOpen, &kSwipeUp, kSwipeRecords},
                                           InterruptCase{"frame_request", Fault::kSensorIoctl, &kSwipeUp,
                                                         kSwipeRecords},
                                           InterruptCase{"input_open", Fault::kInputOpen, &kFlagged, kKeyRecords},
                                           InterruptCase{"input_write", Fault::kInputWrite, &kSwipeUp, kSwipeRecords}),
                         krvtest::CaseName());

TEST_F(Faults, InterruptedPipeCallsStillDeliverTheCommand) {
    start_control();
    for (Fault f : {Fault::kPipeOpen, Fault::kPipeRead}) {
        SCOPED_TRACE(f == Fault::kPipeOpen ? "pipe open" : "pipe read");
        krv_nav_core_start();
        ASSERT_TRUE(eventually([] { return nav_state() == STATE_RUN; }));
        fault_fail_next(f, 3, EINTR);
        clear_logs();
        send_raw(std::string("STP\0", 4));
        EXPECT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
        for (auto& l : logs()) EXPECT_NE(l.prio, 6) << l.text;
    }
}

// ------------------------------------------------------ input node writes

struct WriteFaultCase {
    const char* name;
    int err;          // every write fails with this
    size_t short_to;  // or delivers only this many bytes
    size_t want_packets;
    int want_error_lines;
};
KRV_CASE_SUITE(RefusedAndShortInputWrites, Faults, WriteFaultCase);

TEST_P(RefusedAndShortInputWrites, AreNotRetried) {
    if (c.err) fault_fail_next(Fault::kInputWrite, 1000, c.err);
    input_short_writes(c.short_to);
    const int writes0 = fault_calls(Fault::kInputWrite);
    clear_logs();
    input_clear();
    sensor_set_frames(kSwipeUp);
    Budget budget;
    ASSERT_EQ(touch(), 1);
    ASSERT_TRUE(wait_line("-- simulate_Touch_Y"));
    ASSERT_TRUE(wait_line("Nav Running ..."));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // One write per record, whatever its outcome.
    EXPECT_EQ(fault_calls(Fault::kInputWrite) - writes0, static_cast<int>(kSwipeRecords));
    EXPECT_EQ(input_packets().size(), c.want_packets);
    for (auto& p : input_packets()) EXPECT_EQ(p.size, c.short_to);
    EXPECT_EQ(count_lines("-- simulate_Touch_Y write error -1"), c.want_error_lines);
    budget.restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    budget.expect_idle(5);
    // Fault cleared: the next swipe is whole.
    fault_fail_next(Fault::kInputWrite, 0, 0);
    input_short_writes(0);
    expect_gesture(kSwipeUp, kSwipeRecords);
    for (auto& p : input_packets()) EXPECT_EQ(p.size, sizeof(struct input_event));
}

INSTANTIATE_TEST_SUITE_P(Faults, RefusedAndShortInputWrites,
                         ::testing::Values(WriteFaultCase{"queue_full_eagain", EAGAIN, 0, 0,
                                                          static_cast<int>(kSwipeRecords)},
                                           WriteFaultCase{"short_writes", 0, 8, kSwipeRecords, 0}),
                         krvtest::CaseName());

// ------------------------------------------------------------ sensor node

TEST_F(Faults, SensorUnusableAndBack) {
    struct Case {
        const char* name;
        void (*fail)();
        void (*heal)();
    } cases[] = {
        {"node vanishes while armed", [] { sensor_vanish(); }, [] { sensor_set_present(true); }},
        {"arming refused",
         [] {
             fault_fail_next(Fault::kSensorFcntl, 1000000, EINVAL);
             krv_nav_core_start();  // a new wait, and with it a new arming
         },
         [] { fault_fail_next(Fault::kSensorFcntl, 0, 0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sensor_set_frames(make_pair(kStill, kStill));  // a pass the failure causes injects nothing
        input_clear();
        clear_logs();
        Budget budget;
        c.fail();
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        // One attempt a second while it is unusable, each a handful of
        // lines, and no descriptor left open.
        EXPECT_GE(count_lines("can't open device"), 1);
        EXPECT_LE(count_lines("can't open device"), 4);
        EXPECT_EQ(sensor_open_count(), 0);
        budget.expect_idle(20);
        EXPECT_EQ(input_packets().size(), 0u);
        // Back: the thread arms again on its own within its pause.
        c.heal();
        ASSERT_TRUE(armed(3000));
        expect_gesture(kFlagged, kKeyRecords);
    }
}

TEST_F(Faults, BackOffsKeepTheirLengthWhenTheClockStepsBack) {
    // Each thread meets a fault and pauses; the clock steps back an hour
    // meanwhile. Once the fault clears, the thread works again after its
    // 1-s pause, not an hour later.
    struct Case {
        const char* name;
        void (*fail)();
        void (*heal)();
        bool (*works)();
    } cases[] = {
        {"sensor node missing",
         [] {
             sensor_set_present(false);
             krv_nav_core_start();
             ASSERT_TRUE(wait_line("can't open device"));
         },
         [] { sensor_set_present(true); }, [] { return armed(3000); }},
        {"pipe cannot be opened",
         [] {
             fault_fail_next(Fault::kPipeOpen, 1000000, EACCES);
             ASSERT_TRUE(send_within(std::string("XYZ\0", 4), 3000));  // the next read's open fails
             ASSERT_TRUE(wait_line("Open nav ctl fifo file error\n"));
         },
         [] { fault_fail_next(Fault::kPipeOpen, 0, 0); },
         [] {
             return send_within(std::string("STP\0", 4), 3000) && eventually([] { return nav_state() == STATE_STOP; });
         }},
    };
    start_control();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clear_logs();
        clock_stepped_back(3600);
        c.fail();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into the pause
        c.heal();
        EXPECT_TRUE(c.works());
        clock_stepped_back(0);
    }
}

// ----------------------------------------------------------- command pipe

std::string pipe_folder() { return pipe_real_path().substr(0, pipe_real_path().rfind('/')); }

bool pipe_is_fifo() {
    struct stat s;
    return stat(pipe_real_path().c_str(), &s) == 0 && S_ISFIFO(s.st_mode);
}

TEST_F(Faults, PipeDeletedRenamedOrReplacedWhileTheControlThreadWaits) {
    enum class Act { kDelete, kReplace, kRename, kRenameFolder };
    struct Case {
        const char* name;
        Act act;
    } cases[] = {{"deleted", Act::kDelete},
                 {"replaced by a regular file", Act::kReplace},
                 {"renamed away", Act::kRename},
                 {"its folder renamed away and made again", Act::kRenameFolder}};
    start_control();
    const std::string moved_folder = pipe_folder() + ".moved";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(eventually([] { return access(pipe_real_path().c_str(), F_OK) == 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the thread is waiting for a writer
        clear_logs();
        Budget budget;
        switch (c.act) {
            case Act::kDelete:
            case Act::kReplace:
                ASSERT_EQ(unlink(pipe_real_path().c_str()), 0);
                if (c.act == Act::kReplace) {
                    int fd = ::open(pipe_real_path().c_str(), O_CREAT | O_WRONLY, 0600);
                    ASSERT_GE(fd, 0);
                    ::close(fd);
                }
                break;
            case Act::kRename:
                ASSERT_EQ(rename(pipe_real_path().c_str(), (pipe_real_path() + ".moved").c_str()), 0);
                break;
            case Act::kRenameFolder:
                ASSERT_EQ(rename(pipe_folder().c_str(), moved_folder.c_str()), 0);
                ASSERT_EQ(::mkdir(pipe_folder().c_str(), 0700), 0);
                break;
        }
        // The waiting reader notices at once, reports the failed open and
        // pauses between attempts.
        EXPECT_TRUE(wait_line("Open nav ctl fifo file error\n", 1, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        budget.expect_idle(10);
        EXPECT_LE(count_lines("Open nav ctl fifo file error\n"), 4);
        struct stat st;
        ASSERT_EQ(stat(pipe_real_path().c_str(), &st), 0);
        if (c.act == Act::kReplace) {
            EXPECT_TRUE(S_ISREG(st.st_mode));  // another's file is left alone
            unlink(pipe_real_path().c_str());
        }
        unlink((pipe_real_path() + ".moved").c_str());
        unlink((moved_folder + "/navCtrlPipe").c_str());
        rmdir(moved_folder.c_str());
        // The pipe is made again at its path, and commands work again.
        ASSERT_TRUE(eventually(pipe_is_fifo));
        krv_nav_core_start();
        send_raw(std::string("STP\0", 4));
        EXPECT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
    }
    // uinit does not hang on a pipe that vanished under the waiting thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    unlink(pipe_real_path().c_str());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
    EXPECT_TRUE(workers_gone());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(6));
}

// Takes every inotify instance this user may still have (the kernel's
// per-user limit), for as long as it lives.
class InotifyExhausted {
  public:
    InotifyExhausted() {
        for (int i = 0; i < 100000; ++i) {
            const int fd = inotify_init1(IN_CLOEXEC);
            if (fd < 0) {
                exhausted_ = errno == EMFILE;
                break;
            }
            fds_.push_back(fd);
        }
    }
    ~InotifyExhausted() {
        for (int fd : fds_) ::close(fd);
    }
    bool exhausted() const { return exhausted_; }

  private:
    std::vector<int> fds_;
    bool exhausted_ = false;
};

TEST_F(Faults, PipeDeletedWhileNoWatchCanBeSetUp) {
    // No inotify instance left: the reader says once that it cannot watch
    // the pipe and looks at its path once a second instead, so a deletion
    // is still noticed and the pipe made again.
    std::optional<InotifyExhausted> none_left;
    none_left.emplace();
    if (!none_left->exhausted()) GTEST_SKIP() << "the inotify instance limit could not be reached";
    clear_logs();
    start_control();
    ASSERT_TRUE(wait_line("access or mkfifo nav ctl success\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Budget budget;
    ASSERT_EQ(unlink(pipe_real_path().c_str()), 0);
    EXPECT_TRUE(wait_line("Open nav ctl fifo file error\n", 1, 3000));
    ASSERT_TRUE(eventually(pipe_is_fifo));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    budget.expect_idle(10);
    EXPECT_EQ(count_lines("nav ctl fifo cannot be watched: its path is checked every 1000 ms\n"), 1);
    none_left.reset();
    send_raw(std::string("STP\0", 4));
    EXPECT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
}

TEST_F(Faults, PipeDeletedBetweenTheReadersOpenAndItsWatch) {
    // The deletion comes before the reader watches the pipe, so no event
    // tells of it: the reader must still notice instead of waiting for ever.
    start_control();
    ASSERT_TRUE(wait_line("access or mkfifo nav ctl success\n"));
    pipe_on_reader_open([] { unlink(pipe_real_path().c_str()); });
    send_raw(std::string("STT\0", 4));  // a new read, and with it a new open
    EXPECT_TRUE(wait_line("Open nav ctl fifo file error\n", 1, 3000));
    ASSERT_TRUE(eventually([] {
        struct stat s;
        return stat(pipe_real_path().c_str(), &s) == 0 && S_ISFIFO(s.st_mode);
    }));
    send_raw(std::string("STP\0", 4));
    EXPECT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
}

// --------------------------------------------------------- property store

TEST_F(Faults, PropertyStoreUnwritableOrFull) {
    TempDir store("krv-props");
    const std::string& dir = store.path();
    setenv("KRV_PROPERTY_DIR", dir.c_str(), 1);
    ASSERT_EQ(krv_nav_core_ctl_setSta(0), 0);
    struct Case {
        const char* name;
        int err;
    } cases[] = {{"read-only", EROFS}, {"full", ENOSPC}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        files_fail(dir, c.err);
        clear_logs();
        EXPECT_EQ(krv_nav_core_ctl_setSta(1), -c.err);
        EXPECT_EQ(count_lines("krv_nav_core_ctl_setSta : 1, ret = " + std::to_string(-c.err)), 1);
        EXPECT_EQ(krv_nav_core_ctl_getSta(), 0);  // the old value is intact
        EXPECT_EQ(krv_nav_utils_setSta(1), -c.err);
        files_fail(dir, 0);
        EXPECT_EQ(krv_nav_core_ctl_setSta(1), 0);
        EXPECT_EQ(krv_nav_core_ctl_getSta(), 1);
        ASSERT_EQ(krv_nav_core_ctl_setSta(0), 0);
    }
}

// ------------------------------------------------------------ SIGIO storm

constexpr int kStorm = 10000;

void storm() {
    for (int i = 0; i < kStorm; ++i) kill(getpid(), SIGIO);
}

TEST_F(Faults, SigioStormWhileWaiting) {
    start_control();
    clear_logs();
    Budget budget;
    storm();
    // Every handler run is one line; the thread makes a pass per wake it
    // sees (light frames: nothing injected).
    ASSERT_TRUE(wait_quiet());
    const int handler_lines = count_lines("krv_nav_core_wakeNavThread");
    EXPECT_GE(handler_lines, 1);
    EXPECT_LE(handler_lines, kStorm);
    EXPECT_LE(count_lines("cal_touch_area \n"), handler_lines);
    EXPECT_EQ(input_packets().size(), 0u);
    EXPECT_TRUE(ctl_thread());
    // Calm again: idle within a second of the storm.
    ASSERT_TRUE(armed());
    budget.restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    budget.expect_idle(5);
    expect_gesture(kFlagged, kKeyRecords);
}

TEST_F(Faults, SigioStormDuringDispatch) {
    // A swipe is being written when the storm comes: the swipe stays whole
    // and in order, and the extra passes the wakes cause inject nothing.
    input_clear();
    sensor_set_frames(kSwipeUp);
    ASSERT_EQ(touch(), 1);
    ASSERT_TRUE(eventually([] { return sensor_frame_requests() >= 1; }));
    sensor_set_frames(make_pair(kStill, kStill));  // later passes: result 0
    ASSERT_TRUE(eventually([] { return input_packets().size() >= 5; }));
    storm();
    ASSERT_TRUE(wait_line("-- simulate_Touch_Y"));
    ASSERT_TRUE(wait_quiet());
    ASSERT_TRUE(armed());
    auto p = input_packets();
    ASSERT_EQ(p.size(), kSwipeRecords);
    EXPECT_EQ(p[0].ev.code, ABS_MT_TRACKING_ID);
    EXPECT_EQ(p[kSwipeRecords - 3].ev.value, -1);  // lift-off: tracking ID -1, BTN_TOUCH 0, report
    EXPECT_EQ(p[kSwipeRecords - 2].ev.code, BTN_TOUCH);
    EXPECT_EQ(p[kSwipeRecords - 1].ev.type, EV_SYN);
    Budget budget;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    budget.expect_idle(5);
    expect_gesture(kFlagged, kKeyRecords);
}

}  // namespace
