// AVDTP initiator: discover a remote stream end-point, match and configure its
// SBC capability, and the single-command procedures and response builders.
#include <cstdio>
#include <cstring>

#include "avdtp/avdtp.h"

using namespace blmx::avdtp;

namespace {

constexpr uint8_t seid_byte(int seid) { return static_cast<uint8_t>(seid << 2); }

uint8_t frequency_bit(uint8_t f) { return f < 4 ? static_cast<uint8_t>(1u << (7 - f)) : 0; }
uint8_t mode_bit(uint8_t c) { return c < 4 ? static_cast<uint8_t>(1u << (3 - c)) : 0; }
uint8_t subbands_bit(uint8_t s) { return s < 2 ? static_cast<uint8_t>(1u << (3 - s)) : 0; }
uint8_t allocation_bit(uint8_t a) { return a < 2 ? static_cast<uint8_t>(1u << a) : 0; }

int single(int sock, int signal_id, int seid) {
    avdtp_signal reply;
    const uint8_t b = seid_byte(seid);
    return avdtpTransact(sock, &reply, signal_id, &b, 1, nullptr, 0);
}

// One attempt to configure the current entry from its SBC capability; 0 on success.
int match_and_configure(bt_stream &s, const sbc_capability &caps) {
    if (s.frequency_index == 255) return -22;
    const uint8_t m = frequency_bit(s.frequency_index) | mode_bit(s.channel_mode);
    if ((caps.octet0 & m) != m) {
        std::puts("backend_bt: No frequency and mode match");
        return -22;
    }
    const uint8_t base = subbands_bit(s.subbands_flag) | allocation_bit(s.allocation);
    static constexpr struct {
        uint8_t bit, index;
    } blocks[] = {{0x10, 3}, {0x20, 2}, {0x40, 1}, {0x80, 0}};
    uint8_t n = 0, index = 0;
    bool chosen = false;
    for (const auto &b : blocks) {
        const uint8_t want = base | b.bit;
        if ((caps.octet1 & want) == want) {
            n = want;
            index = b.index;
            chosen = true;
            break;
        }
    }
    if (!chosen) {
        std::puts("backend_bt: No bands available");
        return -22;
    }
    unsigned pool = caps.max_bitpool;
    if (s.allocation == 1) pool &= ~1u;
    if (s.channel_mode < 2) pool >>= 1;
    if (s.subbands_flag == 0) pool >>= 1;
    s.blocks_index = index;
    if (pool <= s.bitpool) s.bitpool = static_cast<uint8_t>(pool);
    // The halvings may fall below the remote's minimum, which it must refuse:
    // the bitpool is raised to the minimum. A range the remote cannot meet,
    // or a bitpool of 0, fails the attempt.
    if (s.bitpool < caps.min_bitpool) s.bitpool = caps.min_bitpool;
    if (caps.min_bitpool > caps.max_bitpool || s.bitpool == 0) return -22;

    const uint8_t first[2] = {seid_byte(s.remote_seid), seid_byte(own_seid)};
    const uint8_t second[10] = {0x01, 0x00, 0x07, 0x06, 0x00, 0x00, m, n, caps.min_bitpool, s.bitpool};
    avdtp_signal reply;
    return avdtpTransact(s.signal_socket, &reply, set_configuration, first, 2, second, 10);
}

}  // namespace

extern "C" {

BLMX_EXPORT int avdtpDiscoverAndConfig(bt_stream *stream, int sink) {
    bt_stream &s = *stream;
    const uint8_t mode = s.channel_mode;
    avdtp_signal disc;
    int result = avdtpTransact(s.signal_socket, &disc, discover, nullptr, 0, nullptr, 0);
    if (result != 0) return result;
    if (disc.length < 2) return -16;
    int pending = -16;
    for (size_t off = 0; off + 2 <= disc.length; off += 2) {
        const uint8_t b0 = disc.payload[off], b1 = disc.payload[off + 1];
        s.remote_seid = b0 >> 2;
        s.channel_mode = mode;
        const bool in_use = b0 & 0x02;
        const bool is_sink = b1 & 0x08;
        if (in_use || is_sink != (sink == 1) || (!is_sink && sink != 0)) continue;
        avdtp_signal caps_reply;
        const uint8_t seid = b0 & 0xFC;
        result = avdtpTransact(s.signal_socket, &caps_reply, get_capabilities, &seid, 1, nullptr, 0);
        if (result != 0) {
            std::puts("backend_bt: Cannot get capabilities");
            pending = result;
            continue;
        }
        const sbc_capability caps = scan_capabilities(caps_reply.payload, caps_reply.length, 0);
        if (match_and_configure(s, caps) == 0) return 0;
        if (s.channel_mode == 2) {
            // Two channels where the remote has joint stereo but not stereo,
            // before falling back to one.
            if (!(caps.octet0 & mode_bit(2)) && (caps.octet0 & mode_bit(3))) {
                s.channel_mode = 3;
                if (match_and_configure(s, caps) == 0) return 0;
            }
            s.channel_mode = 0;
            if (match_and_configure(s, caps) == 0) return 0;
        }
        pending = -22;
    }
    return pending;
}

BLMX_EXPORT int avdtpSetConfiguration(int sock, int acp_seid, const uint8_t *caps, int count) {
    avdtp_signal reply;
    const uint8_t first[2] = {seid_byte(acp_seid), seid_byte(own_seid)};
    return avdtpTransact(sock, &reply, set_configuration, first, 2, caps, caps ? count : 0);
}

BLMX_EXPORT int avdtpOpen(int sock, int acp_seid) { return single(sock, open, acp_seid); }
BLMX_EXPORT int avdtpStart(int sock, int acp_seid) { return single(sock, start, acp_seid); }
BLMX_EXPORT int avdtpClose(int sock, int acp_seid) { return single(sock, close, acp_seid); }
BLMX_EXPORT int avdtpSuspend(int sock, int acp_seid) { return single(sock, suspend, acp_seid); }
BLMX_EXPORT int avdtpAbort(int sock, int acp_seid) { return single(sock, abort, acp_seid); }

BLMX_EXPORT int avdtpSendAccept(int sock, int label, int signal_id) {
    const uint8_t h[2] = {static_cast<uint8_t>(label << 4 | response_accept), wire_signal(signal_id)};
    return send_pieces(sock, h, 2, nullptr, 0, nullptr, 0) ? 0 : -22;
}

BLMX_EXPORT int avdtpSendReject(int sock, int label, int signal_id) {
    const uint8_t h[3] = {static_cast<uint8_t>(label << 4 | response_reject), wire_signal(signal_id), 0};
    return send_pieces(sock, h, 2, h + 2, 1, nullptr, 0) ? 0 : -22;
}

BLMX_EXPORT int avdtpSendDiscResponseAudio(int sock, int label, int seid, int sink) {
    const uint8_t h[2] = {static_cast<uint8_t>(label << 4 | response_accept), discover};
    const uint8_t entry[2] = {seid_byte(seid), static_cast<uint8_t>(sink ? 0x08 : 0x00)};
    return send_pieces(sock, h, 2, entry, 2, nullptr, 0) ? 0 : -22;
}

}  // extern "C"
