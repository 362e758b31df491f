// Initiator procedures against a scripted remote: discovery, the capability
// match, the block and bitpool choices, the stereo-to-mono fall-back and the
// results and messages of every outcome.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/avdtp_test_util.h"
#include "tests/test_util.h"

using blmx::test::peer;

namespace {

struct reply {
    uint8_t type;  // 1 general reject, 2 accept, 3 reject
    uint8_t signal;
    std::vector<uint8_t> params;
};

struct stream_init {
    uint8_t frequency = 2, mode = 2, allocation = 0, subbands_flag = 1, bitpool = 250;
};

std::vector<uint8_t> sbc_caps(uint8_t o0, uint8_t o1, uint8_t lo, uint8_t hi) { return {0x01, 0x00, 0x07, 0x06, 0x00, 0x00, o0, o1, lo, hi}; }

reply disc(std::vector<uint8_t> entries) { return {2, 1, std::move(entries)}; }
reply caps(uint8_t o0, uint8_t o1, uint8_t hi, uint8_t lo = 2) { return {2, 2, sbc_caps(o0, o1, lo, hi)}; }
reply ok(uint8_t sig) { return {2, sig, {}}; }
reply no(uint8_t sig) { return {3, sig, {0x29}}; }

struct outcome {
    int result;
    int commands;  // written by the library
    std::string output;
    int seid, mode, blocks_index, bitpool;
    std::vector<uint8_t> last_command;
};

outcome run(const stream_init &init, int sink, const std::vector<reply> &replies) {
    outcome o{};
    const std::string text = blmx::test::capture_stdout([&] {
        peer p;
        const uint8_t base = peer::next_label();
        for (size_t i = 0; i < replies.size(); ++i) {
            std::vector<uint8_t> pk{static_cast<uint8_t>(((base + i) & 15) << 4 | replies[i].type), replies[i].signal};
            for (uint8_t b : replies[i].params) pk.push_back(b);
            p.queue(pk);
        }
        // Whatever the script did not foresee ends in a failed read.
        shutdown(p.fds[1], SHUT_WR);
        blmx::test::stream_fixture f;
        bt_stream &s = f.s();
        s.signal_socket = p.lib();
        s.frequency_index = init.frequency;
        s.channel_mode = init.mode;
        s.allocation = init.allocation;
        s.subbands_flag = init.subbands_flag;
        s.bitpool = init.bitpool;
        const int r = avdtpDiscoverAndConfig(&s, sink);
        const auto w = p.written();
        std::printf("|%d %zu %d %d %d %d|", r, w.size(), s.remote_seid, s.channel_mode, s.blocks_index, s.bitpool);
        if (!w.empty())
            for (uint8_t b : w.back()) std::printf("%02x", b);
    });
    const size_t bar = text.find('|');
    o.output = text.substr(0, bar);
    size_t cmds = 0;
    char hex[128] = {};
    std::sscanf(text.c_str() + bar, "|%d %zu %d %d %d %d|%127s", &o.result, &cmds, &o.seid, &o.mode, &o.blocks_index,
                &o.bitpool, hex);
    o.commands = static_cast<int>(cmds);
    o.last_command = blmx::test::from_hex(hex);
    return o;
}

const std::string no_match = "backend_bt: No frequency and mode match\n";
const std::string no_bands = "backend_bt: No bands available\n";
const std::string no_caps = "backend_bt: Cannot get capabilities\n";

// SEP entries: seid 1 sink, seid 2 source, seid 3 sink in use.
constexpr uint8_t sink1[] = {0x04, 0x08}, source2[] = {0x08, 0x00}, busy3[] = {0x0E, 0x08};

std::vector<uint8_t> entries(std::initializer_list<const uint8_t *> list) {
    std::vector<uint8_t> v;
    for (const uint8_t *e : list) {
        v.push_back(e[0]);
        v.push_back(e[1]);
    }
    return v;
}

}  // namespace

TEST(AvdtpInitiator, DiscoveryOutcomes) {
    struct c {
        const char *name;
        int sink;
        std::vector<reply> replies;
        int result, commands;
        std::string output;
    };
    const c cases[] = {
        {"only entry in use", 1, {disc(entries({busy3}))}, -16, 1, ""},
        {"record finds only sinks", 0, {disc(entries({sink1}))}, -16, 1, ""},
        {"playback finds only sources", 1, {disc(entries({source2}))}, -16, 1, ""},
        {"empty discover reply", 1, {disc({})}, -16, 1, ""},
        {"odd byte ignored", 1, {disc({0x0E, 0x08, 0x04})}, -16, 1, ""},
        {"discover rejected", 1, {no(1)}, -22, 1, ""},
        {"discover general reject", 1, {{1, 1, {}}}, -6, 1, ""},
        {"capabilities fail for the only candidate", 1, {disc(entries({sink1})), no(2)}, -22, 2, no_caps},
        {"capabilities general reject", 1, {disc(entries({sink1})), {1, 2, {}}}, -6, 2, no_caps},
        {"first candidate fails, second configured",
         1,
         {disc({0x04, 0x08, 0x10, 0x08}), no(2), caps(0xFF, 0xFF, 53), ok(3)},
         0,
         4,
         no_caps},
        {"capabilities without an SBC element", 1, {disc(entries({sink1})), {2, 2, {0x01, 0x00}}}, -22, 2, no_match + no_match},
        {"stereo rejected, mono rejected, next entry",
         1,
         {disc({0x04, 0x08, 0x10, 0x08}), caps(0xFF, 0xFF, 53), no(3), no(3), caps(0xFF, 0xFF, 53), ok(3)},
         0,
         6,
         ""},
    };
    for (const auto &x : cases) {
        const outcome o = run({}, x.sink, x.replies);
        EXPECT_EQ(o.result, x.result) << x.name;
        EXPECT_EQ(o.commands, x.commands) << x.name;
        EXPECT_EQ(o.output, x.output) << x.name;
    }
}

TEST(AvdtpInitiator, ConfigurationChoices) {
    struct c {
        const char *name;
        stream_init init;
        reply capabilities;
        int mode, blocks_index, bitpool;
        std::string output;
    };
    const c cases[] = {
        {"16 and 8 blocks: 16", {}, caps(0xFF, 0x5F, 53), 2, 3, 53, ""},
        {"only 4 blocks", {}, caps(0xFF, 0x8F, 53), 2, 0, 53, ""},
        {"stereo, SNR: even bitpool", {2, 2, 1, 1, 250}, caps(0xFF, 0xFF, 53), 2, 3, 52, ""},
        {"stereo, loudness", {2, 2, 0, 1, 250}, caps(0xFF, 0xFF, 53), 2, 3, 53, ""},
        {"mono, SNR: halved", {2, 0, 1, 1, 128}, caps(0xFF, 0xFF, 53), 0, 3, 26, ""},
        {"mono, loudness, 4 subbands: halved twice", {2, 0, 0, 0, 128}, caps(0xFF, 0xFF, 53), 0, 3, 13, ""},
        {"remote maximum above the stream's bitpool", {2, 2, 0, 1, 40}, caps(0xFF, 0xFF, 53), 2, 3, 40, ""},
        {"stereo missing: mono fall-back", {}, caps(0xF8, 0xFF, 53), 0, 3, 26, no_match},
        {"8 subbands missing", {}, caps(0xFF, 0xF9, 53), 0, 0, 250, no_bands + no_bands},
        // Two channels stay two where the remote has joint stereo but not stereo.
        {"joint stereo only: joint stereo", {}, caps(0xF1, 0xFF, 53), 3, 3, 53, no_match},
        {"joint stereo and mono, bitpool 30-53: joint stereo", {}, caps(0xF9, 0xFF, 53, 30), 3, 3, 53, no_match},
        // A halved bitpool below the remote's minimum is raised to it.
        {"mono only, bitpool 30-53: raised to 30", {}, caps(0xF8, 0xFF, 53, 30), 0, 3, 30, no_match},
        {"maximum 2, mono, 4 subbands: 2, not 0", {2, 0, 0, 0, 250}, caps(0xFF, 0xFF, 2, 2), 0, 3, 2, ""},
    };
    for (const auto &x : cases) {
        const bool succeeds = x.output.find("No bands") == std::string::npos;
        std::vector<reply> replies{disc(entries({sink1})), x.capabilities};
        if (succeeds) replies.push_back(ok(3));
        const outcome o = run(x.init, 1, replies);
        EXPECT_EQ(o.result, succeeds ? 0 : -22) << x.name;
        EXPECT_EQ(o.mode, x.mode) << x.name;
        EXPECT_EQ(o.blocks_index, x.blocks_index) << x.name;
        EXPECT_EQ(o.bitpool, x.bitpool) << x.name;
        EXPECT_EQ(o.output, x.output) << x.name;
        EXPECT_EQ(o.seid, 1) << x.name;
        if (succeeds) {
            ASSERT_EQ(o.last_command.size(), 14u) << x.name;
            EXPECT_EQ(o.last_command[1], 3);
            EXPECT_EQ(o.last_command[2], 0x04);  // ACP SEID 1
            EXPECT_EQ(o.last_command[3], 0x20);  // our SEID 8
            EXPECT_EQ(o.last_command[12], x.capabilities.params[8]);  // the remote's minimum, passed on
            EXPECT_EQ(o.last_command[13], x.bitpool);
        }
    }
}

// A bitpool range the remote cannot meet fails every attempt before any
// SET_CONFIGURATION goes out.
TEST(AvdtpInitiator, UnusableBitpoolRangesFail) {
    const struct {
        const char *name;
        uint8_t min, max;
    } cases[] = {{"minimum above maximum", 30, 20}, {"maximum and minimum 0", 0, 0}};
    for (const auto &c : cases) {
        const outcome o = run({}, 1, {disc(entries({sink1})), caps(0xFF, 0xFF, c.max, c.min)});
        EXPECT_EQ(o.result, -22) << c.name;
        EXPECT_EQ(o.commands, 2) << c.name;  // DISCOVER and GET_CAPABILITIES only
    }
}

TEST(AvdtpInitiator, FrequencyMissingInStereoAndMono) {
    // 44.1 kHz stream, remote offers only 48 kHz: the message twice, -22, left in mono.
    const outcome o = run({}, 1, {disc(entries({sink1})), caps(0x1F, 0xFF, 53)});
    EXPECT_EQ(o.result, -22);
    EXPECT_EQ(o.output, no_match + no_match);
    EXPECT_EQ(o.mode, 0);
    // No SBC frequency at all: every candidate fails silently.
    const outcome n = run({255, 2, 0, 1, 250}, 1, {disc(entries({sink1})), caps(0xFF, 0xFF, 53)});
    EXPECT_EQ(n.result, -22);
    EXPECT_EQ(n.output, "");
}

TEST(AvdtpInitiator, SingleCommandsAndBuilders) {
    peer p;
    const struct {
        int (*fn)(int, int);
        uint8_t sig;
    } singles[] = {{avdtpOpen, 6}, {avdtpStart, 7}, {avdtpClose, 8}, {avdtpSuspend, 9}, {avdtpAbort, 10}};
    for (const auto &x : singles) {
        p.accept(peer::next_label(), x.sig);
        EXPECT_EQ(x.fn(p.lib(), 5), 0);
        const auto w = p.written();
        ASSERT_EQ(w.size(), 1u);
        EXPECT_EQ(w[0], (std::vector<uint8_t>{w[0][0], x.sig, 0x14}));
        p.reject(peer::next_label(), x.sig);
        EXPECT_EQ(x.fn(p.lib(), 5), -22);
        p.written();
    }
    const uint8_t conf[4] = {1, 0, 7, 6};
    p.accept(peer::next_label(), 3);
    EXPECT_EQ(avdtpSetConfiguration(p.lib(), 2, conf, 4), 0);
    const auto sc = p.written();
    ASSERT_EQ(sc.size(), 1u);
    EXPECT_EQ(sc[0], (std::vector<uint8_t>{sc[0][0], 3, 0x08, 0x20, 1, 0, 7, 6}));

    EXPECT_EQ(avdtpSendAccept(p.lib(), 0x1A, 3), 0);
    EXPECT_EQ(avdtpSendReject(p.lib(), 4, 0), 0);
    EXPECT_EQ(avdtpSendDiscResponseAudio(p.lib(), 7, 8, 1), 0);
    EXPECT_EQ(avdtpSendDiscResponseAudio(p.lib(), 7, 8, 0), 0);
    const auto w = p.written();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], (std::vector<uint8_t>{0xA2, 0x03}));
    EXPECT_EQ(w[1], (std::vector<uint8_t>{0x43, 0x03, 0x00}));
    EXPECT_EQ(w[2], (std::vector<uint8_t>{0x72, 0x01, 0x20, 0x08}));
    EXPECT_EQ(w[3], (std::vector<uint8_t>{0x72, 0x01, 0x20, 0x00}));
    close(p.fds[1]);
    p.fds[1] = -1;
    EXPECT_EQ(avdtpSendAccept(p.lib(), 1, 3), -22);
}
