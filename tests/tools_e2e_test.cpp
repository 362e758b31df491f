// The tools end to end on the virtual stack: blmx-host playing into and
// recording from blmx-vdev, and accepting a stream that blmx-vdev sets up;
// fidelity of what arrives and the media packets as the capture shows them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_util.h"

using blmx::test::process;

namespace {

std::string bin(const char *tool) { return blmx::test::build_dir() + "/" + tool; }

// What the fidelity figures must reach: 44.1 kHz stereo at bitpool 53
// gives about 62 dB on the two-sine test signal.
constexpr double min_snr_db = 60.0;
constexpr int codec_delay = 73;  // samples, with 8 subbands
constexpr int mtu = 672;

struct media_packet {
    uint16_t sequence;
    uint32_t timestamp;
    int frames;
    size_t length;
};

// The media packets of a capture in one direction, in the order they passed.
std::vector<media_packet> media_packets(const std::string &pcap, bool sent) {
    std::vector<blmx::test::captured> all;
    uint32_t link_type = 0;
    EXPECT_TRUE(blmx::test::read_pcap(pcap, all, &link_type)) << pcap;
    EXPECT_EQ(link_type, 201u);
    std::vector<media_packet> out;
    for (const auto &c : all) {
        // H4 ACL: type, handle, length; then the L2CAP length and channel.
        if (c.sent != sent || c.h4.size() < 9 + 13 || c.h4[0] != 0x02) continue;
        const uint8_t *p = c.h4.data() + 9;
        if (p[0] != 0x80 || p[1] != 0x60) continue;
        out.push_back({static_cast<uint16_t>(p[2] << 8 | p[3]),
                       static_cast<uint32_t>(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7], p[12], c.h4.size() - 9});
    }
    return out;
}

// Sequence numbers one apart from 0, timestamps advancing by the frames of the
// packet before, every packet within the MTU.
void expect_contiguous(const std::vector<media_packet> &packets, int frame_samples) {
    ASSERT_FALSE(packets.empty());
    uint32_t ts = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].sequence, static_cast<uint16_t>(i)) << "packet " << i;
        EXPECT_EQ(packets[i].timestamp, ts) << "packet " << i;
        EXPECT_LE(packets[i].length, static_cast<size_t>(mtu)) << "packet " << i;
        EXPECT_GE(packets[i].frames, 1);
        ts += static_cast<uint32_t>(packets[i].frames * frame_samples);
    }
}

long frames_of(const std::vector<media_packet> &packets) {
    long n = 0;
    for (const auto &p : packets) n += p.frames;
    return n;
}

class Tools : public ::testing::Test {
  protected:
    blmx::test::temp_dir dir;
    std::vector<int16_t> sent;
    void SetUp() override {
        setenv("BLMX_VBT_DIR", dir.path.c_str(), 1);
        auto r = blmx::test::run(bin("blmx-wavtool") + " tone " + dir.file("sent.wav") + " --seconds 2");
        ASSERT_EQ(r.status, 0) << r.err;
        sent = blmx::test::read_wav(dir.file("sent.wav"));
        ASSERT_EQ(sent.size(), 2u * 88200);
    }
    void TearDown() override {
        unsetenv("BLMX_VBT_DIR");
        unsetenv("BLMX_VBT_CAPTURE");
    }
    // Runs a tool to its end with this process's capture setting.
    int run_to_end(std::vector<std::string> args, const std::string &capture, std::string *output = nullptr) {
        setenv("BLMX_VBT_CAPTURE", capture.c_str(), 1);
        process p(std::move(args), "");
        unsetenv("BLMX_VBT_CAPTURE");
        const int rc = p.wait(60);
        if (output) *output = p.output();
        EXPECT_GE(rc, 0) << "did not end: " << p.output();
        return rc;
    }
    // blmx-host accepts into `out` a stream that blmx-vdev sets up from `in`;
    // returns the source's exit status, with its output in `source_output`.
    int accept_stream(const std::string &in, const std::string &out, const std::string &pcap,
                      std::vector<std::string> source_extra = {}, std::string *source_output = nullptr) {
        process host({bin("blmx-host"), "accept", "--address", "00:11:22:33:44:77", "--name", "receiver", "--out", out},
                     "accepting");
        EXPECT_TRUE(host.started()) << host.output();
        std::vector<std::string> args{bin("blmx-vdev"), "source", "--address", "00:11:22:33:44:88", "--in", in,
                                      "--connect", "receiver"};
        args.insert(args.end(), source_extra.begin(), source_extra.end());
        std::string text;
        const int rc = run_to_end(args, pcap, &text);
        EXPECT_EQ(host.wait(20), 0) << host.output();
        if (source_output) *source_output = text;
        return rc;
    }
    void expect_faithful(const std::string &wav, size_t min_samples) {
        int channels = 0, rate = 0;
        const auto got = blmx::test::read_wav(wav, &channels, &rate);
        EXPECT_EQ(channels, 2);
        EXPECT_EQ(rate, 44100);
        EXPECT_GE(got.size() / 2, min_samples);
        EXPECT_GE(blmx::test::snr_db(sent, got, 2, codec_delay), min_snr_db);
    }
};

TEST_F(Tools, PlayIntoTheVirtualSink) {
    process sink({bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker", "--out",
                  dir.file("received.wav"), "--once"});
    ASSERT_TRUE(sink.started()) << sink.output();
    std::string out;
    ASSERT_EQ(run_to_end({bin("blmx-host"), "play", "/dev/bluetooth/speaker", dir.file("sent.wav")},
                         dir.file("play.pcap"), &out),
              0)
        << out;
    EXPECT_NE(out.find("backend_bt: PSM=0x19\n"), std::string::npos) << out;
    EXPECT_EQ(sink.wait(20), 0) << sink.output();
    EXPECT_NE(sink.output().find(" 0 sequence gaps, 0 timestamp jumps, 0 bad packets, 0 bad frames"), std::string::npos)
        << sink.output();
    // Every sample of the file arrives (the host pushes the last frames out with silence).
    expect_faithful(dir.file("received.wav"), 88200 + codec_delay);

    const auto packets = media_packets(dir.file("play.pcap"), true);
    expect_contiguous(packets, 128);
    // 44.1 kHz stereo, bitpool 53: 118-byte frames, five to a packet;
    // a packet leaves only when the next frame does not fit.
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].length, 13 + 118u * packets[i].frames) << "packet " << i;
        EXPECT_EQ(packets[i].frames, 5) << "packet " << i;
    }
    EXPECT_GE(frames_of(packets) * 128, 88200 + codec_delay);
}

// Playback negotiates stereo at bitpool 53 with this sink; on music-like
// material (tones and pink noise) a quantizer rounding to the nearest level
// instead of truncating gave 31.1 dB.
TEST_F(Tools, PlayMusicLikeMaterial) {
    auto r = blmx::test::run(bin("blmx-wavtool") + " tone " + dir.file("mix.wav") + " --signal mix --seconds 5");
    ASSERT_EQ(r.status, 0) << r.err;
    process sink({bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker", "--out",
                  dir.file("received.wav"), "--once"});
    ASSERT_TRUE(sink.started()) << sink.output();
    std::string out;
    ASSERT_EQ(run_to_end({bin("blmx-host"), "play", "/dev/bluetooth/speaker", dir.file("mix.wav")}, "", &out), 0) << out;
    EXPECT_EQ(sink.wait(20), 0) << sink.output();
    const auto mix = blmx::test::read_wav(dir.file("mix.wav"));
    EXPECT_GE(blmx::test::snr_db(mix, blmx::test::read_wav(dir.file("received.wav")), 2, codec_delay), 36.1);
}

TEST_F(Tools, RecordFromTheVirtualSource) {
    process source({bin("blmx-vdev"), "source", "--address", "00:11:22:33:44:66", "--name", "mic", "--in",
                    dir.file("sent.wav"), "--once"});
    ASSERT_TRUE(source.started()) << source.output();
    std::string out;
    ASSERT_EQ(run_to_end({bin("blmx-host"), "record", "/dev/bluetooth/mic", dir.file("recorded.wav"), "--period-ms",
                          "5"},
                         dir.file("record.pcap"), &out),
              0)
        << out;
    EXPECT_EQ(source.wait(20), 0) << source.output();
    const auto packets = media_packets(dir.file("record.pcap"), false);
    expect_contiguous(packets, 128);
    // Nothing lost: the recording holds every frame that arrived, which is the
    // whole file padded to whole frames.
    const long frames = frames_of(packets);
    EXPECT_EQ(frames, (88200 + 127) / 128);
    int channels = 0;
    EXPECT_EQ(blmx::test::read_wav(dir.file("recorded.wav"), &channels).size(), static_cast<size_t>(frames) * 128 * 2);
    expect_faithful(dir.file("recorded.wav"), 88200);
}

// A source that sends in real time sends its last packets too, and a host
// recording one period at a time takes all of them.
TEST_F(Tools, RecordInRealTime) {
    process source({bin("blmx-vdev"), "source", "--address", "00:11:22:33:44:67", "--name", "live", "--in",
                    dir.file("sent.wav"), "--once", "--realtime"});
    ASSERT_TRUE(source.started()) << source.output();
    std::string out;
    ASSERT_EQ(run_to_end({bin("blmx-host"), "record", "/dev/bluetooth/live", dir.file("live.wav")}, dir.file("live.pcap"),
                         &out),
              0)
        << out;
    EXPECT_EQ(source.wait(20), 0) << source.output();
    EXPECT_NE(source.output().find("input sent"), std::string::npos) << source.output();
    const auto packets = media_packets(dir.file("live.pcap"), false);
    expect_contiguous(packets, 128);
    EXPECT_EQ(frames_of(packets), (88200 + 127) / 128);
    expect_faithful(dir.file("live.wav"), 88200);
}

TEST_F(Tools, AcceptAStreamThatTheSourceSetsUp) {
    std::string out;
    EXPECT_EQ(accept_stream(dir.file("sent.wav"), dir.file("accepted.wav"), dir.file("source.pcap"), {}, &out), 0) << out;
    const auto packets = media_packets(dir.file("source.pcap"), true);
    expect_contiguous(packets, 128);
    const long frames = frames_of(packets);
    EXPECT_EQ(frames, (88200 + 127) / 128);
    EXPECT_EQ(blmx::test::read_wav(dir.file("accepted.wav")).size(), static_cast<size_t>(frames) * 128 * 2);
    expect_faithful(dir.file("accepted.wav"), 88200);
}

// tshark, when installed, finds nothing malformed in a capture.
void expect_clean_capture(const std::string &pcap) {
    if (blmx::test::run("command -v tshark").status != 0) return;
    const auto bad = blmx::test::run("tshark -r " + pcap + " -Y '_ws.malformed || _ws.expert.severity >= error'");
    EXPECT_EQ(bad.status, 0) << bad.err;
    EXPECT_EQ(bad.out, "") << pcap;
}

// Sinks that real devices resemble: each case plays the two-second file into
// a sink of its own kind and checks what the host reports and what arrived.
TEST_F(Tools, PlayIntoSinksOfManyKinds) {
    struct sink_case {
        const char *name;
        std::vector<std::string> sink_args;
        int status;
        const char *message;     // in the host's output
        double max_seconds;      // for the whole play
        int channels;            // of what arrived; 0: nothing arrives
        size_t frame_length;     // bytes per SBC frame
        int frames_per_packet;
        size_t mtu;              // the sink's incoming MTU, the host's outgoing one
    };
    const sink_case cases[] = {
        {"floods signalling during OPEN", {"--misbehave", "flood:open"}, 1, "backend_bt: OPEN FAILED\n", 9.0, 0, 0, 0, 672},
        // Stereo is missing: joint stereo keeps both channels.
        {"joint stereo only", {"--sep", "sink,modes=joint"}, 0, "0 sequence gaps, 0 timestamp jumps", 20, 2, 119, 5, 672},
        // Mono alone, bitpool 30-53: mono's halved maximum (26) is raised to 30.
        {"mono only, bitpool 30-53", {"--sep", "sink,modes=mono,bitpool=30-53"}, 0, "0 sequence gaps, 0 timestamp jumps", 20, 1, 68, 9, 672},
        // A smaller MTU towards the sink than back from it: packets follow the outgoing one.
        {"incoming MTU 400", {"--mtu", "400"}, 0, "0 sequence gaps, 0 timestamp jumps", 20, 2, 118, 3, 400},
        // Frames that fill the packet to the byte: 13 + 5 x 118 = 603.
        {"MTU filled exactly", {"--mtu", "603"}, 0, "0 sequence gaps, 0 timestamp jumps", 20, 2, 118, 5, 603},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        const sink_case &c = cases[k];
        SCOPED_TRACE(c.name);
        const std::string wav = dir.file("received.wav"), pcap = dir.file("sink" + std::to_string(k) + ".pcap");
        unlink(wav.c_str());
        std::vector<std::string> args{bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker",
                                      "--out", wav, "--once"};
        args.insert(args.end(), c.sink_args.begin(), c.sink_args.end());
        process sink(args);
        ASSERT_TRUE(sink.started()) << sink.output();
        std::string out;
        const auto t0 = std::chrono::steady_clock::now();
        const int rc = run_to_end({bin("blmx-host"), "play", "/dev/bluetooth/speaker", dir.file("sent.wav")}, pcap, &out);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(rc, c.status) << out;
        EXPECT_LT(seconds, c.max_seconds);
        sink.stop();
        if (c.status == 0) {
            EXPECT_NE(sink.output().find(c.message), std::string::npos) << sink.output();
        } else {
            EXPECT_NE(out.find(c.message), std::string::npos) << out;
        }
        expect_clean_capture(pcap);
        if (c.channels == 0) continue;
        int channels = 0;
        const auto got = blmx::test::read_wav(wav, &channels);
        EXPECT_EQ(channels, c.channels);
        EXPECT_GE(got.size() / static_cast<size_t>(c.channels), 88200u + codec_delay);
        if (c.channels == 2) {
            EXPECT_GE(blmx::test::snr_db(sent, got, 2, codec_delay), min_snr_db);
        }
        const auto packets = media_packets(pcap, true);
        ASSERT_FALSE(packets.empty());
        for (size_t i = 0; i + 1 < packets.size(); ++i) {
            EXPECT_EQ(packets[i].frames, c.frames_per_packet) << "packet " << i;
            EXPECT_EQ(packets[i].length, 13 + c.frame_length * static_cast<size_t>(packets[i].frames)) << "packet " << i;
            EXPECT_LE(packets[i].length, c.mtu) << "packet " << i;
        }
    }
}

// A record stream whose packets carry more than 15 frames each (4 blocks,
// bitpool 8: 16-byte frames), over an MTU from the source larger than the one
// towards it: the host reads with its incoming MTU and counts all the frames.
TEST_F(Tools, RecordManySmallFramesPerPacket) {
    process source({bin("blmx-vdev"), "source", "--address", "00:11:22:33:44:66", "--name", "mic", "--in",
                    dir.file("sent.wav"), "--once", "--mtu", "300", "--sep", "source,modes=stereo,blocks=4,bitpool=2-8"});
    ASSERT_TRUE(source.started()) << source.output();
    std::string out;
    ASSERT_EQ(run_to_end({bin("blmx-host"), "record", "/dev/bluetooth/mic", dir.file("small.wav"), "--period-ms", "5"},
                         dir.file("small.pcap"), &out),
              0)
        << out;
    EXPECT_EQ(source.wait(20), 0) << source.output();
    const auto packets = media_packets(dir.file("small.pcap"), false);
    ASSERT_FALSE(packets.empty());
    EXPECT_GT(packets.front().frames, 15);
    EXPECT_GT(packets.front().length, 300u);  // more than the source's own incoming MTU
    const long frames = frames_of(packets);
    EXPECT_EQ(frames, (88200 + 31) / 32);
    int channels = 0;
    EXPECT_EQ(blmx::test::read_wav(dir.file("small.wav"), &channels).size(), static_cast<size_t>(frames) * 32 * 2);
    expect_clean_capture(dir.file("small.pcap"));
}

// An AVDTP 1.3 source asks GET_ALL_CAPABILITIES, and in the middle of the
// stream aborts and configures it again: the whole input is recorded.
TEST_F(Tools, AcceptFromASourceThatAbortsAndReconfigures) {
    std::string out;
    EXPECT_EQ(accept_stream(dir.file("sent.wav"), dir.file("accepted.wav"), dir.file("source13.pcap"), {"--avdtp", "1.3"},
                            &out),
              0)
        << out;
    EXPECT_NE(out.find("aborted and configured again"), std::string::npos) << out;
    const long frames = frames_of(media_packets(dir.file("source13.pcap"), true));
    EXPECT_EQ(frames, (88200 + 127) / 128);
    const auto got = blmx::test::read_wav(dir.file("accepted.wav"));
    EXPECT_EQ(got.size(), static_cast<size_t>(frames) * 128 * 2);
    // The decoder starts afresh at the new configuration: a moment of its
    // filter history is lost there, nothing else. In windows of 4000 samples,
    // one may hold that moment; every other is as faithful as ever.
    int poor = 0;
    for (size_t from = 0; from + 4000 <= 88200; from += 4000) {
        const std::vector<int16_t> ref(sent.begin() + 2 * from, sent.begin() + 2 * (from + 4000));
        const std::vector<int16_t> part(got.begin() + 2 * from, got.begin() + 2 * (from + 4000 + codec_delay));
        if (blmx::test::snr_db(ref, part, 2, codec_delay) < min_snr_db) ++poor;
    }
    EXPECT_LE(poor, 1);
    expect_clean_capture(dir.file("source13.pcap"));
    if (blmx::test::run("command -v tshark").status == 0) {
        const auto r = blmx::test::run("tshark -r " + dir.file("source13.pcap"));
        EXPECT_NE(r.out.find("GetAllCapabilities"), std::string::npos) << r.out.substr(0, 2000);
        EXPECT_NE(r.out.find("Command - Abort"), std::string::npos);
    }
}

// The packets still queued on the media channel when CLOSE arrives are part
// of the stream: 20 packets and then CLOSE leave all of them in the file.
TEST_F(Tools, AcceptKeepsWhatArrivedBeforeClose) {
    blmx::test::write_wav(dir.file("short.wav"), blmx::test::sine(12800, 2, 440, 44100, 8000), 2, 44100);
    EXPECT_EQ(accept_stream(dir.file("short.wav"), dir.file("short-in.wav"), dir.file("short.pcap")), 0);
    EXPECT_EQ(media_packets(dir.file("short.pcap"), true).size(), 20u);
    EXPECT_EQ(blmx::test::read_wav(dir.file("short-in.wav")).size(), 12800u * 2);
}

// tshark, when installed, names every AVDTP command of a playback session and
// finds nothing malformed in the capture.
TEST_F(Tools, TsharkReadsTheCapture) {
    if (blmx::test::run("command -v tshark").status != 0) GTEST_SKIP() << "tshark is not installed";
    process sink({bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker", "--once"});
    ASSERT_TRUE(sink.started()) << sink.output();
    ASSERT_EQ(run_to_end({bin("blmx-host"), "play", "/dev/bluetooth/speaker", dir.file("sent.wav")},
                         dir.file("play.pcap")),
              0);
    sink.wait(20);
    const auto r = blmx::test::run("tshark -r " + dir.file("play.pcap"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *cmd : {"Command - Discover", "Command - GetCapabilities", "Command - SetConfiguration",
                            "Command - Open", "Command - Start", "Command - Abort", "Command - Close",
                            "Service Search Attribute Request"})
        EXPECT_NE(r.out.find(cmd), std::string::npos) << cmd;
    const auto bad = blmx::test::run("tshark -r " + dir.file("play.pcap") + " -Y '_ws.malformed || _ws.expert.severity >= error'");
    EXPECT_EQ(bad.out, "");
    const auto sbc = blmx::test::run("tshark -r " + dir.file("play.pcap") + " -Y sbc -T fields -e frame.number");
    EXPECT_EQ(static_cast<size_t>(std::count(sbc.out.begin(), sbc.out.end(), '\n')),
              media_packets(dir.file("play.pcap"), true).size());
}

}  // namespace
