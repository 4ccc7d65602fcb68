// krv-navd hosting the library on this machine: the simulated hardware is
// preloaded into the daemon, the pipe's folder lies in a temporary
// directory (KRV_SIM_DATA_DIR), touches come through the simulated
// hardware's control socket (KRV_SIM_CONTROL) and the records the daemon
// wrote are read back from KRV_SIM_INPUT_LOG.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/file_text.h"
#include "common/param_cases.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "support/record_streams.h"

using namespace krvtest;

namespace {

constexpr uid_t kNobody = 65534;  // and its group, 65534

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// "records N type code value ..." per input session.
std::vector<krvrec::Record> session_records(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    size_t n = 0;
    in >> word >> n;
    std::vector<krvrec::Record> records;
    for (size_t i = 0; i < n; ++i) {
        long type = 0, code = 0, value = 0;
        in >> type >> code >> value;
        records.push_back({uint16_t(type), uint16_t(code), int32_t(value)});
    }
    return records;
}

// How a daemon starts: its name (its output goes to <name>.out and
// <name>.err in the test's folder, its simulated hardware's control socket
// is <name>.control and its input log <name>.input.log), its user and its
// umask.
struct Launch {
    std::string name = "daemon";
    uid_t uid = 0;  // 0: the test's own; otherwise that user with its group of the same number
    mode_t umask = 022;
};

class HostedDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        root_ = dir_.path();
        pipe_ = root_ + KRV_CTL_PIPE;
        folder_ = root_ + pipe_folder();
        ASSERT_EQ(system(("mkdir -p " + root_ + "/data/system/users/0 " + root_ + "/props").c_str()), 0);
    }
    void TearDown() override {
        for (pid_t pid : {pid_, other_}) {
            if (pid <= 0) continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        // In a sanitizer build a report inside a daemon fails the test even
        // where the daemon's exit status is the one a case expects (1).
        for (const std::string& file : daemon_error_files()) {
            const std::string err = slurp(file);
            EXPECT_EQ(count(err, "Sanitizer"), 0) << file << ":\n" << err;
            EXPECT_EQ(count(err, "runtime error:"), 0) << file << ":\n" << err;
        }
    }

    std::vector<std::string> daemon_error_files() const {
        std::vector<std::string> files;
        DIR* d = opendir(root_.c_str());
        if (d == nullptr) return files;
        while (const struct dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".err") == 0) files.push_back(root_ + "/" + name);
        }
        closedir(d);
        return files;
    }

    // The simulated hardware, and in a sanitizer build the sanitizer's
    // runtime with it.
    std::vector<std::string> sim_env() const {
        return {"LD_PRELOAD=" KRV_HOST_PRELOAD, "KRV_PROPERTY_DIR=" + root_ + "/props"};
    }

    // krv-navd with `args`, on the simulated hardware under the test's
    // folder. Between fork and exec the child makes system calls only.
    pid_t spawn(const std::vector<std::string>& args, const Launch& how = {}) const {
        std::vector<std::string> env = sim_env();
        env.push_back("KRV_SIM_DATA_DIR=" + root_);
        env.push_back("KRV_SIM_CONTROL=" + root_ + "/" + how.name + ".control");
        env.push_back("KRV_SIM_INPUT_LOG=" + root_ + "/" + how.name + ".input.log");
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"})
            if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
        std::vector<std::string> argv = {KRV_NAVD};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string out = root_ + "/" + how.name + ".out", err = root_ + "/" + how.name + ".err";
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(s.data());
        for (auto& s : env) e.push_back(s.data());
        a.push_back(nullptr);
        e.push_back(nullptr);
        const pid_t pid = fork();
        if (pid != 0) return pid;
        const long o = syscall(SYS_openat, AT_FDCWD, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const long r = syscall(SYS_openat, AT_FDCWD, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || r < 0 || dup2(int(o), 1) < 0 || dup2(int(r), 2) < 0) _exit(126);
        if (how.uid != 0 &&
            (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, how.uid, how.uid, how.uid) != 0 ||
             syscall(SYS_setresuid, how.uid, how.uid, how.uid) != 0))
            _exit(126);
        umask(how.umask);
        execve(KRV_NAVD, a.data(), e.data());
        _exit(127);
    }

    void start(const std::vector<std::string>& args, const Launch& how = {}) {
        pid_ = spawn(args, how);
        ASSERT_GT(pid_, 0);
    }

    // One command to the simulated hardware inside the daemon `name`; ""
    // when the socket is not there (yet).
    std::string control(const std::string& command, const std::string& name = "daemon") const {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s/%s.control", root_.c_str(), name.c_str());
        std::string reply;
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string line = command + "\n";
            if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
                char buf[256];
                for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) reply.append(buf, size_t(n));
            }
        }
        close(fd);
        if (!reply.empty() && reply.back() == '\n') reply.pop_back();
        return reply;
    }

    bool state_is(const std::string& want, int ms = 20000, const std::string& name = "daemon") const {
        return eventually([&] { return control("state", name) == want; }, ms);
    }

    std::vector<std::string> sessions() const { return lines_of(slurp(root_ + "/daemon.input.log")); }

    // navctl with `args`; its exit status, its output in `out`.
    int navctl(const std::string& args, std::string* out, bool simulated = false) const {
        std::string env;
        if (simulated)
            for (const std::string& e : sim_env()) env += e + " ";
        const std::string file = root_ + "/navctl.out";
        const int rc =
            system((env + "timeout -s KILL 30 " KRV_NAVCTL " --pipe " + pipe_ + " " + args + " >" + file).c_str());
        *out = slurp(file);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    // Exit status of `pid` (the daemon by default), or -1 when it is still
    // running after `ms`.
    int wait_exit(int ms, pid_t* pid = nullptr) {
        if (pid == nullptr) pid = &pid_;
        int status = 0;
        if (!eventually([&] { return waitpid(*pid, &status, WNOHANG) == *pid; }, ms)) return -1;
        *pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // STP and STT through navctl reach the daemon `name`.
    void takes_commands(const std::string& name = "daemon") {
        std::string out;
        EXPECT_EQ(navctl("stop", &out), 0) << out;
        EXPECT_TRUE(state_is("nav 1 1 ctl 0 1", 20000, name));
        EXPECT_EQ(navctl("start", &out), 0) << out;
        EXPECT_TRUE(state_is("nav 0 1 ctl 0 1", 20000, name));
    }

    // The daemon's error lines (Debian's liblog prints "TAG PRIORITY ...").
    int error_lines(const std::string& name = "daemon") const {
        return count(slurp(root_ + "/" + name + ".err"), "krv_navd E ");
    }

    TempDir dir_{"krv-navd-host"};
    std::string root_, pipe_, folder_;
    pid_t pid_ = -1;
    pid_t other_ = -1;  // a second daemon, when a test starts one
};

TEST_F(HostedDaemon, TouchesPipeCommandsAndSigterm) {
    struct stat st;
    const bool real_data = stat("/data/system/users/0", &st) == 0;
    start({"--enable", "--dir-mode", "0750"});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1")) << slurp(root_ + "/daemon.err");
    ASSERT_EQ(stat(folder_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    ASSERT_TRUE(eventually([&] { return stat(pipe_.c_str(), &st) == 0; }));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    // The daemon's control thread holds the pipe open for reading.
    std::string out;
    EXPECT_TRUE(eventually([&] { return navctl("status", &out, true) == 0; }, 10000)) << out;
    const std::vector<std::string> status = lines_of(out);
    ASSERT_EQ(status.size(), 4u) << out;
    EXPECT_NE(status[2].find("open for reading in pid " + std::to_string(pid_) + " (krv-navd)"), std::string::npos)
        << status[2];
    EXPECT_EQ(status[3].rfind("property persist.korrivan.nav: \"enable\"", 0), 0u) << status[3];

    struct Gesture {
        const char* name;
        int result;
    };
    size_t seen = 0;
    auto expect_gesture = [&](const Gesture& g) {
        SCOPED_TRACE(g.name);
        EXPECT_EQ(control(std::string("touch ") + g.name), "touched 1");
        ASSERT_TRUE(eventually([&] { return sessions().size() >= seen + 1; }, 20000));
        const std::vector<std::string> s = sessions();
        ASSERT_EQ(s.size(), seen + 1);
        EXPECT_EQ(session_records(s[seen]), krvrec::result_records(g.result));
        ++seen;
    };
    for (const Gesture& g : {Gesture{"up", 3}, Gesture{"down", 4}, Gesture{"tap", 5}, Gesture{"flagged", 7}})
        expect_gesture(g);

    // "STP" through the pipe: the touch after it ends the wait but is not
    // classified, and nothing stays armed.
    EXPECT_EQ(navctl("stop", &out), 0) << out;
    ASSERT_TRUE(state_is("nav 1 1 ctl 0 1"));
    const std::string before = control("counts");
    EXPECT_EQ(before.rfind("armed 1 ", 0), 0u) << before;
    EXPECT_EQ(control("touch flagged"), "touched 1");
    EXPECT_TRUE(eventually([&] { return control("counts").rfind("armed 0 open 0 ", 0) == 0; }));
    usleep(300000);
    const std::string after = control("counts");
    EXPECT_EQ(after.substr(after.find(" frames")), before.substr(before.find(" frames"))) << "the touch was classified";
    EXPECT_EQ(sessions().size(), seen);

    // "STT": armed again after the 1 s pause, and touches are served.
    EXPECT_EQ(navctl("start", &out), 0) << out;
    EXPECT_TRUE(state_is("nav 0 1 ctl 0 1"));
    expect_gesture({"tap", 5});

    // SIGTERM: both workers end and the daemon exits 0, leaving the pipe
    // (as on a device, for the next start) and nothing else.
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_exit(30000), 0);
    const std::string err = slurp(root_ + "/daemon.err");
    EXPECT_EQ(count(err, "both workers ended"), 1) << err;
    EXPECT_EQ(count(err, "SIGTERM from pid"), 1) << err;
    EXPECT_NE(stat((root_ + "/daemon.control").c_str(), &st), 0) << "the control socket outlived the daemon";
    EXPECT_EQ(stat(pipe_.c_str(), &st), 0);
    EXPECT_EQ(system(("test \"$(ls -A " + folder_ + ")\" = navCtrlPipe").c_str()), 0);
    EXPECT_EQ(stat("/data/system/users/0", &st) == 0, real_data) << "the machine's /data was touched";
}

// A second daemon on the same pipe exits 1 with one line naming the first,
// before it writes the property or starts a worker; the first keeps the
// pipe and serves the commands.
TEST_F(HostedDaemon, SecondDaemonExitsAndTheFirstServesOn) {
    start({});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1")) << slurp(root_ + "/daemon.err");
    struct stat first, after;
    ASSERT_TRUE(eventually([&] { return stat(pipe_.c_str(), &first) == 0; }));

    other_ = spawn({"--enable"}, {"second"});
    ASSERT_GT(other_, 0);
    EXPECT_EQ(wait_exit(20000, &other_), 1);
    const std::string err = slurp(root_ + "/second.err");
    EXPECT_EQ(count(err, "another krv-navd (pid " + std::to_string(pid_) + ") already runs: it holds the lock on " +
                             pipe_folder()),
              1)
        << err;
    EXPECT_EQ(error_lines("second"), 1) << err;
    EXPECT_EQ(count(err, "running (pid"), 0) << err;
    EXPECT_NE(stat((root_ + "/props/persist.korrivan.nav").c_str(), &after), 0)
        << "the second daemon wrote the property";
    ASSERT_EQ(stat(pipe_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, first.st_ino);

    takes_commands();
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_exit(30000), 0);
    EXPECT_EQ(count(slurp(root_ + "/daemon.err"), "both workers ended"), 1);
}

// The kernel frees the lock of a killed daemon (init's "stop" sends
// SIGKILL): the next one starts and serves.
TEST_F(HostedDaemon, StartsAgainAfterSigkill) {
    start({});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1")) << slurp(root_ + "/daemon.err");
    ASSERT_EQ(kill(pid_, SIGKILL), 0);
    EXPECT_EQ(wait_exit(20000), 128 + SIGKILL);

    start({}, {"again"});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1", 20000, "again")) << slurp(root_ + "/again.err");
    EXPECT_EQ(error_lines("again"), 0) << slurp(root_ + "/again.err");
    takes_commands("again");
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_exit(30000), 0);
}

// Something other than a FIFO at the pipe's path: the library could never
// make its pipe there, so the daemon exits 1 with one line and leaves it.
struct PathCase {
    const char* name;
    const char* kind;  // as the daemon names it
    void (*arrange)(const std::string& pipe, const std::string& root);
};
KRV_CASE_SUITE(StartCheck, HostedDaemon, PathCase);

TEST_P(StartCheck, RefusesAnythingButAFifo) {
    ASSERT_EQ(mkdir(folder_.c_str(), 0700), 0);
    c.arrange(pipe_, root_);
    struct stat before, after;
    ASSERT_EQ(lstat(pipe_.c_str(), &before), 0);
    start({});
    EXPECT_EQ(wait_exit(20000), 1);
    const std::string err = slurp(root_ + "/daemon.err");
    EXPECT_EQ(count(err, std::string("cannot use " KRV_CTL_PIPE " as the command pipe: it is ") + c.kind +
                             ", not a FIFO (remove it; the library makes the pipe)"),
              1)
        << err;
    EXPECT_EQ(error_lines(), 1) << err;
    EXPECT_EQ(count(err, "running (pid"), 0) << err;
    ASSERT_EQ(lstat(pipe_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
}

INSTANTIATE_TEST_SUITE_P(All, StartCheck,
                         ::testing::Values(PathCase{"symlink_to_fifo", "a symbolic link",
                                                    [](const std::string& pipe, const std::string& root) {
                                                        ASSERT_EQ(mkfifo((root + "/elsewhere").c_str(), 0666), 0);
                                                        ASSERT_EQ(symlink((root + "/elsewhere").c_str(), pipe.c_str()),
                                                                  0);
                                                    }},
                                           PathCase{"dangling_symlink", "a symbolic link",
                                                    [](const std::string& pipe, const std::string& root) {
                                                        ASSERT_EQ(symlink((root + "/nothing").c_str(), pipe.c_str()),
                                                                  0);
                                                    }},
                                           PathCase{"regular_file", "a regular file",
                                                    [](const std::string& pipe, const std::string&) {
                                                        const int fd =
                                                            open(pipe.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
                                                        ASSERT_GE(fd, 0);
                                                        close(fd);
                                                    }},
                                           PathCase{"folder", "a folder",
                                                    [](const std::string& pipe, const std::string&) {
                                                        ASSERT_EQ(mkdir(pipe.c_str(), 0700), 0);
                                                    }}),
                         krvtest::CaseName());

// A daemon of another user (as on a device) under a umask that takes the
// owner's own bits: it still makes a folder it can use, with the asked
// mode, the library makes its pipe, and the daemon starts again.
struct UmaskCase {
    const char* name;
    mode_t umask;
};
KRV_CASE_SUITE(AnyUmask, HostedDaemon, UmaskCase);

TEST_P(AnyUmask, FolderUsable) {
    ASSERT_EQ(system(("chown -R 65534:65534 " + root_).c_str()), 0);
    start({}, {"daemon", kNobody, c.umask});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1")) << slurp(root_ + "/daemon.err");
    struct stat st;
    ASSERT_EQ(stat(folder_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, kNobody);
    ASSERT_TRUE(eventually([&] { return lstat(pipe_.c_str(), &st) == 0; }));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    takes_commands();
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_exit(30000), 0);

    start({}, {"again", kNobody, c.umask});
    EXPECT_TRUE(state_is("nav 0 1 ctl 0 1", 20000, "again")) << slurp(root_ + "/again.err");
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_EQ(wait_exit(30000), 0);
}

INSTANTIATE_TEST_SUITE_P(All, AnyUmask, ::testing::Values(UmaskCase{"umask_0477", 0477}, UmaskCase{"umask_0777", 0777}),
                         krvtest::CaseName());

std::vector<pid_t> other_threads(pid_t pid) {
    std::vector<pid_t> tids;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (d == nullptr) return tids;
    while (const struct dirent* e = readdir(d)) {
        const pid_t tid = pid_t(atoi(e->d_name));
        if (tid > 0 && tid != pid) tids.push_back(tid);
    }
    closedir(d);
    return tids;
}

// Workers that do not end by the daemon's bound: it says so and exits 1,
// not 0. Every thread but the main one is held in a trace stop meanwhile.
TEST_F(HostedDaemon, ShutdownWhoseWorkersDoNotEndExitsOne) {
    start({});
    ASSERT_TRUE(state_is("nav 0 1 ctl 0 1")) << slurp(root_ + "/daemon.err");
    const std::vector<pid_t> tids = other_threads(pid_);
    ASSERT_GE(tids.size(), 2u);
    std::vector<pid_t> held;
    for (pid_t tid : tids) {
        if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) {
            if (errno == EPERM && held.empty()) GTEST_SKIP() << "no ptrace here";
            ADD_FAILURE() << "PTRACE_SEIZE " << tid << ": " << strerror(errno);
            continue;
        }
        held.push_back(tid);
        int st = 0;
        ASSERT_EQ(ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr), 0);
        ASSERT_EQ(waitpid(tid, &st, __WALL), tid);
        EXPECT_TRUE(WIFSTOPPED(st));
    }
    ASSERT_EQ(kill(pid_, SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return count(slurp(root_ + "/daemon.err"), "workers still running") == 1; }, 30000))
        << slurp(root_ + "/daemon.err");
    // A thread the exiting process has already taken down is reaped here.
    for (pid_t tid : held)
        if (ptrace(PTRACE_DETACH, tid, nullptr, nullptr) != 0) waitpid(tid, nullptr, __WALL);
    EXPECT_EQ(wait_exit(30000), 1);
    EXPECT_EQ(count(slurp(root_ + "/daemon.err"), "both workers ended"), 0);
}

}  // namespace
