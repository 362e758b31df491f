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
