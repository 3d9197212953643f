/* FINS connection record: TCP connect with the FINS/TCP node address handshake, UDP connect,
 * socket close, the consecutive-error counter and the timers. */
#define _GNU_SOURCE
#include "fins/fins_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

int64_t finslib_monotonic_sec_timer(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec;
}

int64_t fins_monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void finslib_milli_second_sleep(unsigned milliseconds) {
    struct timespec req = {(time_t)(milliseconds / 1000u), (long)(milliseconds % 1000u) * 1000000L};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

int finslib_inet_pton(int af, const char *src, void *dst) { return inet_pton(af, src, dst); }

void fins_set_last_error(fins_sys_tp *sys, int code) {
    sys->error_changed = (sys->last_error != code);
    sys->last_error = code;
}

/* Closes the record's socket; TCP sockets get the linger and time-out options reset first. */
static void close_descriptor(fins_sys_tp *sys) {
    if (sys->sockfd == -1) return;
    if (sys->transport == FINS_TRANSPORT_TCP) {
        struct linger lg = {0, 0};
        struct timeval tv = {0, 0};
        setsockopt(sys->sockfd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        setsockopt(sys->sockfd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        setsockopt(sys->sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    close(sys->sockfd);
}

fins_sys_tp *fins_close_socket(fins_sys_tp *sys) {
    if (sys == NULL) return NULL;
    close_descriptor(sys);
    sys->sockfd = -1;
    sys->error_count = 0;
    sys->transport = FINS_TRANSPORT_NONE;
    sys->socket_time = finslib_monotonic_sec_timer();
    return sys;
}

fins_sys_tp *fins_close_socket_with_error(fins_sys_tp *sys, int *error_val) {
    int code = errno + FINS_RETVAL_ERRNO_BASE;
    if (sys == NULL) return NULL;
    fins_set_last_error(sys, code);
    if (error_val != NULL) *error_val = code;
    return fins_close_socket(sys);
}

void finslib_disconnect(fins_sys_tp *sys) {
    if (sys == NULL) return;
    close_descriptor(sys);
    free(sys);
}

/* Codes that close the socket at once, whatever the count (0x8Axx come from another platform's
 * socket-error translation and never arise here). */
static bool closes_at_once(int code) {
    switch (code) {
    case FINS_RETVAL_MAX_ERROR_COUNT:
    case FINS_RETVAL_TCP_NORMAL_CODE:
    case 0x8A00: case 0x8A01: case 0x8A02: case 0x8A03: case 0x8A05:
    case 0x8A0A: case 0x8A0B: case 0x8A0C: case 0x8A0D: case 0x8A0E: case 0x8A0F: case 0x8A10:
    case 0x8A12: case 0x8A13: case 0x8A14: case 0x8A15: case 0x8A16: case 0x8A17: case 0x8A18:
    case 0x8A1B: case 0x8A1D: case 0x8A1E:
        return true;
    default:
        return false;
    }
}

int check_error_count(fins_sys_tp *sys, int code) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (sys->sockfd == -1 || sys->error_max < 0 || code == FINS_RETVAL_SUCCESS || code == FINS_RETVAL_NOT_USED) {
        sys->error_count = 0;
        fins_set_last_error(sys, code);
        return code;
    }
    /* The PLC answered, so the link works: nothing to count under link-only counting. */
    if (sys->failure_counting == FINS_COUNT_LINK_FAILURES && code > 0 && code <= FINS_LAST_END_CODE) return code;
    int n = sys->error_count + 1;
    if (n > sys->error_max) {
        code = FINS_RETVAL_MAX_ERROR_COUNT;
    } else if (!closes_at_once(code)) {
        sys->error_count = n;
        return code;
    }
    fins_set_last_error(sys, code);
    fins_close_socket(sys);
    return code;
}

int finslib_set_failure_counting(fins_sys_tp *sys, int how) {
    if (sys == NULL || (how != FINS_COUNT_EVERY_FAILURE && how != FINS_COUNT_LINK_FAILURES)) return -1;
    int previous = sys->failure_counting;
    sys->failure_counting = how;
    return previous;
}

/* Records code as the connect's outcome in last_error and in the caller's target. */
static void connect_result(fins_sys_tp *sys, int *error_val, int code) {
    fins_set_last_error(sys, code);
    if (error_val != NULL) *error_val = code;
}

/* Steps shared by both connects before a socket is opened. Returns the record to work on (new or
 * given); *go is false when the connect must stop here and return that record (or NULL). A new
 * record's port is defaulted in *port; a reconnect uses the arguments exactly as passed. */
static fins_sys_tp *prepare_record(fins_sys_tp *sys, const char *address, uint16_t *port, uint8_t local_net,
                                   uint8_t local_node, uint8_t local_unit, uint8_t remote_net,
                                   uint8_t remote_node, uint8_t remote_unit, int *error_val, int error_max,
                                   uint8_t transport, bool *go) {
    *go = false;
    if (sys != NULL) {
        /* Reconnect of an existing record: its stored address, port and node bytes stay untouched. */
        if (sys->socket_time > 0 && sys->socket_time + FINS_RECONNECT_HOLDOFF_SEC >= finslib_monotonic_sec_timer()) {
            if (error_val != NULL) *error_val = FINS_RETVAL_TRY_LATER;
            return sys;
        }
        if (address == NULL || address[0] == '\0') {
            if (error_val != NULL) *error_val = FINS_RETVAL_NO_PLC_ADDRESS;
            return sys;
        }
        /* A socket still open in the record is closed first, so that no descriptor leaks. */
        if (sys->sockfd != -1) fins_close_socket(sys);
        *go = true;
        return sys;
    }
    if (*port < FINS_MIN_PORT || *port > FINS_MAX_PORT) *port = FINS_DEFAULT_PORT;
    if (address == NULL || address[0] == '\0') {
        if (error_val != NULL) *error_val = FINS_RETVAL_NO_PLC_ADDRESS;
        return NULL;
    }
    sys = (fins_sys_tp *)calloc(1, sizeof *sys);
    if (sys == NULL) {
        if (error_val != NULL) *error_val = FINS_RETVAL_OUT_OF_MEMORY;
        return NULL;
    }
    strncpy(sys->address, address, FINS_ADDRESS_LEN - 1);
    sys->address[FINS_ADDRESS_LEN - 1] = '\0';
    sys->port = *port;
    sys->sockfd = -1;
    sys->socket_time = 0;
    sys->error_count = 0;
    sys->error_max = error_max;
    sys->last_error = FINS_RETVAL_SUCCESS;
    sys->error_changed = false;
    sys->local_net = local_net;
    sys->local_node = local_node;
    sys->local_unit = local_unit;
    sys->remote_net = remote_net;
    sys->remote_node = remote_node;
    sys->remote_unit = remote_unit;
    sys->sid = 0;
    sys->transport = transport;
    sys->model[0] = '\0';
    sys->version[0] = '\0';
    sys->plc_family = FINS_PLC_FAMILY_UNKNOWN;
    *go = true;
    return sys;
}

static bool set_timeouts(int fd) {
    struct timeval tv = {FINS_SOCKET_TIMEOUT_SEC, 0};
    return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

static bool bind_any(int fd) {
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(0);
    return bind(fd, (const struct sockaddr *)&local, sizeof local) == 0;
}

fins_sys_tp *finslib_tcp_connect(fins_sys_tp *sys, const char *address, uint16_t port, uint8_t local_net,
                                 uint8_t local_node, uint8_t local_unit, uint8_t remote_net,
                                 uint8_t remote_node, uint8_t remote_unit, int *error_val, int error_max) {
    bool go;
    sys = prepare_record(sys, address, &port, local_net, local_node, local_unit, remote_net, remote_node,
                         remote_unit, error_val, error_max, FINS_TRANSPORT_TCP, &go);
    if (!go) return sys;

    int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        connect_result(sys, error_val, errno + FINS_RETVAL_ERRNO_BASE);
        return fins_close_socket(sys);
    }
    sys->sockfd = fd;
    sys->transport = FINS_TRANSPORT_TCP;

    int one = 1;
    /* TCP_NODELAY: the frame follows its FINS/TCP header in a second send and must not wait for
     * the peer's delayed acknowledgement of the first. */
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0 || !set_timeouts(fd) ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 || !bind_any(fd))
        return fins_close_socket_with_error(sys, error_val);

    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    int pton = finslib_inet_pton(AF_INET, address, &peer.sin_addr);
    if (pton < 0) return fins_close_socket_with_error(sys, error_val);
    if (pton == 0) {
        connect_result(sys, error_val, FINS_RETVAL_INVALID_IP_ADDRESS);
        return fins_close_socket(sys);
    }
    if (connect(fd, (const struct sockaddr *)&peer, sizeof peer) != 0) return fins_close_socket_with_error(sys, error_val);

    uint8_t request[FINS_TCP_HANDSHAKE_REQUEST_LEN] = {'F', 'I', 'N', 'S'};
    fins_put_u32(request + 4, 12); /* length of what follows */
    fins_put_u32(request + 8, 0);  /* command 0: client node address data send */
    fins_put_u32(request + 12, 0); /* error code */
    fins_put_u32(request + 16, 0); /* client node 0: the server assigns one */
    ssize_t sent;
    do {
        sent = send(fd, request, sizeof request, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != (ssize_t)sizeof request) {
        connect_result(sys, error_val, FINS_RETVAL_HEADER_SEND_ERROR);
        return fins_close_socket(sys);
    }
    sys->socket_time = finslib_monotonic_sec_timer();

    uint8_t response[FINS_TCP_HANDSHAKE_RESPONSE_LEN];
    if (fins_recv_loop(fd, response, sizeof response, 0) < sizeof response) {
        connect_result(sys, error_val, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
        return fins_close_socket(sys);
    }
    if (fins_get_u32(response + 8) == 1) { /* server node address data send */
        sys->local_node = response[19];
        sys->remote_node = response[23];
        connect_result(sys, error_val, FINS_RETVAL_SUCCESS);
        return sys;
    }
    connect_result(sys, error_val, fins_tcp_error_to_retval(fins_get_u32(response + 12)));
    return fins_close_socket(sys);
}

fins_sys_tp *finslib_udp_connect(fins_sys_tp *sys, const char *address, uint16_t port, uint8_t local_net,
                                 uint8_t local_node, uint8_t local_unit, uint8_t remote_net,
                                 uint8_t remote_node, uint8_t remote_unit, int *error_val, int error_max) {
    bool go;
    sys = prepare_record(sys, address, &port, local_net, local_node, local_unit, remote_net, remote_node,
                         remote_unit, error_val, error_max, FINS_TRANSPORT_UDP, &go);
    if (!go) return sys;

    /* A failure of socket() shows as the errno of the first setsockopt on the invalid descriptor. */
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd >= 0) {
        sys->sockfd = fd;
        sys->transport = FINS_TRANSPORT_UDP;
    }
    if (!set_timeouts(fd) || !bind_any(fd)) return fins_close_socket_with_error(sys, error_val);

    struct in_addr peer;
    int pton = finslib_inet_pton(AF_INET, address, &peer);
    if (pton < 0) return fins_close_socket_with_error(sys, error_val);
    if (pton == 0) {
        connect_result(sys, error_val, FINS_RETVAL_INVALID_IP_ADDRESS);
        return fins_close_socket(sys);
    }
    return sys;
}
