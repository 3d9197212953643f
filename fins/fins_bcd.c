/* Packed BCD conversion for the unsigned and the four signed BCD conventions, 16 and 32 bits. */
#include "fins/fins_internal.h"

/* Pairs of decimal digits 0..99 -> one packed BCD byte: (n / 10) * 16 + n % 10. */
static const uint8_t inttobcd_lut[100] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
    0x17, 0x18, 0x19, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x30, 0x31, 0x32, 0x33,
    0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x50,
    0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
    0x68, 0x69, 0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x80, 0x81, 0x82, 0x83, 0x84,
    0x85, 0x86, 0x87, 0x88, 0x89, 0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
};

/* One packed BCD byte -> 0..99, or 255 when a nibble is above 9. */
static uint8_t bcdtoint(uint8_t b) {
    uint8_t hi = (uint8_t)(b >> 4), lo = (uint8_t)(b & 0x0F);
    return (hi > 9 || lo > 9) ? 255 : (uint8_t)(hi * 10 + lo);
}

typedef struct {
    int64_t min, max;
    uint32_t error; /* marker of an out-of-range value when encoding */
} bcd_range;

static bool range_of(int type, bcd_range *r) {
    switch (type) {
    case FINS_DATA_TYPE_BCD16: *r = (bcd_range){0, 9999, FINS_BCD16_ERROR}; return true;
    case FINS_DATA_TYPE_BCD32: *r = (bcd_range){0, 99999999, FINS_BCD32_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD16_0: *r = (bcd_range){-999, 999, FINS_BCD16_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD16_1: *r = (bcd_range){-7999, 7999, FINS_BCD16_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD16_2: *r = (bcd_range){-999, 9999, FINS_BCD16_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD16_3: *r = (bcd_range){-1999, 9999, FINS_BCD16_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD32_0: *r = (bcd_range){-9999999, 9999999, FINS_BCD32_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD32_1: *r = (bcd_range){-79999999, 79999999, FINS_BCD32_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD32_2: *r = (bcd_range){-9999999, 99999999, FINS_BCD32_ERROR}; return true;
    case FINS_DATA_TYPE_SBCD32_3: *r = (bcd_range){-19999999, 99999999, FINS_BCD32_ERROR}; return true;
    default: return false;
    }
}

uint32_t finslib_int_to_bcd(int value, int type) {
    bcd_range r;
    bool known = range_of(type, &r);
    if (known && (value < r.min || value > r.max)) return r.error;
    if (value == 0) return 0;

    uint32_t sign = 0;
    uint32_t m;
    if (value < 0) {
        if (!known) return FINS_BCD32_ERROR; /* negative values of other codes have no encoding */
        m = (uint32_t)(-(int64_t)value);
        switch (type) {
        case FINS_DATA_TYPE_SBCD16_0: sign = 0x1000; break;
        case FINS_DATA_TYPE_SBCD16_1: sign = 0x8000; break;
        case FINS_DATA_TYPE_SBCD16_2: sign = 0xF000; break;
        case FINS_DATA_TYPE_SBCD16_3:
            if (m <= 999) {
                sign = 0xF000;
            } else {
                sign = 0xA000;
                m -= 1000;
            }
            break;
        case FINS_DATA_TYPE_SBCD32_0: sign = 0x10000000; break;
        case FINS_DATA_TYPE_SBCD32_1: sign = 0x80000000u; break;
        case FINS_DATA_TYPE_SBCD32_2: sign = 0xF0000000u; break;
        case FINS_DATA_TYPE_SBCD32_3:
            if (m <= 9999999) {
                sign = 0xF0000000u;
            } else {
                sign = 0xA0000000u;
                m -= 10000000;
            }
            break;
        default: break; /* unsigned types: excluded by their range */
        }
    } else {
        m = (uint32_t)value;
    }

    uint32_t bcd = 0;
    for (int shift = 0; m != 0; shift += 8) {
        if (shift == 32) return FINS_BCD32_ERROR; /* more than 8 digits */
        bcd |= (uint32_t)inttobcd_lut[m % 100] << shift;
        m /= 100;
    }
    return bcd | sign;
}

/* Decodes packed BCD digits; -1 when a nibble is above 9. */
static int64_t decode_digits(uint32_t digits) {
    int64_t v = 0, scale = 1;
    for (int i = 0; i < 4; i++) {
        uint8_t pair = bcdtoint((uint8_t)(digits >> (8 * i)));
        if (pair == 255) return -1;
        v += pair * scale;
        scale *= 100;
    }
    return v;
}

int finslib_bcd_to_int(uint32_t raw, int type) {
    bool negative = false;
    int64_t offset = 0; /* leading 1 of the A-signed conventions */
    uint32_t digits;
    uint32_t top16 = (raw >> 12) & 0x0F;
    uint32_t top32 = raw >> 28;

    switch (type) {
    case FINS_DATA_TYPE_BCD16:
        if (raw > 0xFFFF) return FINS_BCD16_ERROR;
        digits = raw;
        break;
    case FINS_DATA_TYPE_BCD32:
        digits = raw;
        break;
    case FINS_DATA_TYPE_SBCD16_0:
        if (raw > 0x1FFF) return FINS_BCD16_ERROR;
        negative = (raw & 0x1000) != 0;
        digits = raw & 0x0FFF;
        break;
    case FINS_DATA_TYPE_SBCD16_1:
        if (raw > 0xFFFF) return FINS_BCD16_ERROR;
        negative = (raw & 0x8000) != 0;
        digits = raw & 0x7FFF;
        break;
    case FINS_DATA_TYPE_SBCD16_2:
        if (raw > 0xFFFF) return FINS_BCD16_ERROR;
        if (top16 <= 9) {
            digits = raw;
        } else if (top16 == 0xF) {
            negative = true;
            digits = raw & 0x0FFF;
        } else {
            return FINS_BCD32_ERROR;
        }
        break;
    case FINS_DATA_TYPE_SBCD16_3:
        raw &= 0xFFFF;
        if (top16 <= 9) {
            digits = raw;
        } else if (top16 == 0xF) {
            negative = true;
            digits = raw & 0x0FFF;
        } else if (top16 == 0xA) {
            negative = true;
            digits = raw & 0x0FFF;
            offset = 1000;
        } else {
            return FINS_BCD16_ERROR;
        }
        break;
    case FINS_DATA_TYPE_SBCD32_0:
        if (raw > 0x1FFFFFFF) return FINS_BCD32_ERROR;
        negative = (raw & 0x10000000) != 0;
        digits = raw & 0x0FFFFFFF;
        break;
    case FINS_DATA_TYPE_SBCD32_1:
        negative = (raw & 0x80000000u) != 0;
        digits = raw & 0x7FFFFFFF;
        break;
    case FINS_DATA_TYPE_SBCD32_2:
        if (top32 <= 9) {
            digits = raw;
        } else if (top32 == 0xF) {
            negative = true;
            digits = raw & 0x0FFFFFFF;
        } else {
            return FINS_BCD32_ERROR;
        }
        break;
    case FINS_DATA_TYPE_SBCD32_3:
        if (top32 <= 9) {
            digits = raw;
        } else if (top32 == 0xF) {
            negative = true;
            digits = raw & 0x0FFFFFFF;
        } else if (top32 == 0xA) {
            negative = true;
            digits = raw & 0x0FFFFFFF;
            offset = 10000000;
        } else {
            return FINS_BCD32_ERROR;
        }
        break;
    default:
        return FINS_BCD32_ERROR;
    }

    int64_t v = decode_digits(digits);
    if (v < 0) return FINS_BCD32_ERROR;
    v += offset;
    if (v == 0) return 0; /* the plain and the signed zero */
    if (negative) v = -v;
    bcd_range r;
    range_of(type, &r);
    if (v < r.min || v > r.max) return FINS_BCD32_ERROR;
    return (int)v;
}
