// SBC encoder: one frame of PCM from sbc_work::pcm into one SBC frame in
// sbc_work::frame. Single precision throughout, every sum in a fixed order,
// so the frame is the same bit for bit on every machine.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "sbc/sbc.h"
#include "sbc/tables.h"

namespace blmx::sbc {

namespace {

// Analysis filter bank of one block of one channel: shifts M new samples into
// the history X and computes the block's M subband samples (scaled by 2^15).
void analyse_block(float *X, const int16_t *pcm, unsigned stride, unsigned m, float *out) {
    const float *W = m == 8 ? sbc_window_8.data() : sbc_window_4.data();
    const float *T = m == 8 ? &sbc_analysis_cos_8[0][0] : &sbc_analysis_cos_4[0][0];
    std::memmove(X + m, X, sizeof(float) * 9 * m);
    for (unsigned k = 0; k < m; ++k) X[m - 1 - k] = static_cast<float>(pcm[k * stride]);
    float Z[80];
    for (unsigned i = 0; i < 10 * m; ++i) Z[i] = X[i] * W[i];
    float Y[16];
    for (unsigned i = 0; i < 2 * m; ++i)
        Y[i] = (((Z[i] + Z[i + 2 * m]) + Z[i + 4 * m]) + Z[i + 6 * m]) + Z[i + 8 * m];
    for (unsigned i = 0; i < m; ++i) {
        float s = 0.0f;
        for (unsigned k = 0; k < 2 * m; ++k) s = s + T[i * 2 * m + k] * Y[k];
        out[i] = s * 32768.0f;
    }
}

// Scale factor of a run of subband samples: the smallest s with |x| < 2^(s+16).
uint8_t scale_factor_of(const float *x, unsigned count, unsigned stride) {
    uint32_t peak = 0x8000;
    for (unsigned b = 0; b < count; ++b) peak |= static_cast<uint32_t>(std::fabs(x[b * stride]));
    return static_cast<uint8_t>((31 - __builtin_clz(peak)) - 15);
}

}  // namespace

int encoder_allocate(bt_stream &stream) {
    sbc_work &w = *stream.codec;
    // A bitpool beyond what one allocation pass reaches is clamped to the largest reachable one.
    const int bitpool = std::min<int>(stream.bitpool, max_bitpool(stream.channel_mode, w.subbands));
    allocate_bits(stream, w, bitpool);
    return bitpool;
}

uint32_t encode_frame_reference(bt_stream &stream) {
    sbc_work &w = *stream.codec;
    const unsigned m = w.subbands, n = w.channels, nb = w.blocks;

    // Analysis.
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c)
            analyse_block(w.history[c], w.pcm + b * m * n + c, n, m, w.sb_sample[b][c]);

    // Scale factors.
    for (unsigned c = 0; c < n; ++c)
        for (unsigned i = 0; i < m; ++i) w.scale_factor[c][i] = scale_factor_of(&w.sb_sample[0][c][i], nb, 16);

    // Joint stereo: code a subband as mid and side when that needs smaller scale factors.
    w.join = 0;
    if (stream.channel_mode == 3) {
        for (unsigned i = 0; i + 1 < m; ++i) {
            float mid[16], side[16];
            for (unsigned b = 0; b < nb; ++b) {
                const float l = w.sb_sample[b][0][i], r = w.sb_sample[b][1][i];
                mid[b] = (l + r) * 0.5f;
                side[b] = (l - r) * 0.5f;
            }
            const uint8_t sm = scale_factor_of(mid, nb, 1), sd = scale_factor_of(side, nb, 1);
            if (w.scale_factor[0][i] + w.scale_factor[1][i] > sm + sd) {
                w.join |= static_cast<uint8_t>(1u << (m - 1 - i));
                w.scale_factor[0][i] = sm;
                w.scale_factor[1][i] = sd;
                for (unsigned b = 0; b < nb; ++b) {
                    w.sb_sample[b][0][i] = mid[b];
                    w.sb_sample[b][1][i] = side[b];
                }
            }
        }
    }

    const int bitpool = encoder_allocate(stream);

    // Quantization.
    float levels[2][8], offset[2][8], factor[2][8];
    for (unsigned c = 0; c < n; ++c)
        for (unsigned i = 0; i < m; ++i) {
            const int nbits = w.bits[c][i];
            if (nbits <= 0) continue;
            const int f = w.scale_factor[c][i];
            levels[c][i] = static_cast<float>((1u << nbits) - 1);
            offset[c][i] = std::ldexp(1.0f, 16 + f);
            factor[c][i] = std::ldexp(1.0f, 15 - f) * levels[c][i];
        }
    unsigned q_count = 0;
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i) {
                if (w.bits[c][i] <= 0) continue;
                // Truncation: a decoder reconstructs level q at the middle of [q, q + 1),
                // so the error stays within half a step.
                float q = std::truncf(((offset[c][i] + w.sb_sample[b][c][i]) * factor[c][i]) * 0x1p-32f);
                if (levels[c][i] < q) q = levels[c][i];
                w.quantized[q_count++] = q;
            }

    // Packing.
    uint8_t *frame = w.frame;
    frame[0] |= sync_word;
    w.crc = crc_seed;
    w.bit_pos = 8;
    w.bit_limit = frame_bits;
    put_bits(w, frame, config_byte(stream), 8);
    put_bits(w, frame, static_cast<uint32_t>(bitpool), 8);
    w.bit_pos += 8;
    if (stream.channel_mode == 3) put_bits(w, frame, w.join, m);
    for (unsigned c = 0; c < n; ++c)
        for (unsigned i = 0; i < m; ++i) put_bits(w, frame, w.scale_factor[c][i], 4);
    frame[3] = static_cast<uint8_t>(w.crc);
    q_count = 0;
    for (unsigned b = 0; b < nb; ++b)
        for (unsigned c = 0; c < n; ++c)
            for (unsigned i = 0; i < m; ++i) {
                const int nbits = w.bits[c][i];
                if (nbits <= 0) continue;
                put_bits(w, frame, static_cast<uint32_t>(static_cast<int32_t>(w.quantized[q_count++])),
                         static_cast<unsigned>(nbits));
            }
    return (w.bit_pos + 7) >> 3;
}

}  // namespace blmx::sbc
