// The device integration files (device/ and the daemon's Android.bp module)
// must name exactly the paths, requests, property and binary the code uses.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/file_text.h"
#include "krv_nav.h"

namespace {

using krvtest::pipe_folder;

using Words = std::vector<std::string>;

std::string read_source(const std::string& rel) {
    const std::string path = std::string(KRV_SOURCE_DIR) + "/" + rel;
    EXPECT_EQ(access(path.c_str(), R_OK), 0) << rel << " is missing";
    return krvtest::slurp(path);
}

// The words of every line, comments ('#' to the end) and blank lines left out.
std::vector<Words> word_lines(const std::string& text) {
    std::vector<Words> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        Words w;
        for (std::string word; words >> word;) w.push_back(word);
        if (!w.empty()) lines.push_back(w);
    }
    return lines;
}

// The type of a context "u:object_r:TYPE:s0".
std::string context_type(const std::string& context) {
    std::smatch m;
    return std::regex_match(context, m, std::regex("u:object_r:(\\w+):s0")) ? m[1].str() : "(bad context)";
}

// "on ..." and "service ..." sections of an init script.
struct Section {
    Words header;
    std::vector<Words> body;
};

std::vector<Section> init_sections(const std::string& text) {
    std::vector<Section> sections;
    for (const Words& w : word_lines(text)) {
        if (w[0] == "on" || w[0] == "service")
            sections.push_back({w, {}});
        else if (!sections.empty())
            sections.back().body.push_back(w);
    }
    return sections;
}

// The first line of `section` that begins with `word`, or an empty one.
Words line_starting(const Section& section, const std::string& word) {
    for (const Words& w : section.body)
        if (w[0] == word) return w;
    return {};
}

// The words of `set` in order, one space apart.
std::string joined(const std::set<std::string>& set) {
    std::string text;
    for (const std::string& w : set) text += (text.empty() ? "" : " ") + w;
    return text;
}

// The property key the library writes, found by letting it write one into
// an empty host property store.
std::string property_the_library_writes() {
    char dir[] = "/tmp/krv-device-props-XXXXXX";
    if (mkdtemp(dir) == nullptr) return "(no temporary folder)";
    setenv("KRV_PROPERTY_DIR", dir, 1);
    EXPECT_EQ(krv_nav_core_ctl_setSta(1), 0);
    unsetenv("KRV_PROPERTY_DIR");
    std::vector<std::string> keys;
    if (DIR* d = opendir(dir)) {
        while (const struct dirent* e = readdir(d))
            if (e->d_name[0] != '.') keys.push_back(e->d_name);
        closedir(d);
    }
    for (const std::string& k : keys) unlink((std::string(dir) + "/" + k).c_str());
    rmdir(dir);
    if (keys.size() == 1) return keys[0];
    // Appended, not `"(" + std::string`: GCC 12 at -O2 reports a false
    // overlap there (-Wrestrict, GCC bug 105329).
    std::string written = "(";
    written.append(std::to_string(keys.size())).append(" keys written)");
    return written;
}

struct DeviceFiles {
    std::vector<Words> ueventd = word_lines(read_source("device/ueventd.rc"));
    std::vector<Words> file_contexts = word_lines(read_source("device/sepolicy/file_contexts"));
    std::vector<Words> property_contexts = word_lines(read_source("device/sepolicy/property_contexts"));
    std::string te = read_source("device/sepolicy/krv_navd.te");
    std::vector<Section> rc = init_sections(read_source("device/krv-navd.rc"));
    std::string bp = read_source("Android.bp");

    const Section* service() const {
        for (const Section& s : rc)
            if (s.header[0] == "service") return &s;
        return nullptr;
    }
    // The type file_contexts gives `path`.
    std::string type_of(const std::string& path) const {
        for (const Words& w : file_contexts)
            if (w.size() >= 2 && std::regex_match(path, std::regex(w[0]))) return context_type(w.back());
        return "(no file_contexts line)";
    }
    // The first capture of `pattern` in the domain file.
    std::string te_match(const std::string& pattern) const {
        std::smatch m;
        return std::regex_search(te, m, std::regex(pattern)) ? m[1].str() : "(not in krv_navd.te)";
    }
    // The body of the cc_binary module named `name` in Android.bp.
    std::string bp_binary(const std::string& name) const {
        std::smatch m;
        const std::regex module("cc_binary \\{([^}]*name: \"" + name + "\"[^}]*)\\}");
        return std::regex_search(bp, m, module) ? m[1].str() : "";
    }
};

TEST(DeviceFiles, NameWhatTheCodeUses) {
    DeviceFiles f;
    const Section* service = f.service();
    ASSERT_NE(service, nullptr) << "device/krv-navd.rc defines no service";
    ASSERT_GE(service->header.size(), 3u);
    const std::string daemon = KRV_NAVD_NAME;
    const std::string domain = f.te_match("init_daemon_domain\\((\\w+)\\)");

    // The section that makes the pipe's folder and then starts the daemon.
    std::string made_folder = "(no mkdir)", started = "(no start)";
    for (const Section& s : f.rc) {
        const Words mkdir = line_starting(s, "mkdir"), start = line_starting(s, "start");
        if (mkdir.size() >= 2 && start.size() >= 2) made_folder = mkdir[1], started = start[1];
    }
    std::set<std::string> uevent_nodes;
    for (const Words& w : f.ueventd) uevent_nodes.insert(w[0]);
    ASSERT_EQ(f.property_contexts.size(), 1u);
    const Words& prop = f.property_contexts[0];
    const std::string bp = f.bp_binary(daemon);
    std::smatch m;
    const std::string init_rc =
        std::regex_search(bp, m, std::regex("init_rc: \\[\"([^\"]+)\"\\]")) ? m[1].str() : "(none)";
    // allowxperm numbers: the low 16 bits of a request (type and number).
    std::ostringstream requests;
    requests << std::hex << "0x" << (NAV_IOC_GET_IMAGE & 0xFFFF) << " 0x" << (NAV_IOC_REPORT_KEY & 0xFFFF);

    struct Check {
        const char* what;
        std::string code, files;
    };
    const Check checks[] = {
        {"nodes with a ueventd line", joined({KRV_SENSOR_NODE, KRV_INPUT_NODE}), joined(uevent_nodes)},
        {"pipe's folder made by the init script", pipe_folder(), made_folder},
        {"daemon the init script runs", "/system_ext/bin/" + daemon, service->header[2]},
        {"service started after the folder", service->header[1], started},
        {"daemon's type on system_ext", domain + "_exec", f.type_of("/system_ext/bin/" + daemon)},
        {"daemon's type on system/system_ext", domain + "_exec", f.type_of("/system/system_ext/bin/" + daemon)},
        {"sensor node's type", f.te_match("allowxperm \\w+ (\\w+):chr_file"), f.type_of(KRV_SENSOR_NODE)},
        {"requests allowed on the sensor node", requests.str(),
         f.te_match("allowxperm \\w+ \\w+:chr_file ioctl \\{ *([^}]*[^ }]) *\\}")},
        {"domain allowed the requests", domain, f.te_match("allowxperm (\\w+) ")},
        {"enable property", property_the_library_writes(), prop[0]},
        {"property type the domain sets", context_type(prop[1]), f.te_match("set_prop\\(\\w+, *(\\w+)\\)")},
        {"domain that sets the property", domain, f.te_match("set_prop\\((\\w+),")},
        {"Android.bp cc_binary of the daemon", daemon, bp.empty() ? "(none)" : daemon},
        {"its init script", "device/krv-navd.rc", init_rc},
        {"its partition", "system_ext_specific: true",
         bp.find("system_ext_specific: true") != std::string::npos ? "system_ext_specific: true" : "(not set)"},
    };
    for (const Check& c : checks) EXPECT_EQ(c.code, c.files) << c.what;

    // The domain's FIFO rules are written for the platform's label of the
    // pipe's folder: /data/system/users/N/fpdata is fingerprintd_data_file.
    EXPECT_TRUE(std::regex_match(std::string(KRV_CTL_PIPE), std::regex("/data/system/users/[0-9]+/fpdata(/.*)?")))
        << KRV_CTL_PIPE << " lies outside the folder the platform labels fingerprintd_data_file";
    EXPECT_NE(f.te.find("fingerprintd_data_file:fifo_file"), std::string::npos);
}

// The service's user and groups may open both nodes read-write as ueventd
// creates them, and may create the pipe in the folder the init script makes.
TEST(DeviceFiles, DaemonMayOpenTheNodesAndMakeThePipe) {
    DeviceFiles f;
    const Section* service = f.service();
    ASSERT_NE(service, nullptr);
    const Words user = line_starting(*service, "user"), groups = line_starting(*service, "group");
    ASSERT_EQ(user.size(), 2u);
    ASSERT_GE(groups.size(), 2u);
    const std::set<std::string> member(groups.begin() + 1, groups.end());
    // mode owner group, as ueventd.rc and an init mkdir write them.
    auto may = [&](const std::string& mode, const std::string& owner, const std::string& group, unsigned bits) {
        const unsigned m = static_cast<unsigned>(std::stoul(mode, nullptr, 8));
        return (owner == user[1] && ((m >> 6) & bits) == bits) || (member.count(group) && ((m >> 3) & bits) == bits) ||
               (m & bits) == bits;
    };
    constexpr unsigned kReadWrite = 06, kWriteSearch = 03;
    std::map<std::string, Words> nodes;
    for (const Words& w : f.ueventd) nodes[w[0]] = w;
    for (const char* node : {KRV_SENSOR_NODE, KRV_INPUT_NODE}) {
        const Words& w = nodes[node];
        ASSERT_EQ(w.size(), 4u) << node << ": want path mode owner group";
        EXPECT_TRUE(may(w[1], w[2], w[3], kReadWrite)) << node << " " << w[1] << " " << w[2] << " " << w[3];
    }
    bool folder_seen = false;
    for (const Section& s : f.rc) {
        const Words mkdir = line_starting(s, "mkdir");
        if (mkdir.empty()) continue;
        folder_seen = true;
        ASSERT_EQ(mkdir.size(), 5u) << "want mkdir path mode owner group";
        EXPECT_TRUE(may(mkdir[2], mkdir[3], mkdir[4], kWriteSearch)) << "pipe's folder " << mkdir[2];
    }
    EXPECT_TRUE(folder_seen);
}

// The init script makes the pipe's folder, so the domain needs nothing on the
// folders above it: search on them every domain has, and write on
// system_data_file would reach every default-labelled folder under /data
// (the kind of grant a pasted audit2allow line brings back).
TEST(DeviceFiles, PolicyGrantsNothingOnDefaultDataFolders) {
    DeviceFiles f;
    const std::regex rule("(allow|type_transition)\\s+\\w+\\s+(\\w+):");
    std::set<std::string> found;
    for (std::sregex_iterator it(f.te.begin(), f.te.end(), rule), end; it != end; ++it) {
        const std::string kind = (*it)[1], target = (*it)[2];
        if (kind == "type_transition" || target == "system_data_file" || target == "system_data_root_file")
            found.insert(kind + " on " + target);
    }
    EXPECT_EQ(joined(found), "");
}

}  // namespace
