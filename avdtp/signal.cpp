// AVDTP signalling transport: messages joined from their packets, and one
// command/response exchange under the process alarm.
#include <poll.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "avdtp/avdtp.h"
#include "platform/platform.h"

extern "C" {
__attribute__((visibility("hidden"))) uint8_t avdtp_label_counter = 0;
}

namespace blmx::avdtp {

sbc_capability scan_capabilities(const uint8_t *list, size_t length, size_t start) {
    sbc_capability caps;
    for_each_sbc_element(list, length, start, [&](const uint8_t *e) {
        caps = {e[4], e[5], e[6], e[7], true};
        return true;
    });
    return caps;
}

bool send_pieces(int sock, const void *header, size_t header_length, const void *first, size_t first_length,
                 const void *second, size_t second_length) {
    iovec iov[3] = {{const_cast<void *>(header), header_length},
                    {const_cast<void *>(first), first_length},
                    {const_cast<void *>(second), second_length}};
    const ssize_t n = plat::writev(sock, iov, 3);
    return n >= 0 && static_cast<size_t>(n) == header_length + first_length + second_length;
}

}  // namespace blmx::avdtp

using namespace blmx::avdtp;

namespace {

// The exchange's time limit, on the monotonic clock.
constexpr int exchange_seconds = 8;

timespec deadline_after(int seconds) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += seconds;
    return t;
}

// Waits until `sock` has something to read or the deadline passes; false on
// time-out, or when a signal (the alarm) ends the wait, as it ends a read.
bool wait_readable(int sock, const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long left_ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                              (deadline.tv_nsec - now.tv_nsec) / 1000000;
    if (left_ms <= 0) return false;
    pollfd p{sock, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(left_ms)) > 0;
}

// One message, as avdtpReadSignal reads it; with a deadline, every packet is
// awaited only until then (-1 after it).
int read_signal(int sock, avdtp_signal *signal, const timespec *deadline) {
    std::memset(signal, 0, sizeof *signal);
    int expected = 1;
    size_t stored = 0;
    int type = -1;
    bool first = true;
    for (;;) {
        uint8_t *at = signal->payload + stored;
        const size_t room = sizeof signal->payload - stored;
        if (deadline && !wait_readable(sock, *deadline)) return -1;
        const ssize_t r = blmx::plat::read(sock, at, room);
        if (r < 2) return -1;
        if (static_cast<size_t>(r) == room) return -1;  // the packet may not have fitted
        const uint8_t label = at[0] >> 4, packet_type = (at[0] >> 2) & 3, msg_type = at[0] & 3;
        size_t header;
        if (first) {
            signal->label = label;
            if (packet_type == 0) {
                header = 2;
                signal->signal_id = at[1] & 0x3F;
            } else if (packet_type == 1) {
                if (r < 3) return -1;  // a start packet too short for its own header
                header = 3;
                expected = at[1];
                signal->signal_id = at[2] & 0x3F;
            } else {
                return -1;
            }
            type = msg_type;
            first = false;
        } else {
            if (label != signal->label || msg_type != type || packet_type != (expected == 1 ? 3 : 2)) return -1;
            header = 1;
        }
        const size_t body = static_cast<size_t>(r) - header;
        std::memmove(at, at + header, body);
        stored += body;
        if (expected <= 1) {
            signal->length = static_cast<uint16_t>(stored);
            return type;
        }
        --expected;
    }
}

}  // namespace

extern "C" {

int avdtpReadSignal(int sock, avdtp_signal *signal) { return read_signal(sock, signal, nullptr); }

int avdtpTransact(int sock, avdtp_signal *reply, int signal_id, const void *first, uint32_t first_length,
                  const void *second, int32_t second_length) {
    // The alarm ends a blocked read; the deadline ends the exchange however
    // busy the channel is, when the alarm lands between reads.
    alarm(exchange_seconds);
    const timespec deadline = deadline_after(exchange_seconds);
    const uint8_t value = avdtp_label_counter++;
    const uint8_t header[2] = {static_cast<uint8_t>(value << 4), wire_signal(signal_id)};
    int result;
    if (second_length < 0 || !send_pieces(sock, header, 2, first, first_length, second, static_cast<size_t>(second_length))) {
        result = -22;
    } else {
        for (;;) {
            const int type = read_signal(sock, reply, &deadline);
            if (type == command) {
                // The peer's own command while we wait: refuse it and go on waiting.
                const uint8_t rej[3] = {static_cast<uint8_t>(reply->label << 4 | response_reject),
                                        wire_signal(reply->signal_id), 0};
                if (send_pieces(sock, rej, 2, rej + 2, 1, nullptr, 0)) continue;
                result = -22;
                break;
            }
            if (type == response_accept || type == response_reject) {
                if (reply->label != (value & 0x0F)) continue;  // a stale response
                result = type == response_accept ? 0 : -22;
                break;
            }
            result = -6;  // general reject or a failed read
            break;
        }
    }
    alarm(0);
    return result;
}

}  // extern "C"
