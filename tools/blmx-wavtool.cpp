// blmx-wavtool: the small audio helpers of the demo and the tests.
//
//   blmx-wavtool tone OUT.wav [--seconds S] [--rate R] [--channels C]
//   blmx-wavtool tone OUT.wav --signal mix ...
//       writes a test signal: two sines per channel (different per channel),
//       with pink noise added for `mix`.
//   blmx-wavtool compare SENT.wav RECEIVED.wav [--delay N | --max-delay N]
//       prints the SNR of RECEIVED against SENT, after the delay (found by
//       search when not given), over the samples both have.
#include <sndfile.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/wav_util.h"

int main(int argc, char **argv) {
    CLI::App app{"blmx-wavtool: test signals and fidelity figures"};
    app.set_version_flag("--version", "blmx-wavtool " BLMX_VERSION);
    app.require_subcommand(1);
    std::string out;
    double seconds = 5;
    int rate = 44100, channels = 2;
    auto *tone = app.add_subcommand("tone", "Write a test signal");
    tone->add_option("OUT", out, "Output WAV")->required();
    tone->add_option("--seconds", seconds, "Length in seconds")->capture_default_str()->check(CLI::PositiveNumber);
    tone->add_option("--rate", rate, "Sample rate")->capture_default_str()->check(CLI::IsMember({16000, 32000, 44100, 48000}));
    std::string signal = "tones";
    tone->add_option("--signal", signal, "tones, or mix (tones and pink noise)")->capture_default_str()->check(CLI::IsMember({"tones", "mix"}));
    tone->add_option("--channels", channels, "Channels")->capture_default_str()->check(CLI::IsMember({1, 2}));

    std::string sent, received;
    int delay = -1, max_delay = 2000;
    auto *cmp = app.add_subcommand("compare", "SNR of a received file against the sent one");
    cmp->add_option("SENT", sent, "What was sent")->required();
    cmp->add_option("RECEIVED", received, "What arrived")->required();
    cmp->add_option("--delay", delay, "Delay of RECEIVED in samples (default: searched)");
    cmp->add_option("--max-delay", max_delay, "Largest delay searched")->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    if (*tone) {
        const long frames = static_cast<long>(seconds * rate);
        const auto pcm = signal == "mix" ? blmx::tools::mix_signal(frames, channels, rate)
                                         : blmx::tools::test_signal(frames, channels, rate);
        std::string why;
        if (!blmx::tools::write_wav(out, pcm, channels, rate, &why)) {
            std::fprintf(stderr, "blmx-wavtool: cannot write %s: %s\n", out.c_str(), why.c_str());
            return 1;
        }
        return 0;
    }
    blmx::tools::wav a, b;
    if (!blmx::tools::read_wav(sent, a) || !blmx::tools::read_wav(received, b)) {
        std::fprintf(stderr, "blmx-wavtool: cannot read %s\n", !blmx::tools::read_wav(sent, a) ? sent.c_str() : received.c_str());
        return 1;
    }
    if (a.channels != b.channels || a.rate != b.rate) {
        std::fprintf(stderr, "blmx-wavtool: %s is %d Hz x %d, %s is %d Hz x %d\n", sent.c_str(), a.rate, a.channels,
                     received.c_str(), b.rate, b.channels);
        return 1;
    }
    // A silent original has no signal to measure noise against.
    if (std::all_of(a.pcm.begin(), a.pcm.end(), [](int16_t v) { return v == 0; })) {
        int peak = 0;
        for (int16_t v : b.pcm) peak = std::max(peak, std::abs(static_cast<int>(v)));
        std::printf("no SNR: %s is silent; %s has %ld samples per channel, %s (peak %d)\n", sent.c_str(), received.c_str(),
                    static_cast<long>(b.pcm.size() / b.channels), peak == 0 ? "all silent too" : "not silent", peak);
        return 0;
    }
    const auto r = blmx::tools::compare(a, b, delay, max_delay);
    std::printf("SNR %.1f dB (delay %d samples, %ld of %ld sent samples per channel compared)\n", r.snr_db, r.delay,
                r.compared, static_cast<long>(a.pcm.size() / a.channels));
    return 0;
}
