#include "tests/test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace blmx::test {

stream_fixture::stream_fixture() : stream(new bt_stream()), work(new sbc_work()) {
    std::memset(stream.get(), 0, sizeof(bt_stream));
    std::memset(work.get(), 0, sizeof(sbc_work));
    stream->codec = work.get();
}

std::string capture_stdout(const std::function<void()> &fn) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe failed>";
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        fn();
#if defined(__SANITIZE_ADDRESS__)
        // What the child left allocated shows in its output, which the tests compare.
        if (__lsan_do_recoverable_leak_check()) std::printf("\n<memory leaked>\n");
#endif
        std::fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/blmx-test-XXXXXX";
    const char *p = mkdtemp(tmpl);
    path = p ? p : "/tmp";
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

command_result run(const std::string &command_line) {
    temp_dir d;
    const std::string out = d.file("out"), err = d.file("err");
    const int rc = std::system((command_line + " >" + out + " 2>" + err).c_str());
    command_result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
    const auto slurp = [](const std::string &p) {
        std::string s;
        if (FILE *f = std::fopen(p.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
            std::fclose(f);
        }
        return s;
    };
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::string build_dir() { return BLMX_BUILD_DIR; }

std::vector<int16_t> sine(int frames, int channels, double freq, double rate, double amplitude, double phase) {
    std::vector<int16_t> v(static_cast<size_t>(frames) * channels);
    for (int t = 0; t < frames; ++t)
        for (int c = 0; c < channels; ++c)
            v[static_cast<size_t>(t) * channels + c] = static_cast<int16_t>(
                std::lround(amplitude * std::sin(2 * M_PI * freq * (1 + 0.25 * c) * t / rate + phase)));
    return v;
}

void write_wav(const std::string &path, const std::vector<int16_t> &pcm, int channels, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return;
    sf_writef_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size() / channels));
    sf_close(f);
}

std::vector<int16_t> read_wav(const std::string &path, int *channels, int *rate) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<int16_t> v(static_cast<size_t>(info.frames * info.channels));
    sf_readf_short(f, v.data(), info.frames);
    sf_close(f);
    if (channels) *channels = info.channels;
    if (rate) *rate = info.samplerate;
    return v;
}

double snr_db(const std::vector<int16_t> &ref, const std::vector<int16_t> &got, int channels, int delay, size_t skip) {
    double sig = 0, noise = 0;
    const size_t off = static_cast<size_t>(delay) * channels;
    for (size_t i = skip * channels; i < ref.size() && i + off < got.size(); ++i) {
        const double r = ref[i], g = got[i + off];
        sig += r * r;
        noise += (r - g) * (r - g);
    }
    if (noise == 0) return 200;
    return 10 * std::log10(sig / noise);
}

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return v;
}

std::string to_hex(const uint8_t *data, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        s += b;
    }
    return s;
}

}  // namespace blmx::test

#include <fcntl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <chrono>

namespace blmx::test {

process::process(std::vector<std::string> args, const std::string &ready_word) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    if (ready_word.empty()) {
        ready_ = true;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        drain(50);
        if (text_.find(ready_word) != std::string::npos) {
            ready_ = true;
            return;
        }
        if (wait(0) >= 0) return;
    }
}

process::~process() {
    if (pid_ > 0 && status_ < 0) stop();
    if (out_ >= 0) close(out_);
}

void process::drain(int timeout_ms) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
}

int process::wait(double seconds) {
    if (pid_ <= 0) return -1;
    if (status_ >= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int st = 0;
        const pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            drain(0);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        drain(20);
    }
}

int process::stop() {
    if (pid_ <= 0) return -1;
    if (status_ >= 0) return status_;
    kill(pid_, SIGTERM);
    if (wait(10) < 0) {
        kill(pid_, SIGKILL);
        wait(5);
    }
    return status_;
}

std::string process::output() {
    if (out_ >= 0) drain(0);
    return text_;
}

int open_descriptors() {
    // Every descriptor number the process may hold, asked one by one: no
    // file system of process information (/proc) is needed.
    const long limit = sysconf(_SC_OPEN_MAX);
    const int top = limit > 0 && limit < 65536 ? static_cast<int>(limit) : 65536;
    int n = 0;
    for (int fd = 0; fd < top; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

bool read_pcap(const std::string &path, std::vector<captured> &out, uint32_t *link_type) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t h[24];
    if (std::fread(h, 1, 24, f) != 24) {
        std::fclose(f);
        return false;
    }
    uint32_t magic, lt;
    std::memcpy(&magic, h, 4);
    std::memcpy(&lt, h + 20, 4);
    if (link_type) *link_type = lt;
    if (magic != 0xa1b2c3d4) {
        std::fclose(f);
        return false;
    }
    uint8_t r[16];
    while (std::fread(r, 1, 16, f) == 16) {
        uint32_t incl;
        std::memcpy(&incl, r + 8, 4);
        std::vector<uint8_t> data(incl);
        if (std::fread(data.data(), 1, incl, f) != incl || incl < 5) break;
        out.push_back({data[3] == 0, std::vector<uint8_t>(data.begin() + 4, data.end())});
    }
    std::fclose(f);
    return true;
}

std::vector<int16_t> worked_joint_pcm(int frames) {
    std::vector<int16_t> pcm(2 * static_cast<size_t>(frames));
    for (int t = 0; t < frames; ++t) {
        const int v = ((127 * t) % 251) - 125;
        pcm[2 * t] = static_cast<int16_t>(100 * v);
        pcm[2 * t + 1] = static_cast<int16_t>(50 * v);
    }
    return pcm;
}

}  // namespace blmx::test
