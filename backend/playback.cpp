// Playback transfer: PCM from the daemon, gathered into SBC frames, packed
// into RTP media packets and written to the media channel.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "backend/backend.h"
#include "platform/platform.h"
#include "sbc/sbc.h"

namespace blmx::backend {

namespace {

constexpr uint32_t header_size = 13;
constexpr uint8_t max_frames = 255;

void start_packet(bt_stream &s) {
    uint8_t *p = s.packet;
    const uint32_t seq = s.rtp_sequence, ts = s.rtp_timestamp;
    p[0] = 0x80;
    p[1] = 0x60;
    p[2] = static_cast<uint8_t>(seq >> 8);
    p[3] = static_cast<uint8_t>(seq);
    p[4] = static_cast<uint8_t>(ts >> 24);
    p[5] = static_cast<uint8_t>(ts >> 16);
    p[6] = static_cast<uint8_t>(ts >> 8);
    p[7] = static_cast<uint8_t>(ts);
    p[8] = 0;
    p[9] = 0;
    p[10] = 0;
    p[11] = 1;
    p[12] = 0;
    s.rtp_sequence = seq + 1;
    s.packet_fill = header_size;
}

// One write of the whole packet, repeated while the channel reports EAGAIN.
bool send_packet(bt_stream &s) {
    for (;;) {
        const ssize_t r = plat::write(s.media_socket, s.packet, s.packet_fill);
        if (r >= 0) return true;
        if (errno != EAGAIN) return false;
    }
}

void append_frame(bt_stream &s, sbc_work &w, uint32_t n) {
    std::memcpy(s.packet + s.packet_fill, w.frame, n);
    std::memset(w.frame, 0, n);
    s.packet_fill += n;
    s.rtp_timestamp += w.frame_samples;
    s.packet[12] = static_cast<uint8_t>(s.packet[12] + 1);
    w.pcm_fill = 0;
}

// Places the encoded frame of n bytes into the packet under construction.
bool place_frame(bt_stream &s, sbc_work &w, uint32_t n) {
    const auto start = [&] {
        start_packet(s);
        return s.mtu >= header_size + n;  // a frame that can never fit fails every time
    };
    if (s.packet_fill == 0) {
        if (!start()) return false;
    } else if (s.packet[12] >= max_frames) {
        if (!send_packet(s) || !start()) return false;
    } else if (static_cast<int64_t>(s.mtu) - s.packet_fill >= n) {
        // fits
    } else if (s.packet[12] == 0) {
        return false;
    } else {
        if (!send_packet(s) || !start()) return false;
    }
    append_frame(s, w, n);
    return true;
}

}  // namespace

int write_playback(bt_stream &s, const uint8_t *pcm, int length) {
    sbc_work *wp = s.codec;
    if (!wp) return length <= 0 ? length : -1;
    sbc_work &w = *wp;
    sbc::set_dimensions(w, s);
    if (length <= 0) return length;
    const int frame_bytes = w.blocks * w.subbands * w.channels * 2;
    int remaining = length;
    while (remaining > 0) {
        // A frame completed by an earlier call that failed to place it is still
        // encoded in `frame` (bit_pos holds its length): place it, do not encode
        // the same PCM again over the unclean buffer.
        const bool pending = w.pcm_fill == frame_bytes;
        const int chunk = pending ? 0 : std::min(remaining, frame_bytes - w.pcm_fill);
        std::memcpy(reinterpret_cast<uint8_t *>(w.pcm) + w.pcm_fill, pcm, static_cast<size_t>(chunk));
        w.pcm_fill += chunk;
        if (w.pcm_fill == frame_bytes) {
            w.channels = sbc::channels_of(s.channel_mode);
            const uint32_t n = pending ? (w.bit_pos + 7) >> 3 : sbc_encode_frame(&s);
            if (!place_frame(s, w, n)) return -1;
        }
        pcm += chunk;
        remaining -= chunk;
    }
    return length;
}

}  // namespace blmx::backend
