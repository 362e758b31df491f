// The virtual device's own reading of AVDTP: message framing, the SBC codec
// element and the device's stream end-points. Deliberately independent of the
// library's signalling code, so that each is tested against the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vdev {

// AVDTP signal identifiers.
enum : uint8_t {
    sig_discover = 1,
    sig_get_capabilities = 2,
    sig_set_configuration = 3,
    sig_get_configuration = 4,
    sig_reconfigure = 5,
    sig_open = 6,
    sig_start = 7,
    sig_close = 8,
    sig_suspend = 9,
    sig_abort = 10,
    sig_get_all_capabilities = 12,
};

// AVDTP error codes used in rejects.
enum : uint8_t {
    err_bad_header = 0x01,
    err_bad_length = 0x11,
    err_bad_acp_seid = 0x12,
    err_sep_in_use = 0x13,
    err_bad_service_category = 0x17,
    err_unsupported_configuration = 0x29,
    err_bad_state = 0x31,
};

const char *signal_name(uint8_t id);
// "discover", "get-capabilities", ...; 0 when unknown.
uint8_t signal_by_name(const std::string &name);

struct message {
    uint8_t label = 0, type = 0, signal = 0;  // type: 0 command, 1 general reject, 2 accept, 3 reject
    std::vector<uint8_t> params;
};

// Joins packets into messages; feed one received packet at a time.
class assembler {
  public:
    // Returns a complete message, nothing while more packets are due, and sets
    // `bad` when the packet does not continue a message properly.
    std::optional<message> feed(const uint8_t *p, size_t n, bool &bad);

  private:
    bool open_ = false;
    int left_ = 0;
    message m_;
};

// Builds the packets of a message: one single packet, or start/continue/end
// packets of at most `mtu` bytes when `fragment` is set.
std::vector<std::vector<uint8_t>> frame_message(const message &m, bool fragment, size_t mtu);

// An SBC capability or configuration (the four octets of the codec element).
struct sbc_octets {
    uint8_t o0 = 0, o1 = 0, min_bitpool = 0, max_bitpool = 0;
};

// One stream end-point of the device.
struct sep {
    uint8_t seid = 1;
    bool sink = true;
    bool in_use = false;
    bool has_codec = true;  // false: the capabilities carry no SBC element
    sbc_octets caps{0xFF, 0xFF, 2, 53};
};

// Parses a --sep SPEC: comma-separated keys seid=N, sink, source, in-use,
// no-codec, caps=HEX8 (octet 0, octet 1, min, max), freq=16000+44100..,
// modes=mono+dual+stereo+joint, blocks=4+8+12+16, subbands=4+8,
// alloc=loudness+snr, bitpool=MIN-MAX. Unset fields keep `base`'s values.
bool parse_sep(const std::string &spec, sep &out, std::string &error);

// The SBC element of a configuration in a SET_CONFIGURATION's capability list.
std::optional<sbc_octets> find_sbc(const std::vector<uint8_t> &list, size_t start);

// True when exactly one bit of every field is set and all lie within caps.
bool valid_configuration(const sbc_octets &config, const sbc_octets &caps, std::string &why);

}  // namespace vdev
