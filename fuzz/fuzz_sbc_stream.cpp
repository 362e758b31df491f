// The SBC stream parser of blmx-sbc decode over arbitrary bytes: it must
// always move forward, never look past the bytes it has, and find frames
// whose lengths fit what it was given.
#include <cstring>
#include <memory>

#include "tools/sbc_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    std::memcpy(copy.get(), data, size);
    blmx::sbc::frame_info config{};
    bool have_config = false;
    size_t at = 0;
    while (at < size) {
        const auto r = blmx::tools::scan_frame(copy.get() + at, size - at, have_config ? &config : nullptr);
        if (r.what == blmx::tools::scan_result::need_more) break;
        if (r.bytes == 0 || r.bytes > size - at) __builtin_trap();
        if (r.what == blmx::tools::scan_result::frame && !have_config) {
            config = r.info;
            have_config = true;
        }
        at += r.bytes;
    }
    return 0;
}
