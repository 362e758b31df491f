#include "tools/wav_util.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace blmx::tools {

bool output_format(const std::string &path, int channels, int rate, int &format, std::string &why) {
    const size_t slash = path.rfind('/'), dot = path.rfind('.');
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        for (char c : path.substr(dot + 1)) ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    if (ext.empty() || path == "-") {
        format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        return true;
    }
    // Common names of formats whose libsndfile extension differs, with the
    // codec each implies.
    struct alias {
        const char *ext, *as;
        int subtype;
    };
    static constexpr alias aliases[] = {{"ogg", "oga", SF_FORMAT_VORBIS}, {"oga", "oga", SF_FORMAT_VORBIS},
                                        {"opus", "oga", SF_FORMAT_OPUS},  {"mp3", "m1a", SF_FORMAT_MPEG_LAYER_III},
                                        {"aif", "aiff", 0},               {"snd", "au", 0}};
    std::string major_ext = ext;
    int preferred = SF_FORMAT_PCM_16;
    for (const alias &a : aliases)
        if (ext == a.ext) {
            major_ext = a.as;
            if (a.subtype) preferred = a.subtype;
        }
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO major{};
        major.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &major, sizeof major) != 0 || !major.extension ||
            major_ext != major.extension)
            continue;
        for (int subtype : {preferred, static_cast<int>(SF_FORMAT_PCM_16)}) {
            info.format = major.format | subtype;
            if (sf_format_check(&info)) {
                format = info.format;
                return true;
            }
        }
        why = std::string("libsndfile writes no ") + major.name + " file of " + std::to_string(channels) +
              " channel(s) at " + std::to_string(rate) + " Hz";
        return false;
    }
    why = "no audio format is known by the extension ." + ext + " (wav, flac, ogg, aiff, au, caf, w64, ...)";
    return false;
}

bool read_wav(const std::string &path, wav &out) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    out.channels = info.channels;
    out.rate = info.samplerate;
    out.pcm.assign(static_cast<size_t>(info.frames * info.channels), 0);
    sf_readf_short(f, out.pcm.data(), info.frames);
    sf_close(f);
    return true;
}

bool write_wav(const std::string &path, const std::vector<int16_t> &pcm, int channels, int rate, std::string *why) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    std::string reason;
    if (!output_format(path, channels, rate, info.format, reason)) {
        if (why) *why = reason;
        return false;
    }
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) {
        if (why) *why = sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(pcm.size() / static_cast<size_t>(channels));
    const bool ok = sf_writef_short(f, pcm.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

namespace {
// The two sines of channel c at PCM frame t, each of amplitude a (full scale 1).
double two_tones(int c, long t, int rate, double a) {
    static constexpr double f[2][2] = {{440, 1000}, {660, 1500}};
    return a * std::sin(2 * M_PI * f[c][0] * t / rate) + a * std::sin(2 * M_PI * f[c][1] * t / rate);
}
}  // namespace

std::vector<int16_t> test_signal(long frames, int channels, int rate) {
    std::vector<int16_t> v(static_cast<size_t>(frames * channels));
    for (long t = 0; t < frames; ++t)
        for (int c = 0; c < channels; ++c)
            v[static_cast<size_t>(t * channels + c)] = static_cast<int16_t>(std::lround(two_tones(c, t, rate, 0.16) * 32767));
    return v;
}

std::vector<int16_t> mix_signal(long frames, int channels, int rate) {
    std::vector<int16_t> v(static_cast<size_t>(frames * channels));
    uint32_t seed = 0x9E3779B9u;
    double b0 = 0, b1 = 0, b2 = 0;  // a three-pole approximation of a 1/f spectrum
    for (long t = 0; t < frames; ++t) {
        seed = seed * 1664525u + 1013904223u;
        const double white = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
        b0 = 0.99765 * b0 + white * 0.0990460;
        b1 = 0.96300 * b1 + white * 0.2965164;
        b2 = 0.57000 * b2 + white * 1.0526913;
        const double pink = (b0 + b1 + b2 + white * 0.1848) * 0.004;  // the same in every channel
        for (int c = 0; c < channels; ++c) {
            const double x = two_tones(c, t, rate, 0.08) + pink;
            v[static_cast<size_t>(t * channels + c)] = static_cast<int16_t>(std::lround(std::clamp(x, -1.0, 1.0) * 32767));
        }
    }
    return v;
}

namespace {
comparison at_delay(const wav &a, const wav &b, int delay) {
    const size_t ch = static_cast<size_t>(a.channels);
    double sig = 0, noise = 0;
    long n = 0;
    for (size_t t = 0; (t + delay) * ch + ch <= b.pcm.size() && t * ch + ch <= a.pcm.size(); ++t, ++n)
        for (size_t c = 0; c < ch; ++c) {
            const double x = a.pcm[t * ch + c], y = b.pcm[(t + delay) * ch + c];
            sig += x * x;
            noise += (x - y) * (x - y);
        }
    return {noise > 0 ? 10 * std::log10(sig / noise) : 200.0, delay, n};
}
}  // namespace

comparison compare(const wav &a, const wav &b, int delay, int max_delay) {
    if (delay >= 0) return at_delay(a, b, delay);
    comparison best{-1e9, 0, 0};
    for (int d = 0; d <= max_delay; ++d) {
        const auto c = at_delay(a, b, d);
        if (c.compared > 0 && c.snr_db > best.snr_db) best = c;
    }
    return best;
}

}  // namespace blmx::tools
