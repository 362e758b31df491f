// Virtual L2CAP channels on AF_UNIX sequenced-packet sockets.
//
// A device process registers under an address (a lock file it holds while it
// lives) and listens on one socket per PSM in the registry directory. Connect
// reaches the device's socket for that PSM; a short handshake then tells each
// side the other's address and incoming MTU, so each knows its outgoing MTU.
// Packet boundaries, EAGAIN, end of stream, blocking writes and EINTR are the
// host sockets' own.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/virtual/capture.h"
#include "platform/virtual/faults.h"
#include "platform/virtual/registry.h"
#include "platform/virtual/vbt.h"

namespace blmx::vbt {

namespace {

constexpr int af_bluetooth = 36, sock_seqpacket = 5, proto_l2cap = 135;
constexpr int sol_l2cap = 0x1609, so_l2cap_imtu = 1, so_l2cap_omtu = 2;
constexpr int sol_socket = 0xffff, so_sndbuf = 0x1001, so_rcvbuf = 0x1002, so_sndlowat = 0x1003, so_rcvlowat = 0x1004;
constexpr unsigned long fionbio = 0x8004667eUL;
constexpr unsigned sockaddr_l2cap_size = 14;
constexpr uint16_t default_mtu = 672;
constexpr int handshake_timeout_ms = 5000;

struct channel {
    bool connected = false;
    bdaddr_t remote{};
    uint16_t psm = 0;
    uint16_t imtu = default_mtu, omtu = default_mtu;
    capture::link link;
};

struct hello {
    char magic[4];
    uint16_t imtu;
    uint16_t psm;
    uint8_t address[6];
};

struct table {
    std::mutex lock;
    std::unordered_map<int, channel> channels;
    std::unordered_map<int, channel> listening;  // a listener keeps its own address in `remote`
    bool have_local = false;
    bdaddr_t local{};
};

table &channels() {
    static table t;
    return t;
}

// Caller holds the table's lock.
std::unordered_map<int, channel> &listeners() { return channels().listening; }

// Looks a channel up; copies it out so the lock is not held across I/O.
bool find(int fd, channel *out = nullptr) {
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.channels.find(fd);
    if (it == t.channels.end()) return false;
    if (out) *out = it->second;
    return true;
}

template <typename F> bool update(int fd, F &&f) {
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.channels.find(fd);
    if (it == t.channels.end()) return false;
    f(it->second);
    return true;
}

std::string psm_path(const std::string &dir, const bdaddr_t &a, uint16_t psm) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", psm);
    return dir + "/l2cap-" + hex_address(a) + "-" + buf;
}

bool fill_unix_address(sockaddr_un &sa, const std::string &path) {
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return false;
    std::memcpy(sa.sun_path, path.c_str(), path.size());
    return true;
}

// The address this process's channels come from: its first registered device,
// or the local adapter's.
bdaddr_t local_address() {
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.have_local) return t.local;
    bdaddr_t a;
    bt_aton("00:1b:dc:00:00:01", &a);
    return a;
}

// Reads exactly one packet of `size` bytes within the handshake time.
bool read_handshake(int fd, void *buf, size_t size) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do r = poll(&p, 1, handshake_timeout_ms);
    while (r < 0 && errno == EINTR);
    if (r <= 0) {
        errno = r == 0 ? ETIMEDOUT : errno;
        return false;
    }
    ssize_t n;
    do n = ::recv(fd, buf, size, 0);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(size)) {
        if (n >= 0) errno = ECONNRESET;
        return false;
    }
    return std::memcmp(buf, "VBT1", 4) == 0;
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

}  // namespace blmx::vbt

using namespace blmx::vbt;

extern "C" {

VBT_EXPORT int vbt_socket(int domain, int type, int protocol) {
    if (int e = fault_check(fault_op::socket)) return errno = e, -1;
    if (domain != af_bluetooth) return errno = EAFNOSUPPORT, -1;
    if (type != sock_seqpacket) return errno = EPROTOTYPE, -1;
    if (protocol != proto_l2cap) return errno = EPROTONOSUPPORT, -1;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    t.channels[fd] = channel{};
    return fd;
}

VBT_EXPORT int vbt_bind(int s, const void *address, unsigned length) {
    if (int e = fault_check(fault_op::bind)) return errno = e, -1;
    if (!find(s)) return errno = ENOTSOCK, -1;
    if (length != sockaddr_l2cap_size || !address) return errno = EINVAL, -1;
    const auto *a = static_cast<const uint8_t *>(address);
    if (a[0] != sockaddr_l2cap_size) return errno = EINVAL, -1;
    if (a[1] != af_bluetooth) return errno = EAFNOSUPPORT, -1;
    static const uint8_t any[6] = {};
    const bdaddr_t local = local_address();
    if (std::memcmp(a + 4, any, 6) != 0 && std::memcmp(a + 4, local.b, 6) != 0) return errno = EADDRNOTAVAIL, -1;
    return 0;
}

VBT_EXPORT int vbt_connect(int s, const void *address, unsigned length) {
    if (int e = fault_check(fault_op::connect)) return errno = e, -1;
    channel ch;
    if (!find(s, &ch)) return errno = ENOTSOCK, -1;
    if (ch.connected) return errno = EISCONN, -1;
    if (length != sockaddr_l2cap_size || !address) return errno = EINVAL, -1;
    const auto *a = static_cast<const uint8_t *>(address);
    if (a[0] != sockaddr_l2cap_size) return errno = EINVAL, -1;
    if (a[1] != af_bluetooth) return errno = EAFNOSUPPORT, -1;
    bdaddr_t remote;
    std::memcpy(remote.b, a + 4, 6);
    const uint16_t psm = get16(a + 2);
    const std::string dir = directory();
    if (!directory_is_safe(dir, false) || !device_alive(dir, remote)) return errno = EHOSTDOWN, -1;
    sockaddr_un sa;
    if (!fill_unix_address(sa, psm_path(dir, remote, psm))) return errno = ENAMETOOLONG, -1;
    if (::connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) errno = ECONNREFUSED;
        return -1;
    }
    hello h{};
    std::memcpy(h.magic, "VBT1", 4);
    h.imtu = ch.imtu;
    h.psm = psm;
    const bdaddr_t local = local_address();
    std::memcpy(h.address, local.b, 6);
    if (::send(s, &h, sizeof h, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof h)) return errno = ECONNREFUSED, -1;
    uint8_t reply[6];
    if (!read_handshake(s, reply, sizeof reply)) {
        if (errno != ETIMEDOUT) errno = ECONNREFUSED;
        return -1;
    }
    const uint16_t omtu = get16(reply + 4);
    const capture::link link = capture::open_channel(remote, psm, true, ch.imtu, omtu);
    update(s, [&](channel &c) {
        c.connected = true;
        c.remote = remote;
        c.psm = psm;
        c.omtu = omtu;
        c.link = link;
    });
    return 0;
}

VBT_EXPORT int vbt_getsockopt(int s, int level, int name, void *value, unsigned *length) {
    if (int e = fault_check(fault_op::getsockopt)) return errno = e, -1;
    channel ch;
    if (!find(s, &ch)) return errno = ENOTSOCK, -1;
    if (level != sol_l2cap) return errno = ENOPROTOOPT, -1;
    if (name != so_l2cap_imtu && name != so_l2cap_omtu) return errno = ENOPROTOOPT, -1;
    if (!value || !length || *length < sizeof(uint16_t)) return errno = EINVAL, -1;
    const uint16_t mtu = name == so_l2cap_imtu ? ch.imtu : ch.omtu;
    std::memcpy(value, &mtu, sizeof mtu);
    *length = sizeof mtu;
    return 0;
}

VBT_EXPORT int vbt_setsockopt(int s, int level, int name, const void *value, unsigned length) {
    if (int e = fault_check(fault_op::setsockopt)) return errno = e, -1;
    channel ch;
    if (!find(s, &ch)) return errno = ENOTSOCK, -1;
    if (level == sol_l2cap) {
        // The incoming MTU can be chosen before the channel is connected.
        if (name != so_l2cap_imtu) return errno = ENOPROTOOPT, -1;
        if (!value || length != sizeof(uint16_t)) return errno = EINVAL, -1;
        if (ch.connected) return errno = EISCONN, -1;
        uint16_t mtu;
        std::memcpy(&mtu, value, sizeof mtu);
        if (mtu < 48) return errno = EINVAL, -1;
        update(s, [&](channel &c) { c.imtu = mtu; });
        return 0;
    }
    if (level != sol_socket) return errno = ENOPROTOOPT, -1;
    if (!value || length != sizeof(int)) return errno = EINVAL, -1;
    int v;
    std::memcpy(&v, value, sizeof v);
    switch (name) {
        case so_sndbuf:
            return ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &v, sizeof v);
        case so_rcvbuf:
            return ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);
        case so_rcvlowat:
            return ::setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &v, sizeof v);
        case so_sndlowat:
            // The host's sockets fix their send low-water mark; a blocking write of a
            // packet already waits until the whole packet fits.
            return v >= 0 ? 0 : (errno = EINVAL, -1);
        default:
            return errno = ENOPROTOOPT, -1;
    }
}

VBT_EXPORT int vbt_ioctl(int s, unsigned long request, int *arg) {
    if (int e = fault_check(fault_op::ioctl)) return errno = e, -1;
    if (!find(s)) return errno = ENOTSOCK, -1;
    if (request != fionbio) return errno = ENOTTY, -1;
    if (!arg) return errno = EFAULT, -1;
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0) return -1;
    return fcntl(s, F_SETFL, *arg ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0 ? -1 : 0;
}

VBT_EXPORT ssize_t vbt_read(int s, void *buffer, size_t size) {
    channel ch;
    if (!find(s, &ch)) return ::read(s, buffer, size);
    if (int e = fault_check(fault_op::read)) return errno = e, -1;
    ssize_t n = ::read(s, buffer, size);
    // The host's sockets report a peer that closed with data unread as a reset;
    // an L2CAP channel just ends.
    if (n < 0 && errno == ECONNRESET) n = 0;
    if (n > 0 && ch.link.handle) {
        const iovec v{buffer, static_cast<size_t>(n)};
        capture::packet(ch.link, false, &v, 1);
    }
    return n;
}

VBT_EXPORT ssize_t vbt_writev(int s, const struct iovec *iov, int count) {
    channel ch;
    if (!find(s, &ch)) return ::writev(s, iov, count);
    if (int e = fault_check(fault_op::write)) return errno = e, -1;
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    if (ch.connected && total > ch.omtu) return errno = EMSGSIZE, -1;
    const ssize_t n = ::writev(s, iov, count);
    if (n > 0 && ch.link.handle) capture::packet(ch.link, true, iov, count);
    return n;
}

VBT_EXPORT ssize_t vbt_write(int s, const void *buffer, size_t size) {
    const iovec v{const_cast<void *>(buffer), size};
    if (!find(s)) return ::write(s, buffer, size);
    return vbt_writev(s, &v, 1);
}

VBT_EXPORT int vbt_close(int s) {
    channel ch;
    bool known = false;
    {
        table &t = channels();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.channels.find(s);
        if (it != t.channels.end()) {
            ch = it->second;
            known = true;
            t.channels.erase(it);
        }
    }
    if (known && ch.link.handle) capture::close_channel(ch.link);
    return ::close(s);
}

// ---- devices ----

VBT_EXPORT int vbt_device_register(const char *address, const char *name, char *err, size_t errlen) {
    const auto fail = [&](const std::string &msg, int e) {
        if (err && errlen) std::snprintf(err, errlen, "%s", msg.c_str());
        errno = e;
        return -1;
    };
    bdaddr_t a;
    if (!address || !bt_aton(address, &a)) return fail(std::string("invalid device address '") + (address ? address : "") + "'", EINVAL);
    const std::string dir = directory();
    std::string why;
    if (!directory_is_safe(dir, true, &why)) return fail(why, EPERM);
    const int fd = ::open(lock_path(dir, a).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(lock_path(dir, a) + ": " + std::strerror(errno), errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(std::string("a device with address ") + address + " is already running", EADDRINUSE);
    }
    if (!hosts_add(dir, a, name ? name : "", &why)) {
        ::close(fd);
        return fail(why, EIO);
    }
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    if (!t.have_local) {
        t.have_local = true;
        t.local = a;
    }
    return fd;
}

VBT_EXPORT void vbt_device_unregister(int device) {
    if (device < 0) return;
    ::close(device);
    hosts_remove_dead(directory());
}

VBT_EXPORT int vbt_listen(int device, uint16_t psm, uint16_t imtu) {
    if (device < 0) return errno = EBADF, -1;
    // The device's address is in its lock file's name.
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", device);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return -1;
    path[n] = '\0';
    const std::string p(path);
    const size_t at = p.rfind("/dev-");
    if (at == std::string::npos || p.size() < at + 5 + 12) return errno = EINVAL, -1;
    const std::string hex = p.substr(at + 5, 12);
    bdaddr_t a;
    for (int i = 0; i < 6; ++i) a.b[5 - i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    const std::string sock = psm_path(p.substr(0, at), a, psm);
    sockaddr_un sa;
    if (!fill_unix_address(sa, sock)) return errno = ENAMETOOLONG, -1;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(sock.c_str());  // a stale socket of a device that died; we hold the address now
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        const int e = errno;
        ::close(fd);
        return errno = e, -1;
    }
    table &t = channels();
    std::lock_guard<std::mutex> g(t.lock);
    channel c;
    c.psm = psm;
    c.imtu = imtu ? imtu : default_mtu;
    c.remote = a;  // a listener keeps its own address here
    listeners()[fd] = c;
    return fd;
}

VBT_EXPORT void vbt_unlisten(int listener) {
    channel c;
    {
        table &t = channels();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = listeners().find(listener);
        if (it == listeners().end()) return;
        c = it->second;
        listeners().erase(it);
    }
    sockaddr_un sa;
    socklen_t len = sizeof sa;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len) == 0) ::unlink(sa.sun_path);
    ::close(listener);
}

VBT_EXPORT int vbt_accept(int listener, bdaddr_t *remote, uint16_t *psm) {
    channel lc;
    {
        table &t = channels();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = listeners().find(listener);
        if (it == listeners().end()) return errno = EBADF, -1;
        lc = it->second;
    }
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return -1;
        uint8_t h[sizeof(hello)];
        if (!read_handshake(fd, h, sizeof h)) {
            ::close(fd);
            continue;  // not one of ours, or gone already
        }
        uint8_t reply[6] = {'V', 'B', 'T', '1', static_cast<uint8_t>(lc.imtu), static_cast<uint8_t>(lc.imtu >> 8)};
        if (::send(fd, reply, sizeof reply, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof reply)) {
            ::close(fd);
            continue;
        }
        channel c;
        c.connected = true;
        std::memcpy(c.remote.b, h + 8, 6);
        c.psm = lc.psm;
        c.imtu = lc.imtu;
        c.omtu = get16(h + 4);
        c.link = capture::open_channel(c.remote, c.psm, false, c.imtu, c.omtu);
        {
            table &t = channels();
            std::lock_guard<std::mutex> g(t.lock);
            t.channels[fd] = c;
        }
        if (remote) *remote = c.remote;
        if (psm) *psm = c.psm;
        return fd;
    }
}

}  // extern "C"
