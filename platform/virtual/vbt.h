// The virtual Bluetooth stack: stands in for FreeBSD's L2CAP sockets,
// libbluetooth's address routines and libsdp on systems without them.
// Built as its own shared library (libblmx_vbt.so) that blmx_bt.so links.
#pragma once

#include <netdb.h>
#include <stddef.h>
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

/* Devices: a process registers a virtual remote device under an address,
 * listens on PSMs and accepts channels. A device disappears when its process
 * ends, however it ends. On failure the functions return -1 with errno set
 * and, where they take one, a message in err. */
VBT_EXPORT int vbt_device_register(const char *address, const char *name, char *err, size_t errlen);
VBT_EXPORT void vbt_device_unregister(int device);
/* Listens on psm; channels accepted there announce `imtu` as their incoming MTU. */
VBT_EXPORT int vbt_listen(int device, uint16_t psm, uint16_t imtu);
/* Accepts one channel; the remote address and the PSM are returned when asked for. */
VBT_EXPORT int vbt_accept(int listener, bdaddr_t *remote, uint16_t *psm);
/* Closes a listener. */
VBT_EXPORT void vbt_unlisten(int listener);

/* SDP server side: one service record a device offers. */
typedef struct {
    uint32_t handle;
    uint16_t service_class; /* 0x110A audio source, 0x110B audio sink */
    uint16_t psm;           /* L2CAP PSM of the protocol descriptor list */
    uint16_t avdtp_version; /* AVDTP version of the protocol descriptor list */
} vbt_sdp_service;
/* Reads one request on an SDP channel and answers it; 0, or -1 when the
 * channel closed or failed. */
VBT_EXPORT int vbt_sdp_serve(int channel, const vbt_sdp_service *services, int count);

/* Fault injection, for tests: the nth call from now (1 = the next) of the
 * operation "socket", "bind", "connect", "getsockopt", "setsockopt", "ioctl",
 * "read", "write", "sdp_open" or "sdp_search" fails with `error`. The same can
 * be asked of another process with BLMX_VBT_FAULT="op:nth:errno[,...]". */
VBT_EXPORT int vbt_fault_inject(const char *op, int nth, int error);
VBT_EXPORT void vbt_fault_clear(void);

/* The directory of the virtual stack's registry and hosts file:
 * $BLMX_VBT_DIR, else $XDG_RUNTIME_DIR/blmx-vbt, else /tmp/blmx-vbt-UID. */
VBT_EXPORT const char *vbt_directory(void);

#ifdef __cplusplus
}
#endif
