#include "hosted_daemon.h"

#include <dirent.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "guest_check.h"
#include "krv_nav.h"
#include "kvs508_driver.h"
#include "stream_check.h"
#include "support/record_streams.h"
#include "tests/common/file_text.h"

namespace krvsys {

// The reader is a 64-bit process: it gets the kernel's own records, whatever
// layout the writer used.
static_assert(sizeof(struct input_event) == 24);

namespace {

using krvtest::pipe_folder;
using krvtest::slurp;

// What the init script gives the folder on a device: system:system 0700.
constexpr uid_t kFolderOwner = 1000;
constexpr gid_t kFolderGroup = 1000;
constexpr mode_t kFolderMode = 0700;

// Runs `argv` with `lib_dir` as its library path and its output in `out`;
// with `debug_lines`, the library's debug lines are in it too (Debian's
// liblog hides them, a device's logd keeps them): the runner puts a
// preloadable object in each build's `lib_dir` that lowers liblog's
// minimum priority as the process starts. Everything is built before the
// fork: the reader thread may hold the allocator's lock at that moment.
pid_t spawn(const std::vector<std::string>& argv, const char* lib_dir, const std::string& out,
            bool debug_lines = false) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string libs = std::string("LD_LIBRARY_PATH=") + lib_dir;
    char* env[] = {const_cast<char*>(libs.c_str()), const_cast<char*>("KRV_PROPERTY_DIR=/data/property"),
                   debug_lines ? const_cast<char*>("LD_PRELOAD=libkrv_log_debug.so") : nullptr, nullptr};
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
    execve(args[0], args.data(), env);
    _exit(127);
}

// The exit status, 128 + a signal, or -1 when the process still runs after
// `ms` (it is then killed).
int reap(pid_t pid, int ms) {
    int status = 0;
    if (!wait_until(ms, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run_navctl(const HostBuild& b, const char* command, std::string* out) {
    const std::string file = "/tmp/navctl.out";
    const int rc = reap(spawn({b.navctl, command}, b.lib_dir, file), 20000);
    *out = slurp(file);
    return rc;
}

// The daemon's control blocks, read from its memory. They are where the
// dynamic linker put them: in the daemon itself when its code refers to them
// through a copy relocation (x86-64 executables do), otherwise in
// libkrvnav.so; either file's symbol table gives the offset from where that
// file is mapped. `state` is at 16 on every build, `thread` after it (at 20
// in a 32-bit process, at 24 in a 64-bit one).
class RemoteBlocks {
  public:
    explicit RemoteBlocks(pid_t pid) : pid_(pid) {}
    pid_t pid() const { return pid_; }

    bool find() {
        char exe[512] = {};
        if (readlink(("/proc/" + std::to_string(pid_) + "/exe").c_str(), exe, sizeof exe - 1) <= 0) return false;
        for (const std::string& file : {std::string(exe), mapped("/libkrvnav.so")}) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (file.empty() || elf.size() < sizeof(Elf32_Ehdr)) continue;
            const bool wide = elf[EI_CLASS] == ELFCLASS64;
            unsigned long nav = 0, ctl = 0, base = 0;
            if (wide ? !symbols<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym>(elf, &nav, &ctl)
                     : !symbols<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym>(elf, &nav, &ctl))
                continue;
            // A position-independent file's values count from its mapping.
            if (reinterpret_cast<const Elf32_Ehdr*>(elf.data())->e_type == ET_DYN && !base_of(file, &base)) continue;
            wide_ = wide;
            nav_ = base + nav;
            ctl_ = base + ctl;
            return true;
        }
        return false;
    }
    // -1 when the word cannot be read.
    long long nav_state() const {
        unsigned long long v = 0;
        return word(nav_ + 16, 4, &v) ? (long long)v : -1;
    }
    bool both_running() const {
        const size_t at = wide_ ? 24 : 20, size = wide_ ? 8 : 4;
        unsigned long long nav = 0, ctl = 0;
        return word(nav_ + at, size, &nav) && word(ctl_ + at, size, &ctl) && nav != 0 && ctl != 0;
    }

  private:
    // Each mapping of the process: start, file offset, path.
    template <class Fn>
    void each_mapping(Fn fn) const {
        std::ifstream maps("/proc/" + std::to_string(pid_) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            unsigned long start = 0, offset = 0;
            char path[512] = {};
            if (sscanf(line.c_str(), "%lx-%*x %*s %lx %*s %*s %511s", &start, &offset, path) == 3 &&
                fn(start, offset, std::string(path)))
                return;
        }
    }
    // The first mapped file whose path ends in `suffix`.
    std::string mapped(const std::string& suffix) const {
        std::string found;
        each_mapping([&](unsigned long, unsigned long, const std::string& p) {
            if (p.size() < suffix.size() || p.compare(p.size() - suffix.size(), suffix.size(), suffix) != 0)
                return false;
            found = p;
            return true;
        });
        return found;
    }
    bool base_of(const std::string& file, unsigned long* base) const {
        bool found = false;
        each_mapping([&](unsigned long start, unsigned long offset, const std::string& p) {
            if (p != file || offset != 0) return false;
            *base = start;
            return found = true;
        });
        return found;
    }
    // The values of the two blocks where `elf` defines them.
    template <class Ehdr, class Shdr, class Sym>
    static bool symbols(const std::vector<char>& elf, unsigned long* nav, unsigned long* ctl) {
        const auto* eh = reinterpret_cast<const Ehdr*>(elf.data());
        const auto* sections = reinterpret_cast<const Shdr*>(elf.data() + eh->e_shoff);
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (sections[i].sh_type != SHT_DYNSYM) continue;
            const char* names = elf.data() + sections[sections[i].sh_link].sh_offset;
            const auto* syms = reinterpret_cast<const Sym*>(elf.data() + sections[i].sh_offset);
            for (size_t s = 0; s < sections[i].sh_size / sizeof(Sym); ++s) {
                if (syms[s].st_shndx == SHN_UNDEF) continue;
                if (strcmp(names + syms[s].st_name, "gFingerprintVarNav") == 0) *nav = syms[s].st_value;
                if (strcmp(names + syms[s].st_name, "gFingerprintVarNavCtl") == 0) *ctl = syms[s].st_value;
            }
        }
        return *nav != 0 && *ctl != 0;
    }
    bool word(unsigned long address, size_t size, unsigned long long* value) const {
        struct iovec local = {value, size}, remote = {reinterpret_cast<void*>(address), size};
        return nav_ != 0 && process_vm_readv(pid_, &local, 1, &remote, 1, 0) == ssize_t(size);
    }

    pid_t pid_ = 0;
    bool wide_ = true;
    unsigned long nav_ = 0, ctl_ = 0;
};

bool elf32(pid_t pid) {
    char ident[EI_NIDENT] = {};
    std::ifstream exe("/proc/" + std::to_string(pid) + "/exe", std::ios::binary);
    exe.read(ident, sizeof ident);
    return exe && ident[EI_CLASS] == ELFCLASS32;
}

void print_indented(const std::string& text, size_t max_lines = 200) {
    std::istringstream in(text);
    size_t n = 0;
    for (std::string line; std::getline(in, line); ++n)
        if (n < max_lines) printf("  %s\n", line.c_str());
    if (n > max_lines) printf("  ... %zu lines more\n", n - max_lines);
}

// The log's lines of info priority and above (liblog's "TAG P ..." form;
// a message ending in a newline leaves an empty line after it).
std::string above_debug(const std::string& text) {
    std::istringstream in(text);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find(" D ") == std::string::npos && line.find(" V ") == std::string::npos)
            kept += line + "\n";
    return kept;
}

int non_empty_lines(const std::string& text) {
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) ++n;
    return n;
}

// A child that has not ended (and is not reaped here).
bool running(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }

// Bounds of the lifecycle checks. A start takes a few hundred milliseconds
// under emulation; a refused second start ends at once.
constexpr double kRestartBoundS = 10.0;
constexpr int kRefusalBoundMs = 10000;

const Blob kStill{20, 50, 20, 20};

// krv-navd as init starts it, with the folder's owner, group and mode of a
// device's init script.
pid_t start_navd(const HostBuild& b, const std::string& log, bool debug_lines) {
    return spawn({b.navd, "--enable", "--dir-owner", std::to_string(kFolderOwner), "--dir-group",
                  std::to_string(kFolderGroup), "--dir-mode", "0700"},
                 b.lib_dir, log, debug_lines);
}

// Both threads found in the daemon's memory and one descriptor armed.
bool comes_up(RemoteBlocks& blocks) {
    return wait_until(10000, [&] { return blocks.find() && blocks.both_running(); }) && nav_armed();
}

// navctl status once the control thread has the pipe open (a moment after
// making it); prints its lines.
int status_ready(const HostBuild& b) {
    std::string out;
    int rc = -1;
    wait_until(10000, [&] { return (rc = run_navctl(b, "status", &out)) == 0; });
    print_indented(out);
    return rc;
}

// One touch classified while nothing can be written: the thread fetches,
// classifies and waits again.
bool touch_while_gone(const FramePair& pair) {
    if (!set_pair(pair, 0) || !nav_armed()) return false;
    const long long arms = drv("arms"), requests = drv("frame_requests");
    touch();
    return wait_until(10000, [&] { return drv("arms") > arms && drv("armed") == 1; }) &&
           drv("frame_requests") == requests + 1;
}

// A touch panel's firmware reload while the daemon runs: the device and
// its node go away, touches find nothing to write to, then a new device
// comes up as "/dev/input/event2" and is written without a restart.
std::vector<std::vector<Ev>> panel_reload(const HostBuild& b, const RemoteBlocks& blocks, const std::string& log,
                                          TouchPanel& panel, Checker& ck) {
    const pid_t pid = blocks.pid();
    const std::string l = b.label;
    const size_t log_at = slurp(log).size();
    const bool gone =
        destroy_touch_screen(panel.uinput) && wait_until(5000, [&] { return panel.reader.device_gone(); });
    panel.uinput = -1;
    panel.reader.stop();
    check(gone && access(KRV_INPUT_NODE, F_OK) != 0, "%s: touch panel destroyed and %s removed while krv-navd runs",
          b.label, KRV_INPUT_NODE);
    const bool key = touch_while_gone(make_pair(kStill, kStill, 1));
    const bool swipe = touch_while_gone(make_pair({20, 10, 20, 20}, {20, 60, 20, 20}));
    check(key && swipe, "%s: with the node gone, a driver-flagged touch and a swipe up are classified", b.label);
    check(running(pid) && blocks.both_running(), "%s: krv-navd (pid %d) still runs both threads", b.label, pid);
    // What a device's log shows: the failed open of the key press, and a
    // write error for each record of the key (4) and of the swipe.
    const std::string whole_log = slurp(log);
    const std::string gone_log = whole_log.substr(std::min(log_at, whole_log.size()));
    const std::string open_failed = std::string("krv_nav_reportKey2 open ") + KRV_INPUT_NODE + " failed";
    const int opens = krvtest::count(gone_log, open_failed), writes = krvtest::count(gone_log, "write error");
    const int want_writes =
        int(krvrec::key_records(KEY_HOMEPAGE).size() + krvrec::swipe_records(krvrec::Swipe::kUp).size());
    check(opens == 1 && writes == want_writes,
          "%s: its log says so: %d \"%s\" line(s) (1 expected), %d write errors (%d expected)", b.label, opens,
          open_failed.c_str(), writes, want_writes);
    {
        std::istringstream in(gone_log);
        int shown = 0;
        for (std::string line; std::getline(in, line) && shown < 3;)
            if (line.find("failed") != std::string::npos || line.find("write error") != std::string::npos) {
                printf("  %s\n", line.c_str());
                ++shown;
            }
    }
    std::string out;
    const int rc = run_navctl(b, "status", &out);
    const std::string missing = std::string("input node ") + KRV_INPUT_NODE + ": NOT READY, missing";
    check(rc != 0 && out.find(missing) != std::string::npos, "%s: navctl status exits %d: \"%s\"", b.label, rc,
          missing.c_str());

    panel.uinput = create_touch_screen();
    panel.model = InputCoreModel(kKeys, kAxes);
    check(panel.uinput >= 0 && panel.reader.start(), "%s: touch panel made again as %s, read anew", b.label,
          KRV_INPUT_NODE);
    const size_t first = ck.streams.size();
    ck.four_gestures(l + " new node: ");
    check(running(pid) && blocks.both_running(), "%s: served by the same krv-navd (pid %d), never restarted", b.label,
          pid);
    return std::vector<std::vector<Ev>>(ck.streams.begin() + long(first), ck.streams.end());
}

// A second start beside a running daemon: refused, and the first serves on.
void second_start(const HostBuild& b, const RemoteBlocks& blocks, Checker& ck) {
    const std::string l = b.label, log = "/tmp/krv-navd-" + l + "-second.log";
    const pid_t second = start_navd(b, log, false);
    const int status = reap(second, kRefusalBoundMs);
    const std::string text = slurp(log);
    check(status == 1 && non_empty_lines(text) == 1,
          "%s: a second krv-navd is refused within %d s: exit status %d, %d line(s) (1 expected):", b.label,
          kRefusalBoundMs / 1000, status, non_empty_lines(text));
    print_indented(text, 10);
    check(running(blocks.pid()) && blocks.both_running() && nav_armed(),
          "%s: the first krv-navd (pid %d) still runs both threads, one descriptor armed", b.label, blocks.pid());
    ck.gesture((l + " after the refused start: driver-flagged").c_str(), make_pair(kStill, kStill, 1), 0,
               krvrec::key_records(KEY_HOMEPAGE));
}

}  // namespace

std::vector<std::vector<Ev>> hosted_daemon(const HostBuild& b, TouchPanel& panel) {
    printf("--- krv-navd (%s) hosts the library\n", b.label);
    Checker ck{panel.reader, panel.model, {}, {}, {}};
    const std::string l = b.label, folder = pipe_folder(), log = "/tmp/krv-navd-" + l + ".log";
    // As on a device where only system_server's /data/system/users/0 exists:
    // the folder goes with whatever an earlier daemon left in it.
    if (DIR* dir = opendir(folder.c_str())) {
        while (const struct dirent* e = readdir(dir))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlinkat(dirfd(dir), e->d_name, 0);
        closedir(dir);
    }
    rmdir(folder.c_str());
    check(access("/data/system/users/0", F_OK) == 0 && access(folder.c_str(), F_OK) != 0,
          "%s: before the start only /data/system/users/0 exists", b.label);
    krv_nav_core_ctl_setSta(0);
    const long long compat0 = drv("compat_requests"), requests0 = drv("frame_requests");

    pid_t pid = start_navd(b, log, true);
    RemoteBlocks blocks(pid);
    if (!check(comes_up(blocks), "%s: krv-navd (pid %d) runs both threads, one descriptor armed", b.label, pid)) {
        print_indented(slurp(log));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return {};
    }
    if (b.compat) check(elf32(pid), "%s: krv-navd is a 32-bit process", b.label);
    struct stat st = {};
    const bool made = stat(folder.c_str(), &st) == 0;
    check(made && S_ISDIR(st.st_mode) && st.st_uid == kFolderOwner && st.st_gid == kFolderGroup &&
              (st.st_mode & 07777) == kFolderMode,
          "%s: krv-navd made %s (owner %u, group %u, mode %04o)", b.label, folder.c_str(), unsigned(st.st_uid),
          unsigned(st.st_gid), unsigned(st.st_mode & 07777));
    const bool fifo = wait_until(10000, [&] { return stat(KRV_CTL_PIPE, &st) == 0; });
    check(fifo && S_ISFIFO(st.st_mode) && (st.st_mode & 0777) == 0666, "%s: the pipe is a FIFO of mode 0666", b.label);
    check(krv_nav_core_ctl_getSta() == 1, "%s: --enable wrote \"enable\"", b.label);
    {
        std::string out;
        int rc = -1;
        wait_until(10000, [&] { return (rc = run_navctl(b, "status", &out)) == 0; });
        check(rc == 0, "%s: navctl status exits 0 against the real nodes:", b.label);
        print_indented(out);
    }

    ck.four_gestures(l + " ");
    auto navctl_commands = [&](const RemoteBlocks& running_blocks) {
        // "STP" and "STT" through navctl, which the daemon's control thread reads.
        ck.pause_and_resume(
            b.label,
            [&](const char* command) {
                const char* word = strcmp(command, "STP") == 0 ? "stop" : "start";
                std::string out;
                check(run_navctl(b, word, &out) == 0, "%s: navctl %s exits 0", b.label, word);
            },
            [&] { return static_cast<int32_t>(running_blocks.nav_state()); });
        ck.gesture((l + " driver-flagged after STT").c_str(), make_pair(kStill, kStill, 1), 0,
                   krvrec::key_records(KEY_HOMEPAGE));
    };
    navctl_commands(blocks);

    std::vector<std::vector<Ev>> fresh = panel_reload(b, blocks, log, panel, ck);
    second_start(b, blocks, ck);

    // SIGKILL, as init's stop does, and a new start over what it left.
    kill(pid, SIGKILL);
    check(reap(pid, 10000) == 128 + SIGKILL, "%s: krv-navd (pid %d) ended by SIGKILL", b.label, pid);
    {
        const bool left = lstat(KRV_CTL_PIPE, &st) == 0 && S_ISFIFO(st.st_mode);
        const int w = open(KRV_CTL_PIPE, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const bool no_reader = w < 0 && errno == ENXIO;
        if (w >= 0) close(w);
        check(left && no_reader && access(folder.c_str(), F_OK) == 0,
              "%s: it left its pipe (a FIFO with no reader) and the pipe's folder", b.label);
        check(wait_until(5000, [] { return drv("armed") == 0 && drv("opens") == 0; }),
              "%s: the kernel closed its sensor descriptor", b.label);
    }
    const std::string log2 = "/tmp/krv-navd-" + l + "-restarted.log";
    const int64_t t0 = mono_ns();
    pid = start_navd(b, log2, true);
    blocks = RemoteBlocks(pid);
    const bool up = comes_up(blocks);
    const int rc = up ? status_ready(b) : -1;
    const double s = double(mono_ns() - t0) / 1e9;
    check(up && rc == 0 && s <= kRestartBoundS,
          "%s: krv-navd (pid %d) started again over what the killed one left: both threads, one descriptor armed, "
          "navctl status exits 0 after %.2f s (bound %.0f s)",
          b.label, pid, s, kRestartBoundS);
    if (!up) print_indented(slurp(log2));
    ck.gesture((l + " restarted: swipe down").c_str(), make_pair({20, 60, 20, 20}, {20, 10, 20, 20}), 0,
               krvrec::swipe_records(krvrec::Swipe::kDown));
    navctl_commands(blocks);

    const long long compat = drv("compat_requests") - compat0, requests = drv("frame_requests") - requests0;
    if (b.compat) {
        check(requests > 0 && compat == requests,
              "%s: every frame request came through compat_ioctl (%lld of %lld); records read back as the kernel's "
              "%zu-byte records",
              b.label, compat, requests, sizeof(struct input_event));
    } else {
        check(requests > 0 && compat == 0, "%s: %lld frame requests, none through compat_ioctl", b.label, requests);
    }

    // SIGTERM: both workers end and the daemon exits 0.
    kill(pid, SIGTERM);
    const int status = reap(pid, 20000);
    const std::string text = slurp(log2);
    check(status == 0 && text.find("both workers ended") != std::string::npos,
          "%s: SIGTERM: both workers ended, exit status %d", b.label, status);
    check(wait_until(5000, [] { return drv("armed") == 0 && drv("opens") == 0; }), "%s: no sensor descriptor left open",
          b.label);
    printf("%s: krv-navd's log, first start (lines above debug):\n", b.label);
    print_indented(above_debug(slurp(log)));
    printf("%s: krv-navd's log, new start (lines above debug):\n", b.label);
    print_indented(above_debug(text));
    printf(
        "%s latency kill_fasync -> first record read: median %.2f ms over %zu touches; -> frame request: median "
        "%.2f ms\n",
        b.label, median(ck.latencies_ms), ck.latencies_ms.size(), median(ck.fetch_ms));
    return fresh;
}

}  // namespace krvsys
