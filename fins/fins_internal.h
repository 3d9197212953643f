/* Helpers shared by the library's own source files; not part of the public interface. */
#ifndef FINS_FINS_INTERNAL_H
#define FINS_FINS_INTERNAL_H

#include "fins/fins.h"

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Stores code in sys->last_error, setting error_changed to (old value != new value) first. */
void fins_set_last_error(fins_sys_tp *sys, int code);

/* Receives up to len bytes, calling recv for the bytes still missing. Retries only when recv is
 * interrupted (EINTR); stops when the peer closed (0), on the receive time-out and on any other
 * failure. deadline_ms (monotonic milliseconds, 0 for none) stops the loop before a further recv
 * once passed. Returns the number of bytes received. */
size_t fins_recv_loop(int fd, uint8_t *buf, size_t len, int64_t deadline_ms);

/* Monotonic clock in milliseconds. */
int64_t fins_monotonic_ms(void);

/* Big-endian helpers. */
static inline void fins_put_u16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
static inline void fins_put_u32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}
static inline uint16_t fins_get_u16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
static inline uint32_t fins_get_u32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

/* Maps a FINS/TCP error code to its return code (0x8900..0x8909, 0x870B for the rest). */
int fins_tcp_error_to_retval(uint32_t error_code);

#ifdef __cplusplus
}
#endif

#endif /* FINS_FINS_INTERNAL_H */
