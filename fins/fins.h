/*
 * FINS client library: talks to one OMRON PLC over FINS/TCP (or FINS/UDP).
 *
 * Plain C11 functions over a caller-owned connection record (fins_sys_tp). No global mutable state,
 * no locks, no heap allocation inside an exchange: a record must be used by one thread at a time
 * (the caller serialises). Every operation that reports a status returns an int: 0 on success, the
 * PLC's FINS end code (masked, 1..FINS_LAST_END_CODE), or one of the FINS_RETVAL_* codes below.
 *
 * Address texts (XX_finslib_decode_address):
 *   [white space] AREA [white space] WORD [ "." [BIT] ]
 *   AREA is 1 to 3 letters (any case, stored upper case), WORD a decimal number that fits 32 bits,
 *   BIT 0..15 (empty gives 0). Examples: "DM100", "cio 10.05", "W3.15", "A448", "TIM0.1".
 *   Extension of this library for the table rows whose names hold a digit (nothing else is changed
 *   by it, it only accepts texts that the plain form rejects):
 *   [white space] NAME "_" WORD [ "." [BIT] ]
 *   NAME is 2 or 3 letters or digits that starts with a letter and holds at least one digit:
 *     - numbered EM banks: "E<bank>_<word>", bank in decimal without leading zeros:
 *       "E0_100" (bank 0, word 100), "E12_32767", "E3_5.7" (bit 7; CS/CJ/CP family only);
 *       CS/CJ/CP banks 0..12 (words and bits), CV banks 0..7 (words only).
 *     - CS/CJ/CP condition flags read as bits: "C1M_0", "C1S_0", "C02_0", "C01_0", "C22_0".
 *   The plain letter-only flags use the plain form: "CER0", "CCY0", ..., "OFF0", "ON0".
 */
#ifndef FINS_FINS_H
#define FINS_FINS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Frame limits and fixed sizes ------------------------------------------------------------ */
#define FINS_HEADER_LEN 12            /* FINS frame header: ICF RSV GCT DNA DA1 DA2 SNA SA1 SA2 SID MRC SRC */
#define FINS_BODY_LEN 2000            /* largest request body after the header */
#define FINS_FRAME_LEN (FINS_HEADER_LEN + FINS_BODY_LEN) /* 2012: command buffer, largest TCP response */
#define FINS_UDP_RESPONSE_LIMIT 2010  /* a UDP response is read with this limit */
#define FINS_TCP_HEADER_LEN 16        /* FINS/TCP header before every TCP frame */
#define FINS_TCP_HANDSHAKE_REQUEST_LEN 20
#define FINS_TCP_HANDSHAKE_RESPONSE_LEN 24
#define FINS_TCP_DRAIN_CHUNK 1024     /* drain of a foreign response: bytes per receive pass */
#define FINS_TCP_DRAIN_MAX_BYTES 8192 /* drain bound: about four largest FINS/TCP frames */
#define FINS_TCP_DRAIN_MAX_MS 9000    /* drain bound in time: three receive time-outs */
#define FINS_DEFAULT_PORT 9600
#define FINS_MIN_PORT 1024            /* a new record's port outside 1024..65534 becomes 9600 */
#define FINS_MAX_PORT 65534
#define FINS_SOCKET_TIMEOUT_SEC 3     /* send and receive time-out of every socket */
#define FINS_RECONNECT_HOLDOFF_SEC 59 /* reconnect of a record refused this long after a socket event */
#define FINS_ADDRESS_LEN 128          /* fins_sys_tp.address, incl. terminator */
#define FINS_TEXT_LEN 21              /* model and version texts, incl. terminator */
#define FINS_MULTI_READ_MAX_ITEMS 24  /* items per multiple memory area read frame */
/* What one read frame may carry by OMRON's CS/CJ reference over Ethernet and Controller Link (a
 * PLC on a slower path refuses less with end code 0x1001 or 0x110B): */
#define FINS_MULTI_READ_MAX_ELEMENTS 167     /* elements of one multiple memory area read */
#define FINS_MEMORY_AREA_READ_MAX_WORDS 999  /* words of one memory area read */
#define FINS_WRITE_MAX_WORDS 267      /* 16-bit values per memory area write frame */
#define FINS_WRITE_MAX_WORDS_32 266   /* words per frame for 32-bit values (133 values) */
#define FINS_WRITE_MAX_BITS 267       /* bits per memory area write frame */
#define FINS_CPU_UNIT_DATA_LEN 158    /* data bytes decoded from a CPU unit data read response */

/* ---- Commands (MRC, SRC) ---------------------------------------------------------------------- */
#define FINS_MRC_MEMORY_AREA 0x01
#define FINS_SRC_MEMORY_AREA_READ 0x01
#define FINS_SRC_MEMORY_AREA_WRITE 0x02
#define FINS_SRC_MULTIPLE_MEMORY_AREA_READ 0x04
#define FINS_MRC_CPU_UNIT 0x05
#define FINS_SRC_CPU_UNIT_DATA_READ 0x01

/* ---- Transport and PLC family ----------------------------------------------------------------- */
#define FINS_TRANSPORT_NONE 0
#define FINS_TRANSPORT_TCP 1
#define FINS_TRANSPORT_UDP 2

#define FINS_PLC_FAMILY_UNKNOWN 0
#define FINS_PLC_FAMILY_CV 1
#define FINS_PLC_FAMILY_CS 2 /* CS, CJ and CP series */

/* ---- Memory area table: element kinds and access masks ---------------------------------------- */
#define FINS_AREA_KIND_BIT 1
#define FINS_AREA_KIND_WORD 16
#define FINS_AREA_ACCESS_WRITE 0x02      /* memory area write */
#define FINS_AREA_ACCESS_MULTI_READ 0x08 /* multiple memory area read */

/* ---- Data type codes (the gateway's FinsDataType numbering) ----------------------------------- */
#define FINS_DATA_TYPE_INT16 1
#define FINS_DATA_TYPE_INT32 2
#define FINS_DATA_TYPE_UINT16 3
#define FINS_DATA_TYPE_UINT32 4
#define FINS_DATA_TYPE_BCD16 5
#define FINS_DATA_TYPE_BCD32 6
#define FINS_DATA_TYPE_SBCD16_0 7
#define FINS_DATA_TYPE_SBCD16_1 8
#define FINS_DATA_TYPE_SBCD16_2 9
#define FINS_DATA_TYPE_SBCD16_3 10
#define FINS_DATA_TYPE_SBCD32_0 11
#define FINS_DATA_TYPE_SBCD32_1 12
#define FINS_DATA_TYPE_SBCD32_2 13
#define FINS_DATA_TYPE_SBCD32_3 14
#define FINS_DATA_TYPE_FLOAT 15
#define FINS_DATA_TYPE_DOUBLE 16
#define FINS_DATA_TYPE_BIT 17
#define FINS_DATA_TYPE_BIT_FORCED 18
#define FINS_DATA_TYPE_WORD_FORCED 19

/* BCD conversion error markers (ordinary values, not flagged otherwise) */
#define FINS_BCD16_ERROR 0x7FFF
#define FINS_BCD32_ERROR 0x7FFFFFFF

/* ---- Return codes ----------------------------------------------------------------------------- */
#define FINS_RETVAL_SUCCESS 0x0000
/* 1..FINS_LAST_END_CODE: FINS end code of the PLC, ((MRES & 0x7F) << 8) + (SRES & 0x3F) */
/* End codes with which a PLC refuses a frame for its length rather than for what it asks */
#define FINS_END_CODE_COMMAND_TOO_LONG 0x1001
#define FINS_END_CODE_RESPONSE_TOO_LONG 0x110B
#define FINS_RETVAL_NO_RECORD 0x8001
#define FINS_RETVAL_NOT_CONNECTED 0x8002
#define FINS_RETVAL_OUT_OF_MEMORY 0x8003
#define FINS_RETVAL_NOT_USED 0x8004 /* produced by no operation; resets the error counter */
#define FINS_RETVAL_INVALID_IP_ADDRESS 0x8005
#define FINS_RETVAL_MAX_ERROR_COUNT 0x8006
#define FINS_RETVAL_SYNC_ERROR 0x8007
#define FINS_RETVAL_NO_PLC_ADDRESS 0x8101
#define FINS_RETVAL_NO_WRITE_ADDRESS 0x8102
#define FINS_RETVAL_NO_DATA_BLOCK 0x8103
#define FINS_RETVAL_INVALID_READ_ADDRESS 0x8201
#define FINS_RETVAL_INVALID_WRITE_ADDRESS 0x8202
#define FINS_RETVAL_INVALID_READ_AREA 0x8301
#define FINS_RETVAL_INVALID_WRITE_AREA 0x8302
#define FINS_RETVAL_NO_COMMAND 0x8701
#define FINS_RETVAL_NO_COMMAND_LENGTH 0x8702
#define FINS_RETVAL_BODY_TOO_SHORT 0x8703
#define FINS_RETVAL_BODY_TOO_LONG 0x8704
#define FINS_RETVAL_HEADER_SEND_ERROR 0x8705
#define FINS_RETVAL_COMMAND_SEND_ERROR 0x8706
#define FINS_RETVAL_RESPONSE_INCOMPLETE 0x8707
#define FINS_RETVAL_TCP_UNEXPECTED_COMMAND 0x870B
#define FINS_RETVAL_TCP_HEADER_INCOMPLETE 0x870C
#define FINS_RETVAL_TRY_LATER 0x8801
#define FINS_RETVAL_TCP_ERROR_BASE 0x8900
#define FINS_RETVAL_TCP_NORMAL_CODE 0x8900
#define FINS_RETVAL_TCP_HEADER_NOT_FINS 0x8901
#define FINS_RETVAL_TCP_DATA_TOO_LONG 0x8902
#define FINS_RETVAL_TCP_COMMAND_NOT_SUPPORTED 0x8903
#define FINS_RETVAL_TCP_ALL_CONNECTIONS_IN_USE 0x8904
#define FINS_RETVAL_TCP_NODE_ALREADY_CONNECTED 0x8905
#define FINS_RETVAL_TCP_PROTECTED_NODE 0x8906
#define FINS_RETVAL_TCP_CLIENT_NODE_OUT_OF_RANGE 0x8907
#define FINS_RETVAL_TCP_SAME_NODE_ADDRESS 0x8908
#define FINS_RETVAL_TCP_NO_NODE_ADDRESS_LEFT 0x8909
#define FINS_RETVAL_ERRNO_BASE 0xC000 /* + errno of a failed socket call */

/* ---- Classes of return codes ------------------------------------------------------------------ */
/* The highest masked PLC end code (MRES 0x7F, SRES 0x3F with the flag bits cleared); every code
 * of the library's own lies above it. */
#define FINS_LAST_END_CODE 0x7F3F
/* The highest errno code: errno values stay far below 4096. */
#define FINS_RETVAL_ERRNO_LAST (FINS_RETVAL_ERRNO_BASE + 0x0FFF)

/* What a return code means, in a few words, for people (fins_strerror.c): a fixed text for each of
 * the library's own codes, "PLC end code 0x...." for 1..FINS_LAST_END_CODE, "socket error: " and the
 * errno's text for the errno codes, "FINS library code 0x...." for any other number. A text that
 * holds a number stays valid until the calling thread asks again; the others for good. */
const char *finslib_strerror(int code);

/* ---- Records ---------------------------------------------------------------------------------- */

/* Exchange statistics a connection record keeps (plain counters: the record's one-thread rule covers
 * them). Times are in microseconds. time_buckets is a histogram with 8 buckets per power of two:
 * bucket i < 8 holds times of i us; above, bucket 8 * (e - 2) + s holds times t with
 * 2^e <= t < 2^(e+1) whose three bits below the top one are s (so each bucket is at most 1/8 of its
 * lower bound wide); the last bucket also holds every longer time. */
#define FINS_STATS_TIME_BUCKETS 200    /* up to 2^26 us (67 s) */
#define FINS_STATS_FAILURE_CODES 8     /* distinct failure codes counted one by one */

typedef struct fins_failure_count_tp {
    int code;       /* a return code other than 0; 0 marks a free slot */
    uint64_t count; /* exchanges that ended with it */
} fins_failure_count_tp;

typedef struct fins_exchange_stats_tp {
    uint64_t exchanges; /* XX_finslib_communicate calls on this record */
    uint64_t failures;  /* of them, those that returned another code than 0 */
    uint64_t timeouts;  /* of the failures, those that waited out the socket's time-out */
    uint64_t total_us;  /* sum of the exchange times */
    uint64_t max_us;    /* longest exchange */
    fins_failure_count_tp by_code[FINS_STATS_FAILURE_CODES]; /* the first distinct codes seen */
    uint64_t other_codes;                                    /* failures whose code found no slot */
    uint32_t time_buckets[FINS_STATS_TIME_BUCKETS];
} fins_exchange_stats_tp;

/* One connection; allocated by the connect operations, freed by finslib_disconnect. */
typedef struct fins_sys_tp {
    char address[FINS_ADDRESS_LEN]; /* PLC host, dotted IPv4 text */
    uint16_t port;                  /* PLC port */
    int sockfd;                     /* -1 while no socket is open */
    int64_t socket_time;            /* monotonic seconds of the last handshake request or socket close */
    int error_count;                /* consecutive counted errors since the last success */
    int error_max;                  /* error limit; negative disables counting */
    int last_error;                 /* return code of the last operation that set it */
    bool error_changed;             /* the last store into last_error changed its value */
    uint8_t local_net;              /* SNA */
    uint8_t local_node;             /* SA1, replaced by the node the server assigns over TCP */
    uint8_t local_unit;             /* SA2 */
    uint8_t remote_net;             /* DNA */
    uint8_t remote_node;            /* DA1, replaced by the server's node over TCP */
    uint8_t remote_unit;            /* DA2 */
    uint8_t sid;                    /* next service ID, wraps at 256 */
    uint8_t transport;              /* FINS_TRANSPORT_* */
    char model[FINS_TEXT_LEN];      /* CPU unit model, filled by the CPU unit data read */
    char version[FINS_TEXT_LEN];    /* CPU unit version, same rule */
    int plc_family;                 /* FINS_PLC_FAMILY_*: selects the rows of fins_area */
    fins_exchange_stats_tp stats;   /* every exchange on this record, counted by XX_finslib_communicate */
    int failure_counting;           /* FINS_COUNT_*: which failures count towards error_max */
} fins_sys_tp;

/* Which failed exchanges count towards a record's error limit (finslib_set_failure_counting). */
#define FINS_COUNT_EVERY_FAILURE 0 /* the default: every failure, the PLC's end codes included */
#define FINS_COUNT_LINK_FAILURES 1 /* only failures of the link: an end code leaves the count as it was */

/* One command frame buffer (2,012 bytes): the request, then overwritten by the response. */
typedef struct fins_command_tp {
    uint8_t header[FINS_HEADER_LEN];
    uint8_t body[FINS_BODY_LEN];
} fins_command_tp;

/* A parsed address text. */
typedef struct fins_address_tp {
    char name[4];  /* area name, upper case, zero padded; all zero when the text starts with a digit */
    uint32_t word; /* word (channel) number */
    uint32_t bit;  /* bit number 0..15; 0 when the text has none */
} fins_address_tp;

/* One row of the memory area table. */
typedef struct fins_area_tp {
    int plc_family;     /* FINS_PLC_FAMILY_CV or _CS; 0 ends the table */
    const char *name;   /* area name as written in addresses */
    uint32_t bits;      /* FINS_AREA_KIND_WORD (16) or FINS_AREA_KIND_BIT (1) */
    uint8_t area_code;  /* FINS memory area code */
    uint32_t low_id;    /* lowest word number accepted */
    uint32_t high_id;   /* highest word number accepted */
    uint32_t low_addr;  /* FINS address of low_id: word * 256 + bit; only low_addr >> 8 is used */
    uint32_t access;    /* FINS_AREA_ACCESS_* mask */
    bool force;         /* the row addresses data together with its forced status */
} fins_area_tp;

/* The constant memory area table, ended by a row with plc_family 0. */
extern const fins_area_tp fins_area[];

/* One item of a multiple memory area read. */
typedef struct fins_multidata_tp {
    char address[12]; /* address text, zero-terminated within the 12 bytes */
    int type;         /* FINS_DATA_TYPE_*; other values are skipped */
    union {
        int16_t int16;   /* types 1, 7..10 */
        uint16_t uint16; /* types 3, 5 */
        int32_t int32;   /* types 2, 6, 11..14 */
        uint32_t uint32; /* type 4 */
        float float32;   /* type 15 */
        double float64;  /* type 16 */
        struct {
            uint8_t value;  /* bit value (0 or 1) */
            uint8_t forced; /* forced flag (0 or 1); 0 for type 17 */
        } bit;              /* types 17, 18 */
        struct {
            uint16_t first;  /* the second 16-bit value of the response (the data word) */
            uint16_t second; /* the first 16-bit value of the response (the forced-status word) */
        } word;              /* type 19 */
        uint8_t raw[8];
    } value;
} fins_multidata_tp;

/* The decoded CPU unit data. */
typedef struct fins_cpudata_tp {
    char model[FINS_TEXT_LEN];
    char version[FINS_TEXT_LEN];
    uint8_t system_block[40];
    int largest_em_bank;
    int program_area_size;
    int iom_size;
    int number_of_dm_words;
    int timer_counter_size;
    int em_non_file_memory_size;
    int memory_card_size;
    int num_sysmac_bus_masters;
    int num_racks;
    uint16_t bus_unit_id[16];
    bool bus_unit_present[16];
    bool dip_switch[8];
    uint8_t memory_card_type;
} fins_cpudata_tp;

/* ---- Connection and transport (fins_connect.c) ------------------------------------------------ */

/* Opens FINS over TCP and makes the node address handshake (the server assigns local_node and
 * reports remote_node). With sys NULL a new record is allocated (port outside 1024..65534 becomes
 * 9600); with a record given, its socket is opened anew on address and port as passed (an open
 * socket is closed first), unless its last socket event is at most 59 s old (0x8801, record
 * untouched). Returns NULL only when no record exists (0x8101 no address text, 0x8003 no memory);
 * otherwise the record, open, or closed (sockfd -1) with the reason in last_error and *error_val.
 * error_val may be NULL; error_max < 0 disables the consecutive-error limit. */
fins_sys_tp *finslib_tcp_connect(fins_sys_tp *sys, const char *address, uint16_t port, uint8_t local_net,
                                 uint8_t local_node, uint8_t local_unit, uint8_t remote_net,
                                 uint8_t remote_node, uint8_t remote_unit, int *error_val, int error_max);
/* As finslib_tcp_connect over UDP: no handshake, no connect; every exchange sends to the record's
 * address and port. On success *error_val is left untouched. */
fins_sys_tp *finslib_udp_connect(fins_sys_tp *sys, const char *address, uint16_t port, uint8_t local_net,
                                 uint8_t local_node, uint8_t local_unit, uint8_t remote_net,
                                 uint8_t remote_node, uint8_t remote_unit, int *error_val, int error_max);
/* Closes the socket and frees the record; NULL is ignored. */
void finslib_disconnect(fins_sys_tp *sys);
/* Closes the socket and keeps the record: sockfd -1, error_count 0, transport none, socket_time
 * now. Returns sys (NULL stays NULL). */
fins_sys_tp *fins_close_socket(fins_sys_tp *sys);
/* Records errno + FINS_RETVAL_ERRNO_BASE in last_error (and *error_val when given), then closes as above. Call it
 * right after the failing socket call, before anything else can change errno. */
fins_sys_tp *fins_close_socket_with_error(fins_sys_tp *sys, int *error_val);
/* Ends every exchange: success (and counting off, or no socket) resets the count and stores code;
 * a failure is counted, and the one that exceeds error_max becomes 0x8006 and closes the socket
 * (0x8900 closes at once). Returns the code to hand to the caller. */
int check_error_count(fins_sys_tp *sys, int code);
/* Sets which failures count towards sys's error limit (FINS_COUNT_*) and returns the previous
 * setting, so that a caller can count differently for a few exchanges and then restore it. Under
 * FINS_COUNT_LINK_FAILURES a PLC that answers with an end code (a refused address, say) never has
 * its working link closed, while a lost link is noticed as before. NULL or an unknown setting
 * changes nothing and returns -1. */
int finslib_set_failure_counting(fins_sys_tp *sys, int how);
/* The PLC family a CPU model text names: FINS_PLC_FAMILY_CV for "CV...", FINS_PLC_FAMILY_CS for
 * "CS...", "CJ..." and "CP..." (the three series share their memory layout), else
 * FINS_PLC_FAMILY_UNKNOWN. Only the first two characters are looked at. */
int finslib_plc_family_of_model(const char *model);
/* Selects the rows of the memory area table that sys's addresses are looked up in, overriding what
 * the CPU unit data read found. False, changing nothing, for NULL or a family other than
 * FINS_PLC_FAMILY_CV and FINS_PLC_FAMILY_CS. */
bool finslib_set_plc_family(fins_sys_tp *sys, int family);
/* Whole seconds of the monotonic clock. */
int64_t finslib_monotonic_sec_timer(void);
/* Sleeps the given milliseconds (resumed when a signal interrupts it). */
void finslib_milli_second_sleep(unsigned milliseconds);
/* inet_pton(af, src, dst); the library converts only AF_INET texts. */
int finslib_inet_pton(int af, const char *src, void *dst);

/* ---- Command frame and exchange (fins_exchange.c) --------------------------------------------- */

/* Writes the 12 header bytes of a command (ICF 0x80, GCT 2, the record's addresses, its sid, mrc,
 * src) and advances the record's sid, wrapping from 255 to 0. */
void XX_finslib_init_command(fins_sys_tp *sys, fins_command_tp *command, uint8_t mrc, uint8_t src);
/* Sends the command (*bodylen body bytes after the header) and, when read_response, receives the
 * response into the same buffer and checks that it answers this command. On a matching response
 * *bodylen becomes the response bytes after the header (end code + data) and the result is the
 * masked end code (0 on success). Every outcome passes through check_error_count. A foreign
 * response is drained (bounded in bytes and time) and gives 0x8007. Never waits longer than the
 * socket's 3-second time-outs per receive. */
int XX_finslib_communicate(fins_sys_tp *sys, fins_command_tp *command, size_t *bodylen, bool read_response);

/* ---- Addressing (fins_address.c) -------------------------------------------------------------- */

/* Parses an address text (syntax at the top of this file). Returns false on success and true on
 * failure (also for NULL arguments); out is written only on success. */
bool XX_finslib_decode_address(const char *text, fins_address_tp *out);
/* The first row of fins_area for the record's plc_family with this element kind (bits), an access
 * bit in common, this forced flag, the word within the row's range and this name; NULL if none.
 * The FINS word address is then (low_addr >> 8) - low_id + word. */
const fins_area_tp *XX_finslib_search_area(const fins_sys_tp *sys, const fins_address_tp *address, int bits,
                                           int access, bool force);

/* ---- Memory area write (fins_write.c) --------------------------------------------------------- */
/* Each writer stores count values from start on, in as many frames as needed (267 words, 133
 * 32-bit values or 267 bits per frame), each acknowledged before the next; it stops at the first
 * failure, leaving earlier frames written. A count of 0 returns 0 before any check. Argument and
 * address errors (0x8001, 0x8102, 0x8103, 0x8002, 0x8202, 0x8302) come back before anything is
 * sent. 32-bit values go low word first. BCD values outside their type's range are written as the
 * error marker. sbcd16 takes types 7..10, sbcd32 types 11..14. Bits: one byte (0 or 1) each. */
int finslib_memory_area_write_int16(fins_sys_tp *sys, const char *start, const int16_t *data, size_t num_int16);
int finslib_memory_area_write_uint16(fins_sys_tp *sys, const char *start, const uint16_t *data,
                                     size_t num_uint16);
int finslib_memory_area_write_int32(fins_sys_tp *sys, const char *start, const int32_t *data, size_t num_int32);
int finslib_memory_area_write_uint32(fins_sys_tp *sys, const char *start, const uint32_t *data,
                                     size_t num_uint32);
int finslib_memory_area_write_bcd16(fins_sys_tp *sys, const char *start, const uint16_t *data, size_t num_bcd16);
int finslib_memory_area_write_sbcd16(fins_sys_tp *sys, const char *start, const int16_t *data,
                                     size_t num_sbcd16, int type);
int finslib_memory_area_write_bcd32(fins_sys_tp *sys, const char *start, const uint32_t *data, size_t num_bcd32);
int finslib_memory_area_write_sbcd32(fins_sys_tp *sys, const char *start, const int32_t *data,
                                     size_t num_sbcd32, int type);
int finslib_memory_area_write_bit(fins_sys_tp *sys, const char *start, const uint8_t *data, size_t num_bit);

/* ---- Reads (fins_read.c) ---------------------------------------------------------------------- */

/* Reads every item's value (address and type are inputs) with multiple memory area reads of at
 * most 24 items per frame. Items of unknown types are skipped. An address or area error of an
 * item (0x8201, 0x8301) ends the call before its frame is sent; items of earlier frames keep their
 * values. A response of the wrong length (0x8703) leaves its frame's items undecoded. */
int finslib_multiple_memory_area_read(fins_sys_tp *sys, fins_multidata_tp *items, size_t num_items);
/* What finslib_multiple_memory_area_read answers for item before it sends anything: 0 when the
 * item has a place in the memory areas of sys's PLC family (or is of a type the read skips),
 * FINS_RETVAL_INVALID_READ_ADDRESS for an address text that does not decode, and
 * FINS_RETVAL_INVALID_READ_AREA for one the family's areas cannot serve. No exchange. */
int finslib_multiple_read_placement(const fins_sys_tp *sys, const fins_multidata_tp *item);
/* Request elements one item of `type` takes in a multiple memory area read: 1, 2 or 4; 0 for a
 * type the read skips. */
int finslib_multiple_read_elements(int type);
/* How many of the num_items items, from the first, one frame of the packed multiple read takes:
 * items while their elements fit in max_elements (at most FINS_MULTI_READ_MAX_ELEMENTS), and never
 * fewer than FINS_MULTI_READ_MAX_ITEMS (or num_items, if fewer) whatever their elements. */
size_t finslib_multiple_read_frame_items(const fins_multidata_tp *items, size_t num_items, size_t max_elements);
/* finslib_multiple_memory_area_read with frames of finslib_multiple_read_frame_items items each,
 * instead of 24: the same checks, decoding and failures. */
int finslib_multiple_memory_area_read_packed(fins_sys_tp *sys, fins_multidata_tp *items, size_t num_items,
                                             size_t max_elements);

/* Where a memory area read finds an item's value: the word row of its memory, and the words of
 * that row it takes. */
typedef struct fins_range_span_tp {
    const fins_area_tp *area; /* a word row (not forced) of the family's table */
    uint32_t first;           /* the item's first word number, as addresses write it */
    uint32_t words;           /* 1 (16-bit types, bits), 2 (32-bit types) or 4 (double) */
} fins_range_span_tp;
/* Fills span and returns true when item can be read from its words with a memory area read: its
 * type is a word type or a plain bit (1..17), its address has a place in sys's family, and its
 * words lie in one word row. False for the forced-status types (their flags are not in the
 * words), for the bits of timers and counters (completion flags, not bits of the present values)
 * and for items the multiple read would refuse with 0x8201 or 0x8301. No exchange. */
bool finslib_range_read_span(const fins_sys_tp *sys, const fins_multidata_tp *item, fins_range_span_tp *span);
/* Reads words first .. first + num_words - 1 of the word row area with one memory area read (MRC
 * 0x01, SRC 0x01) and fills each item from them, decoded exactly as the multiple read decodes it.
 * The words must lie in the row, num_words at most FINS_MEMORY_AREA_READ_MAX_WORDS, and every
 * item's span (finslib_range_read_span) within them: otherwise FINS_RETVAL_INVALID_READ_AREA, and
 * nothing is sent. Returns 0x8001, 0x8103 or 0x8002 as the multiple read does, or the exchange's
 * code; a response of the wrong length (0x8703) leaves the items undecoded. */
int finslib_memory_area_read_range(fins_sys_tp *sys, const fins_area_tp *area, uint32_t first, size_t num_words,
                                   fins_multidata_tp *items, size_t num_items);
/* Reads the CPU unit data (158 data bytes decoded; a longer answer is accepted, a shorter one is
 * 0x8703) and on success also sets the record's model, version and plc_family ("CS", "CJ", "CP":
 * CS family; "CV": CV family; anything else unknown). A failure leaves the record as it was. */
int finslib_cpu_unit_data_read(fins_sys_tp *sys, fins_cpudata_tp *cpudata);

/* ---- Exchange statistics (fins_exchange.c) ---------------------------------------------------- */

/* Adds every counter of from to into (failure codes by code, as far as into has slots). */
void finslib_exchange_stats_add(fins_exchange_stats_tp *into, const fins_exchange_stats_tp *from);
/* The exchange time in microseconds below which the fraction q (0..1) of the counted exchanges
 * fall, read from the histogram (the middle of the bucket it lands in, at most max_us); 0 without
 * exchanges. */
double finslib_exchange_time_quantile_us(const fins_exchange_stats_tp *stats, double q);
/* The same over any histogram of n buckets laid out as time_buckets (normally
 * FINS_STATS_TIME_BUCKETS of them) whose longest time was max_us; 0 while it is empty. */
double finslib_time_buckets_quantile_us(const uint32_t *buckets, size_t n, uint64_t max_us, double q);
/* The histogram bucket of an exchange time (see fins_exchange_stats_tp). */
int finslib_exchange_time_bucket(uint64_t us);

/* ---- BCD (fins_bcd.c) ------------------------------------------------------------------------- */

/* The raw BCD pattern of value for a BCD type code (5..14; only the low 16 bits count for 16-bit
 * types); FINS_BCD16_ERROR or FINS_BCD32_ERROR when the value is outside the type's range. Other
 * codes encode a non-negative value as plain BCD (more than 8 digits: FINS_BCD32_ERROR). */
uint32_t finslib_int_to_bcd(int value, int type);
/* The integer of a raw BCD pattern for a BCD type code; an error marker when the pattern is not
 * valid for the type (a nibble above 9, a wrong sign digit, bits beyond the type). */
int finslib_bcd_to_int(uint32_t value, int type);

#ifdef __cplusplus
}
#endif

#endif /* FINS_FINS_H */
