/* Return codes as text, for logs, the status page and the command line. */
#define _GNU_SOURCE
#include "fins/fins.h"

#include <stdio.h>
#include <string.h>

/* Texts that carry a number are made here; one buffer per thread keeps the library free of locks. */
static _Thread_local char code_text[128];

static const char *library_text(int code) {
    switch (code) {
    case FINS_RETVAL_SUCCESS: return "success";
    case FINS_RETVAL_NO_RECORD: return "not connected";
    case FINS_RETVAL_NOT_CONNECTED: return "PLC socket closed, reconnecting";
    case FINS_RETVAL_OUT_OF_MEMORY: return "out of memory";
    case FINS_RETVAL_NOT_USED: return "no failure (clears the error count)";
    case FINS_RETVAL_INVALID_IP_ADDRESS: return "PLC address is no IPv4 address";
    case FINS_RETVAL_MAX_ERROR_COUNT: return "too many failures in a row, socket closed";
    case FINS_RETVAL_SYNC_ERROR: return "PLC answer to another command";
    case FINS_RETVAL_NO_PLC_ADDRESS: return "no PLC address given";
    case FINS_RETVAL_NO_WRITE_ADDRESS: return "no start address given";
    case FINS_RETVAL_NO_DATA_BLOCK: return "no values given";
    case FINS_RETVAL_INVALID_READ_ADDRESS:
    case FINS_RETVAL_INVALID_WRITE_ADDRESS: return "address does not decode";
    case FINS_RETVAL_INVALID_READ_AREA:
    case FINS_RETVAL_INVALID_WRITE_AREA: return "no such area or word in this PLC family";
    case FINS_RETVAL_NO_COMMAND: return "no command frame given";
    case FINS_RETVAL_NO_COMMAND_LENGTH: return "no command length given";
    case FINS_RETVAL_BODY_TOO_SHORT: return "PLC answer of unexpected length";
    case FINS_RETVAL_BODY_TOO_LONG: return "command or answer too long for a FINS frame";
    case FINS_RETVAL_HEADER_SEND_ERROR: return "FINS/TCP header not sent whole";
    case FINS_RETVAL_COMMAND_SEND_ERROR: return "command not sent whole";
    case FINS_RETVAL_RESPONSE_INCOMPLETE:
    case FINS_RETVAL_TCP_HEADER_INCOMPLETE: return "no complete PLC answer (time-out or closed)";
    case FINS_RETVAL_TCP_UNEXPECTED_COMMAND: return "FINS/TCP error code of no known meaning";
    case FINS_RETVAL_TRY_LATER: return "reconnect held off after a recent socket event";
    case FINS_RETVAL_TCP_NORMAL_CODE: return "FINS/TCP answer of another command";
    case FINS_RETVAL_TCP_HEADER_NOT_FINS: return "FINS/TCP server: header is not \"FINS\"";
    case FINS_RETVAL_TCP_DATA_TOO_LONG: return "FINS/TCP server: data length too long";
    case FINS_RETVAL_TCP_COMMAND_NOT_SUPPORTED: return "FINS/TCP server: command not supported";
    case FINS_RETVAL_TCP_ALL_CONNECTIONS_IN_USE: return "FINS/TCP server: all connections in use";
    case FINS_RETVAL_TCP_NODE_ALREADY_CONNECTED: return "FINS/TCP server: node already connected";
    case FINS_RETVAL_TCP_PROTECTED_NODE: return "FINS/TCP server: protected node, IP address not listed";
    case FINS_RETVAL_TCP_CLIENT_NODE_OUT_OF_RANGE: return "FINS/TCP server: client node out of range";
    case FINS_RETVAL_TCP_SAME_NODE_ADDRESS: return "FINS/TCP server: client and server share a node";
    case FINS_RETVAL_TCP_NO_NODE_ADDRESS_LEFT: return "FINS/TCP server: no node address left";
    default: return NULL;
    }
}

const char *finslib_strerror(int code) {
    const char *fixed = library_text(code);
    if (fixed != NULL) return fixed;
    if (code >= 1 && code <= FINS_LAST_END_CODE) {
        snprintf(code_text, sizeof code_text, "PLC end code 0x%04X", (unsigned)code);
    } else if (code >= FINS_RETVAL_ERRNO_BASE && code <= FINS_RETVAL_ERRNO_LAST) {
        char errno_text[96];
        /* The GNU form: it may hand back a fixed text of its own instead of filling errno_text. */
        const char *reason = strerror_r(code - FINS_RETVAL_ERRNO_BASE, errno_text, sizeof errno_text);
        snprintf(code_text, sizeof code_text, "socket error: %s", reason);
    } else {
        snprintf(code_text, sizeof code_text, "FINS library code 0x%04X", (unsigned)code);
    }
    return code_text;
}
