// Packet capture of the virtual stack: every packet a process sends and
// receives on its channels, written as a pcap file of link type 201 (HCI H4
// with a direction pseudo-header), with the HCI and L2CAP signalling a real
// controller would show around it so that Wireshark attributes each channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

#include "platform/virtual/vbt.h"

namespace blmx::vbt::capture {

struct link {
    uint16_t handle = 0, local_cid = 0, remote_cid = 0;
};

// True when BLMX_VBT_CAPTURE names a file for this process.
bool enabled();

// A channel was connected (outgoing: we connected; otherwise we accepted).
link open_channel(const bdaddr_t &remote, uint16_t psm, bool outgoing, uint16_t local_mtu, uint16_t remote_mtu);
// One packet on a channel.
void packet(const link &l, bool sent, const iovec *iov, int count);
// The channel was closed by this side.
void close_channel(const link &l);

}  // namespace blmx::vbt::capture
