// Audio backend internals: the two stream records and the routines behind the
// descriptor slots.
#pragma once

#include <cstdint>

#include "blmx_bt.h"
#include "platform/platform.h"

namespace blmx::backend {

enum class direction { record, playback };

inline constexpr uint16_t service_audio_source = 0x110A;
inline constexpr uint16_t service_audio_sink = 0x110B;

// The two directions' stream records, static for the life of the library.
bt_stream &record_stream();
bt_stream &playback_stream();

// Common open routine: parameter checks, then connection set-up.
int bt_connect_stream(const char *device, int rate, int *channels, int *format, bt_stream &stream,
                      uint16_t service_class, direction dir);

// The parameter half; on success the remote address is stored in `remote` (6 bytes,
// platform byte order). Returns 0 or -1 after printing the reason.
int check_parameters(const char *device, int rate, int *channels, int *format, bt_stream &stream,
                     uint8_t remote[6]);

int bt_open_record(audio_backend *b, const char *device, int rate, int unused, int *channels, int *format);
int bt_open_playback(audio_backend *b, const char *device, int rate, int unused, int *channels, int *format);
void bt_close_record(audio_backend *b);
void bt_close_playback(audio_backend *b);
int bt_read_record(audio_backend *b, void *buffer, int length);
int bt_write_playback(audio_backend *b, void *buffer, int length);
void bt_report_delay(audio_backend *b, int *delay);

// The L2CAP PSM of an AVDTP service in SDP attribute slots, or -1.
int find_psm(const sdp_attr_t *slots, int count);

// Transfer bodies on a stream (the slots find the stream through the descriptor).
int write_playback(bt_stream &stream, const uint8_t *pcm, int length);

}  // namespace blmx::backend
