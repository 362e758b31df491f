// avdtpReadSignal on arbitrary packet sequences: joins fragments, keeps to
// its 512-byte message, never reads past what arrived.
#include <cstring>

#include "avdtp/avdtp.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    blmx::fuzz::scripted_peer peer(blmx::fuzz::split_packets(data, size, false));
    for (int k = 0; k < 64; ++k) {
        avdtp_signal s;
        std::memset(&s, 0xA5, sizeof s);
        const int r = avdtpReadSignal(peer.socket(), &s);
        if (r < 0) break;
        if (r > 3 || s.length > sizeof s.payload) __builtin_trap();
    }
    return 0;
}
