// Open and close of both directions, and the connection half of the common
// open routine.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "platform/platform.h"

namespace blmx::backend {

namespace {

constexpr int sdp_slots = 32;
constexpr int sdp_slot_size = 32;
constexpr uint32_t protocol_descriptor_list = 0x00040004;

// The 14-byte L2CAP socket address: length, family, PSM (little-endian),
// address, then channel id and address type left zero (BR/EDR).
struct l2cap_address {
    uint8_t bytes[plat::l2cap_address_size];
    l2cap_address(const uint8_t remote[6], uint16_t psm) : bytes{} {
        bytes[0] = plat::l2cap_address_size;
        bytes[1] = static_cast<uint8_t>(plat::af_bluetooth);
        bytes[2] = static_cast<uint8_t>(psm);
        bytes[3] = static_cast<uint8_t>(psm >> 8);
        std::memcpy(bytes + 4, remote, 6);
    }
};

// The length of the data element sequence header at p, or 0 when p is no sequence.
size_t sequence_header(uint8_t type) { return type == 0x35 ? 2 : type == 0x36 ? 3 : type == 0x37 ? 5 : 0; }

uint32_t sequence_length(const uint8_t *p, size_t header) {
    uint32_t len = 0;
    for (size_t i = 1; i < header; ++i) len = len << 8 | p[i];
    return len;
}

}  // namespace

int find_psm(const sdp_attr_t *slots, int count) {
    for (int k = 0; k < count; ++k) {
        const sdp_attr_t &slot = slots[k];
        if (slot.flags != plat::sdp_attr_ok) return -1;
        if (slot.attr != 0x0004 || slot.vlen < 2) continue;
        // Never beyond the value's own bytes, nor beyond the slot's buffer.
        const size_t end = std::min<size_t>(slot.vlen, sdp_slot_size);
        const uint8_t *v = slot.value;
        size_t pos = sequence_header(v[0]);
        if (pos == 0 || pos > end) continue;
        int version = 0, psm = -1;
        while (pos < end) {
            const size_t h = sequence_header(v[pos]);
            if (h == 0 || pos + h > end) break;
            const uint32_t len = sequence_length(v + pos, h);
            pos += h;
            if (len > end - pos) break;
            if (len >= 6 && v[pos] == 0x19) {
                const unsigned uuid = static_cast<unsigned>(v[pos + 1] << 8 | v[pos + 2]);
                const int param = v[pos + 4] << 8 | v[pos + 5];
                if (uuid == 0x0019) version = param;
                if (uuid == 0x0100) psm = param;
            }
            pos += len;
            if (version >= 0x0100 && psm >= 0) return psm;
        }
    }
    return -1;
}

namespace {

int query_psm(const uint8_t remote[6], uint16_t service_class) {
    uint8_t buffers[sdp_slots][sdp_slot_size] = {};
    sdp_attr_t slots[sdp_slots];
    for (int i = 0; i < sdp_slots; ++i) slots[i] = sdp_attr_t{plat::sdp_attr_invalid, 0, sdp_slot_size, buffers[i]};
    bdaddr_t any{}, peer;
    std::memcpy(&peer, remote, 6);
    int psm = -1;
    void *ss = sdp_open(&any, &peer);
    if (!ss || sdp_error(ss) != 0) {
        std::puts("backend_bt: Could not open SDP");
    } else {
        const uint16_t classes[1] = {service_class};
        const uint32_t ranges[1] = {protocol_descriptor_list};
        if (sdp_search(ss, 1, classes, 1, ranges, sdp_slots, slots) != 0)
            std::puts("backend_bt: SDP search failed");
        else
            psm = find_psm(slots, sdp_slots);
    }
    if (ss) sdp_close(ss);
    std::printf("backend_bt: PSM=0x%02x\n", psm);
    return psm;
}

// Creates, binds and connects one L2CAP channel; prints the step's message on failure.
int open_channel(int &field, const uint8_t remote[6], int psm, const char *bind_message, const char *connect_format) {
    field = plat::socket(plat::af_bluetooth, plat::sock_seqpacket, plat::bluetooth_proto_l2cap);
    if (field < 0) {
        std::puts("backend_bt: Could not create BT socket");
        return -1;
    }
    static const uint8_t any[6] = {};
    const l2cap_address local(any, 0), peer(remote, static_cast<uint16_t>(psm));
    if (plat::bind(field, local.bytes, sizeof local.bytes) < 0) {
        std::puts(bind_message);
        return -1;
    }
    if (plat::connect(field, peer.bytes, sizeof peer.bytes) < 0) {
        std::printf(connect_format, errno);
        return -1;
    }
    return 0;
}

int set_int(int sock, int option, int value, const char *message) {
    if (plat::setsockopt(sock, plat::sol_socket, option, &value, sizeof value) == -1) {
        std::puts(message);
        return -1;
    }
    return 0;
}

int tune_media(bt_stream &s, direction dir) {
    const bool play = dir == direction::playback;
    unsigned len = sizeof s.mtu;
    if (plat::getsockopt(s.media_socket, plat::sol_l2cap, play ? plat::so_l2cap_omtu : plat::so_l2cap_imtu, &s.mtu, &len) ==
        -1) {
        std::puts("backend_bt: Could not get MTU");
        return -1;
    }
    if (play) {
        if (set_int(s.media_socket, plat::so_sndbuf, 16 * s.mtu, "backend_bt: Could not set send buffer size") ||
            set_int(s.media_socket, plat::so_sndlowat, s.mtu, "backend_bt: Could not set low water mark"))
            return -1;
        return 0;
    }
    if (set_int(s.media_socket, plat::so_rcvbuf, 16 * s.mtu, "backend_bt: Could not set receive buffer size") ||
        set_int(s.media_socket, plat::so_rcvlowat, 1, "backend_bt: Could not set low water mark"))
        return -1;
    int on = 1;
    if (plat::ioctl(s.media_socket, plat::fionbio, &on) == -1) {
        std::puts("backend_bt: Could not set non-blocking I/O for receive direction");
        return -1;
    }
    return 0;
}

void close_sockets(bt_stream &s) {
    if (s.signal_socket > 0) {
        plat::close(s.signal_socket);
        s.signal_socket = -1;
    }
    if (s.media_socket > 0) {
        plat::close(s.media_socket);
        s.media_socket = -1;
    }
}

int connect_stream(const uint8_t remote[6], int *channels, bt_stream &s, uint16_t service_class, direction dir) {
    const int psm = query_psm(remote, service_class);
    if (psm < 0) {
        std::puts("backend_bt: PSM not found");
        return -1;
    }
    if (open_channel(s.signal_socket, remote, psm, "backend_bt: Could not bind to HC",
                     "backend_bt: Could not connect to HC: %d\n") != 0)
        return -1;
    if (avdtpDiscoverAndConfig(&s, dir == direction::playback ? 1 : 0) != 0) {
        std::puts("backend_bt: DISCOVER FAILED");
        return -1;
    }
    if (avdtpOpen(s.signal_socket, s.remote_seid) != 0) {
        std::puts("backend_bt: OPEN FAILED");
        return -1;
    }
    if (open_channel(s.media_socket, remote, psm, "backend_bt: Could not bind", "backend_bt: Could not connect: %d\n") != 0)
        return -1;
    if (tune_media(s, dir) != 0) return -1;
    if (avdtpStart(s.signal_socket, s.remote_seid) != 0) {
        std::puts("backend_bt: START FAILED");
        return -1;
    }
    *channels = s.channel_mode == 0 ? 1 : 2;
    return 0;
}

}  // namespace

int bt_connect_stream(const char *device, int rate, int *channels, int *format, bt_stream &stream,
                      uint16_t service_class, direction dir) {
    uint8_t remote[6];
    if (check_parameters(device, rate, channels, format, stream, remote) != 0 ||
        connect_stream(remote, channels, stream, service_class, dir) != 0) {
        close_sockets(stream);
        return -1;
    }
    return 0;
}

namespace {

int open_stream(audio_backend *b, const char *device, int rate, int *channels, int *format, uint16_t service,
                direction dir) {
    bt_stream &s = *static_cast<bt_stream *>(b->state);
    std::memset(&s, 0, sizeof s);
    if (bt_connect_stream(device, rate, channels, format, s, service, dir) != 0) return -1;
    s.codec = static_cast<sbc_work *>(std::calloc(1, sizeof(sbc_work)));
    if (!s.codec) {
        // Without a codec record the stream is of no use: tear it down like any failed open.
        close_sockets(s);
        return -1;
    }
    return 0;
}

void close_stream(audio_backend *b) {
    bt_stream &s = *static_cast<bt_stream *>(b->state);
    std::free(s.codec);
    s.codec = nullptr;
    if (s.signal_socket > 0) {
        avdtpAbort(s.signal_socket, s.remote_seid);
        avdtpClose(s.signal_socket, s.remote_seid);
        plat::close(s.signal_socket);
        s.signal_socket = -1;
    }
    if (s.media_socket > 0) {
        plat::close(s.media_socket);
        s.media_socket = -1;
    }
}

}  // namespace

int bt_open_record(audio_backend *b, const char *device, int rate, int, int *channels, int *format) {
    return open_stream(b, device, rate, channels, format, service_audio_source, direction::record);
}
int bt_open_playback(audio_backend *b, const char *device, int rate, int, int *channels, int *format) {
    return open_stream(b, device, rate, channels, format, service_audio_sink, direction::playback);
}
void bt_close_record(audio_backend *b) { close_stream(b); }
void bt_close_playback(audio_backend *b) { close_stream(b); }

}  // namespace blmx::backend
