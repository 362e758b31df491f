#include "tools/vdev_avdtp.h"

#include <cstdlib>
#include <sstream>

namespace vdev {

namespace {
constexpr const char *names[] = {"",      "discover", "get-capabilities", "set-configuration", "get-configuration",
                                 "reconfigure", "open", "start",         "close",              "suspend",
                                 "abort",       "",                     "get-all-capabilities"};

int popcount(unsigned v) { return __builtin_popcount(v); }
}  // namespace

const char *signal_name(uint8_t id) { return id >= 1 && id <= 12 && id != 11 ? names[id] : "unknown"; }

uint8_t signal_by_name(const std::string &name) {
    for (uint8_t i = 1; i <= 10; ++i)
        if (name == names[i]) return i;
    return 0;
}

std::optional<message> assembler::feed(const uint8_t *p, size_t n, bool &bad) {
    bad = false;
    if (n < 1) return bad = true, std::nullopt;
    const uint8_t label = p[0] >> 4, ptype = (p[0] >> 2) & 3, mtype = p[0] & 3;
    if (!open_) {
        if (ptype == 0) {
            if (n < 2) return bad = true, std::nullopt;
            message m{label, mtype, static_cast<uint8_t>(p[1] & 0x3F), std::vector<uint8_t>(p + 2, p + n)};
            return m;
        }
        if (ptype != 1 || n < 3) return bad = true, std::nullopt;
        m_ = message{label, mtype, static_cast<uint8_t>(p[2] & 0x3F), std::vector<uint8_t>(p + 3, p + n)};
        left_ = p[1] - 1;
        if (left_ <= 0) return m_;
        open_ = true;
        return std::nullopt;
    }
    if (label != m_.label || mtype != m_.type || ptype != (left_ == 1 ? 3 : 2)) {
        open_ = false;
        return bad = true, std::nullopt;
    }
    m_.params.insert(m_.params.end(), p + 1, p + n);
    if (--left_ == 0) {
        open_ = false;
        return m_;
    }
    return std::nullopt;
}

std::vector<std::vector<uint8_t>> frame_message(const message &m, bool fragment, size_t mtu) {
    std::vector<std::vector<uint8_t>> out;
    const uint8_t b0 = static_cast<uint8_t>(m.label << 4 | m.type);
    if (!fragment) {
        std::vector<uint8_t> p{b0, m.signal};
        p.insert(p.end(), m.params.begin(), m.params.end());
        out.push_back(p);
        return out;
    }
    // Start packet with a few bytes, then continue/end packets: at least three packets.
    const size_t first = std::min<size_t>(m.params.size(), std::min<size_t>(2, mtu - 3));
    size_t rest = m.params.size() - first;
    const size_t per = std::max<size_t>(1, std::min<size_t>(3, mtu - 1));
    size_t count = 1 + std::max<size_t>(2, (rest + per - 1) / per);
    std::vector<uint8_t> start{static_cast<uint8_t>(b0 | 1 << 2), static_cast<uint8_t>(count), m.signal};
    start.insert(start.end(), m.params.begin(), m.params.begin() + static_cast<long>(first));
    out.push_back(start);
    size_t pos = first;
    for (size_t k = 1; k < count; ++k) {
        const bool last = k == count - 1;
        std::vector<uint8_t> p{static_cast<uint8_t>(b0 | (last ? 3 : 2) << 2)};
        const size_t take = last ? m.params.size() - pos : std::min(per, m.params.size() - pos);
        p.insert(p.end(), m.params.begin() + static_cast<long>(pos), m.params.begin() + static_cast<long>(pos + take));
        pos += take;
        rest -= take;
        out.push_back(p);
    }
    return out;
}

bool parse_sep(const std::string &spec, sep &out, std::string &error) {
    std::stringstream ss(spec);
    std::string item;
    const auto bits_of = [&](const std::string &list, const std::vector<std::pair<std::string, uint8_t>> &table,
                             uint8_t &bits) {
        bits = 0;
        std::stringstream ls(list);
        std::string v;
        while (std::getline(ls, v, '+')) {
            bool found = false;
            for (const auto &[name, bit] : table)
                if (v == name) bits |= bit, found = true;
            if (!found) return error = "unknown value '" + v + "'", false;
        }
        return true;
    };
    while (std::getline(ss, item, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq), val = eq == std::string::npos ? "" : item.substr(eq + 1);
        uint8_t b = 0;
        if (key == "seid") {
            const int v = std::atoi(val.c_str());
            if (v < 1 || v > 62) return error = "seid must be 1..62", false;
            out.seid = static_cast<uint8_t>(v);
        } else if (key == "sink") {
            out.sink = true;
        } else if (key == "source") {
            out.sink = false;
        } else if (key == "in-use") {
            out.in_use = true;
        } else if (key == "no-codec") {
            out.has_codec = false;
        } else if (key == "caps") {
            if (val.size() != 8) return error = "caps takes 8 hex digits", false;
            const unsigned long v = std::strtoul(val.c_str(), nullptr, 16);
            out.caps = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v)};
        } else if (key == "freq") {
            if (!bits_of(val, {{"16000", 0x80}, {"32000", 0x40}, {"44100", 0x20}, {"48000", 0x10}}, b)) return false;
            out.caps.o0 = static_cast<uint8_t>((out.caps.o0 & 0x0F) | b);
        } else if (key == "modes") {
            if (!bits_of(val, {{"mono", 0x08}, {"dual", 0x04}, {"stereo", 0x02}, {"joint", 0x01}}, b)) return false;
            out.caps.o0 = static_cast<uint8_t>((out.caps.o0 & 0xF0) | b);
        } else if (key == "blocks") {
            if (!bits_of(val, {{"4", 0x80}, {"8", 0x40}, {"12", 0x20}, {"16", 0x10}}, b)) return false;
            out.caps.o1 = static_cast<uint8_t>((out.caps.o1 & 0x0F) | b);
        } else if (key == "subbands") {
            if (!bits_of(val, {{"4", 0x08}, {"8", 0x04}}, b)) return false;
            out.caps.o1 = static_cast<uint8_t>((out.caps.o1 & 0xF3) | b);
        } else if (key == "alloc") {
            if (!bits_of(val, {{"snr", 0x02}, {"loudness", 0x01}}, b)) return false;
            out.caps.o1 = static_cast<uint8_t>((out.caps.o1 & 0xFC) | b);
        } else if (key == "bitpool") {
            const size_t dash = val.find('-');
            if (dash == std::string::npos) return error = "bitpool takes MIN-MAX", false;
            const int lo = std::atoi(val.substr(0, dash).c_str()), hi = std::atoi(val.substr(dash + 1).c_str());
            if (lo < 0 || hi > 255 || lo > hi) return error = "bitpool range out of order", false;
            out.caps.min_bitpool = static_cast<uint8_t>(lo);
            out.caps.max_bitpool = static_cast<uint8_t>(hi);
        } else {
            return error = "unknown key '" + key + "'", false;
        }
    }
    return true;
}

std::optional<sbc_octets> find_sbc(const std::vector<uint8_t> &list, size_t start) {
    std::optional<sbc_octets> found;
    size_t i = start;
    while (i + 2 <= list.size()) {
        const size_t losc = list[i + 1];
        if (i + 2 + losc > list.size()) break;
        if (list[i] == 7 && losc >= 6 && list[i + 3] == 0)
            found = sbc_octets{list[i + 4], list[i + 5], list[i + 6], list[i + 7]};
        i += 2 + losc;
    }
    return found;
}

bool valid_configuration(const sbc_octets &c, const sbc_octets &caps, std::string &why) {
    const struct {
        const char *name;
        uint8_t bits, mask;
    } fields[] = {{"frequency", static_cast<uint8_t>(c.o0 & 0xF0), static_cast<uint8_t>(caps.o0 & 0xF0)},
                  {"channel mode", static_cast<uint8_t>(c.o0 & 0x0F), static_cast<uint8_t>(caps.o0 & 0x0F)},
                  {"block length", static_cast<uint8_t>(c.o1 & 0xF0), static_cast<uint8_t>(caps.o1 & 0xF0)},
                  {"subbands", static_cast<uint8_t>(c.o1 & 0x0C), static_cast<uint8_t>(caps.o1 & 0x0C)},
                  {"allocation", static_cast<uint8_t>(c.o1 & 0x03), static_cast<uint8_t>(caps.o1 & 0x03)}};
    for (const auto &f : fields) {
        if (popcount(f.bits) != 1) return why = std::string(f.name) + " not exactly one value", false;
        if ((f.bits & f.mask) == 0) return why = std::string(f.name) + " not supported", false;
    }
    if (c.max_bitpool < caps.min_bitpool || c.max_bitpool > caps.max_bitpool) return why = "bitpool out of range", false;
    return true;
}

}  // namespace vdev
