// Bit allocation: both methods, all channel modes, the leftover order, and
// bitpools beyond reach.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "sbc/sbc.h"
#include "tests/test_util.h"

using namespace blmx::sbc;

namespace {

struct alloc_case {
    const char *name;
    uint8_t mode, allocation, subbands, frequency, bitpool;
    std::vector<int> sf0, sf1;
    std::vector<int> bits0, bits1;
};

void run_case(const alloc_case &c) {
    blmx::test::stream_fixture f;
    bt_stream &s = f.s();
    sbc_work &w = f.w();
    s.channel_mode = c.mode;
    s.allocation = c.allocation;
    s.subbands_flag = c.subbands == 8;
    s.frequency_index = c.frequency;
    s.bitpool = c.bitpool;
    set_dimensions(w, s);
    ASSERT_LE(c.sf0.size(), 8u) << c.name;
    ASSERT_LE(c.sf1.size(), 8u) << c.name;
    // Whole rows at once: GCC at -O3 misjudges element stores through the
    // fixture's pointer as writes past the record.
    uint8_t rows[2][8] = {};
    for (size_t i = 0; i < c.sf0.size(); ++i) rows[0][i] = static_cast<uint8_t>(c.sf0[i]);
    for (size_t i = 0; i < c.sf1.size(); ++i) rows[1][i] = static_cast<uint8_t>(c.sf1[i]);
    std::memcpy(w.scale_factor, rows, sizeof rows);
    sbc_allocate_bits(&s);
    EXPECT_EQ(w.channels, channels_of(c.mode)) << c.name;
    for (size_t i = 0; i < c.bits0.size(); ++i) EXPECT_EQ(w.bits[0][i], c.bits0[i]) << c.name << " ch0 sb" << i;
    for (size_t i = 0; i < c.bits1.size(); ++i) EXPECT_EQ(w.bits[1][i], c.bits1[i]) << c.name << " ch1 sb" << i;
}

}  // namespace

TEST(SbcAllocation, KnownCases) {
    const alloc_case cases[] = {
        {"bitpool 0 gives nothing", 2, 1, 4, 0, 0, {5, 4, 3, 2}, {1, 2, 3, 4}, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"silence, loudness", 0, 0, 4, 0, 10, {0, 0, 0, 0}, {}, {3, 3, 2, 2}, {}},
        {"snr mono, leftovers in subband order", 0, 1, 4, 0, 8, {4, 3, 2, 1}, {}, {5, 3, 0, 0}, {}},
        {"stereo leftovers alternate channels", 2, 1, 4, 0, 20, {1, 1, 1, 1}, {1, 1, 1, 1}, {3, 3, 2, 2}, {3, 3, 2, 2}},
        {"joint stereo leftovers alternate channels", 3, 1, 4, 0, 20, {1, 1, 1, 1}, {1, 1, 1, 1}, {3, 3, 2, 2}, {3, 3, 2, 2}},
        {"dual channel gives each channel the whole bitpool", 1, 1, 4, 0, 20, {1, 1, 1, 1}, {1, 1, 1, 1}, {5, 5, 5, 5}, {5, 5, 5, 5}},
        {"mono at the reachable limit", 0, 1, 4, 0, 64, {3, 9, 0, 15}, {}, {16, 16, 16, 16}, {}},
        {"mono beyond reach returns", 0, 1, 4, 0, 65, {3, 9, 0, 15}, {}, {16, 16, 16, 16}, {}},
        {"dual beyond reach returns", 1, 0, 8, 2, 200, {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1},
         {16, 16, 16, 16, 16, 16, 16, 16}, {16, 16, 16, 16, 16, 16, 16, 16}},
    };
    for (const auto &c : cases) run_case(c);
}

TEST(SbcAllocation, LoudnessBitneeds) {
    // 8 subbands at 44.1 kHz: sf 5 at subband 0 is loudness 9, bitneed 4; a zero scale
    // factor is bitneed -5 whatever the offset; sf 1 at subband 7 is loudness -1.
    blmx::test::stream_fixture f;
    bt_stream &s = f.s();
    s.channel_mode = 0;
    s.subbands_flag = 1;
    s.frequency_index = 2;
    s.bitpool = 2;
    set_dimensions(f.w(), s);
    const uint8_t sf[8] = {5, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 8; ++i) f.w().scale_factor[0][i] = sf[i];
    sbc_allocate_bits(&s);
    // Max bitneed 4: slice 3 gives 2 (bitneed 4 == slice + 1) and reaches the pool exactly,
    // so bitslice becomes 2 and subband 0 gets 4 - 2 = 2 bits.
    EXPECT_EQ(f.w().bits[0][0], 2);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(f.w().bits[0][i], 0) << i;
}

TEST(SbcAllocation, EveryBitpoolReturnsWithinBounds) {
    std::mt19937 rng(7);
    for (uint8_t mode = 0; mode < 4; ++mode)
        for (uint8_t sb : {4, 8})
            for (uint8_t alloc = 0; alloc < 2; ++alloc)
                for (int pool = 0; pool < 256; ++pool) {
                    blmx::test::stream_fixture f;
                    bt_stream &s = f.s();
                    s.channel_mode = mode;
                    s.allocation = alloc;
                    s.subbands_flag = sb == 8;
                    s.frequency_index = static_cast<uint8_t>(pool & 3);
                    s.bitpool = static_cast<uint8_t>(pool);
                    set_dimensions(f.w(), s);
                    for (auto &row : f.w().scale_factor)
                        for (auto &v : row) v = static_cast<uint8_t>(rng() % 16);
                    sbc_allocate_bits(&s);
                    const int passes = mode == 1 ? 2 : 1;
                    const int per_pass_channels = mode == 1 || mode == 0 ? 1 : 2;
                    for (int p = 0; p < passes; ++p) {
                        int sum = 0;
                        for (int c = p; c < p + per_pass_channels; ++c)
                            for (int i = 0; i < sb; ++i) {
                                ASSERT_GE(f.w().bits[c][i], 0);
                                ASSERT_LE(f.w().bits[c][i], 16);
                                sum += f.w().bits[c][i];
                            }
                        ASSERT_LE(sum, std::max(pool, 0)) << int(mode) << " " << int(sb) << " " << pool;
                    }
                }
}

namespace {

// The allocation of one pass written the plain way, position by position
// through every slice, as an oracle for the library's faster slice search.
void plain_pass(const bt_stream &s, int m, const uint8_t sf[][8], int bits[][8], int bitpool, int first, int last) {
    static const int offset4[4][4] = {{-1, 0, 0, 0}, {-2, 0, 0, 1}, {-2, 0, 0, 1}, {-2, 0, 0, 1}};
    static const int offset8[4][8] = {{-2, 0, 0, 0, 0, 0, 0, 1}, {-3, 0, 0, 0, 0, 0, 1, 2},
                                      {-4, 0, 0, 0, 0, 0, 1, 2}, {-4, 0, 0, 0, 0, 0, 1, 2}};
    int need[2][8], max_need = 0;
    for (int c = first; c < last; ++c)
        for (int i = 0; i < m; ++i) {
            if (s.allocation == 1) {
                need[c][i] = sf[c][i];
            } else if (sf[c][i] == 0) {
                need[c][i] = -5;
            } else {
                const int loud = sf[c][i] - (m == 8 ? offset8[s.frequency_index][i] : offset4[s.frequency_index][i]);
                need[c][i] = loud > 0 ? loud / 2 : loud;
            }
            max_need = std::max(max_need, need[c][i]);
        }
    int slice = max_need + 1, count = 0, slicecount = 0;
    do {
        --slice;
        count += slicecount;
        slicecount = 0;
        for (int c = first; c < last; ++c)
            for (int i = 0; i < m; ++i) {
                if (need[c][i] > slice + 1 && need[c][i] < slice + 16) ++slicecount;
                else if (need[c][i] == slice + 1) slicecount += 2;
            }
    } while (count + slicecount < bitpool);
    if (count + slicecount == bitpool) {
        count += slicecount;
        --slice;
    }
    for (int c = first; c < last; ++c)
        for (int i = 0; i < m; ++i) bits[c][i] = need[c][i] < slice + 2 ? 0 : std::min(need[c][i] - slice, 16);
    const int nch = last - first;
    for (int p = 0; p < nch * m && count < bitpool; ++p) {
        const int c = first + (nch == 2 ? p & 1 : 0), i = nch == 2 ? p >> 1 : p;
        if (bits[c][i] >= 2 && bits[c][i] < 16) {
            ++bits[c][i];
            ++count;
        } else if (need[c][i] == slice + 1 && bitpool > count + 1) {
            bits[c][i] = 2;
            count += 2;
        }
    }
    for (int p = 0; p < nch * m && count < bitpool; ++p) {
        const int c = first + (nch == 2 ? p & 1 : 0), i = nch == 2 ? p >> 1 : p;
        if (bits[c][i] < 16) {
            ++bits[c][i];
            ++count;
        }
    }
}

}  // namespace

TEST(SbcAllocation, MatchesThePlainSliceSearch) {
    std::mt19937 rng(11);
    for (int round = 0; round < 4000; ++round) {
        blmx::test::stream_fixture f;
        bt_stream &s = f.s();
        s.channel_mode = static_cast<uint8_t>(round & 3);
        s.allocation = static_cast<uint8_t>((round >> 2) & 1);
        s.subbands_flag = (round >> 3) & 1;
        s.frequency_index = static_cast<uint8_t>(rng() % 4);
        set_dimensions(f.w(), s);
        const int m = f.w().subbands;
        const int limit = max_bitpool(s.channel_mode, static_cast<uint8_t>(m));
        s.bitpool = static_cast<uint8_t>(rng() % (limit + 1));
        // Scale factors of one character per round: spread, clustered, or mostly zero.
        for (auto &row : f.w().scale_factor)
            for (auto &v : row) v = static_cast<uint8_t>(round % 3 == 0 ? rng() % 16 : round % 3 == 1 ? 6 + rng() % 3 : (rng() % 4 ? 0 : rng() % 16));
        int expected[2][8] = {};
        if (s.channel_mode == 1) {
            plain_pass(s, m, f.w().scale_factor, expected, s.bitpool, 0, 1);
            plain_pass(s, m, f.w().scale_factor, expected, s.bitpool, 1, 2);
        } else {
            plain_pass(s, m, f.w().scale_factor, expected, s.bitpool, 0, f.w().channels);
        }
        sbc_allocate_bits(&s);
        for (int c = 0; c < f.w().channels; ++c)
            for (int i = 0; i < m; ++i)
                ASSERT_EQ(f.w().bits[c][i], expected[c][i]) << "round " << round << " channel " << c << " subband " << i;
    }
}
