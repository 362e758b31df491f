// Helpers shared by the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "blmx_bt.h"

namespace blmx::test {

// A bt_stream (large: heap) with a zeroed codec work record attached.
struct stream_fixture {
    std::unique_ptr<bt_stream> stream;
    std::unique_ptr<sbc_work> work;
    stream_fixture();
    bt_stream &s() { return *stream; }
    sbc_work &w() { return *work; }
};

// Runs fn in a child process and returns what it printed on standard output.
std::string capture_stdout(const std::function<void()> &fn);

// A fresh private directory, removed with its contents at destruction.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string &name) const { return path + "/" + name; }
};

// Runs a command line through the shell; returns its exit status and output.
struct command_result {
    int status;
    std::string out, err;
};
command_result run(const std::string &command_line);

std::string build_dir();

// PCM helpers.
std::vector<int16_t> sine(int frames, int channels, double freq, double rate, double amplitude, double phase = 0);
void write_wav(const std::string &path, const std::vector<int16_t> &pcm, int channels, int rate);
std::vector<int16_t> read_wav(const std::string &path, int *channels = nullptr, int *rate = nullptr);
// SNR in dB of `got` against `ref` (same channel layout), comparing got[i + delay*ch] with ref[i].
double snr_db(const std::vector<int16_t> &ref, const std::vector<int16_t> &got, int channels, int delay, size_t skip = 0);

std::vector<uint8_t> from_hex(const std::string &hex);

// The worked frames that come with this codec's definition. Silence: mono,
// loudness, bitpool 10, 4 subbands, 4 blocks, 16 kHz, a fresh stream. Joint
// stereo: SNR, bitpool 35, 8 subbands, 16 blocks, 48 kHz, channel 0 = 100 v(t)
// and channel 1 = 50 v(t) with v(t) = ((127 t) mod 251) - 125, t from 0.
inline constexpr const char *worked_silence_frame = "9C000A6700006D5B56D5B5";
inline constexpr const char *worked_joint_frame_1 =
    "9CFF2362FECA9AA9ADA988889C7B5B5BDAEF6B6B7B5DCD6D706BBA2DAA0D839A22D4B486B6BB1696D6D754D35ADAEA9A735B5D5B506B6B"
    "AB6A4D6D758D4DADAEB1AAB5B5D2B556B6BA56632B6908B930D98C23";
inline constexpr const char *worked_joint_frame_2 =
    "9CFF239CFECAA99AACA988889B526AD0A50C6D5B14A1CDAB62D43DB56C5A88B6AD8C5136D5B18A28DAB635451B56CEA9AD4509D827160E"
    "D258EA429C572DB56F52E6B6ADEA5CF6D5BD6BA0DAB7AD749B56F62E";
// The PCM of the joint stereo frames, interleaved, `frames` PCM frames.
std::vector<int16_t> worked_joint_pcm(int frames = 256);
std::string to_hex(const uint8_t *data, size_t n);

}  // namespace blmx::test

namespace blmx::test {

// A tool (blmx-vdev, blmx-host) run in the background; stdout and stderr are
// collected. start() waits until the tool printed `ready_word` (when given).
class process {
  public:
    process(std::vector<std::string> args, const std::string &ready_word = "ready");
    ~process();
    bool started() const { return pid_ > 0 && ready_; }
    // Sends SIGTERM (unless it ended already) and waits; returns the exit status.
    int stop();
    // Waits for the process to end by itself, at most `seconds`; -1 on time-out.
    int wait(double seconds);
    std::string output();

  private:
    int pid_ = -1;
    int out_ = -1;
    bool ready_ = false;
    int status_ = -1;
    std::string text_;
    void drain(int timeout_ms);
};

// The descriptors open in this process.
int open_descriptors();

// Packets of a pcap capture of link type 201.
struct captured {
    bool sent;
    std::vector<uint8_t> h4;  // H4 packet: type byte first
};
bool read_pcap(const std::string &path, std::vector<captured> &out, uint32_t *link_type = nullptr);

}  // namespace blmx::test
