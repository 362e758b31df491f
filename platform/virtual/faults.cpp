#include "platform/virtual/faults.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/virtual/vbt.h"

namespace blmx::vbt {

namespace {

constexpr const char *op_names[] = {"socket",     "bind",  "connect", "getsockopt", "setsockopt",
                                    "ioctl",      "read",  "write",   "sdp_open",   "sdp_search"};

struct fault {
    int remaining = 0;  // calls to let through before the failing one; -1: none armed
    int error = 0;
};

struct state {
    std::mutex lock;
    fault faults[static_cast<int>(fault_op::count)];
    std::atomic<bool> armed{false};
    std::atomic<bool> env_read{false};
};

state &st() {
    static state s;
    return s;
}

int op_index(const char *name) {
    for (int i = 0; i < static_cast<int>(fault_op::count); ++i)
        if (std::strcmp(op_names[i], name) == 0) return i;
    return -1;
}

void arm(state &s, int op, int nth, int error) {
    s.faults[op].remaining = nth - 1;
    s.faults[op].error = error;
    s.armed = true;
}

// BLMX_VBT_FAULT="op:nth:errno[,op:nth:errno...]" arms faults in another process.
void read_env(state &s) {
    s.env_read = true;
    for (auto &f : s.faults) f.remaining = -1;
    const char *env = std::getenv("BLMX_VBT_FAULT");
    if (!env) return;
    std::string spec(env);
    size_t pos = 0;
    while (pos < spec.size()) {
        size_t end = spec.find(',', pos);
        if (end == std::string::npos) end = spec.size();
        const std::string item = spec.substr(pos, end - pos);
        const size_t a = item.find(':'), b = item.rfind(':');
        if (a != std::string::npos && b != a) {
            const int op = op_index(item.substr(0, a).c_str());
            if (op >= 0) arm(s, op, std::atoi(item.substr(a + 1, b - a - 1).c_str()), std::atoi(item.substr(b + 1).c_str()));
        }
        pos = end + 1;
    }
}

}  // namespace

int fault_check(fault_op op) {
    state &s = st();
    if (!s.env_read) {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.env_read) read_env(s);
    }
    if (!s.armed) return 0;
    std::lock_guard<std::mutex> g(s.lock);
    fault &f = s.faults[static_cast<int>(op)];
    if (f.remaining < 0) return 0;
    if (f.remaining-- > 0) return 0;
    f.remaining = -1;
    return f.error;
}

}  // namespace blmx::vbt

extern "C" {

// Arms the nth (1 = next) call of the named operation to fail with `error`.
VBT_EXPORT int vbt_fault_inject(const char *op, int nth, int error) {
    using namespace blmx::vbt;
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.env_read) read_env(s);
    const int i = op_index(op);
    if (i < 0 || nth < 1) return errno = EINVAL, -1;
    arm(s, i, nth, error);
    return 0;
}

VBT_EXPORT void vbt_fault_clear(void) {
    using namespace blmx::vbt;
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    for (auto &f : s.faults) f.remaining = -1;
    s.env_read = true;
    s.armed = false;
}

}  // extern "C"
