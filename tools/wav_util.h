// WAV reading and writing, the test signal and the fidelity comparison shared
// by the tools.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace blmx::tools {

// Interleaved PCM for an open WAV file, gathered into large writes: a write
// per frame or per transfer would cost more than producing the audio.
class wav_writer {
  public:
    wav_writer(SNDFILE *file, int channels) : file_(file), channels_(channels) { pending_.reserve(1 << 18); }
    // False when a write failed.
    bool add(const int16_t *pcm, size_t samples) {
        const bool ok = pending_.size() + samples <= pending_.capacity() || flush();
        pending_.insert(pending_.end(), pcm, pcm + samples);
        return ok;
    }
    bool flush() {
        const sf_count_t frames = static_cast<sf_count_t>(pending_.size() / channels_);
        const bool ok = frames == 0 || sf_writef_short(file_, pending_.data(), frames) == frames;
        pending_.clear();
        return ok;
    }

  private:
    SNDFILE *file_;
    int channels_;
    std::vector<int16_t> pending_;
};

// Interleaved PCM from one channel count to another: stereo to mono averages
// the two channels, mono to stereo repeats the channel.
inline void convert_channels(const int16_t *in, int in_ch, int16_t *out, int out_ch, long frames) {
    for (long t = 0; t < frames; ++t)
        for (int c = 0; c < out_ch; ++c) {
            int v;
            if (in_ch == out_ch)
                v = in[t * in_ch + c];
            else if (out_ch == 1)
                v = (in[2 * t] + in[2 * t + 1]) / 2;
            else
                v = in[t];
            out[t * out_ch + c] = static_cast<int16_t>(v);
        }
}

struct wav {
    std::vector<int16_t> pcm;  // interleaved
    int channels = 0, rate = 0;
};

// The libsndfile format that writes `path`, chosen by its extension as
// libsndfile names them (wav, flac, aiff, au, caf, w64, rf64, oga, ...; also
// ogg and opus, mp3, aif), 16-bit PCM where the format takes it, else its
// own codec; WAV for a path without extension and for "-". False, with the
// reason in `why`, when libsndfile writes no such format for this audio.
bool output_format(const std::string &path, int channels, int rate, int &format, std::string &why);

bool read_wav(const std::string &path, wav &out);
// Writes in the format of the path's extension (see output_format).
bool write_wav(const std::string &path, const std::vector<int16_t> &pcm, int channels, int rate,
               std::string *why = nullptr);

// Two sines per channel (440/1000 Hz left, 660/1500 Hz right) at -10 dBFS in all.
std::vector<int16_t> test_signal(long frames, int channels, int rate);
// Music-like material: two sines per channel (as above, at -25 dBFS each) and
// pink noise at about -43 dBFS, the same in both channels (centred, as in a
// mix). Pure tones leave most subbands silent; the noise fills every one, so
// the quantizer's precision shows in the SNR.
std::vector<int16_t> mix_signal(long frames, int channels, int rate);

struct comparison {
    double snr_db;
    int delay;
    long compared;
};
// SNR of b against a with b delayed by `delay` samples (searched in 0..max_delay when negative).
comparison compare(const wav &a, const wav &b, int delay, int max_delay);

}  // namespace blmx::tools
