// The virtual Bluetooth stack: stands in for FreeBSD's L2CAP sockets,
// libbluetooth's address routines and libsdp on systems without them.
// Built as its own shared library (libblmx_vbt.so) that blmx_bt.so links.
#pragma once

#include <netdb.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VBT_EXPORT __attribute__((visibility("default")))

/* A device address; the six bytes are kept in the reverse order of the text
 * form "00:11:22:33:44:55" (b[0] = 0x55), as FreeBSD keeps them. */
typedef struct {
    uint8_t b[6];
} bdaddr_t;

/* Parses "xx:xx:xx:xx:xx:xx" (hex digits, either case). Non-zero on success. */
VBT_EXPORT int bt_aton(const char *text, bdaddr_t *address);
/* Formats an address as "xx:xx:xx:xx:xx:xx" into buf (18 bytes); returns buf. */
VBT_EXPORT const char *bt_ntoa(const bdaddr_t *address, char *buf);
/* Looks a name up in the virtual stack's hosts file; null when unknown. */
VBT_EXPORT struct hostent *bt_gethostbyname(const char *name);

/* SDP client. */
typedef struct sdp_attr {
    uint16_t flags; /* 0 once filled */
    uint16_t attr;
    uint32_t vlen;
    uint8_t *value;
} sdp_attr_t;

VBT_EXPORT void *sdp_open(const bdaddr_t *local, const bdaddr_t *remote);
VBT_EXPORT int sdp_error(void *session);
VBT_EXPORT int32_t sdp_search(void *session, uint32_t plen, const uint16_t *pp, uint32_t alen, const uint32_t *ap,
                              uint32_t vlen, sdp_attr_t *vp);
VBT_EXPORT int32_t sdp_close(void *session);

/* L2CAP channels. The packet I/O also passes through descriptors that the
 * stack did not create (socket pairs, pipes). */
VBT_EXPORT int vbt_socket(int domain, int type, int protocol);
VBT_EXPORT int vbt_bind(int s, const void *address, unsigned length);
VBT_EXPORT int vbt_connect(int s, const void *address, unsigned length);
VBT_EXPORT int vbt_getsockopt(int s, int level, int name, void *value, unsigned *length);
VBT_EXPORT int vbt_setsockopt(int s, int level, int name, const void *value, unsigned length);
VBT_EXPORT int vbt_ioctl(int s, unsigned long request, int *arg);
VBT_EXPORT ssize_t vbt_read(int s, void *buffer, size_t size);
VBT_EXPORT ssize_t vbt_write(int s, const void *buffer, size_t size);
VBT_EXPORT ssize_t vbt_writev(int s, const struct iovec *iov, int count);
VBT_EXPORT int vbt_close(int s);

/* The directory of the virtual stack's registry and hosts file:
 * $BLMX_VBT_DIR, else $XDG_RUNTIME_DIR/blmx-vbt, else /tmp/blmx-vbt-UID. */
VBT_EXPORT const char *vbt_directory(void);

#ifdef __cplusplus
}
#endif
