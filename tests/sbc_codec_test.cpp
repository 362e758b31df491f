// Encoder and decoder: the worked frames bit for bit, the decoder's refusals,
// frames cut short, and round trips through both filter banks.
#include <gtest/gtest.h>

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

// The expected bytes below are the worked frames that come with this codec's
// definition; every routine these tests call is this project's own encoder
// and decoder.
const char *joint_frame_1 =
    "9CFF2362FECA9AA9ADA988889C7BA3641B0F8B9383A1EE8D906C3A2E4E2E83AA36D8B69746CB16D8E8D954D35D1B2ADA7BA3655B519373AC"
    "AA4E92758D523232B6AACA4A56D557373A56A57B7B09417921CE23";
const char *joint_frame_2 =
    "9CFF239CFECAA99AACA988889B5B6AD9252C8E9C2745CDD364D4C23A70A51948B214A33725C2AC6B1B46564D5C970EB1AD6D1259471B0FE2"
    "D90ECA9E5BB1C9735366B92E6B6CF725CD6DA322C7B2749B56F62E";

std::vector<int16_t> joint_pcm() {
    std::vector<int16_t> pcm(2 * 256);
    for (int t = 0; t < 256; ++t) {
        const int v = ((127 * t) % 251) - 125;
        pcm[2 * t] = static_cast<int16_t>(100 * v);
        pcm[2 * t + 1] = static_cast<int16_t>(50 * v);
    }
    return pcm;
}

}  // namespace

TEST(SbcEncoder, SilenceFrame) {
    stream_fixture f;
    configure(f.s(), {0, 0, 0, 0, 0, 10});
    const int16_t pcm[16] = {};
    const auto frame = encode(f, pcm);
    EXPECT_EQ(to_hex(frame.data(), frame.size()), "9C000A670000" "92A4A92A4A");
    EXPECT_EQ(f.w().bits[0][0], 3);
    EXPECT_EQ(f.w().bits[0][3], 2);
}

TEST(SbcEncoder, JointStereoFrames) {
    stream_fixture f;
    configure(f.s(), {3, 3, 3, 1, 1, 35});
    const auto pcm = joint_pcm();
    const auto first = encode(f, pcm.data());
    EXPECT_EQ(f.w().join, 0xFE);
    const uint8_t sf0[8] = {12, 10, 9, 10, 10, 9, 10, 13}, sf1[8] = {10, 9, 8, 8, 8, 8, 9, 12};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(f.w().scale_factor[0][i], sf0[i]) << i;
        EXPECT_EQ(f.w().scale_factor[1][i], sf1[i]) << i;
    }
    EXPECT_EQ(to_hex(first.data(), first.size()), joint_frame_1);
    const auto second = encode(f, pcm.data() + 256);
    EXPECT_EQ(to_hex(second.data(), second.size()), joint_frame_2);
}

TEST(SbcEncoder, ScaleFactorsAtPowerOfTwoBoundaries) {
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

TEST(SbcEncoder, SteadyInputGivesIdenticalFramesOnceTheHistoryIsFull) {
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

TEST(SbcDecoder, DecodesTheWorkedFrames) {
    stream_fixture enc, dec;
    configure(enc.s(), {3, 3, 3, 1, 1, 35});
    configure(dec.s(), {3, 3, 3, 1, 1, 0});
    const auto pcm = joint_pcm();
    for (int k = 0; k < 2; ++k) {
        auto frame = encode(enc, pcm.data() + 256 * k);
        dec.w().next_frame = frame.data();
        ASSERT_EQ(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(frame.size() * 8)), 83);
        EXPECT_EQ(dec.s().bitpool, 35);
        EXPECT_EQ(dec.w().pcm_fill, 256);
        EXPECT_EQ(dec.w().pcm_read, 0);
    }
}

TEST(SbcDecoder, RefusesWhatItCannotDecode) {
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

TEST(SbcDecoder, FramesCutShort) {
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

TEST(SbcDecoder, OutputIsClampedToPlusMinus32767) {
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

// A sine through encoder and decoder: same amplitude, 73 (8 subbands) or 37 (4
// subbands) samples late, at a stated SNR per configuration.
struct round_trip_case {
    uint8_t mode, subbands_flag, blocks_index, allocation, bitpool;
    double min_snr;
};

std::string round_trip_name(const ::testing::TestParamInfo<round_trip_case> &info) {
    const auto &c = info.param;
    static const char *modes[] = {"mono", "dual", "stereo", "joint"};
    return std::string(modes[c.mode]) + "_sb" + (c.subbands_flag ? "8" : "4") + "_blk" +
           std::to_string(4 * (c.blocks_index + 1)) + (c.allocation ? "_snr" : "_loud") + "_bp" + std::to_string(c.bitpool);
}

class SbcRoundTrip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(SbcRoundTrip, SineComesBackDelayed) {
    const auto c = GetParam();
    stream_fixture enc, dec;
    configure(enc.s(), {2, c.blocks_index, c.mode, c.allocation, c.subbands_flag, c.bitpool});
    configure(dec.s(), {2, c.blocks_index, c.mode, c.allocation, c.subbands_flag, 0});
    const int ch = c.mode == 0 ? 1 : 2;
    const int per = enc.w().frame_samples;
    const int frames = 44100 / per / 4;
    const auto in = blmx::test::sine(frames * per, ch, 1000.0, 44100, 12000);
    std::vector<int16_t> out;
    for (int k = 0; k < frames; ++k) {
        auto fr = encode(enc, in.data() + static_cast<size_t>(k) * per * ch);
        dec.w().next_frame = fr.data();
        ASSERT_EQ(sbc_decode_frame(&dec.s(), static_cast<uint32_t>(fr.size() * 8)), static_cast<int32_t>(fr.size()));
        out.insert(out.end(), dec.w().pcm, dec.w().pcm + dec.w().pcm_fill);
    }
    const int delay = c.subbands_flag ? 73 : 37;
    const double snr = blmx::test::snr_db(in, out, ch, delay, 200);
    EXPECT_GE(snr, c.min_snr);
    // The delay is exact: one sample off is far worse.
    EXPECT_LT(blmx::test::snr_db(in, out, ch, delay + 1, 200), snr - 6);
}

INSTANTIATE_TEST_SUITE_P(AllModes, SbcRoundTrip,
                         ::testing::Values(round_trip_case{0, 1, 3, 0, 32, 30}, round_trip_case{0, 0, 3, 1, 32, 30},
                                           round_trip_case{1, 1, 2, 0, 32, 30}, round_trip_case{2, 1, 1, 1, 53, 30},
                                           round_trip_case{3, 1, 3, 0, 53, 30}, round_trip_case{3, 0, 0, 0, 53, 30},
                                           round_trip_case{2, 0, 2, 1, 40, 30}, round_trip_case{0, 1, 0, 0, 64, 30}),
                         round_trip_name);
