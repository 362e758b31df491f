// SBC bit allocation: bits per sample for each channel and subband of a frame,
// from its scale factors and bitpool. Shared by the encoder and the decoder.
#include <algorithm>
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sbc/sbc.h"

namespace blmx::sbc {

namespace {

constexpr int offset4[4][4] = {{-1, 0, 0, 0}, {-2, 0, 0, 1}, {-2, 0, 0, 1}, {-2, 0, 0, 1}};
constexpr int offset8[4][8] = {{-2, 0, 0, 0, 0, 0, 0, 1},
                               {-3, 0, 0, 0, 0, 0, 1, 2},
                               {-4, 0, 0, 0, 0, 0, 1, 2},
                               {-4, 0, 0, 0, 0, 0, 1, 2}};

// Order in which the leftover bits visit the positions of a pass (position =
// channel * subbands + subband): channel by channel with one channel,
// alternating channels subband by subband with two.
struct leftover_order {
    uint8_t at[16];
};
constexpr leftover_order make_order(int m, int nch) {
    leftover_order o{};
    for (int p = 0; p < m * nch; ++p) o.at[p] = static_cast<uint8_t>(nch == 2 ? (p & 1) * m + (p >> 1) : p);
    return o;
}
constexpr leftover_order orders[2][2] = {{make_order(4, 1), make_order(4, 2)}, {make_order(8, 1), make_order(8, 2)}};

typedef int8_t byte_row __attribute__((vector_size(16)));

// A row's 16 signed bytes added up.
inline int row_sum(byte_row v) {
#if defined(__SSE2__)
    const __m128i sums = _mm_sad_epu8((__m128i)v, _mm_setzero_si128());  // every byte is 0..16 here
    return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#else
    int sum = 0;
    for (int k = 0; k < 16; ++k) sum += v[k];
    return sum;
#endif
}

// The offsets of the loudness rule by position, for 4 and 8 subbands and each sampling frequency.
constexpr std::array<std::array<std::array<int8_t, 16>, 4>, 2> make_offset_rows() {
    std::array<std::array<std::array<int8_t, 16>, 4>, 2> t{};
    for (int f = 0; f < 4; ++f)
        for (int k = 0; k < 16; ++k) {
            t[0][f][k] = static_cast<int8_t>(offset4[f][k % 4]);
            t[1][f][k] = static_cast<int8_t>(offset8[f][k % 8]);
        }
    return t;
}
constexpr auto offset_rows = make_offset_rows();

// One allocation pass over channels [first, last) of the frame. The positions
// of the pass (channel * subbands + subband) sit side by side in one row of
// 16 bytes; unused places hold a need that nothing counts.
void allocate_pass(const bt_stream &stream, sbc_work &w, int bitpool, int first, int last) {
    const int m = w.subbands;
    const int nch = last - first;
    const int positions = nch * m;
    // The pass's scale factors into the row, through registers.
    typedef uint64_t two_words __attribute__((vector_size(16)));
    typedef uint32_t four_words __attribute__((vector_size(16)));
    byte_row sf;
    if (m == 8) {
        uint64_t a, b = 0;
        __builtin_memcpy(&a, w.scale_factor[first], 8);
        if (nch == 2) __builtin_memcpy(&b, w.scale_factor[first + 1], 8);
        sf = (byte_row)two_words{a, b};
    } else {
        uint32_t a, b = 0;
        __builtin_memcpy(&a, w.scale_factor[first], 4);
        if (nch == 2) __builtin_memcpy(&b, w.scale_factor[first + 1], 4);
        sf = (byte_row)four_words{a, b, 0, 0};
    }
    sf &= 15;  // 4-bit fields; the byte arithmetic below relies on it
    byte_row off;
    __builtin_memcpy(&off, offset_rows[m == 8][stream.frequency_index & 3].data(), 16);
    byte_row place;
    for (int k = 0; k < 16; ++k) place[k] = static_cast<int8_t>(k);
    const byte_row used = place < static_cast<int8_t>(positions);

    // SNR: the scale factor; loudness: -5 for a zero scale factor, else the
    // loudness, halved when positive. Needs lie in -5..19.
    byte_row need = sf;
    if (stream.allocation != 1) {
        const byte_row loudness = sf - off;
        const byte_row none = byte_row{} - 5;
        need = sf == 0 ? none : loudness > 0 ? loudness >> 1 : loudness;
    }
    const byte_row unused = byte_row{} - 64;
    const byte_row needs = used ? need : unused;
    int max_bitneed = 0, min_bitneed = 127;
    for (int k = 0; k < positions; ++k) {
        max_bitneed = std::max<int>(max_bitneed, needs[k]);
        min_bitneed = std::min<int>(min_bitneed, needs[k]);
    }

    // The slices are taken from max_bitneed downward, each adding its count,
    // until one would reach the bitpool (or every position has its 16 bits).
    // What the slices from max_bitneed down to `slice` add up to is, per
    // position, 2 for the slice at need - 1 and 1 for each of the 14 below:
    // 1 + min(need - slice, 15) once slice < need. That total only grows as
    // the slice goes down, so the slice where the walk stops is found by
    // halving the range instead of walking it.
    // With slices in -21..19 the differences fit in bytes.
    const auto total = [&](int slice) {
        const byte_row above = needs - static_cast<int8_t>(slice);
        const byte_row fifteen = byte_row{} + 15, zero = {};
        return row_sum(above > 0 ? 1 + (above < fifteen ? above : fifteen) : zero);
    };
    const int lowest_slice = min_bitneed - 16;  // from here down no slice adds anything
    int bitslice, bitcount, slicecount;
    if (total(lowest_slice) >= bitpool) {
        // The highest slice whose total reaches the bitpool.
        int lo = lowest_slice, hi = max_bitneed;  // total(lo) >= bitpool
        while (lo < hi) {
            const int mid = lo + (hi - lo + 1) / 2;
            const bool reaches = total(mid) >= bitpool;
            lo = reaches ? mid : lo;
            hi = reaches ? hi : mid - 1;
        }
        bitslice = lo;
        bitcount = lo == max_bitneed ? 0 : total(lo + 1);
        slicecount = total(lo) - bitcount;
    } else {
        bitslice = lowest_slice;
        bitcount = total(lowest_slice);
        slicecount = 0;
    }
    if (bitcount + slicecount == bitpool) {
        bitcount += slicecount;
        --bitslice;
    }

    const byte_row at_most = byte_row{} + 16, zero = {};
    const byte_row over = needs - static_cast<int8_t>(bitslice);
    const byte_row rows = needs < static_cast<int8_t>(bitslice + 2) ? zero : over < at_most ? over : at_most;
    int8_t bits[16];
    __builtin_memcpy(bits, &rows, 16);

    // Leftover bits: channel by channel in a one-channel pass, alternating channels otherwise.
    const leftover_order &order = orders[m == 8][nch == 2];
    for (int p = 0; p < positions && bitcount < bitpool; ++p) {
        const int k = order.at[p];
        const int b = bits[k];
        const bool more = b >= 2 && b <= 15;
        const bool start = !more && needs[k] == bitslice + 1 && bitcount + 1 < bitpool;
        bits[k] = more ? b + 1 : start ? 2 : b;
        bitcount += more + 2 * start;
    }
    for (int p = 0; p < positions && bitcount < bitpool; ++p) {
        const int k = order.at[p];
        const bool more = bits[k] < 16;
        bits[k] += more;
        bitcount += more;
    }
    for (int c = 0; c < nch; ++c)
        for (int sb = 0; sb < m; ++sb) w.bits[first + c][sb] = bits[c * m + sb];
}

}  // namespace

void allocate_bits(const bt_stream &stream, sbc_work &w, int bitpool) {
    if (stream.channel_mode == 1) {
        w.channels = 1;
        allocate_pass(stream, w, bitpool, 0, 1);
        w.channels = 2;
        allocate_pass(stream, w, bitpool, 1, 2);
    } else {
        allocate_pass(stream, w, bitpool, 0, w.channels);
    }
}

}  // namespace blmx::sbc

extern "C" void sbc_allocate_bits(bt_stream *stream) {
    blmx::sbc::allocate_bits(*stream, *stream->codec, stream->bitpool);
}
