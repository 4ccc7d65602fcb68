// Small text helpers for tests that run programs and read what they wrote.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "krv_nav.h"

namespace krvtest {

// The whole file; empty when it cannot be read.
inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// How often `what` occurs in `text`.
inline int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The folder of the command pipe, as the daemon and an init mkdir see it:
// the path up to its last name, without trailing slashes.
inline std::string pipe_folder() {
    std::string path = KRV_CTL_PIPE;
    path.erase(path.rfind('/'));
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace krvtest
