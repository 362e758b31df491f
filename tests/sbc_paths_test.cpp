// Every codec path this processor runs gives what the plain reference gives,
// bit for bit: the frames, the PCM, and the whole work record after each call,
// for every configuration, on random, edge-case and damaged input.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sbc/sbc.h"
#include "tests/test_util.h"

namespace {

using blmx::sbc::codec_path;

struct config {
    uint8_t frequency, blocks_index, mode, allocation, subbands_flag;
};

std::vector<config> all_configs() {
    std::vector<config> v;
    for (uint8_t mode = 0; mode < 4; ++mode)
        for (uint8_t sb = 0; sb < 2; ++sb)
            for (uint8_t bl = 0; bl < 4; ++bl)
                for (uint8_t al = 0; al < 2; ++al) v.push_back({static_cast<uint8_t>((mode + bl) & 3), bl, mode, al, sb});
    return v;
}

std::string name(const config &c, int bitpool) {
    return "mode " + std::to_string(c.mode) + " subbands " + std::to_string(c.subbands_flag ? 8 : 4) + " blocks index " +
           std::to_string(c.blocks_index) + " allocation " + std::to_string(c.allocation) + " bitpool " +
           std::to_string(bitpool);
}

void configure(bt_stream &s, const config &c, int bitpool) {
    s.frequency_index = c.frequency;
    s.blocks_index = c.blocks_index;
    s.channel_mode = c.mode;
    s.allocation = c.allocation;
    s.subbands_flag = c.subbands_flag;
    s.bitpool = static_cast<uint8_t>(bitpool);
    blmx::sbc::set_dimensions(*s.codec, s);
}

std::vector<codec_path> fast_paths() {
    std::vector<codec_path> v;
    for (auto p : {codec_path::sse2, codec_path::avx2, codec_path::avx512})
        if (blmx::sbc::path_available(p)) v.push_back(p);
    return v;
}

// PCM of one frame in one of several characters.
void fill_pcm(int16_t *pcm, size_t count, int kind, std::mt19937 &rng, size_t frame_index) {
    std::uniform_int_distribution<int> full(-32768, 32767), quiet(-40, 40);
    for (size_t k = 0; k < count; ++k) {
        const size_t t = frame_index * count + k;
        switch (kind) {
        case 0: pcm[k] = static_cast<int16_t>(full(rng)); break;                       // noise at full scale
        case 1: pcm[k] = static_cast<int16_t>(quiet(rng)); break;                      // near silence
        case 2: pcm[k] = (t / 7) % 2 ? 32767 : -32768; break;                          // square at the rails
        case 3: pcm[k] = 0; break;                                                     // silence
        case 4: pcm[k] = static_cast<int16_t>(12000 * std::sin(0.05 * static_cast<double>(t))); break;
        default: pcm[k] = k % 2 ? pcm[k - 1] : static_cast<int16_t>(full(rng)); break;  // identical channels
        }
    }
}

bool same_record(const sbc_work &a, const sbc_work &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(CodecPaths, EncoderMatchesTheReference) {
    const auto paths = fast_paths();
    ASSERT_FALSE(paths.empty());
    std::mt19937 rng(1234);
    for (const config &c : all_configs()) {
        const int limit = blmx::sbc::max_bitpool(c.mode, c.subbands_flag ? 8 : 4);
        for (int bitpool : {2, 19, 35, 53, 60, 64, limit, 250}) {
            for (int kind = 0; kind < 6; ++kind) {
                if (kind == 5 && c.mode == 0) continue;
                blmx::test::stream_fixture ref;
                configure(ref.s(), c, bitpool);
                std::vector<blmx::test::stream_fixture> fast(paths.size());
                for (auto &f : fast) configure(f.s(), c, bitpool);
                const sbc_work &rw = ref.w();
                const size_t count = static_cast<size_t>(rw.frame_samples) * rw.channels;
                for (size_t frame = 0; frame < 5; ++frame) {
                    fill_pcm(ref.w().pcm, count, kind, rng, frame);
                    const uint32_t n = blmx::sbc::encode_frame_reference(ref.s());
                    for (size_t p = 0; p < paths.size(); ++p) {
                        std::memcpy(fast[p].w().pcm, ref.w().pcm, sizeof ref.w().pcm);
                        const uint32_t got = blmx::sbc::encode_frame_on(paths[p], fast[p].s());
                        ASSERT_EQ(got, n) << name(c, bitpool) << " kind " << kind;
                        ASSERT_TRUE(same_record(fast[p].w(), ref.w()))
                            << name(c, bitpool) << " kind " << kind << " frame " << frame << " path "
                            << static_cast<int>(paths[p]) << "\nref  " << blmx::test::to_hex(ref.w().frame, n)
                            << "\nfast " << blmx::test::to_hex(fast[p].w().frame, n);
                        std::memset(fast[p].w().frame, 0, n);
                    }
                    std::memset(ref.w().frame, 0, n);
                }
            }
        }
    }
}

TEST(CodecPaths, DecoderMatchesTheReference) {
    const auto paths = fast_paths();
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byte(0, 255);
    for (const config &c : all_configs()) {
        for (int bitpool : {2, 35, 53, 60, 64, 250}) {
            // Frames from the encoder, then damaged copies and cut-short ones.
            blmx::test::stream_fixture enc;
            configure(enc.s(), c, bitpool);
            std::vector<std::vector<uint8_t>> frames;
            const size_t count = static_cast<size_t>(enc.w().frame_samples) * enc.w().channels;
            for (size_t frame = 0; frame < 6; ++frame) {
                fill_pcm(enc.w().pcm, count, static_cast<int>(frame % 5), rng, frame);
                const uint32_t n = sbc_encode_frame(&enc.s());
                frames.emplace_back(enc.w().frame, enc.w().frame + n);
                std::memset(enc.w().frame, 0, n);
            }
            const size_t whole = frames.size();
            for (size_t k = 0; k < whole; ++k) {
                auto sample_noise = frames[k];
                for (size_t i = 4 + 8; i < sample_noise.size(); ++i) sample_noise[i] = static_cast<uint8_t>(byte(rng));
                frames.push_back(sample_noise);  // random sample bits behind an intact header
                auto flipped = frames[k];
                flipped[5 % flipped.size()] ^= 0x10;  // a damaged scale factor: CRC refusal
                frames.push_back(flipped);
            }
            blmx::test::stream_fixture ref;
            configure(ref.s(), c, bitpool);
            std::vector<blmx::test::stream_fixture> fast(paths.size());
            for (auto &f : fast) configure(f.s(), c, bitpool);
            for (size_t k = 0; k < frames.size(); ++k) {
                const auto &f = frames[k];
                for (uint32_t bits : {static_cast<uint32_t>(f.size() * 8), static_cast<uint32_t>(f.size() * 8 - 5),
                                      static_cast<uint32_t>(f.size() * 4), 40u}) {
                    // Exactly the bytes the bit count covers, so a read beyond them is caught.
                    std::vector<uint8_t> input(f.begin(), f.begin() + std::min<size_t>(f.size(), (bits + 7) / 8));
                    ref.w().next_frame = input.data();
                    const int32_t r = blmx::sbc::decode_frame_reference(ref.s(), bits);
                    for (size_t p = 0; p < paths.size(); ++p) {
                        fast[p].w().next_frame = input.data();
                        const int32_t got = blmx::sbc::decode_frame_on(paths[p], fast[p].s(), bits);
                        ASSERT_EQ(got, r) << name(c, bitpool) << " frame " << k << " bits " << bits;
                        ASSERT_EQ(fast[p].s().bitpool, ref.s().bitpool);
                        ASSERT_TRUE(same_record(fast[p].w(), ref.w()))
                            << name(c, bitpool) << " frame " << k << " bits " << bits << " path "
                            << static_cast<int>(paths[p]);
                    }
                }
            }
        }
    }
}

}  // namespace
