// krv-navd hosting the library on this machine: the simulated hardware is
// preloaded into the daemon, the pipe's folder lies in a temporary
// directory (KRV_SIM_DATA_DIR), touches come through the simulated
// hardware's control socket (KRV_SIM_CONTROL) and the records the daemon
// wrote are read back from KRV_SIM_INPUT_LOG.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/file_text.h"
#include "common/temp_dir.h"
#include "common/test_wait.h"
#include "krv_nav.h"
#include "support/record_streams.h"

extern char** environ;

using namespace krvtest;

namespace {

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
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    std::vector<std::string> sim_env() const {
        return {"LD_PRELOAD=" KRV_SIM_PRELOAD, "KRV_PROPERTY_DIR=" + root_ + "/props"};
    }

    void start(const std::vector<std::string>& args) {
        std::vector<std::string> env = sim_env();
        env.push_back("KRV_SIM_DATA_DIR=" + root_);
        env.push_back("KRV_SIM_CONTROL=" + root_ + "/control");
        env.push_back("KRV_SIM_INPUT_LOG=" + root_ + "/input.log");
        std::vector<std::string> argv = {KRV_NAVD};
        argv.insert(argv.end(), args.begin(), args.end());
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, (root_ + "/daemon.out").c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (root_ + "/daemon.err").c_str(), O_WRONLY | O_CREAT, 0644);
        std::vector<char*> a, e;
        for (auto& s : argv) a.push_back(s.data());
        for (auto& s : env) e.push_back(s.data());
        a.push_back(nullptr);
        e.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&pid_, KRV_NAVD, &files, nullptr, a.data(), e.data()), 0);
        posix_spawn_file_actions_destroy(&files);
    }

    // One command to the simulated hardware inside the daemon; "" when the
    // socket is not there (yet).
    std::string control(const std::string& command) const {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s/control", root_.c_str());
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

    bool state_is(const std::string& want, int ms = 20000) const {
        return eventually([&] { return control("state") == want; }, ms);
    }

    std::vector<std::string> sessions() const { return lines_of(slurp(root_ + "/input.log")); }

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

    // Exit status, or -1 when the daemon is still running after `ms`.
    int wait_exit(int ms) {
        int status = 0;
        if (!eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, ms)) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    TempDir dir_{"krv-navd-host"};
    std::string root_, pipe_, folder_;
    pid_t pid_ = -1;
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
    EXPECT_NE(stat((root_ + "/control").c_str(), &st), 0) << "the control socket outlived the daemon";
    EXPECT_EQ(stat(pipe_.c_str(), &st), 0);
    EXPECT_EQ(system(("test \"$(ls -A " + folder_ + ")\" = navCtrlPipe").c_str()), 0);
    EXPECT_EQ(stat("/data/system/users/0", &st) == 0, real_data) << "the machine's /data was touched";
}

}  // namespace
