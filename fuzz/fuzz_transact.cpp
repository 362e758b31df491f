// avdtpTransact and avdtpDiscoverAndConfig against replies taken from the
// input. Byte 0 picks the routine and the label counter, byte 1 the stream's
// configuration or the command; the rest are the peer's packets.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "avdtp/avdtp.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The routines print their diagnostics; keep the fuzzer's output readable.
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t which = data[0], config = data[1], extra = data[2];
    blmx::fuzz::scripted_peer peer(blmx::fuzz::split_packets(data + 3, size - 3, false));
    avdtp_label_counter = static_cast<uint8_t>(which >> 1);
    if (which & 1) {
        auto stream = std::make_unique<bt_stream>();
        std::memset(stream.get(), 0, sizeof(bt_stream));
        stream->signal_socket = peer.socket();
        stream->frequency_index = (config >> 6) == 3 && (extra & 1) ? 255 : config >> 6;
        stream->channel_mode = (config >> 2) & 3;
        stream->allocation = (config >> 1) & 1;
        stream->subbands_flag = config & 1;
        stream->blocks_index = (config >> 4) & 3;
        stream->bitpool = extra;
        const int r = avdtpDiscoverAndConfig(stream.get(), (extra >> 1) & 1);
        if (r != 0 && r != -6 && r != -16 && r != -22) __builtin_trap();
    } else {
        avdtp_signal reply;
        const uint8_t params[2] = {extra, 0x20};
        const int r = avdtpTransact(peer.socket(), &reply, config, params, config & 1 ? 2 : 0, params, config >> 7);
        if (r != 0 && r != -6 && r != -22) __builtin_trap();
        if (r == 0 && reply.length > sizeof reply.payload) __builtin_trap();
    }
    alarm(0);
    return 0;
}
