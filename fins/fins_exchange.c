/* FINS command frame and its exchange: FINS/TCP framing (or a UDP datagram), the response check,
 * the drain after a foreign response, and the error counting every exchange ends with. */
#define _GNU_SOURCE
#include "fins/fins_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* FINS/TCP error code (0..0x25) -> return code; 0x870B where the code has no own meaning. */
#define UNEXPECTED FINS_RETVAL_TCP_UNEXPECTED_COMMAND
static const uint16_t tcp_error_map[0x26] = {
    FINS_RETVAL_TCP_NORMAL_CODE,           /* 0x00 normal */
    FINS_RETVAL_TCP_HEADER_NOT_FINS,       /* 0x01 header is not "FINS" */
    FINS_RETVAL_TCP_DATA_TOO_LONG,         /* 0x02 data length too long */
    FINS_RETVAL_TCP_COMMAND_NOT_SUPPORTED, /* 0x03 command not supported */
    UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, /* 0x04.. */
    UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, /* 0x0C.. */
    UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED, /* 0x14.. */
    UNEXPECTED, UNEXPECTED, UNEXPECTED, UNEXPECTED,                                                 /* 0x1C..0x1F */
    FINS_RETVAL_TCP_ALL_CONNECTIONS_IN_USE,   /* 0x20 all connections in use */
    FINS_RETVAL_TCP_NODE_ALREADY_CONNECTED,   /* 0x21 node already connected */
    FINS_RETVAL_TCP_PROTECTED_NODE,           /* 0x22 protected node, unlisted IP address */
    FINS_RETVAL_TCP_CLIENT_NODE_OUT_OF_RANGE, /* 0x23 client node out of range */
    FINS_RETVAL_TCP_SAME_NODE_ADDRESS,        /* 0x24 client and server share a node */
    FINS_RETVAL_TCP_NO_NODE_ADDRESS_LEFT,     /* 0x25 no node address left */
};
#undef UNEXPECTED

int fins_tcp_error_to_retval(uint32_t error_code) {
    return error_code < sizeof tcp_error_map / sizeof tcp_error_map[0] ? tcp_error_map[error_code]
                                                                       : FINS_RETVAL_TCP_UNEXPECTED_COMMAND;
}

size_t fins_recv_loop(int fd, uint8_t *buf, size_t len, int64_t deadline_ms) {
    size_t got = 0;
    while (got < len) {
        if (deadline_ms > 0 && fins_monotonic_ms() >= deadline_ms) break;
        ssize_t n = recv(fd, buf + got, len - got, 0);
        if (n > 0) {
            got += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break; /* peer closed, receive time-out, or a failure that would only repeat */
        }
    }
    return got;
}

static ssize_t send_once(int fd, const void *buf, size_t len, int flags) {
    ssize_t n;
    do {
        n = send(fd, buf, len, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

void XX_finslib_init_command(fins_sys_tp *sys, fins_command_tp *command, uint8_t mrc, uint8_t src) {
    if (sys == NULL || command == NULL) return;
    uint8_t *h = command->header;
    h[0] = 0x80; /* ICF: command, response required */
    h[1] = 0x00; /* RSV */
    h[2] = 0x02; /* GCT */
    h[3] = sys->remote_net;
    h[4] = sys->remote_node;
    h[5] = sys->remote_unit;
    h[6] = sys->local_net;
    h[7] = sys->local_node;
    h[8] = sys->local_unit;
    h[9] = sys->sid++;
    h[10] = mrc;
    h[11] = src;
}

/* Reads and discards what the peer still sends after a foreign response, until a receive pass
 * gets nothing; bounded in bytes and time so that a peer that keeps sending cannot hold it. */
static void drain(int fd) {
    uint8_t scratch[FINS_TCP_DRAIN_CHUNK];
    size_t total = 0;
    int64_t deadline = fins_monotonic_ms() + FINS_TCP_DRAIN_MAX_MS;
    while (total < FINS_TCP_DRAIN_MAX_BYTES) {
        size_t want = FINS_TCP_DRAIN_MAX_BYTES - total;
        if (want > sizeof scratch) want = sizeof scratch;
        size_t got = fins_recv_loop(fd, scratch, want, deadline);
        if (got == 0) break;
        total += got;
    }
}

/* The transport value of the record is neither TCP nor UDP. */
static int bad_transport(fins_sys_tp *sys) {
    if (sys->error_max < 0) {
        sys->error_count = 0;
        fins_set_last_error(sys, FINS_RETVAL_NO_RECORD);
        return FINS_RETVAL_NO_RECORD;
    }
    if (sys->error_count + 1 > sys->error_max) {
        fins_set_last_error(sys, FINS_RETVAL_MAX_ERROR_COUNT);
        close(sys->sockfd);
        sys->sockfd = -1;
        sys->error_count = 0;
        sys->transport = FINS_TRANSPORT_NONE;
        sys->socket_time = finslib_monotonic_sec_timer();
        return FINS_RETVAL_MAX_ERROR_COUNT;
    }
    sys->error_count++;
    return FINS_RETVAL_NO_RECORD;
}

int XX_finslib_communicate(fins_sys_tp *sys, fins_command_tp *command, size_t *bodylen, bool read_response) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (command == NULL) return check_error_count(sys, FINS_RETVAL_NO_COMMAND);
    if (bodylen == NULL) return check_error_count(sys, FINS_RETVAL_NO_COMMAND_LENGTH);
    if (sys->sockfd == -1) return check_error_count(sys, FINS_RETVAL_NOT_CONNECTED);

    uint8_t *frame = (uint8_t *)command;
    uint8_t request[FINS_HEADER_LEN];
    memcpy(request, frame, sizeof request);
    long received; /* response frame bytes; signed so that short frames cannot wrap */

    if (sys->transport == FINS_TRANSPORT_TCP) {
        if (*bodylen > FINS_BODY_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_LONG);
        size_t frame_len = FINS_HEADER_LEN + *bodylen;
        uint8_t tcp[FINS_TCP_HEADER_LEN] = {'F', 'I', 'N', 'S'};
        fins_put_u32(tcp + 4, (uint32_t)(8 + frame_len)); /* at most 2020: bytes 4..5 stay 0 */
        fins_put_u32(tcp + 8, 2);                         /* FINS frame send */
        fins_put_u32(tcp + 12, 0);
        /* MSG_MORE: the header waits for the frame's send, so that both leave in one segment and
         * the peer wakes once (TCP_NODELAY on the socket then pushes the frame at once). */
        if (send_once(sys->sockfd, tcp, sizeof tcp, MSG_MORE) != (ssize_t)sizeof tcp)
            return check_error_count(sys, FINS_RETVAL_HEADER_SEND_ERROR);
        ssize_t sent = send_once(sys->sockfd, frame, frame_len, 0);
        if (sent < 0) return check_error_count(sys, errno + FINS_RETVAL_ERRNO_BASE);
        if ((size_t)sent != frame_len) return check_error_count(sys, FINS_RETVAL_COMMAND_SEND_ERROR);
        if (!read_response) return FINS_RETVAL_SUCCESS;

        if (fins_recv_loop(sys->sockfd, tcp, sizeof tcp, 0) < sizeof tcp)
            return check_error_count(sys, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
        if (fins_get_u32(tcp + 8) != 2) return check_error_count(sys, fins_tcp_error_to_retval(fins_get_u32(tcp + 12)));
        long n = 256L * tcp[6] + tcp[7] - 8;
        if (n > FINS_FRAME_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_LONG);
        if (n <= 0) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);
        if (fins_recv_loop(sys->sockfd, frame, (size_t)n, 0) < (size_t)n)
            return check_error_count(sys, FINS_RETVAL_RESPONSE_INCOMPLETE);
        received = n;
    } else if (sys->transport == FINS_TRANSPORT_UDP) {
        struct sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(sys->port);
        int pton = finslib_inet_pton(AF_INET, sys->address, &to.sin_addr);
        if (pton < 0) {
            int code = errno + FINS_RETVAL_ERRNO_BASE;
            fins_close_socket_with_error(sys, NULL);
            return code;
        }
        if (pton == 0) {
            fins_set_last_error(sys, FINS_RETVAL_INVALID_IP_ADDRESS);
            fins_close_socket(sys);
            return FINS_RETVAL_INVALID_IP_ADDRESS;
        }
        if (*bodylen > FINS_BODY_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_LONG);
        size_t frame_len = FINS_HEADER_LEN + *bodylen;
        ssize_t sent;
        do {
            sent = sendto(sys->sockfd, frame, frame_len, MSG_NOSIGNAL, (const struct sockaddr *)&to, sizeof to);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0) return check_error_count(sys, errno + FINS_RETVAL_ERRNO_BASE);
        if ((size_t)sent != frame_len) return check_error_count(sys, FINS_RETVAL_COMMAND_SEND_ERROR);
        if (!read_response) return FINS_RETVAL_SUCCESS;
        ssize_t got;
        do {
            got = recvfrom(sys->sockfd, frame, FINS_UDP_RESPONSE_LIMIT, 0, NULL, NULL);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return check_error_count(sys, errno + FINS_RETVAL_ERRNO_BASE);
        if (got < FINS_HEADER_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);
        received = got;
    } else {
        return bad_transport(sys);
    }

    /* A frame shorter than its own header cannot be checked against the request. */
    if (received < FINS_HEADER_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);

    bool ours = frame[0] == (uint8_t)(request[0] | 0x40) && frame[1] == 0 &&
                frame[3] == request[6] && frame[4] == request[7] && frame[5] == request[8] &&
                frame[6] == request[3] && frame[7] == request[4] && frame[8] == request[5] &&
                frame[9] == request[9] && frame[10] == request[10] && frame[11] == request[11];
    if (!ours) {
        if (sys->transport == FINS_TRANSPORT_TCP) drain(sys->sockfd);
        return check_error_count(sys, FINS_RETVAL_SYNC_ERROR);
    }
    *bodylen = (size_t)(received - FINS_HEADER_LEN);
    if (*bodylen <= 1) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);
    return check_error_count(sys, ((frame[12] & 0x7F) << 8) + (frame[13] & 0x3F));
}
