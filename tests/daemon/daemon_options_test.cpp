// krv-navd's command line, and a start that fails, with the daemon run as a
// process of its own (no simulated hardware).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/file_text.h"
#include "common/temp_dir.h"
#include "krv_nav.h"

namespace {

using krvtest::count;
using krvtest::pipe_folder;
using krvtest::slurp;

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs krv-navd with `args`; a daemon that hangs is killed after 30 s
// (status 137).
Result run_daemon(const std::string& args, const std::string& env = "") {
    const krvtest::TempDir dir("krv-navd-test");
    Result r;
    if (dir.path().empty()) return r;
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    const std::string cmd = env + " timeout -s KILL 30 " KRV_NAVD " " + args + " >" + out + " 2>" + err;
    const int rc = system(cmd.c_str());
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

TEST(DaemonOptions, HelpAndUsageErrors) {
    struct Case {
        const char* args;
        int status;
        bool on_stdout;
        const char* text;
    };
    const Case cases[] = {
        {"--help", 0, true, "--dir-mode MODE"},
        {"-h", 0, true, "usage: krv-navd"},
        {"--bogus", 2, false, "usage: krv-navd"},
        {"--enable --disable", 2, false, "--enable and --disable exclude each other"},
        {"--dir-mode 0800", 2, false, "not an octal mode of at most 0777: 0800"},
        {"--dir-mode 01777", 2, false, "not an octal mode of at most 0777: 01777"},
        {"--dir-mode=-1", 2, false, "not an octal mode of at most 0777: -1"},
        {"--dir-owner krv-no-such-user", 2, false, "no such user: krv-no-such-user"},
        // chown reads 2^32 - 1 as "leave unchanged", so it is no owner.
        {"--dir-owner 4294967295", 2, false, "no such user: 4294967295"},
        {"--dir-group krv-no-such-group", 2, false, "no such group: krv-no-such-group"},
        {"--dir-mode", 2, false, "usage: krv-navd"},
        {"stray", 2, false, "unexpected argument: stray"},
    };
    for (const Case& c : cases) {
        const Result r = run_daemon(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE((c.on_stdout ? r.out : r.err).find(c.text), std::string::npos) << c.args << "\nstdout:\n"
                                                                                 << r.out << "stderr:\n"
                                                                                 << r.err;
    }
    const Result help = run_daemon("--help");
    for (const char* option : {"--enable", "--disable", "--dir-owner", "--dir-group", "--dir-mode"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option << " is not in --help";
}

// On this host the pipe's parent folder does not exist: the start fails with
// one error line and status 1, and has written nothing, the property
// included, nor created any folder.
TEST(DaemonOptions, FailedStartIsOneErrorLine) {
    const std::string folder = pipe_folder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    struct stat st;
    if (stat(parent.c_str(), &st) == 0) GTEST_SKIP() << parent << " exists on this machine; not touching it";

    char props[] = "/tmp/krv-navd-props-XXXXXX";
    ASSERT_NE(mkdtemp(props), nullptr);
    const Result r =
        run_daemon("--enable --dir-owner 0 --dir-group root --dir-mode 0750", std::string("KRV_PROPERTY_DIR=") + props);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(count(r.err, "cannot create " + folder + ": " + parent + " does not exist yet"), 1) << r.err;
    EXPECT_EQ(rmdir(props), 0) << "the failed start wrote a property";
    EXPECT_NE(stat(folder.c_str(), &st), 0);
}

}  // namespace
