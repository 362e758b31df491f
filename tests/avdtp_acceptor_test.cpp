// The acceptor: every transition, every rejection, SET_CONFIGURATION decoding
// into the stream and its codec work record.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>

#include "tests/avdtp_test_util.h"
#include "tests/test_util.h"

using blmx::test::peer;

namespace {

struct acceptor : blmx::test::stream_fixture {
    peer p;
    acceptor(uint8_t state = 1) {
        work.reset();
        s().codec = nullptr;
        s().signal_socket = p.lib();
        s().acceptor_state = state;
    }
    ~acceptor() { avdtpACPFree(&s()); }
    // Sends a command and handles it; returns the result and what was answered.
    int command(uint8_t sig, std::vector<uint8_t> params = {}, uint8_t label = 5) {
        std::vector<uint8_t> pk{static_cast<uint8_t>(label << 4), sig};
        pk.insert(pk.end(), params.begin(), params.end());
        p.queue(pk);
        const int r = avdtpACPHandlePacket(&s());
        answers = p.written();
        return r;
    }
    std::vector<std::vector<uint8_t>> answers;
};

std::vector<uint8_t> set_config(uint8_t o0, uint8_t o1, uint8_t bitpool = 35) {
    return {0x20, 0x0C, 0x01, 0x00, 0x07, 0x06, 0x00, 0x00, o0, o1, 2, bitpool};
}

}  // namespace

TEST(AvdtpAcceptor, TransitionTable) {
    struct row {
        uint8_t from, signal;
        int result;  // the signal when accepted, -6 when rejected
        uint8_t to;
    };
    const row rows[] = {
        {1, 3, 3, 2},  {0, 3, -6, 0}, {2, 3, -6, 2}, {2, 6, 6, 3},  {1, 6, -6, 1}, {3, 7, 7, 4},  {5, 7, 7, 4},
        {2, 7, -6, 2}, {4, 7, -6, 4}, {3, 9, 9, 5},  {4, 9, 9, 5},  {5, 9, -6, 5}, {3, 8, 8, 6},  {4, 8, 8, 6},
        {5, 8, 8, 6},  {6, 8, -6, 6}, {2, 8, -6, 2}, {0, 1, 1, 0},  {6, 1, 1, 6},  {0, 2, 2, 0},  {6, 2, 2, 6},
        // GET_ALL_CAPABILITIES wherever GET_CAPABILITIES; ABORT in every state, back to idle
        // (a stream never made ready stays so); a closed end-point takes a new configuration.
        {0, 12, 12, 0}, {4, 12, 12, 4}, {6, 12, 12, 6}, {0, 10, 10, 0}, {1, 10, 10, 1}, {2, 10, 10, 1},
        {3, 10, 10, 1}, {4, 10, 10, 1}, {5, 10, 10, 1}, {6, 10, 10, 1}, {6, 3, 3, 2},
    };
    for (const auto &r : rows) {
        acceptor a(r.from);
        const std::vector<uint8_t> params = r.signal == 3 ? set_config(0x21, 0x15) : std::vector<uint8_t>{0x04};
        EXPECT_EQ(a.command(r.signal, params), r.result) << int(r.from) << " " << int(r.signal);
        EXPECT_EQ(a.s().acceptor_state, r.to) << int(r.from) << " " << int(r.signal);
        ASSERT_EQ(a.answers.size(), 1u);
        EXPECT_EQ(a.answers[0][0], r.result > 0 ? 0x52 : 0x53);
    }
}

TEST(AvdtpAcceptor, AnswersAndRejections) {
    acceptor a;
    EXPECT_EQ(a.command(1), 1);
    EXPECT_EQ(a.answers[0], (std::vector<uint8_t>{0x52, 0x01, 0x20, 0x08}));
    EXPECT_EQ(a.command(2, {0x20}), 2);
    EXPECT_EQ(a.answers[0], (std::vector<uint8_t>{0x52, 0x02, 0x01, 0x00, 0x07, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0x02, 0xFA}));
    EXPECT_EQ(a.command(12, {0x20}), 12);
    EXPECT_EQ(a.answers[0], (std::vector<uint8_t>{0x52, 0x0C, 0x01, 0x00, 0x07, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0x02, 0xFA}));
    for (uint8_t sig : {0, 4, 5, 11, 63}) {
        for (uint8_t state : {1, 3, 4}) {
            acceptor b(state);
            EXPECT_EQ(b.command(sig, {0x04}, 9), -6) << int(sig);
            EXPECT_EQ(b.answers[0], (std::vector<uint8_t>{0x93, static_cast<uint8_t>(sig == 0 ? 3 : sig), 0x00})) << int(sig);
            EXPECT_EQ(b.s().acceptor_state, state);
        }
    }
    // Responses and general rejects are not commands: nothing is sent.
    for (uint8_t type : {1, 2, 3}) {
        acceptor c;
        c.p.queue({static_cast<uint8_t>(0x50 | type), 0x03});
        EXPECT_EQ(avdtpACPHandlePacket(&c.s()), -6);
        EXPECT_TRUE(c.p.written().empty());
    }
    acceptor d;
    close(d.p.fds[1]);
    d.p.fds[1] = -1;
    EXPECT_EQ(avdtpACPHandlePacket(&d.s()), -6);
}

// What an AVDTP 1.3 initiator does: capabilities in their newer form, and a
// stream ended by ABORT or CLOSE and configured again on the same channel.
// ABORT releases the codec work record; a new configuration brings one back.
TEST(AvdtpAcceptor, ReconfigurationAfterAbortOrClose) {
    struct step {
        uint8_t signal;
        int result;
        uint8_t state;
        bool has_codec;
    };
    const struct {
        const char *name;
        std::vector<step> steps;
    } cases[] = {
        {"abort while streaming",
         {{12, 12, 1, false}, {3, 3, 2, true}, {6, 6, 3, true}, {7, 7, 4, true}, {10, 10, 1, false},
          {3, 3, 2, true}, {6, 6, 3, true}, {7, 7, 4, true}}},
        {"close, then configure again",
         {{2, 2, 1, false}, {3, 3, 2, true}, {6, 6, 3, true}, {7, 7, 4, true}, {8, 8, 6, true}, {3, 3, 2, true},
          {6, 6, 3, true}}},
        {"abort when configured, and twice", {{3, 3, 2, true}, {10, 10, 1, false}, {10, 10, 1, false}, {3, 3, 2, true}}},
    };
    for (const auto &c : cases) {
        acceptor a;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const step &st = c.steps[i];
            const std::vector<uint8_t> params = st.signal == 3 ? set_config(0x21, 0x15) : std::vector<uint8_t>{0x04};
            EXPECT_EQ(a.command(st.signal, params), st.result) << c.name << ", step " << i;
            EXPECT_EQ(a.s().acceptor_state, st.state) << c.name << ", step " << i;
            EXPECT_EQ(a.s().codec != nullptr, st.has_codec) << c.name << ", step " << i;
            ASSERT_EQ(a.answers.size(), 1u) << c.name << ", step " << i;
            EXPECT_EQ(a.answers[0][0], 0x52) << c.name << ", step " << i;  // accepted
        }
    }
}

TEST(AvdtpAcceptor, SetConfigurationDecoding) {
    struct c {
        const char *name;
        uint8_t o0, o1;
        int frequency, mode, blocks, subbands, allocation;
    };
    const c cases[] = {{"all bits", 0xFF, 0xFF, 3, 2, 3, 1, 0},
                       {"44.1 kHz joint, 16 blocks, 8 subbands, loudness", 0x21, 0x15, 2, 3, 3, 1, 0},
                       {"16 kHz mono, 4 blocks, 4 subbands, SNR", 0x88, 0x8A, 0, 0, 0, 0, 1},
                       {"32 kHz dual, 8 blocks, SNR", 0x44, 0x46, 1, 1, 1, 1, 1},
                       {"12 blocks", 0x21, 0x25, 2, 3, 2, 1, 0}};
    for (const auto &x : cases) {
        acceptor a;
        EXPECT_EQ(a.command(3, set_config(x.o0, x.o1, 41)), 3) << x.name;
        EXPECT_EQ(a.answers[0], (std::vector<uint8_t>{0x52, 0x03})) << x.name;
        const bt_stream &s = a.s();
        EXPECT_EQ(s.frequency_index, x.frequency) << x.name;
        EXPECT_EQ(s.channel_mode, x.mode) << x.name;
        EXPECT_EQ(s.blocks_index, x.blocks) << x.name;
        EXPECT_EQ(s.subbands_flag, x.subbands) << x.name;
        EXPECT_EQ(s.allocation, x.allocation) << x.name;
        EXPECT_EQ(s.bitpool, 41) << x.name;
        EXPECT_EQ(s.remote_seid, 3) << x.name;
        ASSERT_NE(s.codec, nullptr);
    }
}

TEST(AvdtpAcceptor, SetConfigurationRefusals) {
    // A field without bits: -22, nothing sent, state 1, earlier fields kept.
    acceptor a;
    a.s().channel_mode = 2;
    EXPECT_EQ(a.command(3, set_config(0x20, 0x15)), -22);
    EXPECT_TRUE(a.answers.empty());
    EXPECT_EQ(a.s().acceptor_state, 1);
    EXPECT_EQ(a.s().frequency_index, 2);
    EXPECT_EQ(a.s().remote_seid, 3);
    EXPECT_EQ(a.s().codec, nullptr);

    struct c {
        const char *name;
        std::vector<uint8_t> params;
    };
    const c rejected[] = {{"three bytes", {0x20, 0x0C, 0x01}},
                          {"only a media transport element", {0x20, 0x0C, 0x01, 0x00}},
                          {"codec element cut short", {0x20, 0x0C, 0x07, 0x06, 0x00, 0x00, 0x21}},
                          {"a non-SBC codec", {0x20, 0x0C, 0x07, 0x06, 0x00, 0x02, 0x21, 0x15, 2, 35}}};
    for (const auto &x : rejected) {
        acceptor b;
        EXPECT_EQ(b.command(3, x.params), -6) << x.name;
        ASSERT_EQ(b.answers.size(), 1u);
        EXPECT_EQ(b.answers[0], (std::vector<uint8_t>{0x53, 0x03, 0x00})) << x.name;
        EXPECT_EQ(b.s().acceptor_state, 1);
    }
}

TEST(AvdtpAcceptor, CodecRecordIsClearedOnReuseAndFreedOnce) {
    acceptor a;
    ASSERT_EQ(a.command(3, set_config(0x21, 0x15)), 3);
    sbc_work *w = a.s().codec;
    ASSERT_NE(w, nullptr);
    for (uint8_t b : std::vector<uint8_t>(reinterpret_cast<uint8_t *>(w), reinterpret_cast<uint8_t *>(w) + sizeof *w)) ASSERT_EQ(b, 0);
    std::memset(w, 0x5A, sizeof *w);
    a.s().acceptor_state = 1;
    ASSERT_EQ(a.command(3, set_config(0x21, 0x15)), 3);
    EXPECT_EQ(a.s().codec, w);
    EXPECT_EQ(w->history[1][159], 0.0f);
    EXPECT_EQ(w->pcm_fill, 0);
    avdtpACPFree(&a.s());
    EXPECT_EQ(a.s().codec, nullptr);
    avdtpACPFree(&a.s());
    EXPECT_EQ(a.s().codec, nullptr);
}

TEST(AvdtpAcceptor, AnswersNotWrittenInFullFail) {
    signal(SIGPIPE, SIG_IGN);
    struct c {
        uint8_t state, signal;
        std::vector<uint8_t> params;
    };
    const c cases[] = {{2, 6, {0x04}}, {3, 7, {0x04}}, {1, 1, {}}, {1, 3, set_config(0x21, 0x15)}};
    for (const auto &x : cases) {
        acceptor a(x.state);
        std::vector<uint8_t> pk{0x50, x.signal};
        pk.insert(pk.end(), x.params.begin(), x.params.end());
        a.p.queue(pk);
        close(a.p.fds[1]);  // the command arrived, then the link went
        a.p.fds[1] = -1;
        EXPECT_EQ(avdtpACPHandlePacket(&a.s()), -22) << int(x.signal);
        EXPECT_EQ(a.s().acceptor_state, x.state) << int(x.signal);
        EXPECT_EQ(a.s().codec, nullptr);
    }
}
