/* Memory area write (MRC 0x01, SRC 0x02): nine writers over one frame-splitting procedure. */
#include "fins/fins_internal.h"

#include <string.h>

/* How a writer turns its values into words. */
typedef enum {
    ENC_U16,   /* 16-bit word as is */
    ENC_U32,   /* 32-bit value, low word first */
    ENC_BCD16, /* finslib_int_to_bcd(value, type), low 16 bits */
    ENC_BCD32, /* finslib_int_to_bcd(value, type), low word first */
    ENC_BIT,   /* one byte per bit */
} encoding;

typedef struct {
    encoding enc;
    int type; /* BCD type code */
    const void *data;
    bool is_signed; /* data holds int16_t / int32_t rather than the unsigned type */
} write_source;

/* An unsigned value above INT_MAX is out of every BCD range: its error marker. */
static uint32_t unsigned_bcd32(uint32_t v, int type) {
    return v > (uint32_t)INT32_MAX ? FINS_BCD32_ERROR : finslib_int_to_bcd((int)v, type);
}

static uint32_t value_at(const write_source *src, size_t i) {
    switch (src->enc) {
    case ENC_U16: return ((const uint16_t *)src->data)[i];
    case ENC_U32: return ((const uint32_t *)src->data)[i];
    case ENC_BCD16:
        return src->is_signed ? finslib_int_to_bcd(((const int16_t *)src->data)[i], src->type)
                              : finslib_int_to_bcd(((const uint16_t *)src->data)[i], src->type);
    case ENC_BCD32:
        return src->is_signed ? finslib_int_to_bcd(((const int32_t *)src->data)[i], src->type)
                              : unsigned_bcd32(((const uint32_t *)src->data)[i], src->type);
    case ENC_BIT: return ((const uint8_t *)src->data)[i];
    }
    return 0;
}

static int write_values(fins_sys_tp *sys, const char *start, const write_source *src, size_t count) {
    if (count == 0) return FINS_RETVAL_SUCCESS;
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (start == NULL) return FINS_RETVAL_NO_WRITE_ADDRESS;
    if (src->data == NULL) return FINS_RETVAL_NO_DATA_BLOCK;
    if (sys->sockfd == -1) return FINS_RETVAL_NOT_CONNECTED;

    fins_address_tp address;
    if (XX_finslib_decode_address(start, &address)) return FINS_RETVAL_INVALID_WRITE_ADDRESS;
    bool bits = src->enc == ENC_BIT;
    const fins_area_tp *area = XX_finslib_search_area(
        sys, &address, bits ? FINS_AREA_KIND_BIT : FINS_AREA_KIND_WORD, FINS_AREA_ACCESS_WRITE, false);
    if (area == NULL) return FINS_RETVAL_INVALID_WRITE_AREA;

    uint32_t word = (area->low_addr >> 8) - area->low_id + address.word;
    uint32_t bit = bits ? address.bit : 0;
    bool wide = src->enc == ENC_U32 || src->enc == ENC_BCD32;
    size_t done = 0;
    fins_command_tp command;

    while (done < count) {
        size_t remaining = count - done;
        size_t values, items; /* values taken from the data, items counted in the frame */
        if (wide) {
            values = remaining > FINS_WRITE_MAX_WORDS_32 / 2 ? FINS_WRITE_MAX_WORDS_32 / 2 : remaining;
            items = 2 * values;
        } else {
            size_t max = bits ? FINS_WRITE_MAX_BITS : FINS_WRITE_MAX_WORDS;
            values = remaining > max ? max : remaining;
            items = values;
        }

        XX_finslib_init_command(sys, &command, FINS_MRC_MEMORY_AREA, FINS_SRC_MEMORY_AREA_WRITE);
        uint8_t *body = command.body;
        body[0] = area->area_code;
        fins_put_u16(body + 1, word);
        body[3] = (uint8_t)bit;
        fins_put_u16(body + 4, (uint32_t)items);
        uint8_t *p = body + 6;
        for (size_t i = 0; i < values; i++) {
            uint32_t v = value_at(src, done + i);
            if (bits) {
                *p++ = (uint8_t)v;
            } else if (wide) {
                fins_put_u16(p, v & 0xFFFF); /* bits 0..15 at the lower address */
                fins_put_u16(p + 2, v >> 16);
                p += 4;
            } else {
                fins_put_u16(p, v);
                p += 2;
            }
        }
        size_t bodylen = (size_t)(p - body);

        int rc = XX_finslib_communicate(sys, &command, &bodylen, true);
        if (rc != FINS_RETVAL_SUCCESS) return rc;
        if (bodylen != 2) return FINS_RETVAL_BODY_TOO_SHORT;

        done += values;
        if (bits) {
            uint32_t pos = word * 16 + bit + (uint32_t)items;
            word = pos / 16;
            bit = pos % 16;
        } else {
            word += (uint32_t)items;
        }
    }
    return FINS_RETVAL_SUCCESS;
}

int finslib_memory_area_write_int16(fins_sys_tp *sys, const char *start, const int16_t *data, size_t num_int16) {
    write_source src = {ENC_U16, 0, data, true};
    return write_values(sys, start, &src, num_int16);
}

int finslib_memory_area_write_uint16(fins_sys_tp *sys, const char *start, const uint16_t *data,
                                     size_t num_uint16) {
    write_source src = {ENC_U16, 0, data, false};
    return write_values(sys, start, &src, num_uint16);
}

int finslib_memory_area_write_int32(fins_sys_tp *sys, const char *start, const int32_t *data, size_t num_int32) {
    write_source src = {ENC_U32, 0, data, true};
    return write_values(sys, start, &src, num_int32);
}

int finslib_memory_area_write_uint32(fins_sys_tp *sys, const char *start, const uint32_t *data,
                                     size_t num_uint32) {
    write_source src = {ENC_U32, 0, data, false};
    return write_values(sys, start, &src, num_uint32);
}

int finslib_memory_area_write_bcd16(fins_sys_tp *sys, const char *start, const uint16_t *data, size_t num_bcd16) {
    write_source src = {ENC_BCD16, FINS_DATA_TYPE_BCD16, data, false};
    return write_values(sys, start, &src, num_bcd16);
}

int finslib_memory_area_write_sbcd16(fins_sys_tp *sys, const char *start, const int16_t *data,
                                     size_t num_sbcd16, int type) {
    write_source src = {ENC_BCD16, type, data, true};
    return write_values(sys, start, &src, num_sbcd16);
}

int finslib_memory_area_write_bcd32(fins_sys_tp *sys, const char *start, const uint32_t *data, size_t num_bcd32) {
    write_source src = {ENC_BCD32, FINS_DATA_TYPE_BCD32, data, false};
    return write_values(sys, start, &src, num_bcd32);
}

int finslib_memory_area_write_sbcd32(fins_sys_tp *sys, const char *start, const int32_t *data,
                                     size_t num_sbcd32, int type) {
    write_source src = {ENC_BCD32, type, data, true};
    return write_values(sys, start, &src, num_sbcd32);
}

int finslib_memory_area_write_bit(fins_sys_tp *sys, const char *start, const uint8_t *data, size_t num_bit) {
    write_source src = {ENC_BIT, 0, data, false};
    return write_values(sys, start, &src, num_bit);
}
