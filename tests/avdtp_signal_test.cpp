// Signalling transport: labels, reassembly, the wait for the matching
// response, commands from the peer meanwhile, and the alarm.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/avdtp_test_util.h"

using blmx::test::peer;

namespace {

int transact(const peer &p, avdtp_signal &reply, int sig, std::vector<uint8_t> params = {}) {
    return avdtpTransact(p.lib(), &reply, sig, params.empty() ? nullptr : params.data(),
                         static_cast<uint32_t>(params.size()), nullptr, 0);
}

}  // namespace

TEST(AvdtpTransport, LabelsComeFromOneCounterAndWrap) {
    peer p;
    avdtp_label_counter = 0;
    avdtp_signal reply;
    for (int i = 0; i < 17; ++i) {
        p.accept(static_cast<uint8_t>(i & 15), 6);
        ASSERT_EQ(transact(p, reply, 6, {0x04}), 0) << i;
    }
    const auto w = p.written();
    ASSERT_EQ(w.size(), 17u);
    EXPECT_EQ(w[0][0], 0x00);
    EXPECT_EQ(w[15][0], 0xF0);
    EXPECT_EQ(w[16][0], 0x00);  // the 17th command has label 0 again
    EXPECT_EQ(avdtp_label_counter, 17);
    avdtp_label_counter = 255;
    p.accept(15, 6);
    ASSERT_EQ(transact(p, reply, 6), 0);
    EXPECT_EQ(avdtp_label_counter, 0);
}

TEST(AvdtpTransport, CommandFormatAndSignalRule) {
    peer p;
    avdtp_signal reply;
    const struct {
        int sig;
        uint8_t wire;
    } cases[] = {{0, 3}, {64, 0}, {7, 7}, {0x47, 7}};
    for (const auto &c : cases) {
        p.accept(peer::next_label(), c.wire);
        const uint8_t a[2] = {1, 2}, b[3] = {3, 4, 5};
        ASSERT_EQ(avdtpTransact(p.lib(), &reply, c.sig, a, 2, b, 3), 0);
        const auto w = p.written();
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0], (std::vector<uint8_t>{w[0][0], c.wire, 1, 2, 3, 4, 5})) << c.sig;
        EXPECT_EQ(w[0][0] & 0x0F, 0);
    }
}

TEST(AvdtpTransport, WaitingForTheMatchingResponse) {
    peer p;
    avdtp_signal reply;
    const uint8_t l = peer::next_label();
    const uint8_t other = static_cast<uint8_t>((l + 5) & 15);
    // A stale accept and a stale reject are dropped; a command is refused; then the answer.
    p.accept(other, 2, {9, 9});
    p.reject(other, 2);
    p.queue({static_cast<uint8_t>(0x90 | 0), 0x00});  // a command from the peer, label 9, signal 0
    p.accept(l, 2, {0xAA, 0xBB});
    ASSERT_EQ(transact(p, reply, 2, {0x04}), 0);
    EXPECT_EQ(reply.length, 2);
    EXPECT_EQ(reply.payload[0], 0xAA);
    const auto w = p.written();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1], (std::vector<uint8_t>{0x93, 0x03, 0x00}));  // echoes label 9, signal 0 sent as 3

    const struct {
        std::vector<uint8_t> answer;
        int result;
    } endings[] = {{{0x03, 0x02, 0x31}, -22},  // reject with our label (filled below)
                   {{0x51, 0x02}, -6},         // general reject with any label
                   {{0x00}, -6}};              // a lone byte: a failed read
    for (auto e : endings) {
        if (e.result == -22) e.answer[0] = static_cast<uint8_t>(peer::next_label() << 4 | 3);
        p.queue(e.answer);
        EXPECT_EQ(transact(p, reply, 2), e.result);
        p.written();
    }
}

TEST(AvdtpTransport, FailuresStillAdvanceTheCounterAndDisarmTheAlarm) {
    peer p;
    avdtp_signal reply;
    close(p.fds[1]);
    p.fds[1] = -1;
    signal(SIGPIPE, SIG_IGN);
    const uint8_t before = avdtp_label_counter;
    alarm(100);
    EXPECT_EQ(transact(p, reply, 6), -22);
    EXPECT_EQ(avdtp_label_counter, static_cast<uint8_t>(before + 1));
    EXPECT_EQ(alarm(0), 0u);  // nothing pending any more
    EXPECT_EQ(avdtpTransact(p.lib(), &reply, 6, nullptr, 0, nullptr, -1), -22);
}

TEST(AvdtpTransport, AnAlarmEndsAWaitThatNeverAnswers) {
    peer p;
    avdtp_signal reply;
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, &old);  // no SA_RESTART: the read ends with EINTR
    // Shorten the wait: re-arm the alarm for 1 s once the command is out.
    std::thread rearm([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        alarm(1);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(transact(p, reply, 1), -6);
    rearm.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    sigaction(SIGALRM, &old, nullptr);
}

// A peer that never lets the channel fall quiet: the exchange still ends
// with -6 once its 8 seconds have passed. The alarm is handled with
// SA_RESTART here, so it never ends a read: it lands between reads, as it
// can with a busy peer whatever the handler, and only the exchange's own
// deadline can end the wait.
TEST(AvdtpTransport, ABusyPeerCannotHoldTheExchangeOpen) {
    struct busy_case {
        const char *name;
        std::vector<uint8_t> first;  // sent once, first
        std::vector<uint8_t> again;  // then sent without end
        int pause_ms;
    };
    const busy_case cases[] = {
        {"stale responses without pause", {}, {0x02, 0x06}, 0},          // accepts under another label
        {"commands back to back", {}, {0x00, 0x01}, 0},                   // DISCOVER, each refused
        {"fragments that never end", {0x04, 0xFF, 0x06, 0x00}, {0x08, 0x00}, 40},  // a start, then continues
    };
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};
    sa.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &sa, &old);
    for (const auto &c : cases) {
        peer p;
        const uint8_t label = peer::next_label(), other = static_cast<uint8_t>((label + 1) & 15);
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            const auto with_label = [&](std::vector<uint8_t> pk, uint8_t l) {
                pk[0] = static_cast<uint8_t>(l << 4 | (pk[0] & 0x0F));
                return pk;
            };
            if (!c.first.empty()) p.queue(with_label(c.first, label));
            while (!stop) {
                const auto pk = with_label(c.again, c.first.empty() ? other : label);
                (void)!::send(p.fds[1], pk.data(), pk.size(), MSG_DONTWAIT);
                p.written();  // whatever the library answered
                if (c.pause_ms) std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
            }
        });
        avdtp_signal reply;
        const auto t0 = std::chrono::steady_clock::now();
        const int r = transact(p, reply, 6, {0x04});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        stop = true;
        flood.join();
        EXPECT_EQ(r, -6) << c.name;
        EXPECT_GE(seconds, 7.5) << c.name;
        EXPECT_LT(seconds, 9.0) << c.name;
    }
    sigaction(SIGALRM, &old, nullptr);
}

TEST(AvdtpReadSignal, Reassembly) {
    struct read_case {
        const char *name;
        std::vector<std::vector<uint8_t>> packets;
        int type;
        std::vector<uint8_t> payload;
        uint8_t label, signal_id;
    };
    const read_case cases[] = {
        {"single", {{0x72, 0x02, 1, 2, 3}}, 2, {1, 2, 3}, 7, 2},
        {"signal bits 7..6 ignored", {{0x10, 0xC3}}, 0, {}, 1, 3},
        {"start, continue, end", {{0x56, 3, 0x01, 1, 2}, {0x5A, 3, 4}, {0x5E, 5}}, 2, {1, 2, 3, 4, 5}, 5, 1},
        {"start with count 1", {{0x24, 1, 0x07, 9}}, 0, {9}, 2, 7},
        {"start with count 0", {{0x24, 0, 0x07, 9}}, 0, {9}, 2, 7},
        {"continue first", {{0x08, 1}}, -1, {}, 0, 0},
        {"end first", {{0x0C, 1}}, -1, {}, 0, 0},
        {"end where continue is due", {{0x56, 3, 0x01}, {0x5E, 3}}, -1, {}, 0, 0},
        {"continue where end is due", {{0x56, 2, 0x01}, {0x5A, 3}}, -1, {}, 0, 0},
        {"later packet of another label", {{0x56, 2, 0x01}, {0x6E, 3}}, -1, {}, 0, 0},
        {"later packet of another message type", {{0x56, 2, 0x01}, {0x5F, 3}}, -1, {}, 0, 0},
        {"lone byte", {{0x10}}, -1, {}, 0, 0},
        {"start packet without room for its header", {{0x14, 2}}, -1, {}, 0, 0},
    };
    for (const auto &c : cases) {
        peer p;
        for (const auto &pk : c.packets) p.queue(pk);
        avdtp_signal s;
        EXPECT_EQ(avdtpReadSignal(p.lib(), &s), c.type) << c.name;
        if (c.type < 0) continue;
        EXPECT_EQ(std::vector<uint8_t>(s.payload, s.payload + s.length), c.payload) << c.name;
        EXPECT_EQ(s.label, c.label) << c.name;
        EXPECT_EQ(s.signal_id, c.signal_id) << c.name;
    }
}

TEST(AvdtpReadSignal, SizeLimit) {
    for (size_t size : {size_t(511), size_t(512), size_t(600)}) {
        peer p;
        std::vector<uint8_t> pk(size, 0xEE);
        pk[0] = 0x02;
        pk[1] = 0x01;
        p.queue(pk);
        avdtp_signal s;
        const int r = avdtpReadSignal(p.lib(), &s);
        if (size == 511) {
            EXPECT_EQ(r, 2);
            EXPECT_EQ(s.length, 509);
        } else {
            EXPECT_EQ(r, -1) << size;
        }
    }
}
