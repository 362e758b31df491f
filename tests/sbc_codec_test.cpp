// Encoder and decoder: the worked frames bit for bit, the decoder's refusals,
// frames cut short, and round trips through both filter banks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "sbc/sbc.h"
#include "tests/test_util.h"

using namespace blmx::sbc;
using blmx::test::from_hex;
using blmx::test::stream_fixture;
using blmx::test::to_hex;

namespace {

struct config {
    uint8_t frequency, blocks_index, mode, allocation, subbands_flag, bitpool;
};

void configure(bt_stream &s, const config &c) {
    s.frequency_index = c.frequency;
    s.blocks_index = c.blocks_index;
    s.channel_mode = c.mode;
    s.allocation = c.allocation;
    s.subbands_flag = c.subbands_flag;
    s.bitpool = c.bitpool;
    set_dimensions(*s.codec, s);
}

// Encodes one frame from `pcm` and returns its bytes, clearing the frame buffer after.
std::vector<uint8_t> encode(stream_fixture &f, const int16_t *pcm) {
    sbc_work &w = f.w();
    std::memcpy(w.pcm, pcm, sizeof(int16_t) * w.frame_samples * w.channels);
    const uint32_t n = sbc_encode_frame(&f.s());
    std::vector<uint8_t> out(w.frame, w.frame + n);
    std::memset(w.frame, 0, n);
    return out;
}

}  // namespace

TEST(FrameEncoder, SilenceFrame) {
    stream_fixture f;
    configure(f.s(), {0, 0, 0, 0, 0, 10});
    const int16_t pcm[16] = {};
    const auto frame = encode(f, pcm);
    EXPECT_EQ(to_hex(frame.data(), frame.size()), blmx::test::worked_silence_frame);
    EXPECT_EQ(f.w().bits[0][0], 3);
    EXPECT_EQ(f.w().bits[0][3], 2);
}

TEST(FrameEncoder, JointStereoFrames) {
    stream_fixture f;
    configure(f.s(), {3, 3, 3, 1, 1, 35});
    const auto pcm = blmx::test::worked_joint_pcm();
    const auto first = encode(f, pcm.data());
    EXPECT_EQ(f.w().join, 0xFE);
    const uint8_t sf0[8] = {12, 10, 9, 10, 10, 9, 10, 13}, sf1[8] = {10, 9, 8, 8, 8, 8, 9, 12};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(f.w().scale_factor[0][i], sf0[i]) << i;
        EXPECT_EQ(f.w().scale_factor[1][i], sf1[i]) << i;
    }
    EXPECT_EQ(to_hex(first.data(), first.size()), blmx::test::worked_joint_frame_1);
    const auto second = encode(f, pcm.data() + 256);
    EXPECT_EQ(to_hex(second.data(), second.size()), blmx::test::worked_joint_frame_2);
}

TEST(FrameEncoder, ScaleFactorsAtPowerOfTwoBoundaries) {
    // Full-scale input of either sign never needs a scale factor above 15.
    for (int16_t v : {int16_t(32767), int16_t(-32768)}) {
        stream_fixture f;
        configure(f.s(), {2, 3, 0, 0, 1, 32});
        std::vector<int16_t> pcm(128);
        for (int t = 0; t < 128; ++t) pcm[t] = t % 2 ? v : static_cast<int16_t>(-v - 1);
        for (int k = 0; k < 4; ++k) encode(f, pcm.data());
        for (int i = 0; i < 8; ++i) EXPECT_LE(f.w().scale_factor[0][i], 15);
    }
}

TEST(FrameEncoder, SteadyInputGivesIdenticalFramesOnceTheHistoryIsFull) {
    for (uint8_t bi = 0; bi < 4; ++bi) {
        stream_fixture f;
        configure(f.s(), {1, bi, 2, 0, 1, 40});
        const int per = f.w().frame_samples * 2;
        std::vector<int16_t> pcm(static_cast<size_t>(per));
        for (int i = 0; i < per; ++i) pcm[i] = static_cast<int16_t>((i * 7919) % 30000 - 15000);
        const int settle = (9 + f.w().blocks - 1) / f.w().blocks;
        std::vector<uint8_t> prev;
        for (int k = 0; k <= settle + 2; ++k) {
            auto fr = encode(f, pcm.data());
            if (k > settle) {
                EXPECT_EQ(fr, prev) << "blocks index " << int(bi) << " frame " << k;
            }
            prev = fr;
        }
    }
}

TEST(FrameDecoder, DecodesTheWorkedFrames) {
    stream_fixture enc, dec;
    configure(enc.s(), {3, 3, 3, 1, 1, 35});
    configure(dec.s(), {3, 3, 3, 1, 1, 0});
    const auto pcm = blmx::test::worked_joint_pcm();
    for (int k = 0; k < 2; ++k) {
        auto frame = encode(enc, pcm.data() + 256 * k);
        dec.w().next_frame = frame.data();
        ASSERT_EQ(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(frame.size() * 8)), 83);
        EXPECT_EQ(dec.s().bitpool, 35);
        EXPECT_EQ(dec.w().pcm_fill, 256);
        EXPECT_EQ(dec.w().pcm_read, 0);
    }
}

TEST(FrameDecoder, RefusesWhatItCannotDecode) {
    stream_fixture enc;
    configure(enc.s(), {2, 3, 3, 0, 1, 53});
    std::vector<int16_t> pcm(256);
    for (int i = 0; i < 256; ++i) pcm[i] = static_cast<int16_t>(i * 100 - 12800);
    const auto good = encode(enc, pcm.data());

    struct refusal {
        const char *name;
        size_t byte;
        uint8_t value;
    };
    const refusal cases[] = {
        {"sync byte 0x9D", 0, 0x9D},
        {"other frequency", 1, static_cast<uint8_t>(good[1] ^ 0x40)},
        {"other block count", 1, static_cast<uint8_t>(good[1] ^ 0x10)},
        {"other channel mode", 1, static_cast<uint8_t>(good[1] ^ 0x04)},
        {"other allocation", 1, static_cast<uint8_t>(good[1] ^ 0x02)},
        {"other subbands", 1, static_cast<uint8_t>(good[1] ^ 0x01)},
        {"bitpool beyond reach", 2, 0xFF},
        {"wrong CRC", 3, static_cast<uint8_t>(good[3] ^ 0x01)},
        {"damaged scale factor", 5, static_cast<uint8_t>(good[5] ^ 0x10)},
    };
    for (const auto &c : cases) {
        stream_fixture dec;
        configure(dec.s(), {2, 3, 3, 0, 1, 77});
        dec.w().pcm[0] = 1234;
        dec.w().history[0][0] = 0.5f;
        dec.w().pcm_fill = 9;
        dec.w().pcm_read = 4;
        // Exactly the frame's bytes on the heap, so a read beyond them is caught.
        auto copy = std::make_unique<uint8_t[]>(good.size());
        std::memcpy(copy.get(), good.data(), good.size());
        copy[c.byte] = c.value;
        dec.w().next_frame = copy.get();
        EXPECT_EQ(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(good.size() * 8)), 0) << c.name;
        EXPECT_EQ(dec.w().pcm_fill, 0) << c.name;
        EXPECT_EQ(dec.w().pcm_read, 0) << c.name;
        EXPECT_EQ(dec.s().bitpool, 77) << c.name;
        EXPECT_EQ(dec.w().pcm[0], 1234) << c.name;
        EXPECT_EQ(dec.w().history[0][0], 0.5f) << c.name;
    }
}

TEST(FrameDecoder, FramesCutShort) {
    stream_fixture dec;
    configure(dec.s(), {0, 0, 0, 0, 0, 0});
    // 31 bits: refused without reading the frame.
    auto three = std::make_unique<uint8_t[]>(4);
    dec.w().next_frame = three.get();
    EXPECT_EQ(sbc_decode_frame(&dec.s(), 31), 0);

    // Header alone, 32 bits: everything after reads as zero. The CRC byte is the one
    // of zero scale factors, so the frame is consistent as far as it goes.
    auto header = std::make_unique<uint8_t[]>(4);
    header[0] = 0x9C;
    header[1] = 0x00;
    header[2] = 2;
    uint8_t crc = crc8_bits(crc_seed, 0x00, 8);
    crc = crc8_bits(crc, 2, 8);
    crc = crc8_bits(crc, 0, 16);
    header[3] = crc;
    dec.w().next_frame = header.get();
    EXPECT_EQ(sbc_decode_frame(&dec.s(), 32), 4);
    EXPECT_EQ(dec.w().pcm_fill, 16);
    EXPECT_EQ(dec.s().bitpool, 2);

    // A frame cut inside its samples decodes as far as it goes and consumes what it had.
    stream_fixture enc;
    configure(enc.s(), {2, 3, 2, 0, 1, 53});
    std::vector<int16_t> pcm(256, 1000);
    const auto good = encode(enc, pcm.data());
    stream_fixture d2;
    configure(d2.s(), {2, 3, 2, 0, 1, 0});
    for (size_t cut : {size_t(20), size_t(50), good.size() - 1}) {
        auto part = std::make_unique<uint8_t[]>(cut);
        std::memcpy(part.get(), good.data(), cut);
        d2.w().next_frame = part.get();
        EXPECT_EQ(sbc_decode_frame(&d2.s(), static_cast<uint32_t>(cut * 8)), static_cast<int32_t>(cut)) << cut;
        EXPECT_EQ(d2.w().pcm_fill, 256);
    }
}

TEST(FrameDecoder, OutputIsClampedToPlusMinus32767) {
    stream_fixture enc, dec;
    configure(enc.s(), {2, 3, 0, 1, 1, 128});
    configure(dec.s(), {2, 3, 0, 1, 1, 0});
    std::vector<int16_t> pcm(128);
    int lo = 0, hi = 0;
    for (int k = 0; k < 20; ++k) {
        for (int t = 0; t < 128; ++t) pcm[t] = (t / 3) % 2 ? 32767 : -32768;
        auto fr = encode(enc, pcm.data());
        dec.w().next_frame = fr.data();
        ASSERT_GT(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(fr.size() * 8)), 0);
        for (int t = 0; t < 128; ++t) {
            lo = std::min<int>(lo, dec.w().pcm[t]);
            hi = std::max<int>(hi, dec.w().pcm[t]);
        }
    }
    EXPECT_EQ(hi, 32767);
    EXPECT_EQ(lo, -32767);
}

// A tone with noise through encoder and decoder: same amplitude, 73 (8
// subbands) or 37 (4 subbands) samples late. The quantizer truncates, since
// the decoder reconstructs a level at the middle of its interval: every
// subband sample then comes back within half a step, and the SNR lies at
// least 5 dB above what a quantizer that rounds to the nearest level gave
// (`rounding_snr`, measured with such an encoder on the same signal).
struct round_trip_case {
    uint8_t mode, subbands_flag, blocks_index, allocation, bitpool;
    double rounding_snr;
};

// A 1 kHz tone at 12000 with white noise of up to +/-4000 on top.
std::vector<int16_t> tone_and_noise(int frames, int channels) {
    auto pcm = blmx::test::sine(frames, channels, 1000.0, 44100, 12000);
    uint32_t x = 12345;
    for (auto &v : pcm) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<int16_t>(v + static_cast<int>(x >> 16) % 8001 - 4000);
    }
    return pcm;
}

// How far the decoder's reconstruction of each coded subband sample of the
// frame just decoded lies from the encoder's sample, in half steps (at most 1
// for a quantizer that truncates, up to 2 for one that rounds).
double worst_error_in_half_steps(const sbc_work &enc, const sbc_work &dec, bool joint) {
    const unsigned m = enc.subbands, n = enc.channels;
    double worst = 0;
    for (unsigned b = 0; b < enc.blocks; ++b)
        for (unsigned i = 0; i < m; ++i) {
            double got[2] = {};
            for (unsigned c = 0; c < n; ++c) got[c] = dec.quantized[(b * n + c) * m + i];
            if (joint && (enc.join & (1u << (m - 1 - i)))) {  // back from left/right to mid/side
                const double l = got[0], r = got[1];
                got[0] = (l + r) * 0.5;
                got[1] = (l - r) * 0.5;
            }
            for (unsigned c = 0; c < n; ++c) {
                const int nbits = enc.bits[c][i];
                if (nbits <= 0) continue;
                const double scale = std::ldexp(1.0, enc.scale_factor[c][i] + 1);
                const double half_step = scale / ((1 << nbits) - 1);
                const double err = std::fabs(enc.sb_sample[b][c][i] * 0x1p-15 - got[c]) - scale * 1e-6;
                worst = std::max(worst, err / half_step);
            }
        }
    return worst;
}

std::string round_trip_name(const ::testing::TestParamInfo<round_trip_case> &info) {
    const auto &c = info.param;
    static const char *modes[] = {"mono", "dual", "stereo", "joint"};
    return std::string(modes[c.mode]) + "_sb" + (c.subbands_flag ? "8" : "4") + "_blk" +
           std::to_string(4 * (c.blocks_index + 1)) + (c.allocation ? "_snr" : "_loud") + "_bp" + std::to_string(c.bitpool);
}

class SbcRoundTrip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(SbcRoundTrip, ToneWithNoiseComesBackDelayed) {
    const auto c = GetParam();
    stream_fixture enc, dec;
    configure(enc.s(), {2, c.blocks_index, c.mode, c.allocation, c.subbands_flag, c.bitpool});
    configure(dec.s(), {2, c.blocks_index, c.mode, c.allocation, c.subbands_flag, 0});
    const int ch = c.mode == 0 ? 1 : 2;
    const int per = enc.w().frame_samples;
    const int frames = 44100 / per / 4;
    const auto in = tone_and_noise(frames * per, ch);
    std::vector<int16_t> out;
    double worst = 0;
    for (int k = 0; k < frames; ++k) {
        auto fr = encode(enc, in.data() + static_cast<size_t>(k) * per * ch);
        dec.w().next_frame = fr.data();
        ASSERT_EQ(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(fr.size() * 8)), static_cast<int32_t>(fr.size()));
        worst = std::max(worst, worst_error_in_half_steps(enc.w(), dec.w(), c.mode == 3));
        out.insert(out.end(), dec.w().pcm, dec.w().pcm + dec.w().pcm_fill);
    }
    EXPECT_LE(worst, 1.0);
    const int delay = c.subbands_flag ? 73 : 37;
    const double snr = blmx::test::snr_db(in, out, ch, delay, 200);
    EXPECT_GE(snr, c.rounding_snr + 5.0) << "worst error " << worst << " half steps";
    // The delay is exact: one sample off is far worse.
    EXPECT_LT(blmx::test::snr_db(in, out, ch, delay + 1, 200), snr - 6);
}

INSTANTIATE_TEST_SUITE_P(AllModes, SbcRoundTrip,
                         ::testing::Values(round_trip_case{0, 1, 3, 0, 32, 18.1}, round_trip_case{0, 0, 3, 1, 32, 44.7},
                                           round_trip_case{1, 1, 2, 0, 32, 18.6}, round_trip_case{2, 1, 1, 1, 53, 18.6},
                                           round_trip_case{3, 1, 3, 0, 53, 14.9}, round_trip_case{3, 0, 0, 0, 53, 39.0},
                                           round_trip_case{2, 0, 2, 1, 40, 26.7}, round_trip_case{0, 1, 0, 0, 64, 48.1}),
                         round_trip_name);
