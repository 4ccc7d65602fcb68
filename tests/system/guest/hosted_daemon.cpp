#include "hosted_daemon.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Runs `argv` with `lib_dir` as its library path and its output in `out`.
// Everything is built before the fork: the reader thread may hold the
// allocator's lock at that moment.
pid_t spawn(const std::vector<std::string>& argv, const char* lib_dir, const std::string& out) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const std::string libs = std::string("LD_LIBRARY_PATH=") + lib_dir;
    char* env[] = {const_cast<char*>(libs.c_str()), const_cast<char*>("KRV_PROPERTY_DIR=/data/property"), nullptr};
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

    pid_t pid_;
    bool wide_ = true;
    unsigned long nav_ = 0, ctl_ = 0;
};

bool elf32(pid_t pid) {
    char ident[EI_NIDENT] = {};
    std::ifstream exe("/proc/" + std::to_string(pid) + "/exe", std::ios::binary);
    exe.read(ident, sizeof ident);
    return exe && ident[EI_CLASS] == ELFCLASS32;
}

void print_indented(const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) printf("  %s\n", line.c_str());
}

}  // namespace

void hosted_daemon(const HostBuild& b, Reader& reader, InputCoreModel& model) {
    printf("--- krv-navd (%s) hosts the library\n", b.label);
    Checker ck{reader, model, {}, {}};
    const std::string folder = pipe_folder(), log = std::string("/tmp/krv-navd-") + b.label + ".log";
    // As on a device where only system_server's /data/system/users/0 exists.
    unlink(KRV_CTL_PIPE);
    rmdir(folder.c_str());
    check(access("/data/system/users/0", F_OK) == 0 && access(folder.c_str(), F_OK) != 0,
          "%s: before the start only /data/system/users/0 exists", b.label);
    krv_nav_core_ctl_setSta(0);
    const long long compat0 = drv("compat_requests"), requests0 = drv("frame_requests");

    const pid_t pid = spawn({b.navd, "--enable", "--dir-owner", std::to_string(kFolderOwner), "--dir-group",
                             std::to_string(kFolderGroup), "--dir-mode", "0700"},
                            b.lib_dir, log);
    RemoteBlocks blocks(pid);
    const bool up = wait_until(10000, [&] { return blocks.find() && blocks.both_running(); });
    if (!check(up && nav_armed(), "%s: krv-navd (pid %d) runs both threads, one descriptor armed", b.label, pid)) {
        print_indented(slurp(log));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return;
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

    // The control thread opens the pipe for reading a moment after making it.
    std::string out;
    int rc = -1;
    wait_until(10000, [&] { return (rc = run_navctl(b, "status", &out)) == 0; });
    check(rc == 0, "%s: navctl status exits 0 against the real nodes:", b.label);
    print_indented(out);

    const std::string l = b.label;
    ck.four_gestures(l + " ");

    // "STP" and "STT" through navctl, which the daemon's control thread reads.
    ck.pause_and_resume(
        b.label,
        [&](const char* command) {
            const char* word = strcmp(command, "STP") == 0 ? "stop" : "start";
            check(run_navctl(b, word, &out) == 0, "%s: navctl %s exits 0", b.label, word);
        },
        [&] { return static_cast<int32_t>(blocks.nav_state()); });
    const Blob still{20, 50, 20, 20};
    ck.gesture((l + " driver-flagged after STT").c_str(), make_pair(still, still, 1), 0,
               krvrec::key_records(KEY_HOMEPAGE));

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
    const std::string text = slurp(log);
    check(status == 0 && text.find("both workers ended") != std::string::npos,
          "%s: SIGTERM: both workers ended, exit status %d", b.label, status);
    check(wait_until(5000, [] { return drv("armed") == 0 && drv("opens") == 0; }), "%s: no sensor descriptor left open",
          b.label);
    printf("%s: krv-navd's log:\n", b.label);
    print_indented(text);
    printf(
        "%s latency kill_fasync -> first record read: median %.2f ms over %zu touches; -> frame request: median "
        "%.2f ms\n",
        b.label, median(ck.latencies_ms), ck.latencies_ms.size(), median(ck.fetch_ms));
}

}  // namespace krvsys
