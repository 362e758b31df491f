// avdtpACPHandlePacket fed command sequences, from any acceptor state; the
// codec work record is freed at the end whatever happened.
#include <cstring>
#include <memory>

#include "avdtp/avdtp.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    blmx::fuzz::scripted_peer peer(blmx::fuzz::split_packets(data + 1, size - 1, false));
    auto stream = std::make_unique<bt_stream>();
    std::memset(stream.get(), 0, sizeof(bt_stream));
    stream->signal_socket = peer.socket();
    stream->acceptor_state = data[0] % 8;
    for (int k = 0; k < 64; ++k) {
        const int r = avdtpACPHandlePacket(stream.get());
        const bool known =
            r == -6 || r == -12 || r == -22 || r == 1 || r == 2 || r == 3 || (r >= 6 && r <= 10) || r == 12;
        if (!known) __builtin_trap();
        // ABORT releases the configuration and leaves the end-point free (or not ready).
        if (r == 10 && (stream->codec || stream->acceptor_state > 1)) __builtin_trap();
        if (stream->acceptor_state > 7) __builtin_trap();
        if (stream->acceptor_state >= 2 && stream->acceptor_state <= 6 && r == 3 && !stream->codec) __builtin_trap();
    }
    avdtpACPFree(stream.get());
    avdtpACPFree(stream.get());
    return 0;
}
