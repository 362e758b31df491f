// sbc_decode_frame on arbitrary bytes and bit counts: the bytes are held in an
// allocation of exactly the size the bit count covers, so a read beyond it is
// caught; every vector path must give the reference's result and record.
#include <algorithm>
#include <cstring>
#include <memory>

#include "blmx_bt.h"
#include "sbc/sbc.h"

namespace {

struct decoder {
    std::unique_ptr<bt_stream> stream{new bt_stream()};
    std::unique_ptr<sbc_work> work{new sbc_work()};
    decoder(uint8_t config, uint8_t bitpool) {
        std::memset(stream.get(), 0, sizeof(bt_stream));
        std::memset(work.get(), 0, sizeof(sbc_work));
        stream->codec = work.get();
        stream->frequency_index = config >> 6;
        stream->blocks_index = (config >> 4) & 3;
        stream->channel_mode = (config >> 2) & 3;
        stream->allocation = (config >> 1) & 1;
        stream->subbands_flag = config & 1;
        stream->bitpool = bitpool;
        blmx::sbc::set_dimensions(*work, *stream);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t config = data[0];
    const uint32_t bits = std::min<uint32_t>(static_cast<uint32_t>(data[1] << 8 | data[2]), static_cast<uint32_t>((size - 3) * 8));
    const size_t bytes = (bits + 7) / 8;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[bytes ? bytes : 1]);
    std::memcpy(frame.get(), data + 3, bytes);
    // The frame's own header names the configuration most of the time, so the
    // decoder gets past its header check; sometimes the input's byte 0 does.
    const uint8_t stream_config = bytes > 1 && !(config & 0x80) ? frame[1] : config;
    // Twice in a row, so the second decode runs on the history of the first.
    decoder plain(stream_config, 0);
    int32_t expected[2];
    for (int k = 0; k < 2; ++k) {
        plain.work->next_frame = frame.get();
        expected[k] = blmx::sbc::decode_frame_reference(*plain.stream, bits);
        if (expected[k] < 0 || static_cast<uint32_t>(expected[k]) > bytes) __builtin_trap();
    }
    for (auto path : {blmx::sbc::codec_path::sse2, blmx::sbc::codec_path::avx2, blmx::sbc::codec_path::avx512}) {
        if (!blmx::sbc::path_available(path)) continue;
        decoder fast(stream_config, 0);
        for (int k = 0; k < 2; ++k) {
            fast.work->next_frame = frame.get();
            if (blmx::sbc::decode_frame_on(path, *fast.stream, bits) != expected[k]) __builtin_trap();
        }
        if (std::memcmp(fast.work.get(), plain.work.get(), sizeof(sbc_work)) != 0) __builtin_trap();
        if (fast.stream->bitpool != plain.stream->bitpool) __builtin_trap();
    }
    return 0;
}
