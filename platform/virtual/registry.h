// The virtual stack's registry directory: where devices announce themselves.
#pragma once

#include <string>

namespace blmx::vbt {

// $BLMX_VBT_DIR, else $XDG_RUNTIME_DIR/blmx-vbt, else /tmp/blmx-vbt-UID.
std::string directory();

// True when dir is a real directory (not a symlink) owned by this user and not
// accessible to group or others. With create, a missing directory is made 0700.
// On refusal, *why (when given) says what is wrong.
bool directory_is_safe(const std::string &dir, bool create, std::string *why = nullptr);

}  // namespace blmx::vbt
