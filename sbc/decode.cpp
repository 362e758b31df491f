// SBC decoder: one SBC frame at sbc_work::next_frame into interleaved PCM in
// sbc_work::pcm. Reads through the bit limit only, so a frame cut short never
// makes it touch a byte it was not given.
#include <cmath>
#include <cstring>

#include "sbc/sbc.h"
#include "sbc/tables.h"

namespace blmx::sbc {

namespace {

// CRC-8 of the fields the frame's CRC byte covers, from their decoded values.
uint8_t side_info_crc(const bt_stream &stream, const sbc_work &w, uint8_t config, uint8_t bitpool) {
    uint8_t crc = crc8_bits(crc_seed, config, 8);
    crc = crc8_bits(crc, bitpool, 8);
    if (stream.channel_mode == 3) crc = crc8_bits(crc, w.join, w.subbands);
    for (unsigned c = 0; c < w.channels; ++c)
        for (unsigned i = 0; i < w.subbands; ++i) crc = crc8_bits(crc, w.scale_factor[c][i], 4);
    return crc;
}

// `count` (at most 8) bits at bit position `pos`, which the caller knows to be
// within the frame; no byte beyond the field's last bit is read.
uint32_t peek_bits(const uint8_t *frame, uint32_t pos, unsigned count) {
    const unsigned shift = pos & 7;
    uint32_t v = frame[pos >> 3];
    unsigned have = 8 - shift;
    if (have < count) {
        v = v << 8 | frame[(pos >> 3) + 1];
        have += 8;
    }
    return (v >> (have - count)) & ((1u << count) - 1);
}

// Synthesis filter bank of one block of one channel: M subband samples in,
// M output samples (clamped, still float) out.
void synthesise_block(float *V, const float *S, unsigned m, float *out) {
    const float *W = m == 8 ? sbc_window_8.data() : sbc_window_4.data();
    const float *T = m == 8 ? &sbc_synthesis_cos_8[0][0] : &sbc_synthesis_cos_4[0][0];
    std::memmove(V + 2 * m, V, sizeof(float) * 18 * m);
    for (unsigned k = 0; k < 2 * m; ++k) {
        float s = 0.0f;
        for (unsigned i = 0; i < m; ++i) s = s + T[i * 2 * m + k] * S[i];
        V[k] = s;
    }
    float U[80];
    for (unsigned t = 0; t < 5; ++t)
        for (unsigned j = 0; j < m; ++j) {
            U[2 * m * t + j] = V[4 * m * t + j];
            U[2 * m * t + m + j] = V[4 * m * t + 3 * m + j];
        }
    const float gain = -static_cast<float>(m);
    float Z[80];
    for (unsigned i = 0; i < 10 * m; ++i) Z[i] = (gain * W[i]) * U[i];
    for (unsigned j = 0; j < m; ++j) {
        float x = Z[j];
        for (unsigned t = 1; t < 10; ++t) x = x + Z[j + t * m];
        if (x > 32767.0f) x = 32767.0f;
        if (x < -32767.0f) x = -32767.0f;
        out[j] = x;
    }
}

}  // namespace

uint32_t decode_side_info(bt_stream &stream, uint32_t bit_count) {
    sbc_work &w = *stream.codec;
    const unsigned m = w.subbands, n = w.channels;
    const uint8_t *frame = w.next_frame;
    w.pcm_fill = 0;
    w.pcm_read = 0;
    const uint8_t expected = config_byte(stream);
    w.bit_pos = 0;
    w.bit_limit = bit_count;
    if (bit_count < 32) return 0;
    if (frame[0] != sync_word || frame[1] != expected) return 0;
    const uint8_t bitpool = frame[2];
    // A bitpool that one allocation pass cannot reach is not a frame we made sense of.
    if (bitpool > max_bitpool(stream.channel_mode, static_cast<uint8_t>(m))) return 0;
    w.bit_pos = 32;
    w.crc = crc8_bytes(crc_seed, frame + 1, 2);

    const bool joint = stream.channel_mode == 3 && (m == 4 || m == 8);
    const uint32_t side_end = 32 + (joint ? m : 0) + 4 * m * n;
    if (side_end <= bit_count) {
        // The usual case: the side information is whole, and the CRC register
        // after reading it is the CRC of exactly those bits.
        uint32_t pos = 32;
        w.join = joint ? static_cast<uint8_t>(peek_bits(frame, pos, m)) : 0;
        pos += joint ? m : 0;
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i, pos += 4) w.scale_factor[c][i] = static_cast<uint8_t>(peek_bits(frame, pos, 4));
        w.crc = crc8_range(static_cast<uint8_t>(w.crc), frame, 32, side_end);
        w.bit_pos = side_end;
        // A damaged scale factor would become a burst of noise: refuse the frame.
        if (w.crc != frame[3]) return 0;
    } else {
        w.join = joint ? static_cast<uint8_t>(get_bits(w, frame, m)) : 0;
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i) w.scale_factor[c][i] = static_cast<uint8_t>(get_bits(w, frame, 4));
        if (side_info_crc(stream, w, expected, bitpool) != frame[3]) return 0;
    }

    stream.bitpool = bitpool;
    allocate_bits(stream, w, bitpool);
    return w.bit_pos;
}

int32_t decode_samples_reference(bt_stream &stream) {
    sbc_work &w = *stream.codec;
    const unsigned m = w.subbands, n = w.channels, nb = w.blocks;
    const uint8_t *frame = w.next_frame;
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i) {
                const int nbits = w.bits[c][i];
                const unsigned idx = (b * n + c) * m + i;
                w.quantized[idx] = nbits > 0 ? static_cast<float>(get_bits(w, frame, static_cast<unsigned>(nbits))) : 0.0f;
            }

    float levels[2][8], scale[2][8];
    for (unsigned c = 0; c < n; ++c)
        for (unsigned i = 0; i < m; ++i) {
            levels[c][i] = static_cast<float>((1u << w.bits[c][i]) - 1);
            scale[c][i] = std::ldexp(1.0f, w.scale_factor[c][i] + 1);
        }
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i) {
                float &v = w.quantized[(b * n + c) * m + i];
                if (w.bits[c][i] == 0) {
                    v = 0.0f;
                } else {
                    const float q = v;
                    v = (((q + q) + 1.0f) * scale[c][i]) / levels[c][i] - scale[c][i];
                }
            }

    if (stream.channel_mode == 3) {
        for (unsigned b = 0; b < nb; ++b)
            for (unsigned i = 0; i < m; ++i) {
                if (!(w.join & (1u << (m - 1 - i)))) continue;
                float &a = w.quantized[(b * n + 0) * m + i];
                float &d = w.quantized[(b * n + 1) * m + i];
                const float l = a + d, r = a - d;
                a = l;
                d = r;
            }
    }

    float out[2][16 * 8];
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c) synthesise_block(w.history[c], &w.quantized[(b * n + c) * m], m, &out[c][b * m]);
    unsigned k = 0;
    for (unsigned t = 0; t < nb * m; ++t)
        for (unsigned c = 0; c < n; ++c) w.pcm[k++] = static_cast<int16_t>(static_cast<int32_t>(out[c][t]));

    w.pcm_read = 0;
    w.pcm_fill = static_cast<int32_t>(nb * n * m);
    return static_cast<int32_t>((w.bit_pos + 7) / 8);
}

int32_t decode_frame_reference(bt_stream &stream, uint32_t bit_count) {
    if (decode_side_info(stream, bit_count) == 0) return 0;
    return decode_samples_reference(stream);
}

}  // namespace blmx::sbc

