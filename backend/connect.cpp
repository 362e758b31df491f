// Open and close of both directions, and the connection half of the common
// open routine.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend/backend.h"
#include "platform/platform.h"

namespace blmx::backend {

int bt_connect_stream(const char *device, int rate, int *channels, int *format, bt_stream &stream,
                      uint16_t service_class, direction dir) {
    uint8_t remote[6];
    if (check_parameters(device, rate, channels, format, stream, remote) != 0) return -1;
    (void)service_class;
    (void)dir;
    // Connection set-up is not built yet: an open can never succeed.
    std::puts("backend_bt: Could not open SDP");
    std::printf("backend_bt: PSM=0x%02x\n", -1);
    std::puts("backend_bt: PSM not found");
    return -1;
}

namespace {

int open_stream(audio_backend *b, const char *device, int rate, int *channels, int *format, uint16_t service,
                direction dir) {
    bt_stream &s = *static_cast<bt_stream *>(b->state);
    std::memset(&s, 0, sizeof s);
    if (bt_connect_stream(device, rate, channels, format, s, service, dir) != 0) return -1;
    s.codec = static_cast<sbc_work *>(std::calloc(1, sizeof(sbc_work)));
    return s.codec ? 0 : -1;
}

void close_stream(audio_backend *b) {
    bt_stream &s = *static_cast<bt_stream *>(b->state);
    std::free(s.codec);
    s.codec = nullptr;
    if (s.signal_socket > 0) {
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
