// The two exported backend descriptors and their stream records.
#include "backend/backend.h"

namespace blmx::backend {

namespace {
bt_stream record_state;
bt_stream playback_state;
}  // namespace

bt_stream &record_stream() { return record_state; }
bt_stream &playback_stream() { return playback_state; }

void bt_report_delay(audio_backend *, int *delay) { *delay = -1; }

int bt_read_record(audio_backend *b, void *buffer, int length) {
    return bt_receive(static_cast<bt_stream *>(b->state), buffer, length, 1);
}

int bt_write_playback(audio_backend *b, void *buffer, int length) {
    return write_playback(*static_cast<bt_stream *>(b->state), static_cast<const uint8_t *>(buffer), length);
}

}  // namespace blmx::backend

using namespace blmx::backend;

extern "C" {
BLMX_EXPORT audio_backend blmx_backend_bt_rec = {bt_open_record,  bt_close_record,
                                                 bt_read_record,  bt_report_delay,
                                                 &record_state,   0};
BLMX_EXPORT audio_backend blmx_backend_bt_play = {bt_open_playback, bt_close_playback,
                                                  bt_write_playback, bt_report_delay,
                                                  &playback_state,  0};
}
