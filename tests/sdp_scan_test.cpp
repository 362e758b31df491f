// The scan of SDP attribute slots for the AVDTP channel's PSM: well-formed
// records, versions, orders, malformed and oversized descriptors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "backend/backend.h"
#include "tests/test_util.h"

namespace {

using blmx::test::from_hex;

// One slot as libsdp leaves it: flags 0 when filled, the attribute, the value.
struct slot_spec {
    uint16_t flags;
    uint16_t attr;
    std::string hex;       // the value bytes
    uint32_t vlen = 0;     // 0: the value's own length
};

int scan(const std::vector<slot_spec> &spec) {
    // 32 slots of 32-byte buffers, the unfilled ones as the caller prepared them.
    std::vector<std::vector<uint8_t>> buffers(32, std::vector<uint8_t>(32, 0));
    std::vector<sdp_attr_t> slots(32);
    for (size_t i = 0; i < 32; ++i) slots[i] = sdp_attr_t{1, 0, 32, buffers[i].data()};
    for (size_t i = 0; i < spec.size(); ++i) {
        const auto v = from_hex(spec[i].hex);
        std::memcpy(buffers[i].data(), v.data(), std::min<size_t>(v.size(), 32));
        slots[i].flags = spec[i].flags;
        slots[i].attr = spec[i].attr;
        slots[i].vlen = spec[i].vlen ? spec[i].vlen : static_cast<uint32_t>(v.size());
    }
    return blmx::backend::find_psm(slots.data(), 32);
}

// L2CAP with PSM 0x0019, then AVDTP version 0x0102.
const std::string l2cap_19 = "350619010009" "0019";
const std::string avdtp_0102 = "350619001909" "0102";
const std::string usual = "3510" + l2cap_19 + avdtp_0102;

TEST(SdpScan, FindsThePsmOrNot) {
    const struct {
        const char *name;
        std::vector<slot_spec> slots;
        int psm;
    } cases[] = {
        {"usual A2DP record", {{0, 4, usual}}, 0x19},
        {"AVDTP named before L2CAP", {{0, 4, "3510" + avdtp_0102 + l2cap_19}}, 0x19},
        {"AVDTP version 0x00ff", {{0, 4, "3510" + l2cap_19 + "35061900190900ff"}}, -1},
        {"AVDTP version 0x0100 is enough", {{0, 4, "3510" + l2cap_19 + "3506190019090100"}}, 0x19},
        {"PSM 0 counts as found", {{0, 4, "3510" "3506190100090000" + avdtp_0102}}, 0},
        {"two- and four-byte sequence headers", {{0, 4, "360010" "3700000006190100090021" + avdtp_0102}}, 0x21},
        {"other UUIDs passed over", {{0, 4, "3518" "3506190003090005" + l2cap_19 + avdtp_0102}}, 0x19},
        {"PSM in one slot, version in another", {{0, 4, "3508" + l2cap_19}, {0, 4, "3508" + avdtp_0102}}, -1},
        {"second slot holds it", {{0, 9, usual}, {0, 4, "3508" + l2cap_19}, {0, 4, usual}}, 0x19},
        {"flags not 0 stop the scan", {{0, 4, "3508" + l2cap_19}, {1, 4, usual}, {0, 4, usual}}, -1},
        {"unfilled slots only", {}, -1},
        {"other attribute", {{0, 9, usual}}, -1},
        {"vlen below 2", {{0, 4, usual, 1}}, -1},
        {"outer value not a sequence", {{0, 4, "0910" + l2cap_19 + avdtp_0102}}, -1},
        {"inner element not a sequence", {{0, 4, "3511" "09" + l2cap_19 + avdtp_0102}, {0, 4, usual}}, 0x19},
        // The scan ends at vlen, not at the outer sequence's own length.
        {"outer length ignored", {{0, 4, "3502" + l2cap_19 + avdtp_0102}}, 0x19},
        {"descriptor longer than what is left", {{0, 4, "3510" + l2cap_19 + "350919001909010200"}}, -1},
        {"value cut inside a descriptor", {{0, 4, usual, 14}}, -1},
        {"sequence header cut at the end", {{0, 4, "3510" + l2cap_19 + "37000000"}}, -1},
        // A vlen beyond the slot's buffer never reads past its 32 bytes.
        {"vlen beyond the buffer", {{0, 4, "3510" + l2cap_19 + "3500350035003500350035003500", 4096}}, -1},
        {"short descriptors skipped", {{0, 4, "3515" "3503190100" + l2cap_19 + avdtp_0102}}, 0x19},
    };
    for (const auto &c : cases) EXPECT_EQ(scan(c.slots), c.psm) << c.name;
}

}  // namespace
