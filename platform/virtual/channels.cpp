// Virtual L2CAP channels.
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "platform/virtual/vbt.h"

extern "C" {

VBT_EXPORT int vbt_socket(int, int, int) {
    errno = EAFNOSUPPORT;
    return -1;
}
VBT_EXPORT int vbt_bind(int, const void *, unsigned) {
    errno = EBADF;
    return -1;
}
VBT_EXPORT int vbt_connect(int, const void *, unsigned) {
    errno = EBADF;
    return -1;
}
VBT_EXPORT int vbt_getsockopt(int, int, int, void *, unsigned *) {
    errno = EBADF;
    return -1;
}
VBT_EXPORT int vbt_setsockopt(int, int, int, const void *, unsigned) {
    errno = EBADF;
    return -1;
}
VBT_EXPORT int vbt_ioctl(int, unsigned long, int *) {
    errno = EBADF;
    return -1;
}
VBT_EXPORT ssize_t vbt_read(int s, void *buffer, size_t size) { return ::read(s, buffer, size); }
VBT_EXPORT ssize_t vbt_write(int s, const void *buffer, size_t size) { return ::write(s, buffer, size); }
VBT_EXPORT ssize_t vbt_writev(int s, const struct iovec *iov, int count) { return ::writev(s, iov, count); }
VBT_EXPORT int vbt_close(int s) { return ::close(s); }

VBT_EXPORT void *sdp_open(const bdaddr_t *, const bdaddr_t *) {
    errno = EHOSTDOWN;
    return nullptr;
}
VBT_EXPORT int sdp_error(void *) { return EHOSTDOWN; }
VBT_EXPORT int32_t sdp_search(void *, uint32_t, const uint16_t *, uint32_t, const uint32_t *, uint32_t, sdp_attr_t *) {
    return -1;
}
VBT_EXPORT int32_t sdp_close(void *) { return 0; }

}  // extern "C"
