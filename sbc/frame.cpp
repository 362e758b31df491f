// SBC frame format: dimensions, configuration byte, CRC-8, bit writer and reader.
#include <array>
#include <cstring>

#include "sbc/sbc.h"
#include "sbc/tables.h"

namespace blmx::sbc {

void set_dimensions(sbc_work &work, const bt_stream &stream) {
    work.blocks = blocks_of(stream.blocks_index);
    work.subbands = subbands_of(stream.subbands_flag);
    work.channels = channels_of(stream.channel_mode);
    work.frame_samples = static_cast<uint16_t>(work.blocks * work.subbands);
}

uint8_t config_byte(const bt_stream &s) {
    return static_cast<uint8_t>(s.frequency_index * 64 + s.blocks_index * 16 + s.channel_mode * 4 +
                                s.allocation * 2 + s.subbands_flag);
}

namespace {
constexpr auto crc_tables = make_crc_tables();
constexpr const auto &crc_table = crc_tables[0];

unsigned crc_bit(unsigned r, unsigned bit) {
    return (((r >> 7) ^ bit) & 1u) ? ((r << 1) ^ 0x1D) & 0xFF : (r << 1) & 0xFF;
}
}  // namespace

uint8_t crc8_bits(uint8_t reg, uint32_t value, unsigned count) {
    unsigned r = reg;
    for (unsigned i = count; i-- > 0;) r = crc_bit(r, (value >> i) & 1u);
    return static_cast<uint8_t>(r);
}

uint8_t crc8_bytes(uint8_t reg, const uint8_t *data, size_t size) {
    for (size_t i = 0; i < size; ++i) reg = crc_table[reg ^ data[i]];
    return reg;
}

uint8_t crc8_range(uint8_t reg, const uint8_t *data, uint32_t from, uint32_t to) {
    unsigned r = reg;
    for (; from < to && (from & 7); ++from) r = crc_bit(r, (data[from >> 3] >> (7 - (from & 7))) & 1u);
    for (; from + 128 <= to; from += 128) {
        const uint8_t *p = data + (from >> 3);
        unsigned rest = 0;
#pragma GCC unroll 16
        for (unsigned k = 1; k < 16; ++k) rest ^= crc_tables[15 - k][p[k]];
        r = crc_tables[15][r ^ p[0]] ^ rest;
    }
    for (; from + 8 <= to; from += 8) r = crc_table[r ^ data[from >> 3]];
    for (; from < to; ++from) r = crc_bit(r, (data[from >> 3] >> (7 - (from & 7))) & 1u);
    return static_cast<uint8_t>(r);
}

void put_bits(sbc_work &w, uint8_t *frame, uint32_t value, unsigned count) {
    unsigned crc = w.crc & 0xFF;
    uint32_t pos = w.bit_pos;
    for (unsigned i = count; i-- > 0;) {
        if (pos >= w.bit_limit) break;
        unsigned bit = (value >> i) & 1u;
        frame[pos >> 3] |= static_cast<uint8_t>(bit << (7 - (pos & 7)));
        crc = crc_bit(crc, bit);
        ++pos;
    }
    w.bit_pos = pos;
    w.crc = crc;
}

uint32_t get_bits(sbc_work &w, const uint8_t *frame, unsigned count) {
    unsigned crc = w.crc & 0xFF;
    uint32_t pos = w.bit_pos;
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        unsigned bit = 0;
        if (pos < w.bit_limit) {
            bit = (frame[pos >> 3] >> (7 - (pos & 7))) & 1u;
            crc = crc_bit(crc, bit);
            ++pos;
        }
        value = (value << 1) | bit;
    }
    w.bit_pos = pos;
    w.crc = crc;
    return value;
}

int parse_frame(const uint8_t *data, size_t size, frame_info &info) {
    if (size == 0) return -1;
    if (data[0] != sync_word) return 0;
    if (size < 4) return -1;
    // Only the fields the allocation reads are set: clearing the whole records
    // (the stream holds the 64 KiB packet buffer) would cost more than the parse.
    bt_stream s;
    s.frequency_index = data[1] >> 6;
    s.blocks_index = (data[1] >> 4) & 3;
    s.channel_mode = (data[1] >> 2) & 3;
    s.allocation = (data[1] >> 1) & 1;
    s.subbands_flag = data[1] & 1;
    s.bitpool = data[2];
    sbc_work w;
    set_dimensions(w, s);
    const unsigned m = w.subbands, n = w.channels;
    if (s.bitpool > max_bitpool(s.channel_mode, w.subbands)) return 0;
    const unsigned join_bits = s.channel_mode == 3 ? m : 0;
    const uint32_t side_bits = 32 + join_bits + 4 * m * n;
    if (size * 8 < side_bits) return -1;

    w.bit_pos = 32;
    w.bit_limit = side_bits;
    w.crc = crc8_bytes(crc_seed, data + 1, 2);
    w.join = static_cast<uint8_t>(get_bits(w, data, join_bits));
    for (unsigned c = 0; c < n; ++c)
        for (unsigned sb = 0; sb < m; ++sb) w.scale_factor[c][sb] = static_cast<uint8_t>(get_bits(w, data, 4));
    allocate_bits(s, w, s.bitpool);
    uint32_t sample_bits = 0;
    for (unsigned c = 0; c < n; ++c)
        for (unsigned sb = 0; sb < m; ++sb) sample_bits += static_cast<uint32_t>(w.bits[c][sb]);
    const uint32_t total = side_bits + w.blocks * sample_bits;

    info.frequency_index = s.frequency_index;
    info.blocks_index = s.blocks_index;
    info.channel_mode = s.channel_mode;
    info.allocation = s.allocation;
    info.subbands_flag = s.subbands_flag;
    info.bitpool = s.bitpool;
    info.blocks = w.blocks;
    info.subbands = w.subbands;
    info.channels = w.channels;
    info.length = (total + 7) / 8;
    info.crc_ok = (w.crc & 0xFF) == data[3];
    return 1;
}

}  // namespace blmx::sbc
