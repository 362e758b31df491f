// The open slots' parameter checks, seen as a host sees them: blmx_bt.so
// loaded with dlopen, messages read byte for byte from standard output.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tests/test_util.h"

namespace {

struct loaded_library {
    void *handle = nullptr;
    audio_backend *play = nullptr, *rec = nullptr;
    loaded_library() {
        handle = dlopen((blmx::test::build_dir() + "/blmx_bt.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        play = static_cast<audio_backend *>(dlsym(handle, "blmx_backend_bt_play"));
        rec = static_cast<audio_backend *>(dlsym(handle, "blmx_backend_bt_rec"));
    }
    ~loaded_library() {
        if (handle) dlclose(handle);
    }
};

class Parameters : public ::testing::Test {
  protected:
    blmx::test::temp_dir dir;
    void SetUp() override {
        setenv("BLMX_VBT_DIR", dir.path.c_str(), 1);
        std::ofstream(dir.file("hosts")) << "# test devices\n"
                                            "00:11:22:33:44:55 speaker headphones   # the usual one\n";
    }
    void TearDown() override { unsetenv("BLMX_VBT_DIR"); }

    // Opens the playback descriptor in a child; returns what it printed.
    static std::string open_output(const char *device, int rate, int channels, int format) {
        return blmx::test::capture_stdout([&] {
            loaded_library lib;
            if (!lib.play) {
                std::printf("<no library: %s>", dlerror());
                return;
            }
            int ch = channels, fmt = format;
            const int r = lib.play->open(lib.play, device, rate, 0, &ch, &fmt);
            std::printf("|result=%d", r);
        });
    }
};

}  // namespace

TEST_F(Parameters, RefusalsPrintTheirExactMessages) {
    struct refusal {
        const char *device;
        int rate, format;
        const char *output;
    };
    const refusal cases[] = {
        {"/dev/bt/00:11:22:33:44:55", 44100, 0x10, "Invalid device name '/dev/bt/00:11:22:33:44:55'|result=-1"},
        {"", 44100, 0x10, "Invalid device name ''|result=-1"},
        {"/dev/bluetooth/nosuchdevice", 44100, 0x10, "backend_bt: Could not get host by name\n|result=-1"},
        {"/dev/bluetooth/00:11:22:33:44", 44100, 0x10, "backend_bt: Could not get host by name\n|result=-1"},
        {"/dev/bluetooth/00:11:22:33:44:55", 44000, 0x10, "backend_bt: Invalid samplerate 44000|result=-1"},
        {"/dev/bluetooth/speaker", 0, 0x10, "backend_bt: Invalid samplerate 0|result=-1"},
        {"/dev/bluetooth/00:11:22:33:44:55", 48000, 0x20, "backend_bt: Unsupported sample format\n|result=-1"},
    };
    for (const auto &c : cases) EXPECT_EQ(open_output(c.device, c.rate, 2, c.format), c.output) << c.device;
}

TEST_F(Parameters, NamesAndAliasesResolveThroughTheHostsFile) {
    // A resolved name passes the parameter checks and goes on to the connection.
    for (const char *dev : {"/dev/bluetooth/speaker", "/dev/bluetooth/HEADPHONES", "/dev/bluetooth/00:11:22:33:44:55"}) {
        const std::string out = open_output(dev, 44100, 2, 0x10);
        EXPECT_EQ(out.find("Could not get host by name"), std::string::npos) << dev;
        EXPECT_NE(out.find("|result=-1"), std::string::npos) << dev;
    }
}

TEST_F(Parameters, InitialConfigurationAndFormat) {
    struct expectation {
        int rate, channels;
        uint8_t frequency_index, mode, bitpool;
    };
    const expectation cases[] = {{44100, 2, 2, 2, 250}, {48000, 1, 3, 0, 128}, {16000, 0, 0, 2, 250},
                                 {32000, 8, 1, 2, 250}, {22050, 2, 255, 2, 250}, {8000, 1, 255, 0, 128}};
    for (const auto &c : cases) {
        const std::string out = blmx::test::capture_stdout([&] {
            loaded_library lib;
            int ch = c.channels, fmt = 0x31;
            lib.play->open(lib.play, "/dev/bluetooth/speaker", c.rate, 0, &ch, &fmt);
            const auto *s = static_cast<const bt_stream *>(lib.play->state);
            std::printf("|fi=%d mode=%d bitpool=%d sb=%d alloc=%d blocks=%d fmt=0x%x", s->frequency_index,
                        s->channel_mode, s->bitpool, s->subbands_flag, s->allocation, s->blocks_index, fmt);
        });
        char want[128];
        std::snprintf(want, sizeof want, "|fi=%d mode=%d bitpool=%d sb=1 alloc=0 blocks=0 fmt=0x10", c.frequency_index,
                      c.mode, c.bitpool);
        EXPECT_NE(out.find(want), std::string::npos) << c.rate << "/" << c.channels << ": " << out;
    }
}

TEST(Descriptors, SlotsDelayAndSeparateStreams) {
    const std::string out = blmx::test::capture_stdout([] {
        loaded_library lib;
        int d = 5;
        lib.play->delay(lib.play, &d);
        std::printf("delay=%d ", d);
        d = 7;
        lib.rec->delay(lib.rec, &d);
        std::printf("delay=%d ", d);
        std::printf("spare=%llu,%llu ", static_cast<unsigned long long>(lib.play->spare),
                    static_cast<unsigned long long>(lib.rec->spare));
        std::printf("distinct=%d ", lib.play->state != lib.rec->state);
        // Close of a never-opened stream does nothing; a second close neither.
        lib.play->close(lib.play);
        lib.play->close(lib.play);
        const auto *s = static_cast<const bt_stream *>(lib.play->state);
        std::printf("sockets=%d,%d codec=%p", s->media_socket, s->signal_socket, static_cast<void *>(s->codec));
        // A failed open of one direction leaves the other's record alone.
        auto *r = static_cast<bt_stream *>(lib.rec->state);
        r->bitpool = 99;
        int ch = 2, fmt = 0x10;
        lib.play->open(lib.play, "/dev/bluetooth/00:11:22:33:44:55", 44100, 0, &ch, &fmt);
        std::printf(" rec_bitpool=%d", r->bitpool);
    });
    EXPECT_NE(out.find("delay=-1 delay=-1 spare=0,0 distinct=1 sockets=0,0 codec=(nil)"), std::string::npos) << out;
    EXPECT_NE(out.find("rec_bitpool=99"), std::string::npos) << out;
}
