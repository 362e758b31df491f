// The one seam between the library and the operating system's Bluetooth stack.
//
// Every L2CAP channel operation (creation, options and packet I/O), the device
// address routines and the SDP client go through here. On FreeBSD these are
// the system's own sockets, libbluetooth and libsdp; everywhere else they are
// the virtual Bluetooth stack (platform/virtual/), a shared library of its own.
// Nothing else in the library knows which one it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

#if defined(__FreeBSD__)
// Every L2CAP socket address here is built whole, its channel id and address
// type zero-filled as a BR/EDR connection needs them (see l2cap_address in
// backend/connect.cpp), which is what the system's header asks to confirm.
#define L2CAP_SOCKET_CHECKED
#include <bluetooth.h>
#include <cstddef>
#include <sdp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#else
#include "platform/virtual/vbt.h"
#endif

namespace blmx::plat {

// FreeBSD's values; the virtual stack accepts exactly these.
inline constexpr int af_bluetooth = 36;
inline constexpr int sock_seqpacket = 5;
inline constexpr int bluetooth_proto_l2cap = 135;
inline constexpr int sol_l2cap = 0x1609;
inline constexpr int so_l2cap_imtu = 1;
inline constexpr int so_l2cap_omtu = 2;
inline constexpr int sol_socket = 0xffff;
inline constexpr int so_sndbuf = 0x1001;
inline constexpr int so_rcvbuf = 0x1002;
inline constexpr int so_sndlowat = 0x1003;
inline constexpr int so_rcvlowat = 0x1004;
inline constexpr unsigned long fionbio = 0x8004667eUL;
// SDP attribute slot states: filled, and not (yet) filled.
inline constexpr uint16_t sdp_attr_ok = 0;
inline constexpr uint16_t sdp_attr_invalid = 1;
// The L2CAP socket address: length, family, PSM, device address, channel id, address type.
inline constexpr unsigned l2cap_address_size = 14;
#if defined(__FreeBSD__)
// The values above, and the layouts the library builds by hand, are the system's.
static_assert(af_bluetooth == AF_BLUETOOTH);
static_assert(sock_seqpacket == SOCK_SEQPACKET);
static_assert(bluetooth_proto_l2cap == BLUETOOTH_PROTO_L2CAP);
static_assert(sol_l2cap == SOL_L2CAP);
static_assert(so_l2cap_imtu == SO_L2CAP_IMTU && so_l2cap_omtu == SO_L2CAP_OMTU);
static_assert(sol_socket == SOL_SOCKET);
static_assert(so_sndbuf == SO_SNDBUF && so_rcvbuf == SO_RCVBUF);
static_assert(so_sndlowat == SO_SNDLOWAT && so_rcvlowat == SO_RCVLOWAT);
static_assert(fionbio == FIONBIO);
static_assert(sdp_attr_ok == SDP_ATTR_OK && sdp_attr_invalid == SDP_ATTR_INVALID);
static_assert(sizeof(bdaddr_t) == 6);
static_assert(sizeof(sockaddr_l2cap) == l2cap_address_size);
static_assert(offsetof(sockaddr_l2cap, l2cap_len) == 0 && offsetof(sockaddr_l2cap, l2cap_family) == 1);
static_assert(offsetof(sockaddr_l2cap, l2cap_psm) == 2 && offsetof(sockaddr_l2cap, l2cap_bdaddr) == 4);
static_assert(offsetof(sockaddr_l2cap, l2cap_cid) == 10 && offsetof(sockaddr_l2cap, l2cap_bdaddr_type) == 12);
static_assert(sizeof(sdp_attr_t) == 16 && offsetof(sdp_attr_t, flags) == 0 && offsetof(sdp_attr_t, attr) == 2);
static_assert(offsetof(sdp_attr_t, vlen) == 4 && offsetof(sdp_attr_t, value) == 8);

inline int socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
inline int bind(int s, const void *addr, unsigned len) { return ::bind(s, static_cast<const sockaddr *>(addr), len); }
inline int connect(int s, const void *addr, unsigned len) {
    return ::connect(s, static_cast<const sockaddr *>(addr), len);
}
inline int getsockopt(int s, int level, int name, void *val, unsigned *len) {
    socklen_t l = *len;
    int r = ::getsockopt(s, level, name, val, &l);
    *len = l;
    return r;
}
inline int setsockopt(int s, int level, int name, const void *val, unsigned len) {
    return ::setsockopt(s, level, name, val, len);
}
inline int ioctl(int s, unsigned long request, int *arg) { return ::ioctl(s, request, arg); }
inline ssize_t read(int s, void *buf, size_t n) { return ::read(s, buf, n); }
inline ssize_t write(int s, const void *buf, size_t n) { return ::write(s, buf, n); }
inline ssize_t writev(int s, const iovec *iov, int count) { return ::writev(s, iov, count); }
inline int close(int s) { return ::close(s); }
#else
inline int socket(int domain, int type, int protocol) { return vbt_socket(domain, type, protocol); }
inline int bind(int s, const void *addr, unsigned len) { return vbt_bind(s, addr, len); }
inline int connect(int s, const void *addr, unsigned len) { return vbt_connect(s, addr, len); }
inline int getsockopt(int s, int level, int name, void *val, unsigned *len) {
    return vbt_getsockopt(s, level, name, val, len);
}
inline int setsockopt(int s, int level, int name, const void *val, unsigned len) {
    return vbt_setsockopt(s, level, name, val, len);
}
inline int ioctl(int s, unsigned long request, int *arg) { return vbt_ioctl(s, request, arg); }
inline ssize_t read(int s, void *buf, size_t n) { return vbt_read(s, buf, n); }
inline ssize_t write(int s, const void *buf, size_t n) { return vbt_write(s, buf, n); }
inline ssize_t writev(int s, const iovec *iov, int count) { return vbt_writev(s, iov, count); }
inline int close(int s) { return vbt_close(s); }
#endif

}  // namespace blmx::plat
