// AVDTP signalling internals: the transport, the SBC codec information
// element and the signal identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blmx_bt.h"

extern "C" {
// The process-wide transaction label counter.
extern uint8_t avdtp_label_counter;

// Reads one message (joined from its packets); returns its message type or -1.
int avdtpReadSignal(int sock, avdtp_signal *signal);
// Sends one command and waits for its response under an 8-second alarm.
int avdtpTransact(int sock, avdtp_signal *reply, int signal_id, const void *first, uint32_t first_length,
                  const void *second, int32_t second_length);
}

namespace blmx::avdtp {

enum signal_id : uint8_t {
    discover = 1,
    get_capabilities = 2,
    set_configuration = 3,
    get_configuration = 4,
    reconfigure = 5,
    open = 6,
    start = 7,
    close = 8,
    suspend = 9,
    abort = 10,
    get_all_capabilities = 12,
};

enum message_type : uint8_t { command = 0, general_reject = 1, response_accept = 2, response_reject = 3 };

inline constexpr uint8_t own_seid = 8;

// The signal identifier as written into a header: 0 is sent as 3, others by their low six bits.
constexpr uint8_t wire_signal(int value) { return value == 0 ? 3 : static_cast<uint8_t>(value & 0x3F); }

// The SBC media codec element's four octets.
struct sbc_capability {
    uint8_t octet0 = 0, octet1 = 0, min_bitpool = 0, max_bitpool = 0;
    bool found = false;
};

// Walks a service capability list from `start` and calls visit(element) for every
// SBC media codec element, where element points at its category byte (at least 8
// bytes lie within the list). visit returns false to stop the walk.
template <typename F> void for_each_sbc_element(const uint8_t *list, size_t length, size_t start, F &&visit) {
    if (length < start + 2) return;
    for (size_t i = start;;) {
        const size_t losc = list[i + 1];
        const size_t end = i + 2 + losc;
        if (end > length) return;
        if (list[i] == 7 && losc >= 6 && list[i + 3] == 0 && !visit(list + i)) return;
        if (end + 1 >= length) return;
        i = end;
    }
}

// The SBC capability of a list: the last SBC media codec element's octets.
sbc_capability scan_capabilities(const uint8_t *list, size_t length, size_t start);

// Writes one single-packet message from three pieces; true when all of it went out.
bool send_pieces(int sock, const void *header, size_t header_length, const void *first, size_t first_length,
                 const void *second, size_t second_length);

}  // namespace blmx::avdtp
