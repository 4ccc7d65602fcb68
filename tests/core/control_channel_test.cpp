// The command pipe and the control thread, with the real FIFO in a
// temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/log_checks.h"
#include "common/param_cases.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "simhw/sim_hardware.h"
#include "support/log_capture.h"

using namespace krvtest;

namespace {

// Writes raw bytes into the pipe as another process would (one write).
void send_raw(const std::string& bytes) {
    int fd = ::open(pipe_real_path().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

bool pipe_exists() {
    struct stat st;
    return ::stat(pipe_real_path().c_str(), &st) == 0;
}

class ControlChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        sensor_reset();
        clear_logs();
        allow_uinit_write_line();
    }
    void start_both() {
        ASSERT_EQ(krv_nav_core_init(), 0);
        ASSERT_EQ(krv_nav_core_ctl_init(), 0);
        ASSERT_TRUE(armed());
        ASSERT_TRUE(wait_line("access or mkfifo nav ctl success\n"));
    }
    void TearDown() override {
        EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
        EXPECT_TRUE(workers_gone());
    }
};

// What stood at the pipe's path right after the library's mkfifo: -1 for
// nothing, else its mode.
std::atomic<int> g_mode_at_creation{-2};

TEST_F(ControlChannel, FirstReadCreatesTheFifoWhateverTheUmask) {
    mode_t old = umask(077);
    // The worst moment to look: right after the FIFO is made, before its mode
    // is set. Whatever stands at the path then must already be the final pipe.
    pipe_on_create([](const char*) {
        struct stat at;
        g_mode_at_creation = ::lstat(pipe_real_path().c_str(), &at) == 0 ? static_cast<int>(at.st_mode & 07777) : -1;
    });
    std::atomic<int> n{99};
    char buf[1024];
    std::thread reader([&] { n = read_navCtlPipe(buf); });
    ASSERT_TRUE(wait_line("access or mkfifo nav ctl success\n"));
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(pipe_real_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_TRUE(g_mode_at_creation == -1 || g_mode_at_creation == 0666) << std::oct << g_mode_at_creation;
    EXPECT_EQ(count_lines("mkfifo nav ctl success\n"), 1);
    EXPECT_EQ(count_lines("Open nav ctl success\n"), 0);
    send_raw(std::string("STP\0", 4));
    reader.join();
    EXPECT_EQ(n.load(), 4);
    EXPECT_EQ(count_lines("Open nav ctl success\n"), 1);
    EXPECT_EQ(count_lines("Read len = 4: \"STP\" from nav ctl FIFO\n"), 1);
    // No control thread was started here: uinit has nothing to do.
}

struct ReadCase {
    const char* name;
    std::string bytes;
    int want;
    const char* want_text;
};
KRV_CASE_SUITE(ReadsOfEveryLength, ControlChannel, ReadCase);

TEST_P(ReadsOfEveryLength, LastByteBecomesTheEnd) {
    char buf[1024];
    memset(buf, 'z', sizeof buf);
    std::atomic<int> n{99};
    std::thread reader([&] { n = read_navCtlPipe(buf); });
    ASSERT_TRUE(eventually([] { return pipe_exists(); }));
    send_raw(c.bytes);
    reader.join();
    EXPECT_EQ(n.load(), c.want);
    EXPECT_EQ(buf[c.want - 1], '\0');
    EXPECT_STREQ(buf, c.want_text);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadsOfEveryLength,
                         ::testing::Values(ReadCase{"stop_nul", std::string("STP\0", 4), 4, "STP"},
                                           ReadCase{"stop_newline", "STP\n", 4, "STP"},
                                           ReadCase{"three_bytes", "STP", 3, "ST"},
                                           ReadCase{"two_messages", std::string("STTxCNL\0", 8), 8, "STTxCNL"}),
                         krvtest::CaseName());

TEST_F(ControlChannel, CommandsActOnNavigation) {
    start_both();
    struct Case {
        std::string bytes;
        int want_state;
    } cases[] = {
        {std::string("STP\0", 4), STATE_STOP},
        {std::string("XYZ\0", 4), STATE_STOP},  // unknown: logged, ignored
        {"STP", STATE_STOP},
        {"", STATE_STOP},  // a writer that opened and closed: no command
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        clear_logs();
        send_raw(c.bytes);
        ASSERT_TRUE(wait_line("thNavigationCtlFunc Running ..."));
        EXPECT_EQ(nav_state(), c.want_state);
    }
    // "STP" alone is three bytes: it stops nothing.
    krv_nav_core_start();
    clear_logs();
    send_raw("STP");
    ASSERT_TRUE(wait_line("thNavigationCtlFunc Running ..."));
    EXPECT_EQ(nav_state(), STATE_RUN);
    // A newline terminator serves as well as NUL.
    send_raw("STP\n");
    EXPECT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
}

TEST_F(ControlChannel, StartResumesAfterOneSecond) {
    start_both();
    send_raw(std::string("STP\0", 4));
    ASSERT_TRUE(eventually([] { return nav_state() == STATE_STOP; }));
    touch();  // ends the wait; the thread stops
    ASSERT_TRUE(wait_line("thNavigationFunc Stop ..."));
    clear_logs();
    auto t0 = std::chrono::steady_clock::now();
    send_raw("STT\n");
    ASSERT_TRUE(wait_line("krv_nav_core_wakeNavThread"));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 0.9);
    EXPECT_LE(s, 4.0);
    EXPECT_TRUE(wait_line("Nav Running ..."));
    EXPECT_EQ(nav_state(), STATE_RUN);
}

TEST_F(ControlChannel, TwoMessagesInOneReadRunInOrder) {
    start_both();
    send_raw(std::string("STP\0CNL\0", 8));
    EXPECT_TRUE(workers_gone());
    EXPECT_EQ(nav_state(), STATE_CANCEL);
}

TEST_F(ControlChannel, CancelEndsBothAndInitStartsAgain) {
    start_both();
    send_raw(std::string("CNL\0", 4));
    EXPECT_TRUE(workers_gone());
    EXPECT_TRUE(wait_line("thNavigationFunc CANCEL ..."));
    EXPECT_TRUE(wait_line("--thNavigationCtlFunc"));
    start_both();
    EXPECT_TRUE(nav_thread());
    EXPECT_TRUE(ctl_thread());
}

TEST_F(ControlChannel, CommandsFromOtherProcesses) {
    start_both();
    const std::string pipe = pipe_real_path();
    struct Case {
        std::string cmd;
        int want_state;
    } cases[] = {
        {std::string(KRV_NAVCTL) + " --pipe " + pipe + " stop", STATE_STOP},
        {"printf 'STT\\n' > " + pipe, STATE_RUN},
        {"printf 'STP\\0' > " + pipe, STATE_STOP},
        {std::string(KRV_NAVCTL) + " --pipe " + pipe + " start", STATE_RUN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cmd);
        ASSERT_EQ(system(c.cmd.c_str()), 0);
        EXPECT_TRUE(eventually([&] { return nav_state() == c.want_state; }));
    }
    // The tool does not create a pipe and does not hang without a reader.
    std::string missing = std::string(KRV_NAVCTL) + " --pipe " + pipe + ".none stop 2>/dev/null";
    EXPECT_NE(system(missing.c_str()), 0);
    ASSERT_EQ(krv_nav_core_ctl_uinit(), 0);
    ASSERT_TRUE(workers_gone());
    std::string no_reader = std::string(KRV_NAVCTL) + " --timeout 0.3 --pipe " + pipe + " stop 2>/dev/null";
    EXPECT_NE(system(no_reader.c_str()), 0);
}

TEST_F(ControlChannel, CancelWithoutNavigationThread) {
    ASSERT_EQ(krv_nav_core_ctl_init(), 0);
    ASSERT_TRUE(eventually([] { return pipe_exists(); }));
    send_raw(std::string("CNL\0", 4));
    EXPECT_TRUE(eventually([] { return !ctl_thread(); }));
    EXPECT_EQ(count_lines("krv_nav_core_wakeNavThread"), 0);
}

TEST_F(ControlChannel, WriterWithoutPipe) {
    // No pipe at all: the writer says so.
    allow_error_lines({"nav ctl fifo file do not not exist\n"});
    EXPECT_EQ(wirte_navCtlPipe("STP"), -1);
    EXPECT_EQ(log_texts(), (std::vector<std::string>{"nav ctl fifo file do not not exist\n"}));
    EXPECT_EQ(logs()[0].prio, 6);
    EXPECT_FALSE(pipe_exists());
    clear_logs();
    EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
    EXPECT_EQ(log_texts(), (std::vector<std::string>{"++ krv_nav_core_ctl_uinit", "--krv_nav_core_ctl_uinit"}));
}

std::string g_link_target;

TEST_F(ControlChannel, CreatingThePipeNeverFollowsALink) {
    // A link in the pipe's place: the reader refuses to create the pipe.
    allow_error_lines({"Cannot create nav ctl fifo file\n"});
    // Between the creation and the mode change another process swaps the
    // new pipe for a link to a file of its own: the file keeps its mode.
    g_link_target = pipe_real_path() + ".target";
    int fd = ::open(g_link_target.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    pipe_on_create([](const char* made) {
        unlink(made);
        EXPECT_EQ(symlink(g_link_target.c_str(), made), 0);
    });
    char buf[1024];
    EXPECT_EQ(read_navCtlPipe(buf), -1);
    EXPECT_EQ(count_lines("Cannot create nav ctl fifo file\n"), 1);
    struct stat st;
    ASSERT_EQ(stat(g_link_target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    unlink(pipe_real_path().c_str());
    unlink(g_link_target.c_str());
}

int g_reader = -1;

TEST_F(ControlChannel, WriterWhoseReaderLeftGetsAnErrorNotASignal) {
    // The reader closes between the writer's open and its write: the write
    // fails with EPIPE, and the SIGPIPE that comes with it must not end
    // the host process.
    ASSERT_EQ(mkfifo(pipe_real_path().c_str(), 0666), 0);
    g_reader = ::open(pipe_real_path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(g_reader, 0);
    pipe_on_writer_open([] { ::close(g_reader); });
    EXPECT_EQ(wirte_navCtlPipe("STP"), -1);
    EXPECT_EQ(count_lines("Write 'STP' to nav ctl FIFO\n"), 0);
    sigset_t pending;
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);  // none left behind either
}

TEST_F(ControlChannel, WriterRefusesARegularFile) {
    // A regular file in the pipe's place: writer and reader refuse it.
    allow_error_lines({"Open fifo file error\n", "Open nav ctl fifo file error\n"});
    int fd = ::open(pipe_real_path().c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(wirte_navCtlPipe("CNL"), -1);
    struct stat st;
    ASSERT_EQ(stat(pipe_real_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);  // nothing written into the file
    char buf[1024];
    EXPECT_EQ(read_navCtlPipe(buf), -2);
    unlink(pipe_real_path().c_str());
}

TEST_F(ControlChannel, SecondInitCreatesNoThread) {
    start_both();
    pthread_t before = gFingerprintVarNavCtl.thread;
    EXPECT_EQ(krv_nav_core_ctl_init(), 0);
    EXPECT_EQ(gFingerprintVarNavCtl.thread, before);
}

// krv_nav_core_ctl_uinit run by a pipe hook, on a host thread of its own.
std::atomic<int> g_hook_uinit_rc{99};
void uinit_from_another_thread() {
    std::thread([] { g_hook_uinit_rc = krv_nav_core_ctl_uinit(); }).join();
}

TEST_F(ControlChannel, UinitEndsBothWorkersWhateverTheControlThreadDoes) {
    struct Case {
        const char* name;
        void (*arrange)();
        bool uinit_in_arrange;  // the case runs uinit itself, at its moment
    } cases[] = {
        {"stopped between commands",
         [] {
             __atomic_store_n(&gFingerprintVarNavCtl.state, STATE_STOP, __ATOMIC_SEQ_CST);
             send_raw("XYZ\n");
             ASSERT_TRUE(wait_line("thNavigationCtlFunc Stop ..."));
         },
         false},
        {"five STT from one read, 1 s each",
         [] {
             send_raw(std::string("STT\0STT\0STT\0STT\0STT\0", 20));
             ASSERT_TRUE(wait_line("Read len = 20: \"STT\" from nav ctl FIFO\n"));
         },
         false},
        {"CNL lost between the thread's read and its close",
         [] {
             g_hook_uinit_rc = 99;
             pipe_on_read(uinit_from_another_thread);
             send_raw(std::string("STT\0", 4));
             ASSERT_TRUE(eventually([] { return g_hook_uinit_rc.load() != 99; }));
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        start_both();
        clear_logs();
        auto t0 = std::chrono::steady_clock::now();
        c.arrange();
        if (c.uinit_in_arrange) {
            EXPECT_EQ(g_hook_uinit_rc.load(), 0);
        } else {
            t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
        EXPECT_TRUE(workers_gone());
        // A new start neither waits for the old workers nor loses the new ones.
        t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(krv_nav_core_init(), 0);
        ASSERT_EQ(krv_nav_core_ctl_init(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(nav_thread());
        EXPECT_TRUE(ctl_thread());
        EXPECT_EQ(nav_state(), STATE_RUN);
        EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
        ASSERT_TRUE(workers_gone());
    }
}

TEST_F(ControlChannel, UinitEndsTheNavigationThreadWhateverStopsAndStartsCome) {
    // Another host thread stops and starts navigation while uinit runs: the
    // control thread's cancel of the navigation thread must stay until that
    // thread has ended, so that no navigation thread outlives uinit. Each
    // start wakes the navigation thread into a pass whose frame request takes
    // 20 ms, so the cancel mostly lands while a pass runs and the stops and
    // starts have that long to overwrite it before the thread looks.
    sensor_set_fetch_delay_ms(20);
    constexpr int kRounds = 200;
    int survived = 0;
    for (int round = 0; round < kRounds && survived < 3; ++round) {
        start_both();
        std::atomic<bool> done{false};
        std::thread host([&] {
            for (int i = 0; !done.load(); ++i) {
                if (i % 2 == 0)
                    krv_nav_core_stop();
                else
                    krv_nav_core_start();
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
        EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
        const bool ctl_gone = eventually([] { return !ctl_thread(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        done = true;
        host.join();
        ASSERT_TRUE(ctl_gone);
        if (!eventually([] { return !nav_thread(); }, 1000)) {
            ++survived;
            // End the survivor as the control thread would have.
            __atomic_store_n(&gFingerprintVarNav.state, STATE_CANCEL, __ATOMIC_SEQ_CST);
            krv_nav_core_start();  // its wake; the cancel stays
            touch();
        }
        ASSERT_TRUE(workers_gone());
        clear_logs();
    }
    EXPECT_EQ(survived, 0) << "navigation threads that outlived uinit";
}

TEST_F(ControlChannel, UinitDuringTheStartPauseEndsQuietly) {
    // A shutdown while "STT" waits out its pause: the thread ends on the
    // cancel once the pause is over, and the bounded "CNL" write, finding
    // the thread gone, reports no error.
    start_both();
    send_raw(std::string("STT\0", 4));
    ASSERT_TRUE(wait_line("Read len = 4: \"STT\" from nav ctl FIFO\n"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(krv_nav_core_ctl_uinit(), 0);
    EXPECT_TRUE(workers_gone());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(count_lines("Open fifo file error\n"), 0);
    EXPECT_EQ(count_lines("++ krv_nav_core_start"), 0);  // the start was cancelled with the thread
}

TEST_F(ControlChannel, UinitNeverBlocksOnAFullPipe) {
    // Another process holds the pipe open for reading and never reads; the
    // pipe is full and the control thread is not reading (stopped).
    start_both();
    __atomic_store_n(&gFingerprintVarNavCtl.state, STATE_STOP, __ATOMIC_SEQ_CST);
    send_raw("XYZ\n");
    ASSERT_TRUE(wait_line("thNavigationCtlFunc Stop ..."));
    int reader = ::open(pipe_real_path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int writer = ::open(pipe_real_path().c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    const std::string junk(4096, 'j');
    while (::write(writer, junk.data(), junk.size()) > 0) {}
    while (::write(writer, junk.data(), 1) > 0) {}
    ::close(writer);
    std::atomic<int> rc{99};
    std::thread host([&] { rc = krv_nav_core_ctl_uinit(); });
    const bool returned = eventually([&] { return rc.load() != 99; }, 6000);
    char sink[4096];
    while (::read(reader, sink, sizeof sink) > 0) {}  // lets a blocked write go, so that the host can be joined
    host.join();
    ::close(reader);
    EXPECT_TRUE(returned) << "uinit still blocked in its write after 6 s";
    EXPECT_EQ(rc.load(), 0);
    EXPECT_TRUE(workers_gone());
}

TEST_F(ControlChannel, InitRightAfterUinitLeavesBothRunning) {
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        start_both();
        ASSERT_EQ(krv_nav_core_ctl_uinit(), 0);
        ASSERT_EQ(krv_nav_core_init(), 0);
        ASSERT_EQ(krv_nav_core_ctl_init(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(nav_thread());
        ASSERT_TRUE(ctl_thread());
        ASSERT_EQ(nav_state(), STATE_RUN);
        ASSERT_EQ(krv_nav_core_ctl_uinit(), 0);
        ASSERT_TRUE(workers_gone());
        clear_logs();
    }
}

}  // namespace
