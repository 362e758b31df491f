// Playback transfer over a socket pair: frame gathering, the media packet
// format, the MTU and 255-frame rules, EAGAIN, and what follows a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "backend/backend.h"
#include "sbc/sbc.h"
#include "tests/test_util.h"

using blmx::backend::write_playback;

namespace {

struct playback_fixture : blmx::test::stream_fixture {
    int fds[2] = {-1, -1};
    explicit playback_fixture(uint8_t mode = 2, uint8_t subbands_flag = 1, uint8_t blocks_index = 3,
                              uint8_t bitpool = 53, uint16_t mtu = 672) {
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds);
        s().media_socket = fds[0];
        s().mtu = mtu;
        s().channel_mode = mode;
        s().subbands_flag = subbands_flag;
        s().blocks_index = blocks_index;
        s().frequency_index = 2;
        s().bitpool = bitpool;
    }
    ~playback_fixture() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    // Packets waiting on the far end.
    std::vector<std::vector<uint8_t>> packets() {
        std::vector<std::vector<uint8_t>> out;
        uint8_t buf[65536];
        for (;;) {
            const ssize_t n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.emplace_back(buf, buf + n);
        }
        return out;
    }
    int frame_bytes() const { return (blmx::sbc::blocks_of(stream->blocks_index) * blmx::sbc::subbands_of(stream->subbands_flag) *
                                      blmx::sbc::channels_of(stream->channel_mode) * 2); }
};

std::vector<uint8_t> pcm_bytes(size_t frames_of_512) {
    const auto v = blmx::test::sine(static_cast<int>(frames_of_512 * 128), 2, 800, 44100, 9000);
    std::vector<uint8_t> b(v.size() * 2);
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

}  // namespace

TEST(Playback, PacketsLeaveWhenTheNextFrameDoesNotFit) {
    playback_fixture f;  // stereo, 8 subbands, 16 blocks, bitpool 53: 118-byte frames
    const auto pcm = pcm_bytes(11);
    // Five frames: nothing written yet.
    ASSERT_EQ(write_playback(f.s(), pcm.data(), 5 * 512), 5 * 512);
    EXPECT_TRUE(f.packets().empty());
    EXPECT_EQ(f.s().packet_fill, 13u + 5 * 118);
    // The sixth frame sends the first packet and opens the next.
    ASSERT_EQ(write_playback(f.s(), pcm.data() + 5 * 512, 512), 512);
    auto p = f.packets();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0].size(), 603u);
    const uint8_t header[13] = {0x80, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 5};
    EXPECT_EQ(std::memcmp(p[0].data(), header, 13), 0);
    EXPECT_EQ(p[0][13], 0x9C);
    EXPECT_EQ(f.s().packet[3], 1);                // sequence 1
    EXPECT_EQ(be32(f.s().packet + 4), 5u * 128);  // timestamp of its first frame
    ASSERT_EQ(write_playback(f.s(), pcm.data() + 6 * 512, 5 * 512), 5 * 512);
    p = f.packets();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0][3], 1);
    EXPECT_EQ(be32(p[0].data() + 4), 640u);
    EXPECT_EQ(f.s().rtp_sequence, 3u);
    EXPECT_EQ(f.s().rtp_timestamp, 11u * 128);
}

TEST(Playback, GatheringAcrossCallsAndCounts) {
    playback_fixture f;
    const auto pcm = pcm_bytes(2);
    EXPECT_EQ(write_playback(f.s(), pcm.data(), 0), 0);
    EXPECT_EQ(write_playback(f.s(), pcm.data(), -5), -5);
    ASSERT_EQ(write_playback(f.s(), pcm.data(), 100), 100);
    EXPECT_EQ(f.s().packet_fill, 0u);  // nothing encoded
    EXPECT_EQ(f.w().pcm_fill, 100);
    ASSERT_EQ(write_playback(f.s(), pcm.data() + 100, 412), 412);
    EXPECT_EQ(f.s().packet[12], 1);
    EXPECT_EQ(f.w().pcm_fill, 0);
    EXPECT_EQ(f.s().rtp_timestamp, 128u);
    // The frame buffer is clean again for the next encode.
    for (uint8_t b : f.w().frame) ASSERT_EQ(b, 0);
}

TEST(Playback, AtMost255FramesPerPacket) {
    playback_fixture f(0, 0, 0, 2, 4000);  // mono, 4 subbands, 4 blocks, bitpool 2: 7-byte frames
    const int fb = f.frame_bytes();
    ASSERT_EQ(fb, 32);
    std::vector<uint8_t> pcm(static_cast<size_t>(fb) * 256);
    ASSERT_EQ(write_playback(f.s(), pcm.data(), fb * 255), fb * 255);
    EXPECT_TRUE(f.packets().empty());
    ASSERT_EQ(write_playback(f.s(), pcm.data(), fb), fb);
    const auto p = f.packets();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0][12], 255);
    EXPECT_EQ(p[0].size(), 13u + 255 * 7);
}

TEST(Playback, AFrameThatNeverFitsFailsEveryTime) {
    playback_fixture f(2, 1, 3, 53, 100);
    const auto pcm = pcm_bytes(2);
    EXPECT_EQ(write_playback(f.s(), pcm.data(), 512), -1);
    EXPECT_EQ(write_playback(f.s(), pcm.data(), 512), -1);
    EXPECT_TRUE(f.packets().empty());
}

TEST(Playback, EagainIsRetriedUntilThePacketGoesOut) {
    playback_fixture f;
    fcntl(f.fds[0], F_SETFL, O_NONBLOCK);
    // Fill the channel until it reports EAGAIN.
    std::vector<uint8_t> junk(600);
    int queued = 0;
    while (send(f.fds[0], junk.data(), junk.size(), MSG_DONTWAIT) > 0) ++queued;
    ASSERT_GT(queued, 0);
    std::thread drain([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint8_t buf[700];
        for (int i = 0; i < queued; ++i) recv(f.fds[1], buf, sizeof buf, 0);
    });
    const auto pcm = pcm_bytes(6);
    EXPECT_EQ(write_playback(f.s(), pcm.data(), 6 * 512), 6 * 512);
    drain.join();
    const auto p = f.packets();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(p[0][12], 5);
}

TEST(Playback, AfterAFailedSendNothingIsLostOrCorrupted) {
    signal(SIGPIPE, SIG_IGN);
    const auto pcm = pcm_bytes(20);
    playback_fixture ref, f;
    ASSERT_EQ(write_playback(ref.s(), pcm.data(), 20 * 512), 20 * 512);
    const auto want = ref.packets();

    ASSERT_EQ(write_playback(f.s(), pcm.data(), 5 * 512), 5 * 512);
    int broken[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, broken);
    close(broken[1]);
    f.s().media_socket = broken[0];
    EXPECT_EQ(write_playback(f.s(), pcm.data() + 5 * 512, 512), -1);  // the send fails
    EXPECT_EQ(write_playback(f.s(), pcm.data() + 6 * 512, 512), -1);  // and again
    close(broken[0]);
    // The link is back: the pending frame is placed, not encoded again.
    f.s().media_socket = f.fds[0];
    ASSERT_EQ(write_playback(f.s(), pcm.data() + 6 * 512, 14 * 512), 14 * 512);
    const auto got = f.packets();
    EXPECT_EQ(got, want);
}
