// SBC bit allocation: bits per sample for each channel and subband of a frame,
// from its scale factors and bitpool. Shared by the encoder and the decoder.
#include <algorithm>

#include "sbc/sbc.h"

namespace blmx::sbc {

namespace {

constexpr int offset4[4][4] = {{-1, 0, 0, 0}, {-2, 0, 0, 1}, {-2, 0, 0, 1}, {-2, 0, 0, 1}};
constexpr int offset8[4][8] = {{-2, 0, 0, 0, 0, 0, 0, 1},
                               {-3, 0, 0, 0, 0, 0, 1, 2},
                               {-4, 0, 0, 0, 0, 0, 1, 2},
                               {-4, 0, 0, 0, 0, 0, 1, 2}};

// One allocation pass over channels [first, last) of the frame.
void allocate_pass(const bt_stream &stream, sbc_work &w, int bitpool, int first, int last) {
    const int m = w.subbands;
    const bool snr = stream.allocation == 1;
    int bitneed[2][8];
    int max_bitneed = 0;
    int min_bitneed = 0x7fffffff;
    const int *offsets = m == 8 ? offset8[stream.frequency_index & 3] : offset4[stream.frequency_index & 3];
    for (int ch = first; ch < last; ++ch) {
        for (int sb = 0; sb < m; ++sb) {
            // SNR: the scale factor; loudness: -5 for a zero scale factor, else
            // the loudness, halved when positive. Selected without branches.
            const int sf = w.scale_factor[ch][sb];
            const int loudness = sf - offsets[sb];
            const int by_loudness = sf == 0 ? -5 : loudness > 0 ? loudness / 2 : loudness;
            const int need = snr ? sf : by_loudness;
            bitneed[ch][sb] = need;
            max_bitneed = std::max(max_bitneed, need);
            min_bitneed = std::min(min_bitneed, need);
        }
    }

    // The needs side by side in one fixed-size row (unused places hold a need
    // no slice counts), so a total over the slices is one short loop that the
    // compiler turns into a few vector operations.
    int needs[16];
    for (int k = 0; k < 16; ++k) needs[k] = -1000;
    for (int ch = first, k = 0; ch < last; ++ch)
        for (int sb = 0; sb < m; ++sb) needs[k++] = bitneed[ch][sb];

    // The slices are taken from max_bitneed downward, each adding its count,
    // until one would reach the bitpool (or every position has its 16 bits).
    // What the slices from max_bitneed down to `slice` add up to is, per
    // position, 2 for the slice at need - 1 and 1 for each of the 14 below:
    // 1 + min(need - slice, 15) once slice < need. That total only grows as
    // the slice goes down, so the slice where the walk stops is found by
    // halving the range instead of walking it.
    const auto total = [&](int slice) {
        int sum = 0;
        for (int k = 0; k < 16; ++k) {
            const int above = needs[k] - slice;
            sum += above > 0 ? 1 + std::min(above, 15) : 0;
        }
        return sum;
    };
    const int lowest_slice = min_bitneed - 16;  // from here down no slice adds anything
    int bitslice, bitcount, slicecount;
    if (total(lowest_slice) >= bitpool) {
        // The highest slice whose total reaches the bitpool.
        int lo = lowest_slice, hi = max_bitneed;  // total(lo) >= bitpool
        while (lo < hi) {
            const int mid = lo + (hi - lo + 1) / 2;
            if (total(mid) >= bitpool)
                lo = mid;
            else
                hi = mid - 1;
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

    for (int ch = first; ch < last; ++ch)
        for (int sb = 0; sb < m; ++sb) {
            const int need = bitneed[ch][sb];
            w.bits[ch][sb] = need < bitslice + 2 ? 0 : std::min(need - bitslice, 16);
        }

    // Leftover bits: channel by channel in a one-channel pass, alternating channels otherwise.
    const int nch = last - first;
    const int positions = nch * m;
    for (int p = 0; p < positions && bitcount < bitpool; ++p) {
        const int ch = first + (nch == 2 ? p & 1 : 0);
        const int sb = nch == 2 ? p >> 1 : p;
        int &b = w.bits[ch][sb];
        if (b >= 2 && b <= 15) {
            ++b;
            ++bitcount;
        } else if (bitneed[ch][sb] == bitslice + 1 && bitcount + 1 < bitpool) {
            b = 2;
            bitcount += 2;
        }
    }
    for (int p = 0; p < positions && bitcount < bitpool; ++p) {
        const int ch = first + (nch == 2 ? p & 1 : 0);
        const int sb = nch == 2 ? p >> 1 : p;
        int &b = w.bits[ch][sb];
        if (b < 16) {
            ++b;
            ++bitcount;
        }
    }
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
