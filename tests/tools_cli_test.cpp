// The tools as a newcomer meets them: versions, what they say when a device
// or a file cannot be used, outputs by extension, and the demo script run
// from elsewhere and on a silent file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "tests/test_util.h"

using blmx::test::run;

namespace {

std::string bin(const std::string &tool) { return blmx::test::build_dir() + "/" + tool; }

// A command line run in a subshell with its standard error joined to its output.
std::string joined(const std::string &command) {
    std::string line = "(";
    line += command;
    line += " 2>&1)";
    return line;
}

class ToolsCli : public ::testing::Test {
  protected:
    blmx::test::temp_dir dir;
    void SetUp() override { setenv("BLMX_VBT_DIR", dir.path.c_str(), 1); }
    void TearDown() override { unsetenv("BLMX_VBT_DIR"); }
};

}  // namespace

TEST_F(ToolsCli, EveryToolAnswersVersion) {
    for (const char *tool : {"blmx-sbc", "blmx-host", "blmx-vdev", "blmx-wavtool"}) {
        const auto r = run(bin(tool) + " --version");
        EXPECT_EQ(r.status, 0) << tool << ": " << r.err;
        EXPECT_EQ(r.out, std::string(tool) + " " BLMX_VERSION "\n") << tool;
    }
}

// What the host prints when an open fails: the library's message on a line
// of its own, and the host's reason where it knows one.
TEST_F(ToolsCli, HostExplainsAFailedOpen) {
    blmx::test::write_wav(dir.file("22k.wav"), blmx::test::sine(2205, 2, 440, 22050, 8000), 2, 22050);
    blmx::test::write_wav(dir.file("44k.wav"), blmx::test::sine(4410, 2, 440, 44100, 8000), 2, 44100);
    blmx::test::process sink({bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker"});
    ASSERT_TRUE(sink.started()) << sink.output();
    const struct {
        std::string args, expected;
    } cases[] = {
        // The library ends this message without a line break.
        {"play /dev/nothing " + dir.file("44k.wav"), "Invalid device name '/dev/nothing'\nblmx-host: cannot open /dev/nothing"},
        {"play /dev/bluetooth/speaker " + dir.file("22k.wav"),
         "blmx-host: a Bluetooth audio device takes no 22050 Hz: SBC carries 16000, 32000, 44100 and 48000 Hz"},
        {"record /dev/bluetooth/speaker " + dir.file("x.wav") + " --rate 8000",
         "blmx-host: a Bluetooth audio device takes no 8000 Hz"},
        {"record /dev/bluetooth/speaker " + dir.file("x.xyz"), "blmx-host: cannot write " + dir.file("x.xyz")},
    };
    for (const auto &c : cases) {
        const auto r = run(joined(bin("blmx-host") + " " + c.args));
        EXPECT_NE(r.status, 0) << c.args;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.args << "\n" << r.out;
    }
}

TEST_F(ToolsCli, SinkRefusesAnOutputItCannotWrite) {
    for (const std::string &out : {std::string("/nonexistent/x.wav"), dir.file("x.xyz")}) {
        const auto r = run(bin("blmx-vdev") + " sink --address 00:11:22:33:44:55 --out " + out + " --once");
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_NE(r.err.find("blmx-vdev: cannot write " + out), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ready"), std::string::npos) << out << ": it took streams";
    }
    // An output that turns unwritable after the check (here a directory took
    // its name): the stream is taken, the failure said, and the exit status says so.
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(4410, 2, 440, 44100, 8000), 2, 44100);
    const std::string out = dir.file("later.wav");
    blmx::test::process sink({bin("blmx-vdev"), "sink", "--address", "00:11:22:33:44:55", "--name", "speaker", "--out", out,
                              "--once"});
    ASSERT_TRUE(sink.started()) << sink.output();
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    const auto r = run(bin("blmx-host") + " play /dev/bluetooth/speaker " + dir.file("in.wav"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sink.wait(20), 1) << sink.output();
    EXPECT_NE(sink.output().find("blmx-vdev: cannot write " + out), std::string::npos) << sink.output();
}

// An output is written in the format its extension names, where libsndfile
// writes one; an extension no format has is refused with nothing written.
TEST_F(ToolsCli, OutputsFollowTheirExtension) {
    blmx::test::write_wav(dir.file("in.wav"), blmx::test::sine(4410, 2, 440, 44100, 8000), 2, 44100);
    auto r = run(bin("blmx-sbc") + " encode " + dir.file("in.wav") + " " + dir.file("in.sbc"));
    ASSERT_EQ(r.status, 0) << r.err;
    const struct {
        const char *name, *magic;
    } cases[] = {{"out.wav", "RIFF"}, {"out.flac", "fLaC"}, {"out.aiff", "FORM"}, {"out.ogg", "OggS"}, {"out", "RIFF"}};
    for (const auto &c : cases) {
        r = run(bin("blmx-sbc") + " decode " + dir.file("in.sbc") + " " + dir.file(c.name));
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        r = run("head -c 4 " + dir.file(c.name));
        EXPECT_EQ(r.out, c.magic) << c.name;
    }
    r = run(bin("blmx-sbc") + " decode " + dir.file("in.sbc") + " " + dir.file("out.xyz"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("no audio format is known by the extension .xyz"), std::string::npos) << r.err;
    EXPECT_NE(run("test -e " + dir.file("out.xyz")).status, 0);
    r = run(bin("blmx-wavtool") + " tone " + dir.file("t.xyz"));
    EXPECT_NE(r.status, 0);
}

// The demo started from another directory with a relative file, here a
// silent one, which has no SNR to report.
TEST_F(ToolsCli, DemoTakesARelativeSilentFile) {
    blmx::test::write_wav(dir.file("silent.wav"), std::vector<int16_t>(2 * 44100), 2, 44100);
    const auto r = run(joined("cd " + dir.path + " && BLMX_DEMO_OUT=out BLMX_DEMO_BUILD=" + blmx::test::build_dir() + " " +
                              BLMX_SOURCE_DIR "/scripts/demo silent.wav"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("== playing silent.wav"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no SNR: " + dir.path + "/silent.wav is silent"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("all silent too"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("stream 1 ended"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("aborted"), std::string::npos) << r.out;
    EXPECT_EQ(run("test -s " + dir.file("out/received.wav")).status, 0);
}
