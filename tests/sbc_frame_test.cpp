// Frame format: dimensions, configuration byte, CRC-8, bit writer and reader.
#include <gtest/gtest.h>

#include "sbc/sbc.h"
#include "tests/test_util.h"

using namespace blmx::sbc;

TEST(SbcFrame, DimensionsFollowTheConfiguration) {
    EXPECT_EQ(blocks_of(0), 4);
    EXPECT_EQ(blocks_of(1), 8);
    EXPECT_EQ(blocks_of(2), 12);
    EXPECT_EQ(blocks_of(3), 16);
    EXPECT_EQ(blocks_of(7), 16);
    EXPECT_EQ(subbands_of(0), 4);
    EXPECT_EQ(subbands_of(1), 8);
    for (uint8_t mode : {1, 2, 3}) EXPECT_EQ(channels_of(mode), 2);
    EXPECT_EQ(channels_of(0), 1);
    blmx::test::stream_fixture f;
    f.s().blocks_index = 2;
    f.s().subbands_flag = 1;
    f.s().channel_mode = 1;
    set_dimensions(f.w(), f.s());
    EXPECT_EQ(f.w().frame_samples, 96);
    EXPECT_EQ(f.w().channels, 2);
}

TEST(SbcFrame, ConfigurationByte) {
    bt_stream s{};
    s.frequency_index = 2;
    s.blocks_index = 3;
    s.channel_mode = 3;
    s.allocation = 0;
    s.subbands_flag = 1;
    EXPECT_EQ(config_byte(s), 0xBD);
    s = bt_stream{};
    EXPECT_EQ(config_byte(s), 0x00);
}

TEST(SbcFrame, CrcOfKnownHeaders) {
    // 16 kHz, 4 blocks, mono, loudness, 4 subbands, bitpool 2, four zero scale factors.
    uint8_t crc = crc8_bits(crc_seed, 0x00, 8);
    crc = crc8_bits(crc, 2, 8);
    for (int i = 0; i < 4; ++i) crc = crc8_bits(crc, 0, 4);
    EXPECT_EQ(crc, 0x6B);

    crc = crc8_bits(crc_seed, 0xBD, 8);
    crc = crc8_bits(crc, 53, 8);
    crc = crc8_bits(crc, 0, 8);
    for (int sf : {1, 2, 3, 4, 5, 6, 7, 8, 8, 7, 6, 5, 4, 3, 2, 1}) crc = crc8_bits(crc, static_cast<uint32_t>(sf), 4);
    EXPECT_EQ(crc, 0x53);

    // Seeding 0x5E before the sync word equals seeding 0x0F after it.
    EXPECT_EQ(crc8_bits(0x5E, 0x9C, 8), 0x0F);
    const uint8_t bytes[] = {0xBD, 0x35, 0x12};
    EXPECT_EQ(crc8_bytes(0x5E, bytes, 3), crc8_bits(crc8_bits(crc8_bits(0x5E, 0xBD, 8), 0x35, 8), 0x12, 8));
}

TEST(SbcFrame, BitWriterStopsAtItsLimit) {
    blmx::test::stream_fixture f;
    sbc_work &w = f.w();
    uint8_t buf[4] = {};
    w.bit_pos = 0;
    w.bit_limit = 12;
    w.crc = crc_seed;
    put_bits(w, buf, 0xABC, 12);
    put_bits(w, buf, 0xF, 4);  // dropped: at the limit
    EXPECT_EQ(w.bit_pos, 12u);
    EXPECT_EQ(buf[0], 0xAB);
    EXPECT_EQ(buf[1], 0xC0);
    EXPECT_EQ(w.crc, crc8_bits(crc_seed, 0xABC, 12));

    w.bit_limit = 14;
    put_bits(w, buf, 0x7, 3);  // only the two high bits fit
    EXPECT_EQ(w.bit_pos, 14u);
    EXPECT_EQ(buf[1], 0xC0 | 0x0C);
}

TEST(SbcFrame, BitReaderYieldsZerosPastItsLimit) {
    blmx::test::stream_fixture f;
    sbc_work &w = f.w();
    const uint8_t buf[2] = {0xA5, 0xFF};
    w.bit_pos = 4;
    w.bit_limit = 10;
    w.crc = 0;
    EXPECT_EQ(get_bits(w, buf, 4), 0x5u);
    EXPECT_EQ(get_bits(w, buf, 4), 0xCu);  // 11 read, 00 past the limit
    EXPECT_EQ(w.bit_pos, 10u);
    EXPECT_EQ(get_bits(w, buf, 8), 0u);
    EXPECT_EQ(w.bit_pos, 10u);
}

TEST(SbcFrame, ParseFindsTheLengthOfAJointStereoFrame) {
    // 44.1 kHz, 16 blocks, joint, loudness, 8 subbands, bitpool 53 with flat scale factors.
    blmx::test::stream_fixture f;
    bt_stream &s = f.s();
    s.frequency_index = 2;
    s.blocks_index = 3;
    s.channel_mode = 3;
    s.subbands_flag = 1;
    s.bitpool = 53;
    set_dimensions(f.w(), s);
    for (int i = 0; i < 256; ++i) f.w().pcm[i] = static_cast<int16_t>((i * 977) % 20000 - 10000);
    const uint32_t n = sbc_encode_frame(&s);
    frame_info info;
    ASSERT_EQ(parse_frame(f.w().frame, n, info), 1);
    EXPECT_EQ(info.length, n);
    EXPECT_TRUE(info.crc_ok);
    EXPECT_EQ(parse_frame(f.w().frame, 6, info), -1);
    const uint8_t not_sync[4] = {0x9D, 0xBD, 53, 0};
    EXPECT_EQ(parse_frame(not_sync, 4, info), 0);
}
