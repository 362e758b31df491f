// AVDTP acceptor: answers a remote initiator's commands one at a time for one
// local SBC sink end-point (SEID 8), moving the stream's acceptor state.
#include <cstdlib>
#include <cstring>

#include "avdtp/avdtp.h"

using namespace blmx::avdtp;

namespace {

enum state : uint8_t { not_ready = 0, idle = 1, configured = 2, opened = 3, streaming = 4, suspended = 5, closed = 6 };

int reject(int sock, const avdtp_signal &cmd) {
    const uint8_t h[3] = {static_cast<uint8_t>(cmd.label << 4 | response_reject), wire_signal(cmd.signal_id), 0};
    send_pieces(sock, h, 2, h + 2, 1, nullptr, 0);
    return -6;
}

int accept(bt_stream &s, const avdtp_signal &cmd, const uint8_t *params, size_t length, int new_state) {
    const uint8_t h[2] = {static_cast<uint8_t>(cmd.label << 4 | response_accept), cmd.signal_id};
    if (!send_pieces(s.signal_socket, h, 2, params, length, nullptr, 0)) return -22;
    if (new_state >= 0) s.acceptor_state = static_cast<uint8_t>(new_state);
    return cmd.signal_id;
}

// The first set bit of `octet` in the order given, as its code; -1 when none is set.
template <size_t N> int first_code(uint8_t octet, const uint8_t (&bits)[N], const uint8_t (&codes)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (octet & bits[i]) return codes[i];
    return -1;
}

int set_configuration_command(bt_stream &s, const avdtp_signal &cmd) {
    s.remote_seid = cmd.payload[1] >> 2;  // the record is cleared: a short message gives 0
    if (cmd.length < 4) return reject(s.signal_socket, cmd);
    // Every SBC element of the list is decoded in turn, each field stored as soon as
    // it is known; a field with none of its bits ends the command with -22.
    bool found = false, invalid = false;
    for_each_sbc_element(cmd.payload, cmd.length, 2, [&](const uint8_t *e) {
        found = true;
        static constexpr uint8_t freq_bits[] = {0x10, 0x20, 0x40, 0x80}, freq_codes[] = {3, 2, 1, 0};
        static constexpr uint8_t mode_bits[] = {0x02, 0x01, 0x04, 0x08}, mode_codes[] = {2, 3, 1, 0};
        static constexpr uint8_t block_bits[] = {0x10, 0x20, 0x40, 0x80}, block_codes[] = {3, 2, 1, 0};
        static constexpr uint8_t sb_bits[] = {0x04, 0x08}, sb_codes[] = {1, 0};
        static constexpr uint8_t alloc_bits[] = {0x01, 0x02}, alloc_codes[] = {0, 1};
        const auto store = [&](uint8_t &field, int code) {
            if (code < 0) invalid = true;
            else field = static_cast<uint8_t>(code);
            return !invalid;
        };
        if (!store(s.frequency_index, first_code(e[4], freq_bits, freq_codes)) ||
            !store(s.channel_mode, first_code(e[4], mode_bits, mode_codes)) ||
            !store(s.blocks_index, first_code(e[5], block_bits, block_codes)) ||
            !store(s.subbands_flag, first_code(e[5], sb_bits, sb_codes)) ||
            !store(s.allocation, first_code(e[5], alloc_bits, alloc_codes)))
            return false;
        s.bitpool = e[7];
        return true;
    });
    if (invalid) return -22;
    if (!found) return reject(s.signal_socket, cmd);
    const int sent = avdtpSendAccept(s.signal_socket, cmd.label, set_configuration);
    if (sent != 0) return sent;
    if (!s.codec) {
        s.codec = static_cast<sbc_work *>(std::malloc(sizeof(sbc_work)));
        if (!s.codec) return -12;
    }
    std::memset(s.codec, 0, sizeof(sbc_work));
    s.acceptor_state = configured;
    return set_configuration;
}

}  // namespace

extern "C" {

BLMX_EXPORT int avdtpACPHandlePacket(bt_stream *stream) {
    bt_stream &s = *stream;
    avdtp_signal cmd;
    if (avdtpReadSignal(s.signal_socket, &cmd) != command) return -6;
    const uint8_t st = s.acceptor_state;
    switch (cmd.signal_id) {
        case discover: {
            static constexpr uint8_t entry[2] = {own_seid << 2, 0x08};
            return accept(s, cmd, entry, sizeof entry, -1);
        }
        case get_capabilities:
        case get_all_capabilities: {  // an AVDTP 1.3 initiator's form; the same answer
            static constexpr uint8_t caps[10] = {0x01, 0x00, 0x07, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0x02, 0xFA};
            return accept(s, cmd, caps, sizeof caps, -1);
        }
        case set_configuration:
            // Also after CLOSE: the end-point is free to be configured again.
            if (st != idle && st != closed) return reject(s.signal_socket, cmd);
            return set_configuration_command(s, cmd);
        case open:
            if (st != configured) break;
            return accept(s, cmd, nullptr, 0, opened);
        case start:
            if (st != opened && st != suspended) break;
            return accept(s, cmd, nullptr, 0, streaming);
        case close:
            if (st != opened && st != streaming && st != suspended) break;
            return accept(s, cmd, nullptr, 0, closed);
        case suspend:
            if (st != opened && st != streaming) break;
            return accept(s, cmd, nullptr, 0, suspended);
        case blmx::avdtp::abort: {
            // AVDTP has no reject for ABORT: it is accepted in every state,
            // releases the configuration and makes the end-point free again.
            const int r = accept(s, cmd, nullptr, 0, st == not_ready ? not_ready : idle);
            if (r == blmx::avdtp::abort) avdtpACPFree(&s);
            return r;
        }
        default:
            break;
    }
    return reject(s.signal_socket, cmd);
}

BLMX_EXPORT void avdtpACPFree(bt_stream *stream) {
    std::free(stream->codec);
    stream->codec = nullptr;
}

}  // extern "C"
