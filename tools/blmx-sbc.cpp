// blmx-sbc: SBC command-line codec on the library's encoder and decoder.
//
//   blmx-sbc encode IN OUT.sbc [--mode ..] [--subbands ..] [--blocks ..] [--allocation ..] [--bitpool N]
//   blmx-sbc decode IN.sbc OUT.wav
//   blmx-sbc info IN.sbc
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sbc/sbc.h"
#include "tools/sbc_stream.h"
#include "tools/wav_util.h"

namespace {

// The codec path of encode and decode (chosen in main).
blmx::sbc::codec_path codec = blmx::sbc::codec_path::plain;

using blmx::sbc::frame_info;
using blmx::tools::scan_frame;
using blmx::tools::scan_result;

constexpr int rates[4] = {16000, 32000, 44100, 48000};
constexpr const char *mode_names[4] = {"mono", "dual", "stereo", "joint"};

[[noreturn]] void fail(const std::string &msg) {
    std::fprintf(stderr, "blmx-sbc: %s\n", msg.c_str());
    std::exit(1);
}

// Where an output goes. A regular file (or a path that does not exist yet)
// is written under a temporary name beside it and renamed into place only
// when everything succeeded, so a failure never leaves half a file behind; a
// symbolic link is followed, and its target is what gets replaced. A device,
// FIFO or other special file is opened and written as it is: renaming over
// it would replace the node itself. "-" is standard output.
class output_file {
  public:
    explicit output_file(std::string path) : path_(std::move(path)) {
        if (path_ == "-") {
            direct_ = stdout_ = true;
            return;
        }
        std::string real = path_;
        struct stat st;
        if (lstat(path_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            if (char *resolved = realpath(path_.c_str(), nullptr)) {
                real = resolved;
                std::free(resolved);
            } else {
                direct_ = true;  // a dangling link: opening it creates its target
            }
        }
        if (!direct_ && stat(real.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) direct_ = true;
        if (direct_) {
            target_ = path_;
        } else {
            final_ = real;
            target_ = real + ".partial-" + std::to_string(getpid());
        }
    }
    ~output_file() {
        if (!direct_ && !committed_) std::remove(target_.c_str());
    }
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    // The name to create and write; empty for standard output.
    const std::string &target() const { return target_; }
    bool to_stdout() const { return stdout_; }
    void commit() {
        if (!direct_ && std::rename(target_.c_str(), final_.c_str()) != 0)
            fail("cannot write " + path_ + ": " + std::strerror(errno));
        committed_ = true;
    }

  private:
    std::string path_, target_, final_;
    bool direct_ = false, stdout_ = false, committed_ = false;
};

// A progress line on standard error, only when it is a terminal and the job is long.
class progress {
  public:
    progress(double total_seconds, const char *what)
        : enabled_(isatty(2) && total_seconds > 30), total_(total_seconds), what_(what) {}
    void update(double done_seconds) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        std::fprintf(stderr, "\r%s %.1f / %.1f s (%3.0f%%)", what_, done_seconds, total_,
                     total_ > 0 ? 100.0 * done_seconds / total_ : 0.0);
    }
    void finish() {
        if (enabled_) std::fprintf(stderr, "\r\033[K");
    }

  private:
    bool enabled_;
    double total_;
    const char *what_;
    std::chrono::steady_clock::time_point last_{};
};

struct codec_state {
    bt_stream stream{};
    std::unique_ptr<sbc_work> work = std::make_unique<sbc_work>();
    codec_state() {
        std::memset(work.get(), 0, sizeof(sbc_work));
        stream.codec = work.get();
    }
};

struct encode_options {
    std::string in, out, mode, allocation = "loudness";
    int subbands = 8, blocks = 16, bitpool = 53;
};

int run_encode(const encode_options &o) {
    SF_INFO info{};
    SNDFILE *in = o.in == "-" ? sf_open_fd(0, SFM_READ, &info, 0) : sf_open(o.in.c_str(), SFM_READ, &info);
    if (!in) fail(o.in + ": " + sf_strerror(nullptr));
    int fi = -1;
    for (int i = 0; i < 4; ++i)
        if (rates[i] == info.samplerate) fi = i;
    if (fi < 0) fail(o.in + ": sample rate " + std::to_string(info.samplerate) + " Hz not supported (16000, 32000, 44100 or 48000)");
    if (info.channels != 1 && info.channels != 2)
        fail(o.in + ": " + std::to_string(info.channels) + " channels not supported (1 or 2)");

    std::string mode = o.mode.empty() ? (info.channels == 1 ? "mono" : "joint") : o.mode;
    int cm = -1;
    for (int i = 0; i < 4; ++i)
        if (mode == mode_names[i]) cm = i;
    if ((cm == 0) != (info.channels == 1))
        fail("--mode " + mode + " needs " + (cm == 0 ? "a 1-channel" : "a 2-channel") + " input; " + o.in + " has " +
             std::to_string(info.channels));

    codec_state st;
    bt_stream &s = st.stream;
    s.frequency_index = static_cast<uint8_t>(fi);
    s.channel_mode = static_cast<uint8_t>(cm);
    s.subbands_flag = o.subbands == 8;
    s.blocks_index = static_cast<uint8_t>(o.blocks / 4 - 1);
    s.allocation = o.allocation == "snr";
    // What one allocation pass can reach, and what the frame's 8-bit field holds.
    const int limit = std::min(blmx::sbc::max_bitpool(s.channel_mode, static_cast<uint8_t>(o.subbands)), 255);
    if (o.bitpool < 2 || o.bitpool > limit)
        fail("--bitpool " + std::to_string(o.bitpool) + " out of range for this configuration (2.." + std::to_string(limit) + ")");
    s.bitpool = static_cast<uint8_t>(o.bitpool);

    output_file out(o.out);
    FILE *f = out.to_stdout() ? fdopen(dup(1), "wb") : std::fopen(out.target().c_str(), "wb");
    if (!f) fail("cannot create " + o.out + ": " + std::strerror(errno));

    sbc_work &w = *st.work;
    blmx::sbc::set_dimensions(w, s);
    const sf_count_t per_frame = w.frame_samples;
    const int ch = w.channels;
    progress prog(static_cast<double>(info.frames) / info.samplerate, "encoding");
    sf_count_t done = 0;
    uint64_t frames = 0;
    // The input is read in large pieces and the output gathered into large
    // writes: a read or a write per frame would cost more than the encoding.
    std::vector<uint8_t> pending;
    pending.reserve(1 << 20);
    const auto flush = [&] {
        if (!pending.empty() && std::fwrite(pending.data(), 1, pending.size(), f) != pending.size())
            fail("cannot write " + o.out + ": " + std::strerror(errno));
        pending.clear();
    };
    std::vector<int16_t> piece(static_cast<size_t>(per_frame) * ch * 512);
    size_t have = 0, at = 0;  // samples in `piece`, and the next one to take
    bool input_done = false;
    for (;;) {
        if (have - at < static_cast<size_t>(per_frame * ch) && !input_done) {
            std::memmove(piece.data(), piece.data() + at, sizeof(int16_t) * (have - at));
            have -= at;
            at = 0;
            const sf_count_t room = static_cast<sf_count_t>((piece.size() - have) / ch);
            const sf_count_t got = sf_readf_short(in, piece.data() + have, room);
            if (got < room) input_done = true;
            if (got > 0) have += static_cast<size_t>(got) * ch;
        }
        const sf_count_t got = static_cast<sf_count_t>(std::min(have - at, static_cast<size_t>(per_frame * ch)) / ch);
        if (got <= 0) break;
        std::memcpy(w.pcm, piece.data() + at, sizeof(int16_t) * static_cast<size_t>(got * ch));
        at += static_cast<size_t>(got * ch);
        if (got < per_frame) std::memset(w.pcm + got * ch, 0, sizeof(int16_t) * static_cast<size_t>((per_frame - got) * ch));
        const uint32_t n = blmx::sbc::encode_frame_on(codec, s);
        if (pending.size() + n > pending.capacity()) flush();
        pending.insert(pending.end(), w.frame, w.frame + n);
        std::memset(w.frame, 0, n);
        ++frames;
        done += got;
        prog.update(static_cast<double>(done) / info.samplerate);
        if (got < per_frame) break;
    }
    prog.finish();
    flush();
    sf_close(in);
    if (std::fclose(f) != 0) fail("cannot write " + o.out + ": " + std::strerror(errno));
    if (frames == 0) fail(o.in + ": no audio");
    out.commit();
    return 0;
}

// Reads an SBC stream in fixed-size pieces and hands each intact frame to `on_frame`.
struct stream_summary {
    frame_info config{};
    bool have_config = false;
    uint64_t frames = 0, damaged = 0, bytes = 0, trailing = 0;
    unsigned min_bitpool = 255, max_bitpool = 0;
    uint32_t min_length = UINT32_MAX, max_length = 0;
};

template <typename F> stream_summary read_stream(const std::string &path, F &&on_frame) {
    FILE *f = path == "-" ? fdopen(dup(0), "rb") : std::fopen(path.c_str(), "rb");
    if (!f) fail(path + ": " + std::strerror(errno));
    long file_size = 0;  // only for the progress line; a pipe has none
    if (std::fseek(f, 0, SEEK_END) == 0) {
        file_size = std::ftell(f);
        std::fseek(f, 0, SEEK_SET);
    }
    std::vector<uint8_t> buf(1 << 20);
    size_t start = 0, end = 0;
    bool eof = false, in_damage = false;
    stream_summary sum;
    progress prog(file_size > (4 << 20) ? 60.0 : 0.0, "decoding");
    uint64_t consumed = 0;
    const auto refill = [&] {
        std::memmove(buf.data(), buf.data() + start, end - start);
        end -= start;
        start = 0;
        const size_t got = std::fread(buf.data() + end, 1, buf.size() - end, f);
        if (got == 0) eof = true;
        end += got;
    };
    for (;;) {
        // Any frame is at most 525 bytes: with 2 KiB waiting a frame is never cut by the buffer.
        if (!eof && end - start < 2048) refill();
        if (start == end && eof) break;
        const scan_result r = scan_frame(buf.data() + start, end - start, sum.have_config ? &sum.config : nullptr);
        if (r.what == scan_result::need_more) {
            if (!eof) {
                refill();
                continue;
            }
            sum.trailing = end - start;  // a frame cut off by the end of the input
            if (!in_damage) ++sum.damaged;
            break;
        }
        if (r.what == scan_result::skip) {
            if (!in_damage) ++sum.damaged;
            in_damage = true;
            start += r.bytes;
            consumed += r.bytes;
            continue;
        }
        if (!sum.have_config) {
            sum.config = r.info;
            sum.have_config = true;
        }
        in_damage = false;
        if (!on_frame(buf.data() + start, r.info)) {
            if (!in_damage) ++sum.damaged;
            in_damage = true;
            start += 1;
            continue;
        }
        ++sum.frames;
        sum.bytes += r.bytes;
        sum.min_bitpool = std::min<unsigned>(sum.min_bitpool, r.info.bitpool);
        sum.max_bitpool = std::max<unsigned>(sum.max_bitpool, r.info.bitpool);
        sum.min_length = std::min(sum.min_length, r.info.length);
        sum.max_length = std::max(sum.max_length, r.info.length);
        start += r.bytes;
        consumed += r.bytes;
        if (file_size > 0) prog.update(60.0 * static_cast<double>(consumed) / static_cast<double>(file_size));
    }
    prog.finish();
    std::fclose(f);
    if (!sum.have_config || sum.frames == 0) {
        fail(path + (sum.trailing ? ": truncated: no complete SBC frame" : ": not an SBC stream (no valid frame found)"));
    }
    return sum;
}

double frame_seconds(const frame_info &c) {
    return static_cast<double>(c.blocks * c.subbands) / rates[c.frequency_index];
}

int run_decode(const std::string &in, const std::string &out_path) {
    codec_state st;
    bt_stream &s = st.stream;
    sbc_work &w = *st.work;
    output_file out(out_path);
    SNDFILE *wav = nullptr;
    std::optional<blmx::tools::wav_writer> writer;
    const auto sum = read_stream(in, [&](const uint8_t *data, const frame_info &fi) {
        if (!wav) {
            s.frequency_index = fi.frequency_index;
            s.blocks_index = fi.blocks_index;
            s.channel_mode = fi.channel_mode;
            s.allocation = fi.allocation;
            s.subbands_flag = fi.subbands_flag;
            SF_INFO info{};
            info.samplerate = rates[fi.frequency_index];
            info.channels = fi.channel_mode == 0 ? 1 : 2;
            std::string why;
            if (!blmx::tools::output_format(out_path, info.channels, info.samplerate, info.format, why))
                fail("cannot write " + out_path + ": " + why);
            wav = out.to_stdout() ? sf_open_fd(1, SFM_WRITE, &info, 0) : sf_open(out.target().c_str(), SFM_WRITE, &info);
            if (!wav) fail("cannot create " + out_path + ": " + sf_strerror(nullptr));
            writer.emplace(wav, info.channels);
        }
        w.blocks = fi.blocks;
        w.subbands = fi.subbands;
        w.channels = fi.channels;
        w.next_frame = const_cast<uint8_t *>(data);
        if (blmx::sbc::decode_frame_on(codec, s, fi.length * 8) == 0) return false;
        if (!writer->add(w.pcm, static_cast<size_t>(w.pcm_fill))) fail("cannot write " + out_path + ": " + sf_strerror(wav));
        return true;
    });
    if (!writer->flush()) fail("cannot write " + out_path + ": " + sf_strerror(wav));
    if (sf_close(wav) != 0) fail("cannot write " + out_path);
    out.commit();
    std::fprintf(stderr, "blmx-sbc: decoded %llu frames (%.2f s), %llu damaged skipped%s\n",
                 static_cast<unsigned long long>(sum.frames), sum.frames * frame_seconds(sum.config),
                 static_cast<unsigned long long>(sum.damaged), sum.trailing ? ", input ends inside a frame" : "");
    return 0;
}

int run_info(const std::string &in) {
    const auto sum = read_stream(in, [](const uint8_t *, const frame_info &) { return true; });
    const frame_info &c = sum.config;
    const double seconds = sum.frames * frame_seconds(c);
    std::printf("frames:      %llu\n", static_cast<unsigned long long>(sum.frames));
    std::printf("rate:        %d Hz\n", rates[c.frequency_index]);
    std::printf("mode:        %s\n", mode_names[c.channel_mode]);
    std::printf("subbands:    %u\n", c.subbands);
    std::printf("blocks:      %u\n", c.blocks);
    std::printf("allocation:  %s\n", c.allocation ? "snr" : "loudness");
    if (sum.min_bitpool == sum.max_bitpool)
        std::printf("bitpool:     %u\n", sum.min_bitpool);
    else
        std::printf("bitpool:     %u..%u\n", sum.min_bitpool, sum.max_bitpool);
    if (sum.min_length == sum.max_length)
        std::printf("frame bytes: %u\n", sum.min_length);
    else
        std::printf("frame bytes: %u..%u\n", sum.min_length, sum.max_length);
    std::printf("bit rate:    %.1f kbit/s\n", seconds > 0 ? sum.bytes * 8 / seconds / 1000 : 0.0);
    std::printf("duration:    %.3f s\n", seconds);
    if (sum.damaged) std::printf("damaged:     %llu\n", static_cast<unsigned long long>(sum.damaged));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"blmx-sbc: SBC encoder, decoder and stream inspector"};
    app.set_version_flag("--version", "blmx-sbc " BLMX_VERSION);
    app.require_subcommand(1);

    encode_options eo;
    auto *enc = app.add_subcommand("encode", "Encode an audio file (WAV, FLAC, ...) to raw SBC frames");
    enc->add_option("IN", eo.in, "Input audio file (16000, 32000, 44100 or 48000 Hz; 1 or 2 channels)")->required();
    enc->add_option("OUT", eo.out, "Output SBC stream")->required();
    enc->add_option("--mode", eo.mode, "Channel mode (default: joint for 2 channels, mono for 1)")
        ->check(CLI::IsMember({"mono", "dual", "stereo", "joint"}));
    enc->add_option("--subbands", eo.subbands, "Subbands")->check(CLI::IsMember({4, 8}))->capture_default_str();
    enc->add_option("--blocks", eo.blocks, "Blocks")->check(CLI::IsMember({4, 8, 12, 16}))->capture_default_str();
    enc->add_option("--allocation", eo.allocation, "Allocation method")
        ->check(CLI::IsMember({"loudness", "snr"}))
        ->capture_default_str();
    enc->add_option("--bitpool", eo.bitpool, "Bitpool")->capture_default_str();

    std::string din, dout;
    auto *dec = app.add_subcommand("decode", "Decode raw SBC frames to a 16-bit WAV file");
    dec->add_option("IN", din, "Input SBC stream")->required();
    dec->add_option("OUT", dout, "Output WAV file")->required();

    std::string iin;
    auto *inf = app.add_subcommand("info", "Describe an SBC stream");
    inf->add_option("IN", iin, "Input SBC stream")->required();

    // The codec path: the one the library takes (the fastest this processor
    // runs), or a named one, to compare them.
    std::string path_name = "auto";
    const std::map<std::string, blmx::sbc::codec_path> paths = {{"plain", blmx::sbc::codec_path::plain},
                                                                {"sse2", blmx::sbc::codec_path::sse2},
                                                                {"avx2", blmx::sbc::codec_path::avx2},
                                                                {"avx512", blmx::sbc::codec_path::avx512}};
    for (auto *sub : {enc, dec})
        sub->add_option("--path", path_name, "Codec path: auto (the fastest available), plain, sse2, avx2 or avx512")
            ->check(CLI::IsMember({"auto", "plain", "sse2", "avx2", "avx512"}))
            ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    codec = path_name == "auto" ? blmx::sbc::best_path() : paths.at(path_name);
    if (!blmx::sbc::path_available(codec)) {
        std::fprintf(stderr, "blmx-sbc: the %s path needs instructions this processor does not have\n", path_name.c_str());
        return 1;
    }
    if (*enc) return run_encode(eo);
    if (*dec) return run_decode(din, dout);
    return run_info(iin);
}
