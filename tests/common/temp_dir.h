// A temporary folder under /tmp that is removed, with everything in it,
// when the object goes.
#pragma once

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace krvtest {

class TempDir {
  public:
    explicit TempDir(const char* prefix = "krv-test") {
        std::string tmpl = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~TempDir() {
        if (path_.empty()) return;
        nftw(
            path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace krvtest
