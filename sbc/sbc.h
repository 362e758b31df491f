// SBC codec internals shared by the frame format, the bit allocation, the
// encoder and the decoder, and by the command-line tool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blmx_bt.h"

namespace blmx::sbc {

inline constexpr uint8_t sync_word = 0x9C;
inline constexpr uint8_t crc_seed = 0x0F;
inline constexpr uint32_t frame_bits = 8192;  // bits of sbc_work::frame

// Frame dimensions from a stream's configuration bytes.
constexpr uint8_t blocks_of(uint8_t blocks_index) { return blocks_index < 3 ? 4 * (blocks_index + 1) : 16; }
constexpr uint8_t subbands_of(uint8_t subbands_flag) { return subbands_flag ? 8 : 4; }
constexpr uint8_t channels_of(uint8_t channel_mode) { return channel_mode == 0 ? 1 : 2; }

// Sets blocks, subbands, channels and frame_samples of the work record.
void set_dimensions(sbc_work &work, const bt_stream &stream);

// frequency_index*64 + blocks_index*16 + channel_mode*4 + allocation*2 + subbands_flag, 8-bit.
uint8_t config_byte(const bt_stream &stream);

// Feeds the low `count` bits of `value`, most significant first, into a CRC-8 register.
uint8_t crc8_bits(uint8_t reg, uint32_t value, unsigned count);
// Feeds whole bytes.
uint8_t crc8_bytes(uint8_t reg, const uint8_t *data, size_t size);
// Feeds bits [from, to) of `data`, most significant bit of each byte first.
uint8_t crc8_range(uint8_t reg, const uint8_t *data, uint32_t from, uint32_t to);

// The largest bitpool one allocation pass can distribute: 16 x subbands x channels of a pass.
constexpr int max_bitpool(uint8_t channel_mode, uint8_t subbands) {
    return 16 * subbands * (channel_mode == 1 || channel_mode == 0 ? 1 : 2);
}

// Bit allocation with an explicit bitpool (the stream's own is not read).
void allocate_bits(const bt_stream &stream, sbc_work &work, int bitpool);

// Bit writer and reader over a frame, with the running CRC and the bit limit.
void put_bits(sbc_work &work, uint8_t *frame, uint32_t value, unsigned count);
uint32_t get_bits(sbc_work &work, const uint8_t *frame, unsigned count);

// A frame header as found in a byte stream.
struct frame_info {
    uint8_t frequency_index, blocks_index, channel_mode, allocation, subbands_flag, bitpool;
    uint8_t blocks, subbands, channels;
    uint32_t length;  // bytes, by the frame-length rule (allocated bits)
    bool crc_ok;
};

// Parses the frame at `data` (up to `size` bytes available): header, join field,
// scale factors and allocation, to find its length. Returns 1 with `info` filled,
// 0 when there is no frame there (no sync word, unreachable bitpool), and -1 when
// more bytes are needed to tell.
int parse_frame(const uint8_t *data, size_t size, frame_info &info);

// The plain scalar codec paths: the definition that every faster path matches bit for bit.
uint32_t encode_frame_reference(bt_stream &stream);
int32_t decode_frame_reference(bt_stream &stream, uint32_t bit_count);

// The stages that every codec path shares.
// Encoder: the bit allocation with the stream's bitpool clamped to what one
// pass can reach; returns the bitpool that goes into the frame.
int encoder_allocate(bt_stream &stream);
// Decoder: header check, join field, scale factors, CRC check and bit
// allocation. Returns the bit position after the scale factors, or 0 when the
// frame is refused (pcm_fill and pcm_read are then 0, nothing else changed).
uint32_t decode_side_info(bt_stream &stream, uint32_t bit_count);
// Decoder: everything after decode_side_info, read through the bit limit.
int32_t decode_samples_reference(bt_stream &stream);

// The codec paths this build has; `plain` is the reference above.
enum class codec_path { plain, sse2, avx2, avx512 };
// Whether the processor runs a path.
bool path_available(codec_path path);
// The fastest available path, the one the exported routines take.
codec_path best_path();
uint32_t encode_frame_on(codec_path path, bt_stream &stream);
int32_t decode_frame_on(codec_path path, bt_stream &stream, uint32_t bit_count);

}  // namespace blmx::sbc

extern "C" void sbc_allocate_bits(bt_stream *stream);
