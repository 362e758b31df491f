#include "platform/virtual/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace blmx::vbt::capture {

namespace {

constexpr uint32_t link_type_h4_with_phdr = 201;

struct remote_link {
    bdaddr_t address;
    uint16_t handle;
};

struct state {
    std::mutex lock;
    int fd = -1;
    bool checked = false;
    uint16_t next_handle = 0x0041;
    uint16_t next_cid = 0x0040;
    uint8_t next_ident = 1;
    std::vector<remote_link> remotes;
};

state &st() {
    static state s;
    return s;
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

// Caller holds the lock.
bool open_file(state &s) {
    if (s.checked) return s.fd >= 0;
    s.checked = true;
    const char *path = std::getenv("BLMX_VBT_CAPTURE");
    if (!path || !*path) return false;
    s.fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (s.fd < 0) return false;
    struct stat sb;
    if (fstat(s.fd, &sb) == 0 && sb.st_size == 0) {
        uint8_t h[24];
        const uint32_t magic = 0xa1b2c3d4, snaplen = 65535 + 64;
        const uint16_t major = 2, minor = 4;
        const uint32_t zero = 0;
        std::memcpy(h, &magic, 4);
        std::memcpy(h + 4, &major, 2);
        std::memcpy(h + 6, &minor, 2);
        std::memcpy(h + 8, &zero, 4);
        std::memcpy(h + 12, &zero, 4);
        std::memcpy(h + 16, &snaplen, 4);
        std::memcpy(h + 20, &link_type_h4_with_phdr, 4);
        (void)!::write(s.fd, h, sizeof h);
    }
    return true;
}

// One pcap record: direction pseudo-header, then the H4 packet.
void record(state &s, bool sent, const std::vector<uint8_t> &h4) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    std::vector<uint8_t> rec(16 + 4);
    const uint32_t sec = static_cast<uint32_t>(tv.tv_sec), usec = static_cast<uint32_t>(tv.tv_usec);
    const uint32_t len = static_cast<uint32_t>(4 + h4.size());
    std::memcpy(rec.data(), &sec, 4);
    std::memcpy(rec.data() + 4, &usec, 4);
    std::memcpy(rec.data() + 8, &len, 4);
    std::memcpy(rec.data() + 12, &len, 4);
    rec[16] = 0;
    rec[17] = 0;
    rec[18] = 0;
    rec[19] = sent ? 0 : 1;  // big-endian direction: 0 sent, 1 received
    rec.insert(rec.end(), h4.begin(), h4.end());
    (void)!::write(s.fd, rec.data(), rec.size());  // one write per record: O_APPEND keeps it whole
}

std::vector<uint8_t> acl(uint16_t handle, uint16_t cid, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> v{0x02};
    put16(v, static_cast<uint16_t>((handle & 0x0fff) | 0x2000));  // first automatically flushable fragment
    put16(v, static_cast<uint16_t>(payload.size() + 4));
    put16(v, static_cast<uint16_t>(payload.size()));
    put16(v, cid);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

std::vector<uint8_t> signalling(uint8_t code, uint8_t ident, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> v{code, ident};
    put16(v, static_cast<uint16_t>(data.size()));
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

uint16_t handle_for(state &s, const bdaddr_t &remote) {
    for (const auto &r : s.remotes)
        if (std::memcmp(r.address.b, remote.b, 6) == 0) return r.handle;
    const uint16_t h = s.next_handle++;
    s.remotes.push_back({remote, h});
    // HCI Connection Complete: status, handle, address, ACL link, no encryption.
    std::vector<uint8_t> ev{0x04, 0x03, 11, 0x00};
    put16(ev, h);
    ev.insert(ev.end(), remote.b, remote.b + 6);
    ev.push_back(0x01);
    ev.push_back(0x00);
    record(s, false, ev);
    return h;
}

}  // namespace

bool enabled() {
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    return open_file(s);
}

link open_channel(const bdaddr_t &remote, uint16_t psm, bool outgoing, uint16_t local_mtu, uint16_t remote_mtu) {
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    link l;
    if (!open_file(s)) return l;
    l.handle = handle_for(s, remote);
    l.local_cid = s.next_cid++;
    l.remote_cid = static_cast<uint16_t>(0x0040 + (l.local_cid - 0x0040) + 0x100);
    // The side that connects sends the Connection Request from its own CID.
    const uint16_t src = outgoing ? l.local_cid : l.remote_cid, dst = outgoing ? l.remote_cid : l.local_cid;
    const uint16_t initiator_mtu = outgoing ? local_mtu : remote_mtu, acceptor_mtu = outgoing ? remote_mtu : local_mtu;
    const bool by_us = outgoing;
    uint8_t id = s.next_ident++;
    std::vector<uint8_t> d;
    put16(d, psm);
    put16(d, src);
    record(s, by_us, acl(l.handle, 1, signalling(0x02, id, d)));
    d.clear();
    put16(d, dst);
    put16(d, src);
    put16(d, 0);
    put16(d, 0);
    record(s, !by_us, acl(l.handle, 1, signalling(0x03, id, d)));
    // Each side configures its incoming MTU; the other accepts.
    const auto configure = [&](bool from_initiator) {
        const uint8_t cid_id = s.next_ident++;
        std::vector<uint8_t> req;
        put16(req, from_initiator ? dst : src);  // the peer's CID
        put16(req, 0);
        req.push_back(0x01);
        req.push_back(2);
        put16(req, from_initiator ? initiator_mtu : acceptor_mtu);
        const bool sender_is_us = from_initiator == by_us;
        record(s, sender_is_us, acl(l.handle, 1, signalling(0x04, cid_id, req)));
        std::vector<uint8_t> rsp;
        put16(rsp, from_initiator ? src : dst);
        put16(rsp, 0);
        put16(rsp, 0);
        record(s, !sender_is_us, acl(l.handle, 1, signalling(0x05, cid_id, rsp)));
    };
    configure(true);
    configure(false);
    return l;
}

void packet(const link &l, bool sent, const iovec *iov, int count) {
    if (l.handle == 0) return;
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.fd < 0) return;
    std::vector<uint8_t> payload;
    for (int i = 0; i < count; ++i) {
        const auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
        if (p) payload.insert(payload.end(), p, p + iov[i].iov_len);
    }
    record(s, sent, acl(l.handle, sent ? l.remote_cid : l.local_cid, payload));
}

void close_channel(const link &l) {
    if (l.handle == 0) return;
    state &s = st();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.fd < 0) return;
    const uint8_t id = s.next_ident++;
    std::vector<uint8_t> d;
    put16(d, l.remote_cid);
    put16(d, l.local_cid);
    record(s, true, acl(l.handle, 1, signalling(0x06, id, d)));
    record(s, false, acl(l.handle, 1, signalling(0x07, id, d)));
}

}  // namespace blmx::vbt::capture
