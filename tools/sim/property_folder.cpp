#include "property_folder.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace krvsim {

PropertyFolder::PropertyFolder() {
    char tmpl[] = "/tmp/krv-sim-props-XXXXXX";
    if (mkdtemp(tmpl)) dir_ = tmpl;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): set before the library starts any thread.
    setenv("KRV_PROPERTY_DIR", dir_.empty() ? "/tmp/krv-sim-props" : dir_.c_str(), 1);
}

PropertyFolder::~PropertyFolder() {
    if (dir_.empty()) return;
    if (DIR* d = opendir(dir_.c_str())) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): this directory stream is used by this thread only.
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlink((dir_ + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir_.c_str());
}

}  // namespace krvsim
