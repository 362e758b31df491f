// bt_receive over arbitrary media packets: the stream's configuration and
// MTU and the sizes of the daemon's requests come from the input, then the
// packets. Nothing may be read or written outside the stream's buffers and the
// destination, and every result is a byte count within the request or -1.
#include <fcntl.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "blmx_bt.h"
#include "fuzz/fuzz_util.h"
#include "sbc/sbc.h"

extern "C" void belmux_wait(void) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    blmx::fuzz::scripted_peer peer(blmx::fuzz::split_packets(data + 5, size - 5, true));
    fcntl(peer.socket(), F_SETFL, O_NONBLOCK);
    auto stream = std::make_unique<bt_stream>();
    std::memset(stream.get(), 0, sizeof(bt_stream));
    auto work = std::make_unique<sbc_work>();
    std::memset(work.get(), 0, sizeof(sbc_work));
    const uint8_t config = data[0];
    stream->frequency_index = config >> 6;
    stream->blocks_index = (config >> 4) & 3;
    stream->channel_mode = (config >> 2) & 3;
    stream->allocation = (config >> 1) & 1;
    stream->subbands_flag = config & 1;
    stream->bitpool = data[1];
    stream->mtu = static_cast<uint16_t>(data[2] << 8 | data[3]);
    stream->codec = work.get();
    stream->media_socket = peer.socket();
    const int request = 1 + data[4] * 7;
    std::unique_ptr<uint8_t[]> out(new uint8_t[request]);
    int quiet = 0;
    for (int k = 0; k < 4000 && quiet < 50; ++k) {
        const int r = bt_receive(stream.get(), out.get(), request - (k % 3), 0);
        if (r < -1 || r > request) __builtin_trap();
        if (r < 0) break;
        // Once the peer has sent everything, calls that deliver nothing end the run.
        quiet = r == 0 && peer.done() ? quiet + 1 : 0;
        if (r == 0 && !peer.done()) {
            pollfd p{peer.socket(), POLLIN, 0};
            poll(&p, 1, 5);
        }
    }
    return 0;
}
