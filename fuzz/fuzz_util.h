// Helpers of the fuzz targets: splitting an input into packets, and a peer on
// the other end of a socket pair that sends those packets and swallows
// whatever the library sends back.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace blmx::fuzz {

using packet = std::vector<uint8_t>;

// Packets, each preceded by its length: one byte, or two (big-endian) when
// `wide` is set. A length beyond the input takes what is left.
inline std::vector<packet> split_packets(const uint8_t *data, size_t size, bool wide, size_t max_packets = 64) {
    std::vector<packet> out;
    size_t at = 0;
    while (at < size && out.size() < max_packets) {
        size_t n = data[at++];
        if (wide) {
            if (at >= size) break;
            n = n << 8 | data[at++];
        }
        if (n > size - at) n = size - at;
        out.emplace_back(data + at, data + at + n);
        at += n;
    }
    return out;
}

// The remote end of a sequenced-packet socket pair: sends its packets in
// order (waiting while the library's queue is full), reads and drops what the
// library writes, and after the last packet shuts its sending side, so the
// library's next read finds the end of the channel instead of blocking.
class scripted_peer {
  public:
    explicit scripted_peer(std::vector<packet> packets) : packets_(std::move(packets)) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return;
        ours_ = fds[0];
        theirs_ = fds[1];
        thread_ = std::thread([this] { run(); });
    }
    ~scripted_peer() {
        stop_ = true;
        // Our end's shutdown wakes the peer's poll at once.
        if (ours_ >= 0) shutdown(ours_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        if (ours_ >= 0) close(ours_);
        if (theirs_ >= 0) close(theirs_);
    }
    int socket() const { return ours_; }
    bool done() const { return done_; }

  private:
    void run() {
        size_t next = 0;
        uint8_t sink[4096];
        if (packets_.empty()) {
            shutdown(theirs_, SHUT_WR);
            done_ = true;
        }
        while (!stop_) {
            pollfd p{theirs_, static_cast<short>(POLLIN | (next < packets_.size() ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 50) <= 0) continue;
            if (p.revents & POLLIN) (void)recv(theirs_, sink, sizeof sink, MSG_DONTWAIT);
            if ((p.revents & POLLOUT) && next < packets_.size()) {
                const packet &k = packets_[next++];
                (void)send(theirs_, k.data(), k.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (next == packets_.size()) {
                    shutdown(theirs_, SHUT_WR);
                    done_ = true;
                }
            }
            if (p.revents & (POLLHUP | POLLERR)) break;
        }
    }
    std::vector<packet> packets_;
    int ours_ = -1, theirs_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
};

}  // namespace blmx::fuzz
