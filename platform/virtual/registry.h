// The virtual stack's registry directory: where devices announce themselves.
#pragma once

#include <string>

#include "platform/virtual/vbt.h"

namespace blmx::vbt {

// $BLMX_VBT_DIR, else $XDG_RUNTIME_DIR/blmx-vbt, else /tmp/blmx-vbt-UID.
std::string directory();

// True when dir is a real directory (not a symlink) owned by this user and not
// accessible to group or others. With create, a missing directory is made 0700.
// On refusal, *why (when given) says what is wrong.
bool directory_is_safe(const std::string &dir, bool create, std::string *why = nullptr);

// "aabbccddeeff" for 00:.. order as written: the text form without colons.
std::string hex_address(const bdaddr_t &a);
std::string lock_path(const std::string &dir, const bdaddr_t &a);
// True while a live process holds the device's lock.
bool device_alive(const std::string &dir, const bdaddr_t &a);

// Adds "ADDRESS NAME" for a device to the hosts file, dropping the entries of
// devices that are gone and earlier entries of this address.
bool hosts_add(const std::string &dir, const bdaddr_t &a, const std::string &name, std::string *why);
// Drops the entries of devices that are gone.
void hosts_remove_dead(const std::string &dir);

}  // namespace blmx::vbt
