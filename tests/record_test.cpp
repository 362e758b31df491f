// Record transfer over a socket pair: delivery across calls, packets with
// several frames, dropped packets, EAGAIN, end of stream and read errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "sbc/sbc.h"
#include "tests/test_util.h"

namespace {

int waits = 0;

// Frames of a stereo 44.1 kHz, 8-subband, 16-block stream and their PCM.
struct frames {
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::vector<int16_t>> pcm;  // what a fresh decoder gives for each, in order
};

frames make_frames(int count, uint8_t bitpool = 40) {
    blmx::test::stream_fixture enc, dec;
    for (auto *s : {&enc.s(), &dec.s()}) {
        s->channel_mode = 2;
        s->subbands_flag = 1;
        s->blocks_index = 3;
        s->frequency_index = 2;
        s->bitpool = bitpool;
        blmx::sbc::set_dimensions(*s->codec, *s);
    }
    frames out;
    const auto pcm = blmx::test::sine(128 * count, 2, 600, 44100, 7000);
    for (int k = 0; k < count; ++k) {
        std::memcpy(enc.w().pcm, pcm.data() + 256 * k, 512);
        const uint32_t n = sbc_encode_frame(&enc.s());
        out.bytes.emplace_back(enc.w().frame, enc.w().frame + n);
        std::memset(enc.w().frame, 0, n);
        dec.w().next_frame = out.bytes.back().data();
        sbc_decode_frame(&dec.s(), n * 8);
        out.pcm.emplace_back(dec.w().pcm, dec.w().pcm + 256);
    }
    return out;
}

std::vector<uint8_t> packet(const std::vector<std::vector<uint8_t>> &fr, int count_byte = -1) {
    std::vector<uint8_t> p = {0x80, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1,
                              static_cast<uint8_t>(count_byte < 0 ? fr.size() : count_byte)};
    for (const auto &f : fr) p.insert(p.end(), f.begin(), f.end());
    return p;
}

struct record_fixture : blmx::test::stream_fixture {
    int fds[2] = {-1, -1};
    record_fixture() {
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        s().media_socket = fds[0];
        s().mtu = 1000;
        s().channel_mode = 2;
        s().subbands_flag = 1;
        s().blocks_index = 3;
        s().frequency_index = 2;
    }
    ~record_fixture() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void send(const std::vector<uint8_t> &p) { ::send(fds[1], p.data(), p.size(), 0); }
    int receive(std::vector<int16_t> &out, int bytes, int wait = 0) {
        std::vector<int16_t> buf(static_cast<size_t>(bytes + 1) / 2 + 1);
        const int r = bt_receive(&s(), buf.data(), bytes, wait);
        if (r > 0) out.insert(out.end(), buf.begin(), buf.begin() + r / 2);
        return r;
    }
};

std::vector<int16_t> join(const std::vector<std::vector<int16_t>> &v, size_t from, size_t to) {
    std::vector<int16_t> out;
    for (size_t i = from; i < to; ++i) out.insert(out.end(), v[i].begin(), v[i].end());
    return out;
}

}  // namespace

extern "C" void belmux_wait(void) { ++waits; }

TEST(Record, HalfFramesAcrossCalls) {
    const auto fr = make_frames(1);
    record_fixture f;
    f.send(packet(fr.bytes));
    std::vector<int16_t> got;
    waits = 0;
    EXPECT_EQ(f.receive(got, 256, 1), 256);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(f.w().pcm_fill, 128);
    EXPECT_EQ(f.receive(got, 256, 1), 256);
    EXPECT_EQ(f.w().pcm_fill, 0);
    EXPECT_EQ(got, fr.pcm[0]);
    EXPECT_EQ(f.receive(got, 256), 0);  // nothing waiting
}

TEST(Record, SeveralFramesAndPacketsInOneCall) {
    const auto fr = make_frames(5);
    record_fixture f;
    f.send(packet({fr.bytes[0], fr.bytes[1], fr.bytes[2]}));
    f.send(packet({}, 0));                          // frame count 0: no PCM
    f.send({0x80, 0x60, 0, 2});                      // too short
    auto not_rtp = packet({fr.bytes[3]});
    not_rtp[0] = 0x90;  // not a plain RTP version 2 header
    f.send(not_rtp);
    f.send(packet({fr.bytes[3], fr.bytes[4]}));
    std::vector<int16_t> got;
    EXPECT_EQ(f.receive(got, 5 * 512 + 100), 5 * 512);  // all delivered, then EAGAIN
    EXPECT_EQ(got, join(fr.pcm, 0, 5));
    EXPECT_EQ(f.s().bitpool, 40);
}

TEST(Record, ZeroCountOddCountAndEndOfStream) {
    const auto fr = make_frames(2);
    record_fixture f;
    f.send(packet(fr.bytes));
    std::vector<int16_t> got;
    waits = 0;
    EXPECT_EQ(f.receive(got, 0, 1), 0);
    EXPECT_EQ(waits, 1);
    EXPECT_EQ(f.w().packet_frames_left, 0);  // nothing read
    EXPECT_EQ(f.receive(got, 101), 100);      // whole 16-bit values only
    EXPECT_EQ(f.receive(got, 1), 0);
    close(f.fds[1]);
    f.fds[1] = -1;
    EXPECT_EQ(f.receive(got, 4000), 1024 - 100);  // the rest, then end of stream
    EXPECT_EQ(got, join(fr.pcm, 0, 2));
    EXPECT_EQ(f.receive(got, 100), 0);
}

TEST(Record, ReadErrorsReturnMinusOne) {
    const auto fr = make_frames(1);
    record_fixture f;
    f.send(packet(fr.bytes));
    std::vector<int16_t> got;
    EXPECT_EQ(f.receive(got, 256), 256);
    close(f.fds[0]);
    f.s().media_socket = f.fds[0];
    f.fds[0] = -1;
    EXPECT_EQ(f.receive(got, 1024), -1);  // 256 delivered, then the read fails
}

TEST(Record, DamagedFramesAreGivenUpWithoutStalling) {
    const auto fr = make_frames(3);
    record_fixture f;
    auto bad = fr.bytes[1];
    bad[4] ^= 0x11;  // scale factors no longer match the CRC
    f.send(packet({fr.bytes[0], bad, fr.bytes[2]}));
    auto foreign = fr.bytes[0];
    foreign[1] ^= 0x40;  // another sampling frequency
    f.send(packet({foreign}));
    f.send(packet({fr.bytes[2]}));
    std::vector<int16_t> got;
    const int r = f.receive(got, 10000);
    // Frame 0 decodes; the damaged frame is refused and the rest of that packet is
    // given up after its frame count; the foreign frame is refused; the last decodes.
    EXPECT_EQ(r, 2 * 512);
    EXPECT_EQ(std::vector<int16_t>(got.begin(), got.begin() + 256), fr.pcm[0]);
}
