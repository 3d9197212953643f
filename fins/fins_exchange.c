/* FINS command frame and its exchange: FINS/TCP framing (or a UDP datagram), the response check,
 * the drain after a foreign response, and the error counting every exchange ends with. */
#define _GNU_SOURCE
#include "fins/fins_internal.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
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

/* A receive that came back short because the socket's receive time-out passed (recv sets EAGAIN);
 * errno is cleared before each receive so that an older value is not taken for it. */
static bool receive_timed_out(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

/* Whether a response frame's header answers the request header: ICF with the response bit, the
 * two node triples swapped, and the same SID and command. GCT is not compared. */
static bool answers_request(const uint8_t *request, const uint8_t *frame) {
    return frame[0] == (uint8_t)(request[0] | 0x40) && frame[1] == 0 && frame[3] == request[6] &&
           frame[4] == request[7] && frame[5] == request[8] && frame[6] == request[3] &&
           frame[7] == request[4] && frame[8] == request[5] && frame[9] == request[9] &&
           frame[10] == request[10] && frame[11] == request[11];
}

/* Foreign datagrams one UDP exchange discards before it gives up: room for a late reply to each
 * of several earlier requests, while a peer that keeps sending cannot hold the exchange for more
 * than this many datagrams. */
#define FINS_UDP_MAX_FOREIGN_DATAGRAMS 16

/* Receives the answer to `request` into `frame`; returns 0 with *received set, or the code to
 * count. Nothing ties a datagram to a request, so a reply that comes after its exchange gave up
 * would be met by the next exchange: a datagram from another address, or one that does not answer
 * this request, is discarded and the receive goes on. The time-out runs from the send, not from
 * each datagram, so discarding never stretches an exchange beyond the socket's time-out. */
static int udp_receive(fins_sys_tp *sys, const struct sockaddr_in *plc, const uint8_t *request,
                       uint8_t *frame, long *received, bool *timed_out) {
    int64_t deadline = fins_monotonic_ms() + (int64_t)FINS_SOCKET_TIMEOUT_SEC * 1000;
    int foreign = 0;
    for (;;) {
        int64_t left = deadline - fins_monotonic_ms();
        if (left <= 0) {
            *timed_out = true;
            return EAGAIN + FINS_RETVAL_ERRNO_BASE; /* what the socket's own time-out reports */
        }
        struct pollfd ready = {sys->sockfd, POLLIN, 0};
        int n = poll(&ready, 1, (int)left);
        if (n < 0 && errno != EINTR) return errno + FINS_RETVAL_ERRNO_BASE;
        if (n <= 0) continue;
        struct sockaddr_in from;
        socklen_t from_len = sizeof from;
        memset(&from, 0, sizeof from);
        ssize_t got = recvfrom(sys->sockfd, frame, FINS_UDP_RESPONSE_LIMIT, MSG_DONTWAIT,
                               (struct sockaddr *)&from, &from_len);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return errno + FINS_RETVAL_ERRNO_BASE;
        }
        bool from_plc = from.sin_family == AF_INET && from.sin_addr.s_addr == plc->sin_addr.s_addr;
        if (from_plc) {
            /* Too short to be told apart: the PLC's garbled answer rather than an old one. */
            if (got < FINS_HEADER_LEN) return FINS_RETVAL_BODY_TOO_SHORT;
            if (answers_request(request, frame)) {
                *received = got;
                return FINS_RETVAL_SUCCESS;
            }
        }
        if (++foreign >= FINS_UDP_MAX_FOREIGN_DATAGRAMS) return FINS_RETVAL_SYNC_ERROR;
    }
}

/* The exchange itself; *timed_out is set when it failed by waiting out the receive time-out. */
static int exchange(fins_sys_tp *sys, fins_command_tp *command, size_t *bodylen, bool read_response,
                    bool *timed_out) {
    if (command == NULL) return check_error_count(sys, FINS_RETVAL_NO_COMMAND);
    if (bodylen == NULL) return check_error_count(sys, FINS_RETVAL_NO_COMMAND_LENGTH);
    if (sys->sockfd == -1) return check_error_count(sys, FINS_RETVAL_NOT_CONNECTED);

    uint8_t *frame = (uint8_t *)command;
    uint8_t request[FINS_HEADER_LEN];
    memcpy(request, frame, sizeof request);
    long received = 0; /* response frame bytes; signed so that short frames cannot wrap */

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

        errno = 0;
        if (fins_recv_loop(sys->sockfd, tcp, sizeof tcp, 0) < sizeof tcp) {
            *timed_out = receive_timed_out();
            return check_error_count(sys, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
        }
        if (fins_get_u32(tcp + 8) != 2) return check_error_count(sys, fins_tcp_error_to_retval(fins_get_u32(tcp + 12)));
        long n = 256L * tcp[6] + tcp[7] - 8;
        if (n > FINS_FRAME_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_LONG);
        if (n <= 0) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);
        errno = 0;
        if (fins_recv_loop(sys->sockfd, frame, (size_t)n, 0) < (size_t)n) {
            *timed_out = receive_timed_out();
            return check_error_count(sys, FINS_RETVAL_RESPONSE_INCOMPLETE);
        }
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
        int code = udp_receive(sys, &to, request, frame, &received, timed_out);
        if (code != FINS_RETVAL_SUCCESS) return check_error_count(sys, code);
    } else {
        return bad_transport(sys);
    }

    /* A frame shorter than its own header cannot be checked against the request. */
    if (received < FINS_HEADER_LEN) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);

    if (!answers_request(request, frame)) {
        if (sys->transport == FINS_TRANSPORT_TCP) drain(sys->sockfd);
        return check_error_count(sys, FINS_RETVAL_SYNC_ERROR);
    }
    *bodylen = (size_t)(received - FINS_HEADER_LEN);
    if (*bodylen <= 1) return check_error_count(sys, FINS_RETVAL_BODY_TOO_SHORT);
    return check_error_count(sys, ((frame[12] & 0x7F) << 8) + (frame[13] & 0x3F));
}

static uint64_t monotonic_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

/* Longest time the histogram tells apart; longer ones land in the last bucket. */
#define STATS_TOP_EXPONENT 26

int finslib_exchange_time_bucket(uint64_t us) {
    if (us < 8) return (int)us;
    int e = 63 - __builtin_clzll(us);
    if (e > STATS_TOP_EXPONENT) return FINS_STATS_TIME_BUCKETS - 1;
    return 8 * (e - 2) + (int)((us >> (e - 3)) & 7u);
}

/* The lower bound and the width of a bucket. */
static void bucket_range(int bucket, double *low, double *width) {
    if (bucket < 8) {
        *low = bucket;
        *width = 1;
        return;
    }
    int e = bucket / 8 + 2;
    *low = (double)((uint64_t)(8 + bucket % 8) << (e - 3));
    *width = (double)((uint64_t)1 << (e - 3));
}

static void add_failures(fins_exchange_stats_tp *stats, int code, uint64_t count) {
    for (int i = 0; i < FINS_STATS_FAILURE_CODES; i++) {
        fins_failure_count_tp *slot = &stats->by_code[i];
        if (slot->code == code || slot->code == 0) {
            slot->code = code;
            slot->count += count;
            return;
        }
    }
    stats->other_codes += count;
}

void finslib_exchange_stats_add(fins_exchange_stats_tp *into, const fins_exchange_stats_tp *from) {
    if (into == NULL || from == NULL) return;
    into->exchanges += from->exchanges;
    into->failures += from->failures;
    into->timeouts += from->timeouts;
    into->total_us += from->total_us;
    if (from->max_us > into->max_us) into->max_us = from->max_us;
    for (int i = 0; i < FINS_STATS_FAILURE_CODES && from->by_code[i].code != 0; i++)
        add_failures(into, from->by_code[i].code, from->by_code[i].count);
    into->other_codes += from->other_codes;
    for (int i = 0; i < FINS_STATS_TIME_BUCKETS; i++) into->time_buckets[i] += from->time_buckets[i];
}

double finslib_time_buckets_quantile_us(const uint32_t *buckets, size_t n, uint64_t max_us, double q) {
    if (buckets == NULL) return 0;
    uint64_t total = 0;
    for (size_t i = 0; i < n; i++) total += buckets[i];
    if (total == 0) return 0;
    if (q < 0) q = 0;
    if (q > 1) q = 1;
    /* The rank of the wanted time, 1-based: the smallest that has at least q of them at or below. */
    uint64_t rank = (uint64_t)(q * (double)total + 0.999999);
    if (rank == 0) rank = 1;
    uint64_t seen = 0;
    for (size_t i = 0; i < n; i++) {
        seen += buckets[i];
        if (seen >= rank) {
            double low, width;
            bucket_range((int)i, &low, &width);
            double middle = low + width / 2;
            return middle > (double)max_us ? (double)max_us : middle;
        }
    }
    return (double)max_us;
}

double finslib_exchange_time_quantile_us(const fins_exchange_stats_tp *stats, double q) {
    if (stats == NULL || stats->exchanges == 0) return 0;
    return finslib_time_buckets_quantile_us(stats->time_buckets, FINS_STATS_TIME_BUCKETS, stats->max_us, q);
}

int XX_finslib_communicate(fins_sys_tp *sys, fins_command_tp *command, size_t *bodylen, bool read_response) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    bool timed_out = false;
    uint64_t begun = monotonic_us();
    int code = exchange(sys, command, bodylen, read_response, &timed_out);
    uint64_t took = monotonic_us() - begun;

    fins_exchange_stats_tp *stats = &sys->stats;
    stats->exchanges++;
    stats->total_us += took;
    if (took > stats->max_us) stats->max_us = took;
    stats->time_buckets[finslib_exchange_time_bucket(took)]++;
    if (code != FINS_RETVAL_SUCCESS) {
        stats->failures++;
        if (timed_out) stats->timeouts++;
        add_failures(stats, code, 1);
    }
    return code;
}
