// Per-frame cost of the SBC encoder and decoder in the common configurations.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "sbc/sbc.h"

namespace {

struct config {
    uint8_t frequency, blocks_index, mode, allocation, subbands_flag, bitpool;
};

constexpr config configs[] = {
    {2, 3, 3, 0, 1, 53},  // 44.1 kHz joint stereo, 8 subbands, 16 blocks, loudness, bitpool 53
    {3, 3, 3, 0, 1, 51},  // 48 kHz joint stereo
    {2, 3, 2, 0, 1, 53},  // stereo
    {2, 3, 0, 0, 1, 32},  // mono
    {0, 3, 0, 0, 0, 32},  // 16 kHz mono, 4 subbands
};

struct codec {
    std::unique_ptr<bt_stream> stream{new bt_stream()};
    std::unique_ptr<sbc_work> work{new sbc_work()};
    explicit codec(const config &c) {
        std::memset(stream.get(), 0, sizeof(bt_stream));
        std::memset(work.get(), 0, sizeof(sbc_work));
        stream->codec = work.get();
        stream->frequency_index = c.frequency;
        stream->blocks_index = c.blocks_index;
        stream->channel_mode = c.mode;
        stream->allocation = c.allocation;
        stream->subbands_flag = c.subbands_flag;
        stream->bitpool = c.bitpool;
        blmx::sbc::set_dimensions(*work, *stream);
    }
};

// 64 frames of music-like PCM: a few sines and a little noise.
std::vector<int16_t> source_pcm(const codec &c, int frames) {
    const int n = c.work->frame_samples * c.work->channels * frames;
    std::vector<int16_t> v(static_cast<size_t>(n));
    uint32_t seed = 1;
    for (int i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double t = i / double(c.work->channels);
        v[i] = static_cast<int16_t>(6000 * std::sin(t * 0.031) + 3000 * std::sin(t * 0.177) + 1500 * std::sin(t * 0.71) +
                                    static_cast<int>(seed >> 24) - 128);
    }
    return v;
}

using blmx::sbc::codec_path;
constexpr const char *path_names[] = {"plain", "sse2", "avx2", "avx512"};

// Each benchmark runs one configuration on one codec path; a path the
// processor lacks is skipped.
bool choose_path(benchmark::State &state, codec_path &path) {
    path = static_cast<codec_path>(state.range(1));
    if (!blmx::sbc::path_available(path)) {
        state.SkipWithError("path not available on this processor");
        return false;
    }
    state.SetLabel(path_names[state.range(1)]);
    return true;
}

void BM_Encode(benchmark::State &state) {
    codec_path path;
    if (!choose_path(state, path)) return;
    codec c(configs[state.range(0)]);
    const int per = c.work->frame_samples * c.work->channels;
    const auto pcm = source_pcm(c, 64);
    int k = 0;
    for (auto _ : state) {
        std::memcpy(c.work->pcm, pcm.data() + per * k, sizeof(int16_t) * static_cast<size_t>(per));
        const uint32_t n = blmx::sbc::encode_frame_on(path, *c.stream);
        benchmark::DoNotOptimize(c.work->frame[n - 1]);
        std::memset(c.work->frame, 0, n);
        k = (k + 1) & 63;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Decode(benchmark::State &state) {
    codec_path path;
    if (!choose_path(state, path)) return;
    codec enc(configs[state.range(0)]), dec(configs[state.range(0)]);
    const int per = enc.work->frame_samples * enc.work->channels;
    const auto pcm = source_pcm(enc, 64);
    std::vector<std::vector<uint8_t>> frames;
    for (int k = 0; k < 64; ++k) {
        std::memcpy(enc.work->pcm, pcm.data() + per * k, sizeof(int16_t) * static_cast<size_t>(per));
        const uint32_t n = sbc_encode_frame(enc.stream.get());
        frames.emplace_back(enc.work->frame, enc.work->frame + n);
        std::memset(enc.work->frame, 0, n);
    }
    int k = 0;
    for (auto _ : state) {
        dec.work->next_frame = frames[k].data();
        benchmark::DoNotOptimize(
            blmx::sbc::decode_frame_on(path, *dec.stream, static_cast<uint32_t>(frames[k].size() * 8)));
        k = (k + 1) & 63;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

// Configurations 0..4 (above) across the paths plain, sse2, avx2, avx512, side by side.
BENCHMARK(BM_Encode)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1, 2, 3}})->ArgNames({"config", "path"});
BENCHMARK(BM_Decode)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1, 2, 3}})->ArgNames({"config", "path"});
BENCHMARK_MAIN();
