// WAV reading and writing, the test signal and the fidelity comparison shared
// by the tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace blmx::tools {

struct wav {
    std::vector<int16_t> pcm;  // interleaved
    int channels = 0, rate = 0;
};

bool read_wav(const std::string &path, wav &out);
bool write_wav(const std::string &path, const std::vector<int16_t> &pcm, int channels, int rate);

// Two sines per channel (440/1000 Hz left, 660/1500 Hz right) at -10 dBFS in all.
std::vector<int16_t> test_signal(long frames, int channels, int rate);

struct comparison {
    double snr_db;
    int delay;
    long compared;
};
// SNR of b against a with b delayed by `delay` samples (searched in 0..max_delay when negative).
comparison compare(const wav &a, const wav &b, int delay, int max_delay);

}  // namespace blmx::tools
