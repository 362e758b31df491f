#include "tools/sbc_stream.h"

#include <cstring>

namespace blmx::tools {

bool same_configuration(const sbc::frame_info &a, const sbc::frame_info &b) {
    return a.frequency_index == b.frequency_index && a.blocks_index == b.blocks_index &&
           a.channel_mode == b.channel_mode && a.allocation == b.allocation && a.subbands_flag == b.subbands_flag;
}

scan_result scan_frame(const uint8_t *data, size_t size, const sbc::frame_info *config) {
    scan_result r{scan_result::need_more, 0, {}};
    if (size == 0) return r;
    const auto resync = [&] {
        const void *next = size > 1 ? std::memchr(data + 1, sbc::sync_word, size - 1) : nullptr;
        r.what = scan_result::skip;
        r.bytes = next ? static_cast<size_t>(static_cast<const uint8_t *>(next) - data) : size;
        return r;
    };
    const int p = sbc::parse_frame(data, size, r.info);
    if (p < 0) return r;
    if (p == 0 || !r.info.crc_ok || (config && !same_configuration(*config, r.info))) return resync();
    if (size < r.info.length) return r;
    r.what = scan_result::frame;
    r.bytes = r.info.length;
    return r;
}

}  // namespace blmx::tools
