// Splitting a byte stream of SBC frames back to back into frames, with
// resynchronisation after damage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sbc/sbc.h"

namespace blmx::tools {

struct scan_result {
    enum kind { frame, skip, need_more } what;
    size_t bytes;  // frame: its length; skip: bytes to pass over
    sbc::frame_info info;
};

// Looks at the start of `data`. With `config`, only frames of that configuration
// (any bitpool) count; anything else is skipped up to the next sync byte.
scan_result scan_frame(const uint8_t *data, size_t size, const sbc::frame_info *config);

// True when two frames share a configuration (the bitpool may differ).
bool same_configuration(const sbc::frame_info &a, const sbc::frame_info &b);

}  // namespace blmx::tools
