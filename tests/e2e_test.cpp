// The library against blmx-vdev: opens that succeed and narrow the
// configuration, every failure of the connection set-up with its exact output,
// what goes on the wire, and the tools end to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "backend/backend.h"
#include "platform/platform.h"
#include "tests/test_util.h"

using blmx::test::process;

extern "C" int vbt_fault_inject(const char *op, int nth, int error);
extern "C" void vbt_fault_clear(void);

namespace {

std::string bin(const char *tool) { return blmx::test::build_dir() + "/" + tool; }

class EndToEnd : public ::testing::Test {
  protected:
    blmx::test::temp_dir dir;
    void SetUp() override { setenv("BLMX_VBT_DIR", dir.path.c_str(), 1); }
    void TearDown() override { unsetenv("BLMX_VBT_DIR"); }

    std::unique_ptr<process> vdev(const char *role, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{bin("blmx-vdev"), role, "--address", "00:11:22:33:44:55", "--name", "dev", "--log"};
        if (std::string(role) == "source") {
            args.push_back("--in");
            args.push_back(dir.file("in.wav"));
        }
        args.insert(args.end(), extra.begin(), extra.end());
        auto p = std::make_unique<process>(args);
        EXPECT_TRUE(p->started()) << p->output();
        return p;
    }

    struct open_result {
        std::string output;  // what the library printed
        int result = 0, channels = 0, media = 0, signal = 0, leaked = 0, after_close_media = 0, after_close_signal = 0;
        bool codec = false;
        int blocks_index = 0, bitpool = 0, mode = 0;
        int nonblocking = -1;  // the media channel's O_NONBLOCK after the open
    };

    // Opens a direction in a child process (faults armed there), then closes it.
    open_result open(bool playback, int rate, int channels, const char *fault = nullptr, int nth = 0, int error = 0) {
        const std::string text = blmx::test::capture_stdout([&] {
            struct sigaction sa{};
            sa.sa_handler = [](int) {};
            sigaction(SIGALRM, &sa, nullptr);
            signal(SIGPIPE, SIG_IGN);
            if (fault) vbt_fault_inject(fault, nth, error);
            audio_backend *b = playback ? &blmx_backend_bt_play : &blmx_backend_bt_rec;
            const int before = blmx::test::open_descriptors();
            int ch = channels, fmt = 0x10;
            const int r = b->open(b, "/dev/bluetooth/dev", rate, 0, &ch, &fmt);
            vbt_fault_clear();
            const auto *s = static_cast<const bt_stream *>(b->state);
            const int media = s->media_socket, sig = s->signal_socket, bi = s->blocks_index, bp = s->bitpool,
                      mode = s->channel_mode;
            const bool codec = s->codec != nullptr;
            const int flags = media > 0 ? fcntl(media, F_GETFL) : -1;
            const int nonblocking = flags < 0 ? -1 : (flags & O_NONBLOCK) != 0;
            b->close(b);
            std::printf("|%d %d %d %d %d %d %d %d %d %d %d %d", r, ch, media, sig, codec, blmx::test::open_descriptors() - before,
                        s->media_socket, s->signal_socket, bi, bp, mode, nonblocking);
        });
        open_result o;
        const size_t bar = text.rfind('|');
        o.output = text.substr(0, bar);
        int codec = 0;
        std::sscanf(text.c_str() + bar, "|%d %d %d %d %d %d %d %d %d %d %d %d", &o.result, &o.channels, &o.media, &o.signal,
                    &codec, &o.leaked, &o.after_close_media, &o.after_close_signal, &o.blocks_index, &o.bitpool, &o.mode,
                    &o.nonblocking);
        o.codec = codec;
        return o;
    }
};

const std::string psm_found = "backend_bt: PSM=0x19\n";

}  // namespace

TEST_F(EndToEnd, OpenNarrowsTheConfigurationToTheDevice) {
    auto sink = vdev("sink", {"--sep", "freq=44100,modes=mono+stereo,blocks=8,subbands=8,alloc=loudness,bitpool=2-35"});
    const auto o = open(true, 44100, 2);
    EXPECT_EQ(o.output, psm_found);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.channels, 2);
    EXPECT_GT(o.media, 0);
    EXPECT_GT(o.signal, 0);
    EXPECT_TRUE(o.codec);
    EXPECT_EQ(o.blocks_index, 1);
    EXPECT_EQ(o.bitpool, 35);
    EXPECT_EQ(o.leaked, 0);
    EXPECT_EQ(o.after_close_media, -1);
    EXPECT_EQ(o.after_close_signal, -1);
    sink->stop();
    // Close sent ABORT, then CLOSE.
    const std::string log = sink->output();
    const size_t abort_at = log.find("command abort"), close_at = log.find("command close");
    ASSERT_NE(abort_at, std::string::npos) << log;
    ASSERT_NE(close_at, std::string::npos) << log;
    EXPECT_LT(abort_at, close_at);
    EXPECT_LT(log.find("command start"), abort_at);
}

// The playback media channel blocks (a write waits for room); the record one
// does not (a read with nothing there returns at once).
TEST_F(EndToEnd, OnlyTheRecordMediaChannelIsNonBlocking) {
    {
        auto sink = vdev("sink");
        const auto o = open(true, 44100, 2);
        ASSERT_EQ(o.result, 0) << o.output;
        EXPECT_EQ(o.nonblocking, 0);
    }
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(4410, 2, 440, 44100, 8000), 2, 44100);
    auto source = vdev("source");
    const auto o = open(false, 44100, 2);
    ASSERT_EQ(o.result, 0) << o.output;
    EXPECT_EQ(o.nonblocking, 1);
}

TEST_F(EndToEnd, StereoThatTheDeviceServesOnlyInMono) {
    auto sink = vdev("sink", {"--sep", "modes=mono"});
    const auto o = open(true, 48000, 2);
    EXPECT_EQ(o.output, "backend_bt: PSM=0x19\nbackend_bt: No frequency and mode match\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.channels, 1);
    EXPECT_EQ(o.mode, 0);
}

TEST_F(EndToEnd, EveryFailureOfTheSetUp) {
    auto sink = vdev("sink");
    struct step {
        const char *name;
        bool playback;
        const char *fault;
        int nth, error;
        std::string output;
    };
    const std::string none = "backend_bt: PSM=0xffffffff\nbackend_bt: PSM not found\n";
    const step steps[] = {
        {"SDP connection", true, "sdp_open", 1, EHOSTDOWN, "backend_bt: Could not open SDP\n" + none},
        {"SDP search", true, "sdp_search", 1, EIO, "backend_bt: SDP search failed\n" + none},
        {"no usable record", false, nullptr, 0, 0, none},
        {"signalling socket", true, "socket", 2, ENOBUFS, psm_found + "backend_bt: Could not create BT socket\n"},
        {"signalling bind", true, "bind", 2, EADDRINUSE, psm_found + "backend_bt: Could not bind to HC\n"},
        {"signalling connect", true, "connect", 2, ECONNREFUSED,
         psm_found + "backend_bt: Could not connect to HC: " + std::to_string(ECONNREFUSED) + "\n"},
        {"media socket", true, "socket", 3, ENOBUFS, psm_found + "backend_bt: Could not create BT socket\n"},
        {"media bind", true, "bind", 3, EADDRINUSE, psm_found + "backend_bt: Could not bind\n"},
        {"media connect", true, "connect", 3, ETIMEDOUT,
         psm_found + "backend_bt: Could not connect: " + std::to_string(ETIMEDOUT) + "\n"},
        {"MTU", true, "getsockopt", 1, EINVAL, psm_found + "backend_bt: Could not get MTU\n"},
        {"send buffer", true, "setsockopt", 1, ENOBUFS, psm_found + "backend_bt: Could not set send buffer size\n"},
        {"send low water", true, "setsockopt", 2, EINVAL, psm_found + "backend_bt: Could not set low water mark\n"},
    };
    for (const auto &s : steps) {
        const auto o = open(s.playback, 44100, 2, s.fault, s.nth, s.error);
        EXPECT_EQ(o.output, s.output) << s.name;
        EXPECT_EQ(o.result, -1) << s.name;
        EXPECT_LE(o.media, 0) << s.name;
        EXPECT_LE(o.signal, 0) << s.name;
        EXPECT_FALSE(o.codec) << s.name;
        EXPECT_EQ(o.leaked, 0) << s.name;
    }
    // No ABORT reached the device on any of these failed opens.
    sink->stop();
    EXPECT_EQ(sink->output().find("command abort"), std::string::npos);
}

TEST_F(EndToEnd, RecordSocketSettingsFailures) {
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(4410, 2, 500, 44100, 5000), 2, 44100);
    auto source = vdev("source");
    const struct {
        const char *fault;
        int nth;
        std::string message;
    } steps[] = {{"getsockopt", 1, "backend_bt: Could not get MTU\n"},
                 {"setsockopt", 1, "backend_bt: Could not set receive buffer size\n"},
                 {"setsockopt", 2, "backend_bt: Could not set low water mark\n"},
                 {"ioctl", 1, "backend_bt: Could not set non-blocking I/O for receive direction\n"}};
    for (const auto &s : steps) {
        const auto o = open(false, 44100, 2, s.fault, s.nth, EINVAL);
        EXPECT_EQ(o.output, psm_found + s.message) << s.fault;
        EXPECT_EQ(o.result, -1);
        EXPECT_EQ(o.leaked, 0);
    }
    const auto ok = open(false, 44100, 2);
    EXPECT_EQ(ok.result, 0) << ok.output;
}

TEST_F(EndToEnd, RefusedCommandsFailTheOpen) {
    const struct {
        const char *misbehave;
        std::string output;
    } cases[] = {
        {"refuse:discover", psm_found + "backend_bt: DISCOVER FAILED\n"},
        {"general-reject:get-capabilities",
         psm_found + "backend_bt: Cannot get capabilities\nbackend_bt: DISCOVER FAILED\n"},
        {"malformed:set-configuration", psm_found + "backend_bt: DISCOVER FAILED\n"},
        {"refuse:open", psm_found + "backend_bt: OPEN FAILED\n"},
        {"refuse:start", psm_found + "backend_bt: START FAILED\n"},
        {"hang-up:open", psm_found + "backend_bt: OPEN FAILED\n"},
    };
    for (const auto &c : cases) {
        auto sink = vdev("sink", {"--misbehave", c.misbehave});
        const auto o = open(true, 44100, 2);
        EXPECT_EQ(o.output, c.output) << c.misbehave;
        EXPECT_EQ(o.result, -1) << c.misbehave;
        EXPECT_EQ(o.leaked, 0) << c.misbehave;
        sink->stop();
    }
    // A fragmented answer is joined; a refused stereo configuration falls back to mono.
    auto frag = vdev("sink", {"--misbehave", "fragment:get-capabilities", "--misbehave", "refuse:set-configuration:1"});
    const auto o = open(true, 44100, 2);
    EXPECT_EQ(o.output, psm_found);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.channels, 1);
}

TEST_F(EndToEnd, AnUnknownRateFailsAfterContactingTheDevice) {
    auto sink = vdev("sink");
    const auto o = open(true, 22050, 2);
    EXPECT_EQ(o.output, psm_found + "backend_bt: DISCOVER FAILED\n");
    EXPECT_EQ(o.result, -1);
}

TEST_F(EndToEnd, ADeviceThatNeverAnswersFailsAfterTheAlarm) {
    auto sink = vdev("sink", {"--misbehave", "ignore:discover"});
    const auto t0 = std::chrono::steady_clock::now();
    const auto o = open(true, 44100, 2);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(o.output, psm_found + "backend_bt: DISCOVER FAILED\n");
    EXPECT_EQ(o.result, -1);
    EXPECT_GE(took, 7.5);
    EXPECT_LT(took, 10.0);
}


// Every AVDTP exchange of an open, failed once on its write and once on its
// read: the message and result of each, nothing left open or allocated.
TEST_F(EndToEnd, EveryExchangeOfTheOpenFailing) {
    auto sink = vdev("sink");
    const std::string dfail = psm_found + "backend_bt: DISCOVER FAILED\n";
    const std::string caps = psm_found + "backend_bt: Cannot get capabilities\nbackend_bt: DISCOVER FAILED\n";
    const std::string sdp = "backend_bt: SDP search failed\nbackend_bt: PSM=0xffffffff\nbackend_bt: PSM not found\n";
    const struct {
        const char *step, *op;
        int nth, result, channels;
        std::string output;
    } steps[] = {
        {"SDP request", "write", 1, -1, 2, sdp},
        {"DISCOVER", "write", 2, -1, 2, dfail},
        {"GET_CAPABILITIES", "write", 3, -1, 2, caps},
        // A stereo configuration that does not go out is followed by a mono one.
        {"SET_CONFIGURATION", "write", 4, 0, 1, psm_found},
        {"OPEN", "write", 5, -1, 2, psm_found + "backend_bt: OPEN FAILED\n"},
        {"START", "write", 6, -1, 2, psm_found + "backend_bt: START FAILED\n"},
        {"SDP response", "read", 1, -1, 2, sdp},
        {"DISCOVER response", "read", 2, -1, 2, dfail},
        {"GET_CAPABILITIES response", "read", 3, -1, 2, caps},
        // The device took the stereo configuration and refuses the mono one.
        {"SET_CONFIGURATION response", "read", 4, -1, 2, dfail},
        {"OPEN response", "read", 5, -1, 2, psm_found + "backend_bt: OPEN FAILED\n"},
        {"START response", "read", 6, -1, 2, psm_found + "backend_bt: START FAILED\n"},
    };
    for (const auto &st : steps) {
        const auto o = open(true, 44100, 2, st.op, st.nth, EIO);
        EXPECT_EQ(o.output, st.output) << st.step;
        EXPECT_EQ(o.result, st.result) << st.step;
        if (st.result == 0) {
            EXPECT_EQ(o.channels, st.channels) << st.step;
        } else {
            EXPECT_LE(o.media, 0) << st.step;
            EXPECT_LE(o.signal, 0) << st.step;
            EXPECT_FALSE(o.codec) << st.step;
        }
        EXPECT_EQ(o.leaked, 0) << st.step;
        EXPECT_LE(o.after_close_media, 0) << st.step;
        EXPECT_LE(o.after_close_signal, 0) << st.step;
    }
}

// The transfers on a live stream: a media write or read that fails, and one
// that would block.
TEST_F(EndToEnd, TransfersWhenTheChannelFails) {
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(44100, 2, 500, 44100, 5000), 2, 44100);
    auto sink = vdev("sink");
    process source({bin("blmx-vdev"), "source", "--address", "00:11:22:33:44:56", "--name", "mic", "--in",
                    dir.file("in.wav"), "--realtime"});
    ASSERT_TRUE(source.started()) << source.output();
    const std::string text = blmx::test::capture_stdout([&] {
        struct sigaction sa{};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);
        std::vector<int16_t> pcm(4096 * 2, 1000);
        const int bytes = static_cast<int>(pcm.size() * 2);
        audio_backend *p = &blmx_backend_bt_play;
        int ch = 2, fmt = 0x10;
        const int before = blmx::test::open_descriptors();
        std::printf("open %d\n", p->open(p, "/dev/bluetooth/dev", 44100, 0, &ch, &fmt));
        // A send that would block is tried again; one that fails ends the transfer.
        vbt_fault_inject("write", 1, EAGAIN);
        std::printf("eagain %d\n", p->transfer(p, pcm.data(), bytes) == bytes);
        vbt_fault_inject("write", 1, EIO);
        std::printf("eio %d\n", p->transfer(p, pcm.data(), bytes));
        vbt_fault_clear();
        p->close(p);
        audio_backend *r = &blmx_backend_bt_rec;
        std::printf("open %d\n", r->open(r, "/dev/bluetooth/mic", 44100, 0, &ch, &fmt));
        usleep(100000);
        vbt_fault_inject("read", 1, EAGAIN);
        std::printf("nothing waiting %d\n", r->transfer(r, pcm.data(), bytes));
        vbt_fault_inject("read", 1, EIO);
        std::printf("read error %d\n", r->transfer(r, pcm.data(), bytes));
        vbt_fault_clear();
        usleep(100000);
        std::printf("again %d\n", r->transfer(r, pcm.data(), 512) > 0);
        r->close(r);
        r->close(r);
        std::printf("leaked %d\n", blmx::test::open_descriptors() - before);
    });
    EXPECT_EQ(text, "backend_bt: PSM=0x19\nopen 0\neagain 1\neio -1\nbackend_bt: PSM=0x19\nopen 0\n"
                    "nothing waiting 0\nread error -1\nagain 1\nleaked 0\n");
}

// Devices that vanish mid-stream: the host's playback fails cleanly, its
// recording keeps what arrived and ends.
TEST_F(EndToEnd, DevicesThatVanishMidStream) {
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(3 * 44100, 2, 500, 44100, 5000), 2, 44100);
    {
        auto sink = vdev("sink", {"--exit-after-packets", "20"});
        process host({bin("blmx-host"), "play", "/dev/bluetooth/dev", dir.file("in.wav")}, "");
        EXPECT_EQ(host.wait(30), 1) << host.output();
        EXPECT_NE(host.output().find("blmx-host: playback transfer failed"), std::string::npos) << host.output();
        EXPECT_EQ(sink->wait(5), 3);
    }
    {
        auto source = vdev("source", {"--exit-after-packets", "40"});
        process host({bin("blmx-host"), "record", "/dev/bluetooth/dev", dir.file("out.wav"), "--period-ms", "0"}, "");
        EXPECT_EQ(host.wait(30), 0) << host.output();
        EXPECT_EQ(source->wait(5), 3);
        // Every one of the 40 packets that went out (5 frames of 128 samples each) was recorded.
        EXPECT_EQ(blmx::test::read_wav(dir.file("out.wav")).size(), 40u * 5 * 128 * 2);
    }
}

// A device that stops answering mid-stream: the next command (the ABORT of
// close) fails after its 8-second alarm, and close goes on.
TEST_F(EndToEnd, ADeviceThatStopsAnsweringDelaysCloseByOneAlarm) {
    auto sink = vdev("sink", {"--misbehave", "ignore:abort"});
    const auto t0 = std::chrono::steady_clock::now();
    const auto o = open(true, 44100, 2);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.after_close_signal, -1);
    EXPECT_EQ(o.after_close_media, -1);
    EXPECT_EQ(o.leaked, 0);
    EXPECT_GE(took, 7.5);
    EXPECT_LT(took, 10.0);
}
