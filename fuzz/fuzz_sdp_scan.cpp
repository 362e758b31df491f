// The scan of SDP attribute slots for the AVDTP PSM over arbitrary slots:
// flags, attribute, value length (also beyond the slot's 32-byte buffer) and
// value bytes from the input. Each buffer is its own allocation of exactly 32
// bytes, so a read past it is caught.
#include <algorithm>
#include <cstring>
#include <memory>

#include "backend/backend.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr int slots = 32;
    std::unique_ptr<uint8_t[]> buffers[slots];
    sdp_attr_t attrs[slots];
    size_t at = 0;
    for (int i = 0; i < slots; ++i) {
        buffers[i].reset(new uint8_t[32]());
        attrs[i] = sdp_attr_t{1, 0, 32, buffers[i].get()};
        if (at + 4 > size) continue;
        attrs[i].flags = data[at] & 1;
        attrs[i].attr = data[at + 1] & 0x80 ? 4 : data[at + 1];
        attrs[i].vlen = data[at + 2] * (data[at + 3] & 0x80 ? 64u : 1u);
        const size_t n = std::min<size_t>({static_cast<size_t>(data[at + 3] & 0x7f), 32, size - at - 4});
        std::memcpy(buffers[i].get(), data + at + 4, n);
        at += 4 + n;
    }
    const int psm = blmx::backend::find_psm(attrs, slots);
    if (psm < -1 || psm > 0xffff) __builtin_trap();
    return 0;
}
