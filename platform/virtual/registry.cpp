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

#include <fcntl.h>
#include <sys/file.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace blmx::vbt {

std::string hex_address(const bdaddr_t &a) {
    char buf[13];
    std::snprintf(buf, sizeof buf, "%02x%02x%02x%02x%02x%02x", a.b[5], a.b[4], a.b[3], a.b[2], a.b[1], a.b[0]);
    return buf;
}

std::string lock_path(const std::string &dir, const bdaddr_t &a) { return dir + "/dev-" + hex_address(a) + ".lock"; }

bool device_alive(const std::string &dir, const bdaddr_t &a) {
    const int fd = ::open(lock_path(dir, a).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool free_lock = flock(fd, LOCK_SH | LOCK_NB) == 0;
    ::close(fd);
    return !free_lock;
}

namespace {

constexpr const char *device_tag = "# virtual device";

// Rewrites the hosts file under its lock: drops tagged entries of devices that are
// gone (and of `replace`, when given), then appends `add` when not empty.
bool rewrite_hosts(const std::string &dir, const bdaddr_t *replace, const std::string &add, std::string *why) {
    const std::string hosts = dir + "/hosts", lockfile = dir + "/hosts.lock";
    const int lk = ::open(lockfile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lk < 0) {
        if (why) *why = lockfile + ": " + std::strerror(errno);
        return false;
    }
    flock(lk, LOCK_EX);
    std::vector<std::string> keep;
    {
        std::ifstream in(hosts);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(device_tag) != std::string::npos) {
                std::istringstream ls(line);
                std::string addr;
                ls >> addr;
                bdaddr_t a;
                if (bt_aton(addr.c_str(), &a) &&
                    ((replace && std::memcmp(a.b, replace->b, 6) == 0) || !device_alive(dir, a)))
                    continue;
            }
            keep.push_back(line);
        }
    }
    if (!add.empty()) keep.push_back(add);
    const std::string tmp = hosts + ".new";
    bool ok = false;
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto &l : keep) out << l << "\n";
        ok = static_cast<bool>(out);
    }
    ok = ok && std::rename(tmp.c_str(), hosts.c_str()) == 0;
    if (!ok && why) *why = hosts + ": " + std::strerror(errno);
    ::close(lk);
    return ok;
}

}  // namespace

bool hosts_add(const std::string &dir, const bdaddr_t &a, const std::string &name, std::string *why) {
    char text[18];
    bt_ntoa(&a, text);
    return rewrite_hosts(dir, &a, name.empty() ? std::string() : std::string(text) + " " + name + " " + device_tag, why);
}

void hosts_remove_dead(const std::string &dir) { rewrite_hosts(dir, nullptr, std::string(), nullptr); }

}  // namespace blmx::vbt
