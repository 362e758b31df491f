// Virtual SDP: the client calls a host makes (sdp_open, sdp_search, ...) and
// the server side a virtual device answers with, speaking Bluetooth SDP PDUs
// on L2CAP PSM 1.
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/virtual/faults.h"
#include "platform/virtual/vbt.h"

namespace {

constexpr uint16_t sdp_psm = 1;
constexpr uint8_t pdu_error = 0x01, pdu_search_attr_request = 0x06, pdu_search_attr_response = 0x07;
constexpr uint16_t flags_ok = 0, flags_truncated = 2;

struct session {
    int fd = -1;
    int error = 0;
    uint16_t tid = 0;
};

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
void put32(std::vector<uint8_t> &v, uint32_t x) {
    put16(v, static_cast<uint16_t>(x >> 16));
    put16(v, static_cast<uint16_t>(x));
}
uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t *p) { return uint32_t(get16(p)) << 16 | get16(p + 2); }

// A data element sequence around `body`.
std::vector<uint8_t> sequence(const std::vector<uint8_t> &body) {
    std::vector<uint8_t> v;
    if (body.size() < 256) {
        v = {0x35, static_cast<uint8_t>(body.size())};
    } else {
        v = {0x36};
        put16(v, static_cast<uint16_t>(body.size()));
    }
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

// The header of the data element at p (within n bytes): its total size and the
// offset of its contents. False when it does not fit.
bool element(const uint8_t *p, size_t n, size_t &header, size_t &total) {
    if (n < 1) return false;
    const uint8_t type = p[0] >> 3, size_index = p[0] & 7;
    size_t len;
    if (type == 0) {
        header = 1;
        len = 0;
    } else if (size_index < 5) {
        static const size_t fixed[5] = {1, 2, 4, 8, 16};
        header = 1;
        len = fixed[size_index];
    } else {
        const size_t lb = size_index == 5 ? 1 : size_index == 6 ? 2 : 4;
        if (n < 1 + lb) return false;
        header = 1 + lb;
        len = lb == 1 ? p[1] : lb == 2 ? get16(p + 1) : get32(p + 1);
    }
    total = header + len;
    return total <= n;
}

bool read_packet(int fd, std::vector<uint8_t> &buf) {
    buf.resize(4096);
    const ssize_t n = vbt_read(fd, buf.data(), buf.size());
    if (n <= 0) return false;
    buf.resize(static_cast<size_t>(n));
    return true;
}

}  // namespace

extern "C" {

VBT_EXPORT void *sdp_open(const bdaddr_t *local, const bdaddr_t *remote) {
    auto *s = new (std::nothrow) session;
    if (!s) return nullptr;
    if (int e = blmx::vbt::fault_check(blmx::vbt::fault_op::sdp_open)) {
        s->error = e;
        return s;
    }
    s->fd = vbt_socket(36, 5, 135);
    if (s->fd < 0) {
        s->error = errno;
        return s;
    }
    uint8_t addr[14] = {14, 36};
    if (local) std::memcpy(addr + 4, local->b, 6);
    if (vbt_bind(s->fd, addr, sizeof addr) != 0) {
        s->error = errno;
        return s;
    }
    std::memset(addr + 4, 0, 6);
    addr[2] = sdp_psm;
    if (remote) std::memcpy(addr + 4, remote->b, 6);
    if (vbt_connect(s->fd, addr, sizeof addr) != 0) s->error = errno;
    return s;
}

VBT_EXPORT int sdp_error(void *xs) { return xs ? static_cast<session *>(xs)->error : EINVAL; }

VBT_EXPORT int32_t sdp_search(void *xs, uint32_t plen, const uint16_t *pp, uint32_t alen, const uint32_t *ap, uint32_t vlen,
                              sdp_attr_t *vp) {
    auto *s = static_cast<session *>(xs);
    if (!s || s->error || s->fd < 0) return -1;
    if (int e = blmx::vbt::fault_check(blmx::vbt::fault_op::sdp_search)) {
        s->error = e;
        return -1;
    }
    if (plen == 0 || plen > 12 || !pp || alen == 0 || alen > 32 || !ap) {
        s->error = EINVAL;
        return -1;
    }
    std::vector<uint8_t> pattern, attrs;
    for (uint32_t i = 0; i < plen; ++i) {
        pattern.push_back(0x19);
        put16(pattern, pp[i]);
    }
    for (uint32_t i = 0; i < alen; ++i) {
        attrs.push_back(0x0A);
        put32(attrs, ap[i]);
    }
    std::vector<uint8_t> params = sequence(pattern);
    put16(params, 0xFFFF);
    const auto a = sequence(attrs);
    params.insert(params.end(), a.begin(), a.end());
    params.push_back(0);  // no continuation
    const uint16_t tid = ++s->tid;
    std::vector<uint8_t> pdu{pdu_search_attr_request};
    put16(pdu, tid);
    put16(pdu, static_cast<uint16_t>(params.size()));
    pdu.insert(pdu.end(), params.begin(), params.end());
    if (vbt_write(s->fd, pdu.data(), pdu.size()) != static_cast<ssize_t>(pdu.size())) {
        s->error = errno ? errno : EIO;
        return -1;
    }
    std::vector<uint8_t> rsp;
    if (!read_packet(s->fd, rsp)) {
        s->error = errno ? errno : ECONNRESET;
        return -1;
    }
    const auto bad = [&](int e) {
        s->error = e;
        return -1;
    };
    if (rsp.size() < 5 || get16(&rsp[1]) != tid || get16(&rsp[3]) != rsp.size() - 5) return bad(EIO);
    if (rsp[0] == pdu_error) return bad(ENOENT);
    if (rsp[0] != pdu_search_attr_response || rsp.size() < 7) return bad(EIO);
    const size_t count = get16(&rsp[5]);
    if (count + 7 > rsp.size()) return bad(EIO);
    const uint8_t *p = &rsp[7];
    size_t hdr, total;
    if (!element(p, count, hdr, total) || (p[0] >> 3) != 6) return bad(EIO);
    // Every record's attributes, in order, into the caller's slots.
    uint32_t slot = 0;
    size_t rpos = hdr;
    while (rpos < total && slot < vlen) {
        size_t rh, rt;
        if (!element(p + rpos, total - rpos, rh, rt) || (p[rpos] >> 3) != 6) return bad(EIO);
        size_t apos = rpos + rh;
        const size_t rend = rpos + rt;
        while (apos < rend && slot < vlen) {
            size_t ih, it, vh, vt;
            if (!element(p + apos, rend - apos, ih, it) || p[apos] != 0x09) return bad(EIO);
            const uint16_t id = get16(p + apos + 1);
            apos += it;
            if (!element(p + apos, rend - apos, vh, vt)) return bad(EIO);
            sdp_attr_t &out = vp[slot++];
            out.attr = id;
            const size_t n = vt < out.vlen ? vt : out.vlen;
            if (out.value) std::memcpy(out.value, p + apos, n);
            out.flags = vt > out.vlen ? flags_truncated : flags_ok;
            out.vlen = static_cast<uint32_t>(n);
            apos += vt;
        }
        rpos = rend;
    }
    return 0;
}

VBT_EXPORT int32_t sdp_close(void *xs) {
    auto *s = static_cast<session *>(xs);
    if (!s) return -1;
    if (s->fd >= 0) vbt_close(s->fd);
    delete s;
    return 0;
}

VBT_EXPORT int vbt_sdp_serve(int channel, const vbt_sdp_service *services, int count) {
    std::vector<uint8_t> req;
    if (!read_packet(channel, req)) return -1;
    std::vector<uint8_t> rsp;
    const auto send_error = [&](uint16_t tid, uint16_t code) {
        rsp = {pdu_error};
        put16(rsp, tid);
        put16(rsp, 2);
        put16(rsp, code);
        return vbt_write(channel, rsp.data(), rsp.size()) == static_cast<ssize_t>(rsp.size()) ? 0 : -1;
    };
    if (req.size() < 5) return send_error(0, 0x0003);
    const uint16_t tid = get16(&req[1]);
    if (req[0] != pdu_search_attr_request || get16(&req[3]) != req.size() - 5) return send_error(tid, 0x0003);
    const uint8_t *p = &req[5];
    const size_t n = req.size() - 5;
    size_t hdr, total;
    std::vector<uint16_t> uuids;
    if (!element(p, n, hdr, total) || (p[0] >> 3) != 6) return send_error(tid, 0x0003);
    for (size_t i = hdr; i < total;) {
        size_t eh, et;
        if (!element(p + i, total - i, eh, et) || (p[i] >> 3) != 3) return send_error(tid, 0x0003);
        uuids.push_back(p[i] == 0x19 ? get16(p + i + 1) : 0xFFFF);
        i += et;
    }
    size_t pos = total;
    if (pos + 2 > n) return send_error(tid, 0x0003);
    pos += 2;  // maximum attribute byte count: our answers are always small
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    if (!element(p + pos, n - pos, hdr, total) || (p[pos] >> 3) != 6) return send_error(tid, 0x0003);
    for (size_t i = pos + hdr; i < pos + total;) {
        size_t eh, et;
        if (!element(p + i, pos + total - i, eh, et)) return send_error(tid, 0x0003);
        if (p[i] == 0x09) {
            ranges.emplace_back(get16(p + i + 1), get16(p + i + 1));
        } else if (p[i] == 0x0A) {
            const uint32_t r = get32(p + i + 1);
            ranges.emplace_back(r >> 16, r & 0xFFFF);
        } else {
            return send_error(tid, 0x0003);
        }
        i += et;
    }

    std::vector<uint8_t> lists;
    for (int k = 0; k < count; ++k) {
        const vbt_sdp_service &svc = services[k];
        const uint16_t record_uuids[] = {svc.service_class, 0x0100, 0x0019, 0x110D};
        bool match = true;
        for (uint16_t u : uuids) {
            bool found = false;
            for (uint16_t r : record_uuids) found = found || r == u;
            match = match && found;
        }
        if (!match) continue;
        std::vector<std::pair<uint16_t, std::vector<uint8_t>>> attributes;
        std::vector<uint8_t> v{0x0A};
        put32(v, svc.handle);
        attributes.emplace_back(0x0000, v);
        v = {0x19};
        put16(v, svc.service_class);
        attributes.emplace_back(0x0001, sequence(v));
        std::vector<uint8_t> l2cap{0x19, 0x01, 0x00, 0x09}, avdtp{0x19, 0x00, 0x19, 0x09};
        put16(l2cap, svc.psm);
        put16(avdtp, svc.avdtp_version);
        auto pdl = sequence(l2cap);
        const auto a = sequence(avdtp);
        pdl.insert(pdl.end(), a.begin(), a.end());
        attributes.emplace_back(0x0004, sequence(pdl));
        std::vector<uint8_t> profile{0x19, 0x11, 0x0D, 0x09};
        put16(profile, 0x0103);
        attributes.emplace_back(0x0009, sequence(sequence(profile)));
        std::vector<uint8_t> record;
        for (const auto &[id, value] : attributes) {
            bool wanted = false;
            for (const auto &[lo, hi] : ranges) wanted = wanted || (id >= lo && id <= hi);
            if (!wanted) continue;
            record.push_back(0x09);
            put16(record, id);
            record.insert(record.end(), value.begin(), value.end());
        }
        const auto seq = sequence(record);
        lists.insert(lists.end(), seq.begin(), seq.end());
    }
    const auto body = sequence(lists);
    std::vector<uint8_t> params;
    put16(params, static_cast<uint16_t>(body.size()));
    params.insert(params.end(), body.begin(), body.end());
    params.push_back(0);
    rsp = {pdu_search_attr_response};
    put16(rsp, tid);
    put16(rsp, static_cast<uint16_t>(params.size()));
    rsp.insert(rsp.end(), params.begin(), params.end());
    return vbt_write(channel, rsp.data(), rsp.size()) == static_cast<ssize_t>(rsp.size()) ? 0 : -1;
}

}  // extern "C"
