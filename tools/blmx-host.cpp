// blmx-host: a small host that does what the belmux daemon does with
// blmx_bt.so: loads it with dlopen, finds its descriptors, exports belmux_wait
// and moves PCM between WAV files and the library.
//
//   blmx-host play DEVICE FILE [--period-ms N]
//   blmx-host record DEVICE OUT.wav [--seconds N] [--period-ms N] [--rate R] [--channels C]
//   blmx-host accept --address ADDR [--name NAME] --out OUT.wav   (virtual stack)
//
// DEVICE is what the daemon passes: /dev/bluetooth/ADDRESS-OR-NAME.
#include <dlfcn.h>
#if defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/sysctl.h>
#endif
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "blmx_bt.h"
#if defined(BLMX_VIRTUAL_STACK)
#include "platform/virtual/vbt.h"
#endif
#include "tools/wav_util.h"

namespace {

int period_ms = 20;
bool last_read_empty = false;
int record_socket = -1;  // the record stream's media channel, for belmux_wait without a period

void on_alarm(int) {}  // its only job is to end a blocked read with EINTR

struct library {
    void *handle = nullptr;
    audio_backend *play = nullptr, *rec = nullptr;
    int (*acp_handle)(bt_stream *) = nullptr;
    void (*acp_free)(bt_stream *) = nullptr;
    int (*receive)(bt_stream *, void *, int, int) = nullptr;
};

#if !defined(BLMX_INSTALLED_PLUGIN_DIR)
#define BLMX_INSTALLED_PLUGIN_DIR "../lib"
#endif

// The directory of this program's own file, or "" when the system cannot tell.
std::string own_directory() {
    char exe[PATH_MAX];
    size_t n = 0;
#if defined(__FreeBSD__)
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    size_t len = sizeof exe;
    if (sysctl(mib, 4, exe, &len, nullptr, 0) == 0 && len > 1) n = len - 1;
#else
    const ssize_t r = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (r > 0) n = static_cast<size_t>(r);
#endif
    std::string path(exe, n);
    if (path.empty()) {
        // Without the system's answer: the loader's name for this program's
        // file, made absolute.
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&own_directory), &info) && info.dli_fname)
            if (char *real = realpath(info.dli_fname, nullptr)) {
                path = real;
                std::free(real);
            }
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// blmx_bt.so beside this program (a build directory), else where it is
// installed relative to the program's directory, else the loader's own search.
std::string default_library() {
    const std::string dir = own_directory();
    if (dir.empty()) return "blmx_bt.so";
    for (const std::string &candidate : {dir + "/blmx_bt.so", dir + "/" BLMX_INSTALLED_PLUGIN_DIR "/blmx_bt.so"})
        if (access(candidate.c_str(), F_OK) == 0) return candidate;
    return dir + "/blmx_bt.so";
}

bool load(const std::string &path, library &lib) {
    lib.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
        std::fprintf(stderr, "blmx-host: cannot load %s: %s\n", path.c_str(), dlerror());
        return false;
    }
    lib.play = static_cast<audio_backend *>(dlsym(lib.handle, "blmx_backend_bt_play"));
    lib.rec = static_cast<audio_backend *>(dlsym(lib.handle, "blmx_backend_bt_rec"));
    lib.acp_handle = reinterpret_cast<int (*)(bt_stream *)>(dlsym(lib.handle, "avdtpACPHandlePacket"));
    lib.acp_free = reinterpret_cast<void (*)(bt_stream *)>(dlsym(lib.handle, "avdtpACPFree"));
    lib.receive = reinterpret_cast<int (*)(bt_stream *, void *, int, int)>(dlsym(lib.handle, "bt_receive"));
    if (!lib.play || !lib.rec || !lib.acp_handle || !lib.acp_free || !lib.receive) {
        std::fprintf(stderr, "blmx-host: %s is not a blmx_bt backend\n", path.c_str());
        return false;
    }
    return true;
}

// Standard output goes through a stream that remembers whether the last
// byte written ended a line: some of the library's messages end without a
// line break, and what follows them must start on a line of its own.
bool stdout_at_line_start = true;

ssize_t write_stdout(void *, const char *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(1, buf + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(w);
    }
    if (n > 0) stdout_at_line_start = buf[n - 1] == '\n';
    return static_cast<ssize_t>(n);
}

void track_stdout() {
    cookie_io_functions_t io{};
    io.write = write_stdout;
    if (FILE *f = fopencookie(nullptr, "w", io)) stdout = f;
}

// Ends the library's last message line, if it left one open.
void end_library_line() {
    std::fflush(stdout);
    if (!stdout_at_line_start) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

// After a failed open: what the host knows that the library's message may not say.
void report_open_failure(const std::string &device, const char *direction, int rate) {
    end_library_line();
    std::fprintf(stderr, "blmx-host: cannot open %s for %s\n", device.c_str(), direction);
    bool sbc_rate = false;
    for (int r : {16000, 32000, 44100, 48000}) sbc_rate = sbc_rate || r == rate;
    if (!sbc_rate)
        std::fprintf(stderr, "blmx-host: a Bluetooth audio device takes no %d Hz: SBC carries 16000, 32000, 44100 and 48000 Hz\n",
                     rate);
}

class progress {
  public:
    explicit progress(const char *what) : enabled_(isatty(2)), what_(what), start_(std::chrono::steady_clock::now()) {}
    void update(double done, double total, long packets) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        if (total > 0)
            std::fprintf(stderr, "\r%s %.1f / %.1f s, %ld packets, %.1f s elapsed ", what_, done, total, packets, elapsed);
        else
            std::fprintf(stderr, "\r%s %.1f s, %.1f s elapsed ", what_, done, elapsed);
    }
    void finish() {
        if (enabled_) std::fprintf(stderr, "\r\033[K");
    }

  private:
    bool enabled_;
    const char *what_;
    std::chrono::steady_clock::time_point start_, last_{};
};

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

int play(library &lib, const std::string &device, const std::string &file) {
    SF_INFO info{};
    SNDFILE *in = sf_open(file.c_str(), SFM_READ, &info);
    if (!in) {
        std::fprintf(stderr, "blmx-host: %s: %s\n", file.c_str(), sf_strerror(nullptr));
        return 1;
    }
    audio_backend *b = lib.play;
    int channels = info.channels, format = 0x10;
    if (b->open(b, device.c_str(), info.samplerate, 0, &channels, &format) != 0) {
        report_open_failure(device, "playback", info.samplerate);
        b->close(b);
        sf_close(in);
        return 1;
    }
    const auto *s = static_cast<const bt_stream *>(b->state);
    const long period = std::max<long>(1, static_cast<long>(info.samplerate) * std::max(period_ms, 1) / 1000);
    std::vector<int16_t> pcm(static_cast<size_t>(period * channels));
    progress prog("play");
    const double total = static_cast<double>(info.frames) / info.samplerate;
    long sent = 0;
    int rc = 0;
    const auto transfer = [&](int16_t *data, long frames) {
        const int bytes = static_cast<int>(frames * channels * 2);
        if (b->transfer(b, data, bytes) != bytes) {
            end_library_line();
            std::fprintf(stderr, "blmx-host: playback transfer failed\n");
            rc = 1;
            return false;
        }
        return true;
    };
    // The file is read in large pieces and handed over a period at a time.
    std::vector<int16_t> piece(static_cast<size_t>(period * info.channels) * 64);
    sf_count_t piece_frames = 0, piece_at = 0;
    for (;;) {
        if (piece_at == piece_frames) {
            piece_frames = sf_readf_short(in, piece.data(), period * 64);
            piece_at = 0;
            if (piece_frames <= 0) break;
        }
        const sf_count_t got = std::min<sf_count_t>(period, piece_frames - piece_at);
        // The file's samples go over as they are when the channel counts agree.
        int16_t *data = piece.data() + piece_at * info.channels;
        if (channels != info.channels) {
            blmx::tools::convert_channels(data, info.channels, pcm.data(), channels, got);
            data = pcm.data();
        }
        piece_at += got;
        if (!transfer(data, got)) break;
        sent += got;
        prog.update(static_cast<double>(sent) / info.samplerate, total, static_cast<long>(s->rtp_sequence));
    }
    // Close does not send the packet under construction: push silence until the
    // packet being built starts after the file's last sample, so all of it went out.
    std::fill(pcm.begin(), pcm.end(), 0);
    for (int guard = 0; rc == 0 && guard < 100000; ++guard) {
        if (s->packet_fill > 0 && be32(s->packet + 4) >= static_cast<uint32_t>(sent)) break;
        if (!transfer(pcm.data(), period)) break;
    }
    prog.finish();
    b->close(b);
    sf_close(in);
    // The packet still under construction at close was never sent.
    const unsigned packets = s->rtp_sequence - (s->packet_fill > 0 ? 1u : 0u);
    if (rc == 0)
        std::fprintf(stderr, "blmx-host: played %.2f s to %s (%u packets sent, %d channel%s)\n",
                     static_cast<double>(sent) / info.samplerate, device.c_str(), packets, channels,
                     channels == 1 ? "" : "s");
    return rc;
}

// True when the media channel was closed by the remote and nothing is left to read.
bool remote_closed(int fd) {
    if (fd <= 0) return true;
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

SNDFILE *create_wav(const std::string &path, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    std::string why;
    if (!blmx::tools::output_format(path, channels, rate, info.format, why)) {
        std::fprintf(stderr, "blmx-host: cannot write %s: %s\n", path.c_str(), why.c_str());
        return nullptr;
    }
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) std::fprintf(stderr, "blmx-host: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return f;
}

int record(library &lib, const std::string &device, const std::string &out, double seconds, int rate, int channels_wanted) {
    audio_backend *b = lib.rec;
    int channels = channels_wanted, format = 0x10;
    {
        // A file that cannot be written is refused before any device is contacted.
        int file_format;
        std::string why;
        if (!blmx::tools::output_format(out, channels_wanted, rate, file_format, why)) {
            std::fprintf(stderr, "blmx-host: cannot write %s: %s\n", out.c_str(), why.c_str());
            return 1;
        }
    }
    if (b->open(b, device.c_str(), rate, 0, &channels, &format) != 0) {
        report_open_failure(device, "record", rate);
        b->close(b);
        return 1;
    }
    const auto *s = static_cast<const bt_stream *>(b->state);
    SNDFILE *wav = create_wav(out, rate, channels);
    if (!wav) {
        b->close(b);
        return 1;
    }
    // Without a period the transfers take what has arrived, up to 100 ms at a
    // time, and belmux_wait waits for the next packet.
    const long period = period_ms > 0 ? std::max<long>(1, static_cast<long>(rate) * period_ms / 1000) : rate / 10;
    std::vector<int16_t> pcm(static_cast<size_t>(period * channels));
    blmx::tools::wav_writer writer(wav, channels);
    record_socket = s->media_socket;
    progress prog("record");
    long got_frames = 0;
    const long limit = seconds > 0 ? static_cast<long>(seconds * rate) : -1;
    auto idle_since = std::chrono::steady_clock::now();
    int rc = 0;
    for (;;) {
        long want = period;
        if (limit >= 0) want = std::min(want, limit - got_frames);
        if (want <= 0) break;
        const int r = b->transfer(b, pcm.data(), static_cast<int>(want * channels * 2));
        if (r < 0) {
            end_library_line();
            std::fprintf(stderr, "blmx-host: record transfer failed\n");
            rc = 1;
            break;
        }
        // Two empty transfers in a row (the wait between them found the
        // channel readable or timed out) may mean the source hung up.
        const bool empty_again = last_read_empty && r == 0;
        last_read_empty = r == 0;
        const long frames = r / (2 * channels);
        if (frames > 0) {
            writer.add(pcm.data(), static_cast<size_t>(frames * channels));
            got_frames += frames;
            idle_since = std::chrono::steady_clock::now();
        } else if ((period_ms > 0 || empty_again) && remote_closed(s->media_socket)) {
            break;  // the source ended its stream
        } else if (std::chrono::steady_clock::now() - idle_since > std::chrono::seconds(10)) {
            std::fprintf(stderr, "blmx-host: no audio for 10 s, stopping\n");
            break;
        }
        prog.update(static_cast<double>(got_frames) / rate, seconds, static_cast<long>(s->rtp_sequence));
    }
    prog.finish();
    record_socket = -1;
    writer.flush();
    sf_close(wav);
    b->close(b);
    if (rc == 0) std::fprintf(stderr, "blmx-host: recorded %.2f s from %s\n", static_cast<double>(got_frames) / rate, device.c_str());
    return rc;
}

volatile sig_atomic_t stop_requested = 0;
void on_term(int) { stop_requested = 1; }

#if defined(BLMX_VIRTUAL_STACK)
int accept_stream(library &lib, const std::string &address, const std::string &name, const std::string &out) {
    char err[512];
    const int dev = vbt_device_register(address.c_str(), name.c_str(), err, sizeof err);
    if (dev < 0) {
        std::fprintf(stderr, "blmx-host: %s\n", err);
        return 1;
    }
    const int listener = vbt_listen(dev, 0x0019, 672);
    const int sdp = vbt_listen(dev, 1, 672);
    if (listener < 0 || sdp < 0) {
        std::fprintf(stderr, "blmx-host: cannot listen: %s\n", std::strerror(errno));
        vbt_device_unregister(dev);
        return 1;
    }
    std::printf("blmx-host: accepting at %s%s%s\n", address.c_str(), name.empty() ? "" : " ", name.c_str());
    std::fflush(stdout);
    auto stream = std::make_unique<bt_stream>();
    bt_stream &s = *stream;
    std::memset(&s, 0, sizeof s);
    std::vector<int> sdp_channels;
    SNDFILE *wav = nullptr;
    std::vector<int16_t> pcm(4096);
    long frames = 0;
    bool done = false;
    int rc = 0;
    // Everything the media channel holds now, decoded into the file.
    const auto take_media = [&] {
        if (!s.codec || s.media_socket <= 0) return;
        const int ch = s.channel_mode == 0 ? 1 : 2;
        for (;;) {
            const int r = lib.receive(&s, pcm.data(), static_cast<int>(pcm.size() * 2), 0);
            if (r <= 0) {
                if (r < 0 || remote_closed(s.media_socket)) {
                    vbt_close(s.media_socket);
                    s.media_socket = -1;
                }
                return;
            }
            if (wav) sf_writef_short(wav, pcm.data(), r / (2 * ch));
            frames += r / (2 * ch);
        }
    };
    while (!done && !stop_requested) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}, {sdp, POLLIN, 0}};
        for (int fd : sdp_channels) fds.push_back({fd, POLLIN, 0});
        if (s.signal_socket > 0) fds.push_back({s.signal_socket, POLLIN, 0});
        if (s.media_socket > 0) fds.push_back({s.media_socket, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 500) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (const pollfd &p : fds) {
            if (!p.revents) continue;
            if (p.fd == sdp) {
                const int fd = vbt_accept(sdp, nullptr, nullptr);
                if (fd >= 0) sdp_channels.push_back(fd);
            } else if (p.fd == listener) {
                const int fd = vbt_accept(listener, nullptr, nullptr);
                if (fd < 0) continue;
                if (s.signal_socket <= 0) {
                    s.signal_socket = fd;
                    s.acceptor_state = 1;
                } else if (s.media_socket <= 0 && s.acceptor_state >= 3) {
                    s.media_socket = fd;
                    uint16_t mtu = 0;
                    unsigned len = sizeof mtu;
                    vbt_getsockopt(fd, 0x1609, 1, &mtu, &len);
                    s.mtu = mtu;
                    int on = 1;
                    vbt_ioctl(fd, 0x8004667eUL, &on);
                } else {
                    vbt_close(fd);
                }
            } else if (p.fd == s.signal_socket) {
                // What arrived on the media channel before the command belongs
                // to the stream: take it in before CLOSE or ABORT ends it.
                take_media();
                const int r = lib.acp_handle(&s);
                if (r == 3 && !wav) {
                    static const int rates[4] = {16000, 32000, 44100, 48000};
                    wav = create_wav(out, rates[s.frequency_index & 3], s.channel_mode == 0 ? 1 : 2);
                    if (!wav) done = true, rc = 1;
                } else if (r == 8) {
                    done = true;  // CLOSE
                } else if (r == 10) {
                    // ABORT: the media channel goes with the stream; a new
                    // configuration may follow, recorded into the same file.
                    if (s.media_socket > 0) vbt_close(s.media_socket);
                    s.media_socket = -1;
                } else if (r < 0 && (p.revents & (POLLHUP | POLLERR))) {
                    done = true;  // the remote went away
                }
            } else if (p.fd == s.media_socket) {
                take_media();
            } else {
                for (size_t i = 0; i < sdp_channels.size(); ++i)
                    if (sdp_channels[i] == p.fd) {
                        const vbt_sdp_service svc{0x00010001, 0x110B, 0x0019, 0x0103};
                        if (vbt_sdp_serve(p.fd, &svc, 1) != 0) {
                            vbt_close(p.fd);
                            sdp_channels.erase(sdp_channels.begin() + static_cast<long>(i));
                        }
                        break;
                    }
            }
        }
    }
    if (wav) sf_close(wav);
    lib.acp_free(&s);
    lib.acp_free(&s);
    if (s.media_socket > 0) vbt_close(s.media_socket);
    if (s.signal_socket > 0) vbt_close(s.signal_socket);
    for (int fd : sdp_channels) vbt_close(fd);
    vbt_unlisten(listener);
    vbt_unlisten(sdp);
    vbt_device_unregister(dev);
    const int rate_index = s.frequency_index & 3;
    static const int rates[4] = {16000, 32000, 44100, 48000};
    if (rc == 0) std::fprintf(stderr, "blmx-host: accepted %.2f s into %s\n", static_cast<double>(frames) / rates[rate_index], out.c_str());
    return rc;
}
#endif

}  // namespace

// The daemon's wait: the record transfer calls it before it reads. It waits for
// the next period, or, with --period-ms 0, for the next packet when nothing came
// last time.
extern "C" __attribute__((visibility("default"))) void belmux_wait(void) {
    if (period_ms > 0) {
        // Periods on a fixed grid, as a sound card's clock gives them: the
        // time spent between waits does not add up into drift.
        static std::chrono::steady_clock::time_point next;
        const auto now = std::chrono::steady_clock::now();
        const auto period = std::chrono::milliseconds(period_ms);
        if (next.time_since_epoch().count() == 0 || now - next > std::chrono::seconds(1)) next = now;
        next += period;
        std::this_thread::sleep_until(next);
    } else if (last_read_empty) {
        // No period: wait for the next packet (or a moment, without a channel).
        pollfd p{record_socket, POLLIN, 0};
        if (record_socket <= 0 || poll(&p, 1, 100) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int main(int argc, char **argv) {
    CLI::App app{"blmx-host: plays and records through blmx_bt.so as the belmux daemon does"};
    app.set_version_flag("--version", "blmx-host " BLMX_VERSION);
    app.require_subcommand(1);
    std::string lib_path = default_library(), device, file, address, name;
    double seconds = 0;
    int rate = 44100, channels = 2;
    app.add_option("--library", lib_path, "blmx_bt.so to load")->capture_default_str();
    auto *play_cmd = app.add_subcommand("play", "Play an audio file to a remote sink");
    play_cmd->add_option("DEVICE", device, "/dev/bluetooth/ADDRESS-OR-NAME")->required();
    play_cmd->add_option("FILE", file, "Audio file")->required();
    play_cmd->add_option("--period-ms", period_ms, "Period of each transfer")->capture_default_str()->check(CLI::Range(1, 1000));
    auto *rec_cmd = app.add_subcommand("record", "Record from a remote source into a WAV file");
    rec_cmd->add_option("DEVICE", device, "/dev/bluetooth/ADDRESS-OR-NAME")->required();
    rec_cmd->add_option("OUT", file, "WAV file")->required();
    rec_cmd->add_option("--seconds", seconds, "Stop after this much audio (default: when the source ends)");
    rec_cmd->add_option("--period-ms", period_ms, "Period of each transfer (0: take audio as it arrives)")->capture_default_str()->check(CLI::Range(0, 1000));
    rec_cmd->add_option("--rate", rate, "Sample rate to ask for")->capture_default_str();
    rec_cmd->add_option("--channels", channels, "Channels to ask for")->capture_default_str()->check(CLI::IsMember({1, 2}));
#if defined(BLMX_VIRTUAL_STACK)
    auto *acc_cmd = app.add_subcommand("accept", "Take an incoming stream as a virtual device");
    acc_cmd->add_option("--address", address, "Address to register")->required();
    acc_cmd->add_option("--name", name, "Name to register");
    acc_cmd->add_option("--out", file, "WAV file")->required();
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    // SIGALRM ends a blocked signalling read (no SA_RESTART); SIGPIPE is ignored as a daemon does.
    struct sigaction sa{};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The library's diagnostics and ours, in the order they happen.
    track_stdout();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    library lib;
    if (!load(lib_path, lib)) return 1;
    int rc;
    if (play_cmd->parsed())
        rc = play(lib, device, file);
    else if (rec_cmd->parsed())
        rc = record(lib, device, file, seconds, rate, channels);
#if defined(BLMX_VIRTUAL_STACK)
    else
        rc = accept_stream(lib, address, name, file);
#else
    else
        rc = 2;
#endif
    std::fflush(stdout);
    return rc;
}
