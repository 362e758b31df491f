// Registry directory of the virtual stack.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/virtual/registry.h"

namespace blmx::vbt {

std::string directory() {
    if (const char *d = std::getenv("BLMX_VBT_DIR"); d && *d) return d;
    if (const char *x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/blmx-vbt";
    return "/tmp/blmx-vbt-" + std::to_string(getuid());
}

bool directory_is_safe(const std::string &dir, bool create, std::string *why) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT && create && mkdir(dir.c_str(), 0700) == 0 && lstat(dir.c_str(), &st) == 0) {
            // made it just now
        } else {
            if (why) *why = dir + ": " + std::strerror(errno);
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        if (why) *why = dir + ": is a symbolic link; refusing to use it";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (why) *why = dir + ": not a directory";
        return false;
    }
    if (st.st_uid != getuid()) {
        if (why) *why = dir + ": owned by another user; refusing to use it";
        return false;
    }
    if (st.st_mode & 077) {
        if (why) *why = dir + ": accessible to other users (mode must be 0700); refusing to use it";
        return false;
    }
    return true;
}

}  // namespace blmx::vbt
