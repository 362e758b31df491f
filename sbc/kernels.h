// The vector codec paths. The same source (kernels.inc) is compiled once per
// instruction set, each copy in a namespace of its own; this header holds only
// plain declarations, so nothing inline is compiled for one instruction set
// and then shared with code that runs on another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blmx_bt.h"

namespace blmx::sbc {

// The constant tables in the shapes the vector paths read them.
struct kernel_tables {
    float window8[80], window4[40];                // analysis window W
    float analysis_cos_t8[16][8];                  // [k][i] = T[i][k]
    float analysis_cos_t4[8][4];
    float analysis_cos_t8_twice[16][16];           // [k][g * 8 + i] = T[i][k], g = 0, 1
    float synthesis_cos8[8][16];                   // [i][k]
    float synthesis_cos4[4][8];
    float synthesis_window8[80], synthesis_window4[40];  // -M x W[i], exact
    // CRC-8 (x^8 + x^4 + x^3 + x^2 + 1): [k][v] is the register after byte v
    // and k zero bytes fed into a zero register; word_fold[e] is x^(64 e)
    // modulo the polynomial, what a 64-bit word e words before the end is
    // multiplied by when whole words are folded at once.
    uint8_t crc_after_zeros[9][256];
    uint8_t crc_word_fold[128];
};
const kernel_tables &tables_for_kernels();

namespace sse2 {
uint32_t encode_frame(bt_stream &stream, const kernel_tables &t);
int32_t decode_frame(bt_stream &stream, uint32_t bit_count, const kernel_tables &t);
}  // namespace sse2

namespace avx512 {
uint32_t encode_frame(bt_stream &stream, const kernel_tables &t);
int32_t decode_frame(bt_stream &stream, uint32_t bit_count, const kernel_tables &t);
}  // namespace avx512

namespace avx2 {
uint32_t encode_frame(bt_stream &stream, const kernel_tables &t);
int32_t decode_frame(bt_stream &stream, uint32_t bit_count, const kernel_tables &t);
}  // namespace avx2

// Shared scalar stages (sbc.h has them too; repeated here without the inline
// helpers that header carries).
uint32_t encode_frame_reference(bt_stream &stream);
int encoder_allocate(bt_stream &stream);
uint32_t decode_side_info(bt_stream &stream, uint32_t bit_count);
int32_t decode_samples_reference(bt_stream &stream);
uint8_t crc8_range(uint8_t reg, const uint8_t *data, uint32_t from, uint32_t to);
uint8_t crc8_bytes(uint8_t reg, const uint8_t *data, size_t size);

}  // namespace blmx::sbc
