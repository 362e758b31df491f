// A scripted AVDTP peer on a socket pair: packets are queued for the library
// to read, and what the library wrote is read back.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "avdtp/avdtp.h"

namespace blmx::test {

struct peer {
    int fds[2] = {-1, -1};  // [0]: the library's end, [1]: the peer's
    peer() { socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds); }
    ~peer() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    int lib() const { return fds[0]; }
    void queue(const std::vector<uint8_t> &p) const { (void)!::send(fds[1], p.data(), p.size(), 0); }
    // The label the next command will carry.
    static uint8_t next_label() { return avdtp_label_counter & 0x0F; }
    // A response accept for the command with label l.
    void accept(uint8_t l, uint8_t sig, std::vector<uint8_t> params = {}) const {
        std::vector<uint8_t> p{static_cast<uint8_t>(l << 4 | 2), sig};
        p.insert(p.end(), params.begin(), params.end());
        queue(p);
    }
    void reject(uint8_t l, uint8_t sig) const { queue({static_cast<uint8_t>(l << 4 | 3), sig, 0x31}); }
    // What the library wrote, packet by packet.
    std::vector<std::vector<uint8_t>> written() const {
        std::vector<std::vector<uint8_t>> out;
        uint8_t buf[1024];
        for (;;) {
            const ssize_t n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }
};

}  // namespace blmx::test
