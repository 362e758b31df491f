// Record transfer: media packets from the remote source, decoded frame by
// frame, delivered to the daemon as interleaved 16-bit PCM.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "backend/backend.h"
#include "platform/platform.h"
#include "sbc/sbc.h"

// The daemon's wait; weak so that a host without it can still load the library.
extern "C" __attribute__((weak)) void belmux_wait(void);

namespace {

constexpr int header_size = 13;

}  // namespace

extern "C" BLMX_EXPORT int bt_receive(bt_stream *stream, void *buffer, int length, int wait) {
    if (wait && belmux_wait) belmux_wait();
    bt_stream &s = *stream;
    if (!s.codec) return -1;
    sbc_work &w = *s.codec;
    w.blocks = blmx::sbc::blocks_of(s.blocks_index);
    w.subbands = blmx::sbc::subbands_of(s.subbands_flag);
    w.channels = blmx::sbc::channels_of(s.channel_mode);

    auto *dest = static_cast<uint8_t *>(buffer);
    int remaining = std::max(length, 0);
    const size_t read_size = s.mtu ? s.mtu : sizeof s.packet;
    for (;;) {
        const int n = std::min(remaining & ~1, 2 * w.pcm_fill);
        std::memcpy(dest, reinterpret_cast<const uint8_t *>(w.pcm) + w.pcm_read, static_cast<size_t>(n));
        w.pcm_read += n;
        w.pcm_fill -= n / 2;
        remaining -= n;
        if (remaining == 0) return length;
        dest += n;
        // A lone byte left of an odd request cannot take a 16-bit value.
        if (remaining < 2) return length - remaining;
        if (w.pcm_fill != 0) continue;
        if (w.packet_frames_left != 0) {
            const int32_t c = sbc_decode_frame(&s, static_cast<uint32_t>(w.packet_bytes_left) * 8);
            --w.packet_frames_left;
            w.next_frame += c;
            w.packet_bytes_left -= c;
            continue;
        }
        const ssize_t r = blmx::plat::read(s.media_socket, s.packet, read_size);
        if (r == 0) return length - remaining;
        if (r < 0) return errno == EAGAIN ? length - remaining : -1;
        if (r >= header_size && s.packet[0] == 0x80) {
            w.packet_frames_left = s.packet[12];
            w.next_frame = s.packet + header_size;
            w.packet_bytes_left = static_cast<int32_t>(r - header_size);
        }
    }
}
