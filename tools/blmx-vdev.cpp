// blmx-vdev: a virtual remote A2DP device on the virtual Bluetooth stack.
//
//   blmx-vdev sink   --address ADDR [--name NAME] [--out FILE.wav] [--mtu N] [--sep SPEC]... [--realtime] [--once]
//   blmx-vdev source --address ADDR [--name NAME] --in FILE [--mtu N] [--sep SPEC]... [--realtime] [--once]
//                    [--connect ADDR]
//
// It registers, serves an SDP record for its role, answers the AVDTP commands
// of an initiator as an A2DP device does, and takes or sends the media. As a
// source with --connect it is the initiator itself, towards a host that
// accepts incoming streams. --misbehave ACTION:SIGNAL[:COUNT] makes it refuse,
// ignore, general-reject, garble, fragment or hang up on a command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/virtual/vbt.h"
#include "sbc/sbc.h"
#include "tools/vdev_avdtp.h"
#include "tools/wav_util.h"

namespace {

using namespace vdev;
using clock_type = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;
void on_term(int) { stop_requested = 1; }

struct misbehaviour {
    enum kind { refuse, ignore, general_reject, malformed, fragment, hang_up, flood } what;
    uint8_t signal;
    int count;  // occurrences affected; -1: all
};

struct options {
    bool sink = true;
    std::string address, name, out, in, connect;
    int mtu = 672;
    std::vector<std::string> seps;
    bool realtime = false, once = false, log = false;
    std::vector<misbehaviour> misbehave;
    long exit_after_packets = -1;
    // As an initiator: 1.3 asks GET_ALL_CAPABILITIES and, once in the middle
    // of the stream, aborts and configures it again.
    std::string avdtp = "1.0";
};

// The SBC configuration as stream fields, from configuration octets.
bool stream_from_octets(const sbc_octets &c, bt_stream &s) {
    const auto index = [](uint8_t bits, std::initializer_list<uint8_t> order) {
        int i = 0;
        for (uint8_t b : order) {
            if (bits & b) return i;
            ++i;
        }
        return -1;
    };
    const int f = index(c.o0 & 0xF0, {0x80, 0x40, 0x20, 0x10}), m = index(c.o0 & 0x0F, {0x08, 0x04, 0x02, 0x01});
    const int b = index(c.o1 & 0xF0, {0x80, 0x40, 0x20, 0x10}), sb = index(c.o1 & 0x0C, {0x08, 0x04});
    const int a = index(c.o1 & 0x03, {0x01, 0x02});
    if (f < 0 || m < 0 || b < 0 || sb < 0 || a < 0) return false;
    s.frequency_index = static_cast<uint8_t>(f);
    s.channel_mode = static_cast<uint8_t>(m);
    s.blocks_index = static_cast<uint8_t>(b);
    s.subbands_flag = static_cast<uint8_t>(sb);
    s.allocation = static_cast<uint8_t>(a);
    s.bitpool = c.max_bitpool;
    return true;
}

constexpr int rates[4] = {16000, 32000, 44100, 48000};

struct codec {
    std::unique_ptr<bt_stream> stream{new bt_stream()};
    std::unique_ptr<sbc_work> work{new sbc_work()};
    codec() {
        std::memset(stream.get(), 0, sizeof(bt_stream));
        std::memset(work.get(), 0, sizeof(sbc_work));
        stream->codec = work.get();
    }
};

// Figures of one received or sent stream.
struct stream_stats {
    long packets = 0, frames = 0, bytes = 0, seq_gaps = 0, ts_jumps = 0, bad_packets = 0, bad_frames = 0;
    bool have_last = false;
    uint16_t last_seq = 0;
    uint32_t next_ts = 0;
    double seconds = 0;
};

class device {
  public:
    explicit device(options o) : o_(std::move(o)) {}
    ~device() {
        if (input_) sf_close(input_);
    }
    device(const device &) = delete;
    device &operator=(const device &) = delete;
    int run();

  private:
    // ---- set-up ----
    bool setup_seps();
    // ---- event loop ----
    void loop();
    void accept_on(int listener, uint16_t psm);
    void on_signalling_readable();
    void on_media_readable();
    void pump_source();
    bool build_packet();
    bool encode_next_frame();
    // ---- AVDTP ----
    void handle_command(const message &m);
    void send(const message &m, bool allow_fragment = true);
    void reply_accept(const message &cmd, std::vector<uint8_t> params = {});
    void reply_reject(const message &cmd, std::vector<uint8_t> params);
    const misbehaviour *misbehaving(uint8_t signal);
    sep *find_sep(uint8_t seid);
    // ---- streams ----
    void begin_stream();
    void end_stream(const char *why);
    void close_channel(int &fd);
    // ---- initiator (source --connect) ----
    int run_initiator();
    std::optional<message> transact(uint8_t signal, std::vector<uint8_t> params);

    options o_;
    int device_ = -1, sdp_listener_ = -1, avdtp_listener_ = -1;
    std::vector<int> sdp_channels_;
    int signalling_ = -1, media_ = -1;
    assembler asm_;
    std::vector<sep> seps_;
    sep *active_ = nullptr;
    enum class state { idle, configured, open, streaming } state_ = state::idle;
    std::vector<int> misbehave_seen_ = std::vector<int>(11, 0);
    uint8_t label_ = 0;

    // media
    codec codec_;
    sbc_octets config_{};
    bool stream_started_ = false;
    int streams_done_ = 0;
    stream_stats stats_;
    SNDFILE *wav_ = nullptr;
    std::string wav_path_;
    bool write_failed_ = false;  // the exit status says so
    clock_type::time_point stream_start_;
    double audio_seconds_ = 0;
    // source
    SNDFILE *input_ = nullptr;
    SF_INFO input_info_{};
    bool input_done_ = false;
    std::vector<int16_t> input_buf_;
    sf_count_t input_frames_ = 0, input_at_ = 0;
    std::vector<uint8_t> pending_packet_, carry_;
    int pending_frames_ = 0;
    uint16_t seq_ = 0;
    uint32_t ts_ = 0;
    bool exit_now_ = false;
};

bool device::setup_seps() {
    sep base;
    base.sink = o_.sink;
    if (!o_.sink && input_) {
        // A source offers its input's rate only.
        const uint8_t bits[4] = {0x80, 0x40, 0x20, 0x10};
        for (int i = 0; i < 4; ++i)
            if (rates[i] == input_info_.samplerate) base.caps.o0 = static_cast<uint8_t>(bits[i] | 0x0F);
    }
    if (o_.seps.empty()) {
        seps_.push_back(base);
        return true;
    }
    for (const auto &spec : o_.seps) {
        sep s = base;
        s.seid = static_cast<uint8_t>(seps_.size() + 1);
        std::string why;
        if (!parse_sep(spec, s, why)) {
            std::fprintf(stderr, "blmx-vdev: --sep %s: %s\n", spec.c_str(), why.c_str());
            return false;
        }
        seps_.push_back(s);
    }
    return true;
}

int device::run() {
    if (!o_.sink) {
        input_ = sf_open(o_.in.c_str(), SFM_READ, &input_info_);
        if (!input_) {
            std::fprintf(stderr, "blmx-vdev: %s: %s\n", o_.in.c_str(), sf_strerror(nullptr));
            return 1;
        }
        bool ok = input_info_.channels == 1 || input_info_.channels == 2;
        bool rate_ok = false;
        for (int r : rates) rate_ok = rate_ok || r == input_info_.samplerate;
        if (!ok || !rate_ok) {
            std::fprintf(stderr, "blmx-vdev: %s: needs 1 or 2 channels at 16000, 32000, 44100 or 48000 Hz\n", o_.in.c_str());
            return 1;
        }
    }
    if (!setup_seps()) return 1;
    if (o_.sink && !o_.out.empty()) {
        // The output is checked before any stream is accepted: its format, and
        // that the file (or its directory, for a new one) can be written.
        int format;
        std::string why;
        const size_t slash = o_.out.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : o_.out.substr(0, slash);
        const bool writable = access(o_.out.c_str(), F_OK) == 0 ? access(o_.out.c_str(), W_OK) == 0
                                                               : access(dir.c_str(), W_OK | X_OK) == 0;
        const int error = errno;
        if (blmx::tools::output_format(o_.out, 2, 44100, format, why) && !writable) why = std::strerror(error);
        if (!why.empty()) {
            std::fprintf(stderr, "blmx-vdev: cannot write %s: %s\n", o_.out.c_str(), why.c_str());
            return 1;
        }
    }
    char err[512];
    device_ = vbt_device_register(o_.address.c_str(), o_.name.c_str(), err, sizeof err);
    if (device_ < 0) {
        std::fprintf(stderr, "blmx-vdev: %s\n", err);
        return 1;
    }
    if (!o_.connect.empty()) {
        const int r = run_initiator();
        vbt_device_unregister(device_);
        return r;
    }
    sdp_listener_ = vbt_listen(device_, 1, 672);
    avdtp_listener_ = vbt_listen(device_, 0x0019, static_cast<uint16_t>(o_.mtu));
    if (sdp_listener_ < 0 || avdtp_listener_ < 0) {
        std::fprintf(stderr, "blmx-vdev: cannot listen: %s\n", std::strerror(errno));
        vbt_device_unregister(device_);
        return 1;
    }
    std::printf("blmx-vdev: %s %s%s%s ready\n", o_.sink ? "sink" : "source", o_.address.c_str(),
                o_.name.empty() ? "" : " ", o_.name.c_str());
    std::fflush(stdout);
    loop();
    if (stream_started_ || wav_) end_stream("stopped");
    vbt_unlisten(sdp_listener_);
    vbt_unlisten(avdtp_listener_);
    for (int fd : sdp_channels_) vbt_close(fd);
    close_channel(signalling_);
    close_channel(media_);
    vbt_device_unregister(device_);
    return write_failed_ ? 1 : 0;
}

void device::close_channel(int &fd) {
    if (fd >= 0) vbt_close(fd);
    fd = -1;
}

void device::loop() {
    while (!stop_requested && !exit_now_) {
        std::vector<pollfd> fds;
        fds.push_back({sdp_listener_, POLLIN, 0});
        fds.push_back({avdtp_listener_, POLLIN, 0});
        for (int fd : sdp_channels_) fds.push_back({fd, POLLIN, 0});
        if (signalling_ >= 0) fds.push_back({signalling_, POLLIN, 0});
        int timeout = -1;
        bool want_media_read = false;
        if (media_ >= 0) {
            short ev = 0;
            if (o_.sink) {
                // A real-time sink takes audio no faster than it plays it.
                const double elapsed = std::chrono::duration<double>(clock_type::now() - stream_start_).count();
                if (!o_.realtime || !stream_started_ || audio_seconds_ <= elapsed + 0.05)
                    ev = POLLIN, want_media_read = true;
                else
                    timeout = 5;
            } else if (state_ == state::streaming && (!input_done_ || !pending_packet_.empty() || !carry_.empty())) {
                // Until the last packet has gone out, also after the input ran dry.
                if (!pending_packet_.empty()) {
                    const double elapsed = std::chrono::duration<double>(clock_type::now() - stream_start_).count();
                    if (!o_.realtime || audio_seconds_ <= elapsed + 0.02)
                        ev = POLLOUT;
                    else
                        timeout = 2;
                } else {
                    timeout = 0;
                }
            }
            // A closed peer shows as readable on either role.
            fds.push_back({media_, static_cast<short>(ev | (o_.sink ? 0 : POLLIN)), 0});
        }
        const int r = poll(fds.data(), fds.size(), timeout);
        if (r < 0 && errno != EINTR) break;
        if (r < 0) continue;
        for (const pollfd &p : fds) {
            if (!p.revents) continue;
            if (p.fd == sdp_listener_) {
                accept_on(sdp_listener_, 1);
            } else if (p.fd == avdtp_listener_) {
                accept_on(avdtp_listener_, 0x19);
            } else if (p.fd == signalling_) {
                on_signalling_readable();
            } else if (p.fd == media_) {
                if (o_.sink && want_media_read) {
                    on_media_readable();
                } else if (!o_.sink && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                    end_stream("media channel closed");
                    close_channel(media_);
                } else if (!o_.sink && (p.revents & POLLOUT)) {
                    pump_source();
                }
            }
        }
        // SDP channels: serve or drop (done separately so the vector is not changed mid-walk).
        for (const pollfd &p : fds) {
            if (!p.revents) continue;
            for (size_t i = 0; i < sdp_channels_.size(); ++i) {
                if (sdp_channels_[i] != p.fd) continue;
                const vbt_sdp_service svc{0x00010001, static_cast<uint16_t>(o_.sink ? 0x110B : 0x110A), 0x0019, 0x0103};
                if (vbt_sdp_serve(p.fd, &svc, 1) != 0) {
                    vbt_close(p.fd);
                    sdp_channels_.erase(sdp_channels_.begin() + static_cast<long>(i));
                }
                break;
            }
        }
        if (!o_.sink && media_ >= 0 && state_ == state::streaming && pending_packet_.empty() && !input_done_) pump_source();
        if (o_.once && streams_done_ > 0 && signalling_ < 0 && media_ < 0) break;
    }
}

void device::accept_on(int listener, uint16_t psm) {
    bdaddr_t remote;
    const int fd = vbt_accept(listener, &remote, nullptr);
    if (fd < 0) return;
    if (psm == 1) {
        sdp_channels_.push_back(fd);
    } else if (signalling_ < 0) {
        signalling_ = fd;
        asm_ = assembler();
    } else if (media_ < 0 && state_ == state::open) {
        media_ = fd;
        // Never block on media: the signalling channel must stay answered.
        fcntl(media_, F_SETFL, fcntl(media_, F_GETFL) | O_NONBLOCK);
    } else {
        vbt_close(fd);  // one stream at a time
    }
}

const misbehaviour *device::misbehaving(uint8_t signal) {
    for (const auto &m : o_.misbehave) {
        if (m.signal != signal) continue;
        if (m.count >= 0 && misbehave_seen_[signal] >= m.count) continue;
        return &m;
    }
    return nullptr;
}

void device::send(const message &m, bool allow_fragment) {
    if (signalling_ < 0) return;
    const misbehaviour *mb = m.type != 0 ? misbehaving(m.signal) : nullptr;
    const bool fragment = allow_fragment && mb && mb->what == misbehaviour::fragment;
    for (const auto &p : frame_message(m, fragment, static_cast<size_t>(o_.mtu)))
        if (vbt_write(signalling_, p.data(), p.size()) < 0) return;
}

void device::reply_accept(const message &cmd, std::vector<uint8_t> params) {
    send(message{cmd.label, 2, cmd.signal, std::move(params)});
}

void device::reply_reject(const message &cmd, std::vector<uint8_t> params) {
    send(message{cmd.label, 3, cmd.signal, std::move(params)}, false);
}

sep *device::find_sep(uint8_t seid) {
    for (auto &s : seps_)
        if (s.seid == seid) return &s;
    return nullptr;
}

void device::on_signalling_readable() {
    uint8_t buf[1024];
    const ssize_t n = vbt_read(signalling_, buf, sizeof buf);
    if (n <= 0) {
        close_channel(signalling_);
        if (stream_started_ || wav_ || state_ != state::idle) end_stream("signalling channel closed");
        close_channel(media_);
        return;
    }
    bool bad = false;
    auto m = asm_.feed(buf, static_cast<size_t>(n), bad);
    if (bad) {
        // A general reject carries the label of what it refuses.
        const uint8_t gr[2] = {static_cast<uint8_t>((buf[0] & 0xF0) | 1), 0};
        vbt_write(signalling_, gr, 2);
        return;
    }
    if (m && m->type == 0) handle_command(*m);
}

void device::handle_command(const message &m) {
    if (o_.log) std::printf("blmx-vdev: command %s\n", signal_name(m.signal));
    if (const misbehaviour *mb = misbehaving(m.signal)) {
        ++misbehave_seen_[m.signal];
        switch (mb->what) {
            case misbehaviour::refuse:
                reply_reject(m, m.signal == sig_set_configuration ? std::vector<uint8_t>{0x07, err_unsupported_configuration}
                                                                  : std::vector<uint8_t>{err_bad_state});
                return;
            case misbehaviour::ignore:
                return;
            case misbehaviour::general_reject: {
                const uint8_t gr[2] = {static_cast<uint8_t>(m.label << 4 | 1), m.signal};
                vbt_write(signalling_, gr, 2);
                return;
            }
            case misbehaviour::malformed: {
                // A continue packet where a message must begin.
                const uint8_t bad[3] = {static_cast<uint8_t>(m.label << 4 | 2 << 2 | 2), 0, 0};
                vbt_write(signalling_, bad, 3);
                return;
            }
            case misbehaviour::hang_up:
                close_channel(signalling_);
                close_channel(media_);
                if (o_.once) exit_now_ = true;
                return;
            case misbehaviour::fragment:
                break;  // answered normally, in fragments
            case misbehaviour::flood: {
                // Stale responses without pause (accepts under another label)
                // instead of the answer, until the peer goes or 20 s pass.
                const uint8_t stale[2] = {static_cast<uint8_t>(((m.label + 1) & 15) << 4 | 2), m.signal};
                const auto until = clock_type::now() + std::chrono::seconds(20);
                while (signalling_ >= 0 && clock_type::now() < until) {
                    pollfd p{signalling_, POLLOUT, 0};
                    if (poll(&p, 1, 100) <= 0) continue;
                    if ((p.revents & (POLLHUP | POLLERR)) || vbt_write(signalling_, stale, 2) < 0) break;
                }
                return;
            }
        }
    }
    const auto seid_of = [&]() -> sep * { return m.params.empty() ? nullptr : find_sep(m.params[0] >> 2); };
    switch (m.signal) {
        case sig_discover: {
            std::vector<uint8_t> p;
            for (const auto &s : seps_) {
                p.push_back(static_cast<uint8_t>(s.seid << 2 | (s.in_use || (active_ == &s) ? 0x02 : 0)));
                p.push_back(static_cast<uint8_t>(s.sink ? 0x08 : 0x00));
            }
            reply_accept(m, p);
            return;
        }
        case sig_get_capabilities: {
            sep *s = seid_of();
            if (!s) return reply_reject(m, {err_bad_acp_seid});
            std::vector<uint8_t> p{0x01, 0x00};
            if (s->has_codec) p.insert(p.end(), {0x07, 0x06, 0x00, 0x00, s->caps.o0, s->caps.o1, s->caps.min_bitpool, s->caps.max_bitpool});
            reply_accept(m, p);
            return;
        }
        case sig_set_configuration: {
            sep *s = seid_of();
            if (!s) return reply_reject(m, {0x00, err_bad_acp_seid});
            if (s->in_use || active_) return reply_reject(m, {0x00, err_sep_in_use});
            const auto cfg = find_sbc(m.params, 2);
            std::string why;
            if (!cfg || !s->has_codec || !valid_configuration(*cfg, s->caps, why))
                return reply_reject(m, {0x07, err_unsupported_configuration});
            config_ = *cfg;
            active_ = s;
            state_ = state::configured;
            reply_accept(m);
            return;
        }
        case sig_open:
            if (state_ != state::configured || seid_of() != active_) return reply_reject(m, {err_bad_state});
            state_ = state::open;
            reply_accept(m);
            return;
        case sig_start:
            if ((state_ != state::open) || seid_of() != active_ || media_ < 0) return reply_reject(m, {err_bad_state});
            state_ = state::streaming;
            reply_accept(m);
            if (!stream_started_) begin_stream();
            stream_start_ = clock_type::now() - std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(audio_seconds_));
            return;
        case sig_suspend:
            if (state_ != state::streaming || seid_of() != active_) return reply_reject(m, {err_bad_state});
            state_ = state::open;
            reply_accept(m);
            return;
        case sig_close:
        case sig_abort:
            if (m.signal == sig_close && (state_ == state::idle || seid_of() != active_)) return reply_reject(m, {err_bad_state});
            if (m.signal == sig_abort && state_ == state::idle) return reply_reject(m, {err_bad_state});
            reply_accept(m);
            // Media that arrived before the command belongs to the stream.
            for (int k = 0; k < 4096 && o_.sink && media_ >= 0; ++k) {
                pollfd p{media_, POLLIN, 0};
                if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
                on_media_readable();
            }
            // A host ends a stream with ABORT, CLOSE or both: either is the normal end.
            end_stream(m.signal == sig_close ? "ended (CLOSE)" : "ended (ABORT)");
            close_channel(media_);
            return;
        default:
            reply_reject(m, {err_bad_header});
    }
}

void device::begin_stream() {
    stream_started_ = true;
    stats_ = stream_stats();
    audio_seconds_ = 0;
    bt_stream &s = *codec_.stream;
    std::memset(codec_.work.get(), 0, sizeof(sbc_work));
    stream_from_octets(config_, s);
    blmx::sbc::set_dimensions(*codec_.work, s);
    if (o_.sink && !o_.out.empty()) {
        wav_path_ = o_.out;
        if (streams_done_ > 0) {
            const size_t dot = wav_path_.rfind('.');
            const std::string suffix = "-" + std::to_string(streams_done_ + 1);
            wav_path_ = dot == std::string::npos ? wav_path_ + suffix : wav_path_.substr(0, dot) + suffix + wav_path_.substr(dot);
        }
        SF_INFO info{};
        info.samplerate = rates[s.frequency_index];
        info.channels = s.channel_mode == 0 ? 1 : 2;
        std::string why;
        if (blmx::tools::output_format(wav_path_, info.channels, info.samplerate, info.format, why)) {
            wav_ = sf_open(wav_path_.c_str(), SFM_WRITE, &info);
            if (!wav_) why = sf_strerror(nullptr);
        }
        if (!wav_) {
            std::fprintf(stderr, "blmx-vdev: cannot write %s: %s\n", wav_path_.c_str(), why.c_str());
            write_failed_ = true;
        }
    }
    if (!o_.sink) {
        sf_seek(input_, 0, SEEK_SET);
        input_done_ = false;
        input_frames_ = input_at_ = 0;
        pending_packet_.clear();
        carry_.clear();
        seq_ = 0;
        ts_ = 0;
    }
}

void device::end_stream(const char *why) {
    if (!stream_started_ && !wav_) {
        state_ = state::idle;
        active_ = nullptr;
        return;
    }
    if (wav_ && sf_close(wav_) != 0) write_failed_ = true;
    wav_ = nullptr;
    const stream_stats &st = stats_;
    std::printf("blmx-vdev: stream %d %s: %ld packets, %ld frames, %ld bytes, %ld sequence gaps, %ld timestamp jumps, "
                "%ld bad packets, %ld bad frames, %.3f s%s%s\n",
                streams_done_ + 1, why, st.packets, st.frames, st.bytes, st.seq_gaps, st.ts_jumps, st.bad_packets,
                st.bad_frames, audio_seconds_, wav_path_.empty() ? "" : " -> ", wav_path_.c_str());
    std::fflush(stdout);
    ++streams_done_;
    stream_started_ = false;
    state_ = state::idle;
    active_ = nullptr;
    wav_path_.clear();
}

void device::on_media_readable() {
    bt_stream &s = *codec_.stream;
    sbc_work &w = *codec_.work;
    for (int burst = 0; burst < 64; ++burst) {
        const ssize_t n = vbt_read(media_, s.packet, sizeof s.packet);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                end_stream("media channel closed");
                close_channel(media_);
            }
            return;
        }
        if (!stream_started_) return;  // media before START: dropped
        stream_stats &st = stats_;
        ++st.packets;
        st.bytes += n;
        if (n < 13 || s.packet[0] != 0x80) {
            ++st.bad_packets;
            continue;
        }
        const uint16_t seq = static_cast<uint16_t>(s.packet[2] << 8 | s.packet[3]);
        const uint32_t ts = uint32_t(s.packet[4]) << 24 | uint32_t(s.packet[5]) << 16 | uint32_t(s.packet[6]) << 8 | s.packet[7];
        if (st.have_last && seq != static_cast<uint16_t>(st.last_seq + 1)) ++st.seq_gaps;
        if (st.have_last && ts != st.next_ts) ++st.ts_jumps;
        st.have_last = true;
        st.last_seq = seq;
        const int count = s.packet[12];
        uint8_t *p = s.packet + 13;
        int left = static_cast<int>(n - 13);
        uint32_t samples = 0;
        for (int k = 0; k < count && left > 0; ++k) {
            blmx::sbc::set_dimensions(w, s);
            w.next_frame = p;
            const int32_t used = sbc_decode_frame(&s, static_cast<uint32_t>(left) * 8);
            if (used <= 0) {
                ++st.bad_frames;
                break;
            }
            ++st.frames;
            samples += w.frame_samples;
            if (wav_ && sf_writef_short(wav_, w.pcm, w.pcm_fill / w.channels) != w.pcm_fill / w.channels &&
                !write_failed_) {
                std::fprintf(stderr, "blmx-vdev: cannot write %s: %s\n", wav_path_.c_str(), sf_strerror(wav_));
                write_failed_ = true;
            }
            p += used;
            left -= used;
        }
        st.next_ts = ts + samples;
        audio_seconds_ += static_cast<double>(samples) / rates[s.frequency_index];
        if (o_.exit_after_packets >= 0 && st.packets >= o_.exit_after_packets) _exit(3);  // vanish, as a device can
        if (o_.realtime) return;
    }
}

void device::pump_source() {
    bt_stream &s = *codec_.stream;
    sbc_work &w = *codec_.work;
    for (int burst = 0; burst < 64 && media_ >= 0; ++burst) {
        if (pending_packet_.empty() && !build_packet()) return;
        if (o_.realtime) {
            const double elapsed = std::chrono::duration<double>(clock_type::now() - stream_start_).count();
            if (audio_seconds_ > elapsed + 0.02) return;
        }
        const ssize_t r = vbt_write(media_, pending_packet_.data(), pending_packet_.size());
        if (r < 0) {
            if (errno == EAGAIN) return;
            end_stream("media channel failed");
            close_channel(media_);
            return;
        }
        ++stats_.packets;
        stats_.frames += pending_frames_;
        stats_.bytes += r;
        audio_seconds_ += static_cast<double>(pending_frames_ * w.frame_samples) / rates[s.frequency_index];
        pending_packet_.clear();
        if (o_.exit_after_packets >= 0 && stats_.packets >= o_.exit_after_packets) _exit(3);  // vanish
        if (input_done_ && carry_.empty()) {
            end_stream("input sent");
            close_channel(media_);
            return;
        }
    }
}

// The input is read in large pieces (a read per frame would cost a system call
// per frame) and handed to the encoder a frame at a time.
bool device::encode_next_frame() {
    bt_stream &s = *codec_.stream;
    sbc_work &w = *codec_.work;
    const int ch = w.channels, per = w.frame_samples, in_ch = input_info_.channels;
    if (input_at_ + per > input_frames_) {
        // Keep what is left of the piece and read the next one behind it.
        const sf_count_t left = input_frames_ - input_at_;
        if (left > 0)
            std::memmove(input_buf_.data(), input_buf_.data() + input_at_ * in_ch, static_cast<size_t>(left * in_ch) * 2);
        const sf_count_t room = 64 * 128;
        input_buf_.resize(static_cast<size_t>((room + left) * in_ch));
        const sf_count_t got = sf_readf_short(input_, input_buf_.data() + left * in_ch, room);
        input_frames_ = left + std::max<sf_count_t>(got, 0);
        input_at_ = 0;
        if (input_frames_ == 0) {
            input_done_ = true;
            return false;
        }
        if (input_frames_ < per) {
            // The last frame is padded with silence.
            std::fill(input_buf_.begin() + input_frames_ * in_ch, input_buf_.begin() + per * in_ch, 0);
            input_frames_ = per;
            input_done_ = true;
        }
    }
    const int16_t *in = input_buf_.data() + input_at_ * in_ch;
    input_at_ += per;
    blmx::tools::convert_channels(in, in_ch, w.pcm, ch, per);
    const uint32_t n = sbc_encode_frame(&s);
    carry_.assign(w.frame, w.frame + n);
    std::memset(w.frame, 0, n);
    return true;
}

bool device::build_packet() {
    sbc_work &w = *codec_.work;
    unsigned omtu = 672;
    uint16_t v = 0;
    unsigned len = sizeof v;
    if (vbt_getsockopt(media_, 0x1609, 2, &v, &len) == 0) omtu = v;
    std::vector<uint8_t> pkt = {0x80, 0x60, static_cast<uint8_t>(seq_ >> 8), static_cast<uint8_t>(seq_),
                                static_cast<uint8_t>(ts_ >> 24), static_cast<uint8_t>(ts_ >> 16),
                                static_cast<uint8_t>(ts_ >> 8), static_cast<uint8_t>(ts_), 0, 0, 0, 1, 0};
    int frames = 0;
    while (frames < 255) {
        if (carry_.empty() && (input_done_ || !encode_next_frame())) break;
        if (pkt.size() + carry_.size() > omtu) break;
        pkt.insert(pkt.end(), carry_.begin(), carry_.end());
        carry_.clear();
        ++frames;
    }
    if (frames == 0) {
        end_stream(carry_.empty() ? "input sent" : "frame larger than the MTU");
        close_channel(media_);
        return false;
    }
    pkt[12] = static_cast<uint8_t>(frames);
    ++seq_;
    ts_ += static_cast<uint32_t>(frames * w.frame_samples);
    pending_packet_ = std::move(pkt);
    pending_frames_ = frames;
    return true;
}

std::optional<message> device::transact(uint8_t signal, std::vector<uint8_t> params) {
    const message cmd{static_cast<uint8_t>(label_++ & 0x0F), 0, signal, std::move(params)};
    send(cmd, false);
    const auto deadline = clock_type::now() + std::chrono::seconds(8);
    while (signalling_ >= 0 && !stop_requested) {
        const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count());
        if (left <= 0) break;
        pollfd p{signalling_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        uint8_t buf[1024];
        const ssize_t n = vbt_read(signalling_, buf, sizeof buf);
        if (n <= 0) break;
        bool bad = false;
        auto m = asm_.feed(buf, static_cast<size_t>(n), bad);
        if (bad || !m) continue;
        if (m->type == 0) {
            reply_reject(*m, {err_bad_state});  // we are the initiator here
            continue;
        }
        if (m->label == cmd.label || m->type == 1) return m;
    }
    std::fprintf(stderr, "blmx-vdev: no answer to %s\n", signal_name(signal));
    return std::nullopt;
}

int device::run_initiator() {
    bdaddr_t remote;
    if (!bt_aton(o_.connect.c_str(), &remote)) {
        const hostent *h = bt_gethostbyname(o_.connect.c_str());
        if (!h || h->h_length != 6) {
            std::fprintf(stderr, "blmx-vdev: unknown device '%s'\n", o_.connect.c_str());
            return 1;
        }
        std::memcpy(remote.b, h->h_addr_list[0], 6);
    }
    const auto open_channel = [&](uint16_t psm) {
        const int fd = vbt_socket(36, 5, 135);
        if (fd < 0) return -1;
        if (psm == 0x19 && media_ < 0 && signalling_ >= 0) {
            const uint16_t imtu = static_cast<uint16_t>(o_.mtu);
            vbt_setsockopt(fd, 0x1609, 1, &imtu, sizeof imtu);
        }
        uint8_t any[14] = {14, 36}, addr[14] = {14, 36, static_cast<uint8_t>(psm), static_cast<uint8_t>(psm >> 8)};
        std::memcpy(addr + 4, remote.b, 6);
        if (vbt_bind(fd, any, sizeof any) != 0 || vbt_connect(fd, addr, sizeof addr) != 0) {
            std::fprintf(stderr, "blmx-vdev: cannot connect to %s PSM 0x%04x: %s\n", o_.connect.c_str(), psm, std::strerror(errno));
            vbt_close(fd);
            return -1;
        }
        return fd;
    };
    signalling_ = open_channel(0x19);
    if (signalling_ < 0) return 1;
    const auto fail = [&](const char *what, const std::optional<message> &m) {
        std::fprintf(stderr, "blmx-vdev: %s %s\n", what, !m ? "got no answer" : m->type == 1 ? "got a general reject" : "was rejected");
        close_channel(media_);
        close_channel(signalling_);
        return 1;
    };
    auto m = transact(sig_discover, {});
    if (!m || m->type != 2) return fail("DISCOVER", m);
    int acp = -1;
    for (size_t i = 0; i + 1 < m->params.size(); i += 2)
        if (!(m->params[i] & 0x02) && (m->params[i + 1] & 0x08)) {
            acp = m->params[i] >> 2;
            break;
        }
    if (acp < 0) {
        std::fprintf(stderr, "blmx-vdev: %s offers no free sink end-point\n", o_.connect.c_str());
        close_channel(signalling_);
        return 1;
    }
    const bool avdtp13 = o_.avdtp == "1.3";
    m = transact(avdtp13 ? sig_get_all_capabilities : sig_get_capabilities, {static_cast<uint8_t>(acp << 2)});
    if (!m || m->type != 2) return fail(avdtp13 ? "GET_ALL_CAPABILITIES" : "GET_CAPABILITIES", m);
    const auto caps = find_sbc(m->params, 0);
    if (!caps) {
        std::fprintf(stderr, "blmx-vdev: the remote end-point has no SBC capability\n");
        close_channel(signalling_);
        return 1;
    }
    // Our input's rate, the richest channel mode both sides have, the longest blocks.
    sbc_octets cfg{};
    const uint8_t fbits[4] = {0x80, 0x40, 0x20, 0x10};
    for (int i = 0; i < 4; ++i)
        if (rates[i] == input_info_.samplerate) cfg.o0 = fbits[i];
    const uint8_t modes_stereo[] = {0x01, 0x02, 0x04, 0x08}, modes_mono[] = {0x08, 0x01, 0x02, 0x04};
    for (uint8_t b : input_info_.channels == 2 ? modes_stereo : modes_mono)
        if (caps->o0 & b) {
            cfg.o0 |= b;
            break;
        }
    for (uint8_t b : {0x10, 0x20, 0x40, 0x80})
        if (caps->o1 & b) {
            cfg.o1 |= b;
            break;
        }
    cfg.o1 |= (caps->o1 & 0x04) ? 0x04 : 0x08;
    cfg.o1 |= (caps->o1 & 0x01) ? 0x01 : 0x02;
    cfg.min_bitpool = caps->min_bitpool;
    cfg.max_bitpool = static_cast<uint8_t>(std::max<int>(caps->min_bitpool, std::min<int>(53, caps->max_bitpool)));
    std::string why;
    if (!(caps->o0 & cfg.o0 & 0xF0) || !valid_configuration(cfg, *caps, why)) {
        std::fprintf(stderr, "blmx-vdev: no configuration both sides support (%s)\n", why.empty() ? "sampling frequency" : why.c_str());
        close_channel(signalling_);
        return 1;
    }
    const uint8_t own = seps_.front().seid;
    // Configure, open, connect the media channel and start.
    const auto set_up = [&]() -> const char * {
        m = transact(sig_set_configuration, {static_cast<uint8_t>(acp << 2), static_cast<uint8_t>(own << 2), 0x01, 0x00,
                                             0x07, 0x06, 0x00, 0x00, cfg.o0, cfg.o1, cfg.min_bitpool, cfg.max_bitpool});
        if (!m || m->type != 2) return "SET_CONFIGURATION";
        config_ = cfg;
        m = transact(sig_open, {static_cast<uint8_t>(acp << 2)});
        if (!m || m->type != 2) return "OPEN";
        media_ = open_channel(0x19);
        if (media_ < 0) return "the media channel";
        fcntl(media_, F_SETFL, fcntl(media_, F_GETFL) | O_NONBLOCK);
        m = transact(sig_start, {static_cast<uint8_t>(acp << 2)});
        if (!m || m->type != 2) return "START";
        return nullptr;
    };
    if (const char *what = set_up()) return fail(what, m);
    state_ = state::streaming;
    begin_stream();
    stream_start_ = clock_type::now();
    bool reconfigured = !avdtp13;
    while (media_ >= 0 && !stop_requested) {
        if (!reconfigured && stats_.packets >= 10) {
            // ABORT in the middle of the stream, then the same configuration
            // again on a new media channel; the input goes on where it was.
            reconfigured = true;
            m = transact(sig_abort, {static_cast<uint8_t>(acp << 2)});
            if (!m || m->type != 2) return fail("ABORT", m);
            close_channel(media_);
            if (const char *what = set_up()) return fail(what, m);
            std::printf("blmx-vdev: stream aborted and configured again after %ld packets\n", stats_.packets);
            std::fflush(stdout);
        }
        pollfd p[2] = {{media_, POLLOUT, 0}, {signalling_, POLLIN, 0}};
        if (poll(p, 2, o_.realtime ? 2 : -1) < 0 && errno != EINTR) break;
        if (p[1].revents) {
            uint8_t buf[1024];
            const ssize_t n = vbt_read(signalling_, buf, sizeof buf);
            if (n <= 0) break;
            bool bad = false;
            if (auto c = asm_.feed(buf, static_cast<size_t>(n), bad); c && c->type == 0) reply_reject(*c, {err_bad_state});
        }
        if (p[0].revents & (POLLHUP | POLLERR)) break;
        pump_source();
    }
    if (stream_started_) end_stream(stop_requested ? "stopped" : "media channel closed");
    close_channel(media_);
    if (signalling_ >= 0) {
        m = transact(sig_close, {static_cast<uint8_t>(acp << 2)});
        close_channel(signalling_);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"blmx-vdev: a virtual remote A2DP device"};
    app.set_version_flag("--version", "blmx-vdev " BLMX_VERSION);
    app.require_subcommand(1);
    options o;
    std::vector<std::string> misbehave;
    const auto common = [&](CLI::App *c) {
        c->add_option("--address", o.address, "Device address xx:xx:xx:xx:xx:xx")->required();
        c->add_option("--name", o.name, "Device name, entered in the hosts file");
        c->add_option("--mtu", o.mtu, "Incoming MTU announced on the AVDTP channels")->capture_default_str()->check(CLI::Range(48, 65535));
        c->add_option("--sep", o.seps,
                      "Stream end-point: seid=N,sink|source,in-use,no-codec,caps=HEX8,freq=..,modes=..,blocks=..,"
                      "subbands=..,alloc=..,bitpool=MIN-MAX (repeatable)");
        c->add_flag("--realtime", o.realtime, "Take or send media at the stream's own rate");
        c->add_flag("--once", o.once, "Exit after one stream");
        c->add_flag("--log", o.log, "Print every command received");
        c->add_option("--misbehave", misbehave,
                      "ACTION:SIGNAL[:COUNT], ACTION one of refuse, ignore, general-reject, malformed, fragment, "
                      "hang-up, flood; SIGNAL e.g. set-configuration (repeatable)");
        c->add_option("--exit-after-packets", o.exit_after_packets, "Vanish abruptly after this many media packets");
    };
    auto *sink = app.add_subcommand("sink", "An A2DP sink: takes a stream and writes it to a WAV file");
    common(sink);
    sink->add_option("--out", o.out, "WAV file for the received audio");
    auto *source = app.add_subcommand("source", "An A2DP source: streams an audio file");
    common(source);
    source->add_option("--in", o.in, "Audio file to stream")->required();
    source->add_option("--connect", o.connect, "Set up the stream towards this device instead of waiting for a host");
    source->add_option("--avdtp", o.avdtp,
                       "AVDTP version as an initiator: 1.3 asks GET_ALL_CAPABILITIES and aborts and reconfigures "
                       "the stream once in its middle")
        ->capture_default_str()
        ->check(CLI::IsMember({"1.0", "1.3"}));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    o.sink = sink->parsed();
    for (const auto &spec : misbehave) {
        const size_t a = spec.find(':');
        const size_t b = a == std::string::npos ? a : spec.find(':', a + 1);
        const std::string action = spec.substr(0, a), sig = a == std::string::npos ? "" : spec.substr(a + 1, b - a - 1);
        misbehaviour m{misbehaviour::refuse, signal_by_name(sig), b == std::string::npos ? -1 : std::atoi(spec.c_str() + b + 1)};
        static const std::pair<const char *, misbehaviour::kind> kinds[] = {
            {"refuse", misbehaviour::refuse},       {"ignore", misbehaviour::ignore},
            {"general-reject", misbehaviour::general_reject}, {"malformed", misbehaviour::malformed},
            {"fragment", misbehaviour::fragment},   {"hang-up", misbehaviour::hang_up},
            {"flood", misbehaviour::flood}};
        bool known = false;
        for (const auto &[name, kind] : kinds)
            if (action == name) m.what = kind, known = true;
        if (!known || m.signal == 0) {
            std::fprintf(stderr, "blmx-vdev: --misbehave %s: expected ACTION:SIGNAL[:COUNT]\n", spec.c_str());
            return 1;
        }
        o.misbehave.push_back(m);
    }
    struct sigaction sa{};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    device d(std::move(o));
    return d.run();
}
