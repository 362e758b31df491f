// The blmx-sbc command-line codec, run as a user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/sysmacros.h>  // makedev
#endif
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "tests/test_util.h"

using blmx::test::run;
using blmx::test::temp_dir;

namespace {

std::string tool() { return blmx::test::build_dir() + "/blmx-sbc"; }

std::vector<uint8_t> slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void spit(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

double rms(const std::vector<int16_t> &v, size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to && i < v.size(); ++i) s += double(v[i]) * v[i];
    return std::sqrt(s / double(to - from));
}

}  // namespace

TEST(BlmxSbc, WorkedFramesFromWavFiles) {
    temp_dir d;
    const auto joint = blmx::test::worked_joint_pcm();
    blmx::test::write_wav(d.file("joint.wav"), joint, 2, 48000);
    auto r = run(tool() + " encode " + d.file("joint.wav") + " " + d.file("joint.sbc") + " --allocation snr --bitpool 35");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto bytes = slurp(d.file("joint.sbc"));
    ASSERT_EQ(bytes.size(), 166u);
    EXPECT_EQ(blmx::test::to_hex(bytes.data(), 83), blmx::test::worked_joint_frame_1);
    EXPECT_EQ(blmx::test::to_hex(bytes.data() + 83, 83), blmx::test::worked_joint_frame_2);

    blmx::test::write_wav(d.file("silence.wav"), std::vector<int16_t>(16), 1, 16000);
    r = run(tool() + " encode " + d.file("silence.wav") + " " + d.file("silence.sbc") +
            " --subbands 4 --blocks 4 --bitpool 10");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto s = slurp(d.file("silence.sbc"));
    EXPECT_EQ(blmx::test::to_hex(s.data(), s.size()), blmx::test::worked_silence_frame);
}

TEST(BlmxSbc, RoundTripsInEveryConfiguration) {
    temp_dir d;
    const int rate = 32000;
    const auto mono = blmx::test::sine(rate / 2, 1, 700, rate, 10000);
    const auto stereo = blmx::test::sine(rate / 2, 2, 700, rate, 10000);
    blmx::test::write_wav(d.file("mono.wav"), mono, 1, rate);
    blmx::test::write_wav(d.file("stereo.wav"), stereo, 2, rate);
    for (const char *mode : {"mono", "dual", "stereo", "joint"})
        for (int sb : {4, 8})
            for (int blocks : {4, 8, 12, 16})
                for (const char *alloc : {"loudness", "snr"}) {
                    const bool is_mono = std::string(mode) == "mono";
                    const auto &in = is_mono ? mono : stereo;
                    const int ch = is_mono ? 1 : 2;
                    const std::string cfg = std::string(mode) + "/" + std::to_string(sb) + "/" +
                                            std::to_string(blocks) + "/" + alloc;
                    const int bitpool = std::min(is_mono || std::string(mode) == "dual" ? 16 * sb : 32 * sb, 48);
                    auto r = run(tool() + " encode " + d.file(is_mono ? "mono.wav" : "stereo.wav") + " " +
                                 d.file("x.sbc") + " --mode " + mode + " --subbands " + std::to_string(sb) +
                                 " --blocks " + std::to_string(blocks) + " --allocation " + alloc + " --bitpool " +
                                 std::to_string(bitpool));
                    ASSERT_EQ(r.status, 0) << cfg << ": " << r.err;
                    r = run(tool() + " decode " + d.file("x.sbc") + " " + d.file("x.wav"));
                    ASSERT_EQ(r.status, 0) << cfg << ": " << r.err;
                    // Frames that end inside a byte (joint stereo's join field, odd
                    // sample bits) take the whole byte: none is lost as damaged.
                    EXPECT_NE(r.err.find(" 0 damaged skipped"), std::string::npos) << cfg << ": " << r.err;
                    int got_ch = 0, got_rate = 0;
                    const auto out = blmx::test::read_wav(d.file("x.wav"), &got_ch, &got_rate);
                    EXPECT_EQ(got_ch, ch) << cfg;
                    EXPECT_EQ(got_rate, rate) << cfg;
                    const int delay = sb == 8 ? 73 : 37;
                    // Every configuration here reaches at least 25 dB on a 700 Hz sine at bitpool 48.
                    EXPECT_GE(blmx::test::snr_db(in, out, ch, delay, 400), 25.0) << cfg;
                    const double a = rms(in, 2000, 12000), b = rms(out, 2000 + delay * ch, 12000 + delay * ch);
                    EXPECT_NEAR(b / a, 1.0, 0.02) << cfg;
                }
}

// Music-like material (tones and pink noise) through encode and decode at
// bitpool 53. A quantizer that rounded to the nearest level instead of
// truncating gave 38.1 dB (joint) and 31.1 dB (stereo) on this signal.
TEST(BlmxSbc, MixKeepsItsFidelityAtBitpool53) {
    temp_dir d;
    auto r = run(blmx::test::build_dir() + "/blmx-wavtool tone " + d.file("mix.wav") + " --signal mix --seconds 5");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto in = blmx::test::read_wav(d.file("mix.wav"));
    const struct {
        const char *mode;
        double min_snr;
    } cases[] = {{"joint", 43.5}, {"stereo", 33.0}};
    for (const auto &c : cases) {
        r = run(tool() + " encode " + d.file("mix.wav") + " " + d.file("x.sbc") + " --mode " + c.mode + " --bitpool 53");
        ASSERT_EQ(r.status, 0) << c.mode << ": " << r.err;
        r = run(tool() + " decode " + d.file("x.sbc") + " " + d.file("x.wav"));
        ASSERT_EQ(r.status, 0) << c.mode << ": " << r.err;
        EXPECT_GE(blmx::test::snr_db(in, blmx::test::read_wav(d.file("x.wav")), 2, 73), c.min_snr) << c.mode;
    }
}

// Outputs that are not regular files are written in place, never renamed
// over: a device node stays a device, a FIFO a FIFO, and a symbolic link
// stays a link whose target receives the file. "-" is standard input and
// standard output.
TEST(BlmxSbc, SpecialOutputsAreWrittenInPlace) {
    temp_dir d;
    blmx::test::write_wav(d.file("in.wav"), blmx::test::sine(4410, 2, 1000, 44100, 8000), 2, 44100);
    const std::string in = d.file("in.wav");

    // A character device (the null device's numbers), where this user may make one.
    const std::string node = d.file("null-node");
    if (mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        auto r = run(tool() + " encode " + in + " " + node);
        EXPECT_EQ(r.status, 0) << r.err;
        struct stat st;
        ASSERT_EQ(stat(node.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced";
    }

    // A FIFO, read by the shell at the same time.
    const std::string fifo = d.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto r = run("cat " + fifo + " > " + d.file("from-fifo.sbc") + " & " + tool() + " encode " + in + " " + fifo + "; wait");
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
    r = run(tool() + " encode " + in + " " + d.file("plain.sbc"));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto plain = slurp(d.file("plain.sbc"));
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(slurp(d.file("from-fifo.sbc")), plain);

    // A symbolic link: the target gets the stream, the link stays.
    ASSERT_EQ(symlink(d.file("target.sbc").c_str(), d.file("link.sbc").c_str()), 0);
    spit(d.file("target.sbc"), {1, 2, 3});
    r = run(tool() + " encode " + in + " " + d.file("link.sbc"));
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lstat(d.file("link.sbc").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
    EXPECT_EQ(slurp(d.file("target.sbc")), plain);

    // Standard input and output, through a pipe.
    r = run(tool() + " encode - - < " + in + " | " + tool() + " decode - " + d.file("piped.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    r = run(tool() + " decode " + d.file("plain.sbc") + " " + d.file("direct.wav"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(d.file("piped.wav")), slurp(d.file("direct.wav")));
}

TEST(BlmxSbc, BadArgumentsAndInputsFailCleanly) {
    temp_dir d;
    blmx::test::write_wav(d.file("22k.wav"), std::vector<int16_t>(2000), 1, 22050);
    blmx::test::write_wav(d.file("three.wav"), std::vector<int16_t>(3000), 3, 44100);
    blmx::test::write_wav(d.file("mono.wav"), std::vector<int16_t>(2000), 1, 44100);
    blmx::test::write_wav(d.file("stereo.wav"), std::vector<int16_t>(4000), 2, 44100);
    std::vector<uint8_t> junk(5000);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>((i * 37) ^ 0x5a);
    spit(d.file("junk.sbc"), junk);
    spit(d.file("empty.sbc"), {});
    struct bad {
        std::string args, message;
    };
    const std::string out = d.file("out");
    const bad cases[] = {
        {"encode " + d.file("22k.wav") + " " + out, "sample rate 22050 Hz not supported"},
        {"encode " + d.file("three.wav") + " " + out, "3 channels not supported"},
        {"encode " + d.file("mono.wav") + " " + out + " --subbands 4 --bitpool 65", "--bitpool 65 out of range"},
        {"encode " + d.file("stereo.wav") + " " + out + " --bitpool 300", "--bitpool 300 out of range"},
        // The frame's bitpool field has 8 bits, below what one pass could reach here.
        {"encode " + d.file("stereo.wav") + " " + out + " --mode stereo --bitpool 256",
         "--bitpool 256 out of range for this configuration (2..255)"},
        {"encode " + d.file("stereo.wav") + " " + out + " --mode mono", "--mode mono needs a 1-channel input"},
        {"encode " + d.file("stereo.wav") + " " + out + " --blocks 5", "--blocks"},
        {"encode " + d.file("missing.wav") + " " + out, "missing.wav"},
        {"decode " + d.file("junk.sbc") + " " + out, "not an SBC stream"},
        {"decode " + d.file("empty.sbc") + " " + out, "not an SBC stream"},
        {"info " + d.file("junk.sbc"), "not an SBC stream"},
    };
    for (const auto &c : cases) {
        const auto r = run(tool() + " " + c.args);
        EXPECT_NE(r.status, 0) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
        EXPECT_FALSE(exists(out)) << c.args;
    }
    // No temporary file is left behind either.
    const auto r = run("ls " + d.path);
    EXPECT_EQ(r.out.find("partial"), std::string::npos) << r.out;
}

TEST(BlmxSbc, DamagedFramesAreSkippedAndCounted) {
    temp_dir d;
    blmx::test::write_wav(d.file("in.wav"), blmx::test::sine(128 * 10, 2, 500, 44100, 8000), 2, 44100);
    ASSERT_EQ(run(tool() + " encode " + d.file("in.wav") + " " + d.file("in.sbc")).status, 0);
    auto bytes = slurp(d.file("in.sbc"));
    ASSERT_EQ(bytes.size(), 10u * 119);
    bytes[3 * 119 + 5] ^= 0x40;  // a scale factor of frame 3: its CRC no longer matches
    bytes.insert(bytes.begin() + 6 * 119, {0x01, 0x9C, 0x02, 0x03});  // garbage with a false sync byte
    bytes.resize(bytes.size() - 50);                                  // the last frame cut off
    spit(d.file("bad.sbc"), bytes);
    const auto r = run(tool() + " decode " + d.file("bad.sbc") + " " + d.file("out.wav"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("decoded 8 frames"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 damaged skipped"), std::string::npos) << r.err;
    EXPECT_EQ(blmx::test::read_wav(d.file("out.wav")).size(), 8u * 128 * 2);

    const auto info = run(tool() + " info " + d.file("in.sbc"));
    ASSERT_EQ(info.status, 0);
    for (const char *line : {"frames:      10", "rate:        44100 Hz", "mode:        joint", "bitpool:     53",
                             "frame bytes: 119", "duration:    0.029 s"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
}

// Every codec path the processor runs gives the same stream and the same PCM;
// a path it does not run is refused rather than crashing.
TEST(BlmxSbc, EveryPathGivesTheSameFiles) {
    temp_dir d;
    const int rate = 44100;
    blmx::test::write_wav(d.file("in.wav"), blmx::test::sine(rate / 4, 2, 1000, rate, 20000), 2, rate);
    std::vector<uint8_t> first_sbc, first_wav;
    for (const char *path : {"plain", "sse2", "avx2", "avx512", "auto"}) {
        const std::string sbc = d.file(std::string(path) + ".sbc"), wav = d.file(std::string(path) + ".wav");
        auto r = run(tool() + " encode --path " + path + " " + d.file("in.wav") + " " + sbc);
        if (r.status == 1 && r.err.find("does not have") != std::string::npos) continue;
        ASSERT_EQ(r.status, 0) << path << ": " << r.err;
        r = run(tool() + " decode --path " + path + " " + sbc + " " + wav);
        ASSERT_EQ(r.status, 0) << path << ": " << r.err;
        if (first_sbc.empty()) {
            first_sbc = slurp(sbc);
            first_wav = slurp(wav);
            ASSERT_FALSE(first_sbc.empty());
            continue;
        }
        EXPECT_TRUE(slurp(sbc) == first_sbc) << path;
        EXPECT_TRUE(slurp(wav) == first_wav) << path;
    }
    EXPECT_NE(run(tool() + " encode --path neon " + d.file("in.wav") + " " + d.file("x.sbc")).status, 0);
}
