/* PLC address texts and the memory area table per PLC family. */
#include "fins/fins_internal.h"

#include <string.h>

#define CV FINS_PLC_FAMILY_CV
#define CS FINS_PLC_FAMILY_CS
#define BIT FINS_AREA_KIND_BIT
#define WORD FINS_AREA_KIND_WORD
#define W FINS_AREA_ACCESS_WRITE
#define R FINS_AREA_ACCESS_MULTI_READ
#define RW (FINS_AREA_ACCESS_WRITE | FINS_AREA_ACCESS_MULTI_READ)
/* base: FINS word address of low_id (stored as word * 256) */
#define B(word) ((uint32_t)(word) << 8)

const fins_area_tp fins_area[] = {
    /* CS/CJ/CP family */
    {CS, "CIO", BIT, 0x30, 0, 6143, B(0x0000), RW, false},
    {CS, "CIO", BIT, 0x70, 0, 6143, B(0x0000), R, true},
    {CS, "CIO", WORD, 0xB0, 0, 6143, B(0x0000), RW, false},
    {CS, "CIO", WORD, 0xF0, 0, 6143, B(0x0000), R, true},
    {CS, "W", BIT, 0x31, 0, 511, B(0x0000), RW, false},
    {CS, "W", BIT, 0x71, 0, 511, B(0x0000), R, true},
    {CS, "W", WORD, 0xB1, 0, 511, B(0x0000), RW, false},
    {CS, "W", WORD, 0xF1, 0, 511, B(0x0000), R, true},
    {CS, "H", BIT, 0x32, 0, 511, B(0x0000), RW, false},
    {CS, "H", BIT, 0x72, 0, 511, B(0x0000), R, true},
    {CS, "H", WORD, 0xB2, 0, 511, B(0x0000), RW, false},
    {CS, "H", WORD, 0xF2, 0, 511, B(0x0000), R, true},
    {CS, "A", BIT, 0x33, 0, 959, B(0x0000), R, false},
    {CS, "A", BIT, 0x33, 448, 959, B(0x01C0), W, false},
    {CS, "A", WORD, 0xB3, 0, 959, B(0x0000), R, false},
    {CS, "A", WORD, 0xB3, 448, 959, B(0x01C0), W, false},
    {CS, "TIM", BIT, 0x09, 0, 4095, B(0x0000), R, false},
    {CS, "TIM", BIT, 0x49, 0, 4095, B(0x0000), R, true},
    {CS, "TIM", WORD, 0x89, 0, 4095, B(0x0000), RW, false},
    {CS, "CNT", BIT, 0x09, 0, 4095, B(0x8000), R, false},
    {CS, "CNT", BIT, 0x49, 0, 4095, B(0x8000), R, true},
    {CS, "CNT", WORD, 0x89, 0, 4095, B(0x8000), RW, false},
    {CS, "DM", BIT, 0x02, 0, 32767, B(0x0000), RW, false},
    {CS, "DM", WORD, 0x82, 0, 32767, B(0x0000), RW, false},
    {CS, "E", WORD, 0x98, 0, 32767, B(0x0000), RW, false},
    {CS, "EM", WORD, 0xBC, 0, 0, B(0x0F00), R, false},
    /* numbered EM banks 0..12 (address form "E<bank>_<word>") */
    {CS, "E0", BIT, 0x20, 0, 32767, B(0x0000), RW, false},
    {CS, "E1", BIT, 0x21, 0, 32767, B(0x0000), RW, false},
    {CS, "E2", BIT, 0x22, 0, 32767, B(0x0000), RW, false},
    {CS, "E3", BIT, 0x23, 0, 32767, B(0x0000), RW, false},
    {CS, "E4", BIT, 0x24, 0, 32767, B(0x0000), RW, false},
    {CS, "E5", BIT, 0x25, 0, 32767, B(0x0000), RW, false},
    {CS, "E6", BIT, 0x26, 0, 32767, B(0x0000), RW, false},
    {CS, "E7", BIT, 0x27, 0, 32767, B(0x0000), RW, false},
    {CS, "E8", BIT, 0x28, 0, 32767, B(0x0000), RW, false},
    {CS, "E9", BIT, 0x29, 0, 32767, B(0x0000), RW, false},
    {CS, "E10", BIT, 0x2A, 0, 32767, B(0x0000), RW, false},
    {CS, "E11", BIT, 0x2B, 0, 32767, B(0x0000), RW, false},
    {CS, "E12", BIT, 0x2C, 0, 32767, B(0x0000), RW, false},
    {CS, "E0", WORD, 0xA0, 0, 32767, B(0x0000), RW, false},
    {CS, "E1", WORD, 0xA1, 0, 32767, B(0x0000), RW, false},
    {CS, "E2", WORD, 0xA2, 0, 32767, B(0x0000), RW, false},
    {CS, "E3", WORD, 0xA3, 0, 32767, B(0x0000), RW, false},
    {CS, "E4", WORD, 0xA4, 0, 32767, B(0x0000), RW, false},
    {CS, "E5", WORD, 0xA5, 0, 32767, B(0x0000), RW, false},
    {CS, "E6", WORD, 0xA6, 0, 32767, B(0x0000), RW, false},
    {CS, "E7", WORD, 0xA7, 0, 32767, B(0x0000), RW, false},
    {CS, "E8", WORD, 0xA8, 0, 32767, B(0x0000), RW, false},
    {CS, "E9", WORD, 0xA9, 0, 32767, B(0x0000), RW, false},
    {CS, "E10", WORD, 0xAA, 0, 32767, B(0x0000), RW, false},
    {CS, "E11", WORD, 0xAB, 0, 32767, B(0x0000), RW, false},
    {CS, "E12", WORD, 0xAC, 0, 32767, B(0x0000), RW, false},
    {CS, "TK", BIT, 0x06, 0, 31, B(0x0000), R, false},
    {CS, "TKS", BIT, 0x46, 0, 31, B(0x0000), R, false},
    {CS, "IR", WORD, 0xDC, 0, 15, B(0x0100), RW, false},
    {CS, "DR", WORD, 0xBC, 0, 15, B(0x0200), RW, false},
    /* condition flags */
    {CS, "CER", BIT, 0x07, 0, 0, B(0x1000), R, false},
    {CS, "CCY", BIT, 0x07, 0, 0, B(0x1001), R, false},
    {CS, "CGT", BIT, 0x07, 0, 0, B(0x1002), R, false},
    {CS, "CEQ", BIT, 0x07, 0, 0, B(0x1003), R, false},
    {CS, "CLT", BIT, 0x07, 0, 0, B(0x1004), R, false},
    {CS, "NEG", BIT, 0x07, 0, 0, B(0x1005), R, false},
    {CS, "COF", BIT, 0x07, 0, 0, B(0x1006), R, false},
    {CS, "CUF", BIT, 0x07, 0, 0, B(0x1007), R, false},
    {CS, "CGE", BIT, 0x07, 0, 0, B(0x1008), R, false},
    {CS, "CNE", BIT, 0x07, 0, 0, B(0x1009), R, false},
    {CS, "CLE", BIT, 0x07, 0, 0, B(0x100A), R, false},
    {CS, "OFF", BIT, 0x07, 0, 0, B(0x100E), R, false},
    {CS, "ON", BIT, 0x07, 0, 0, B(0x100F), R, false},
    /* clock pulses and the remaining condition flags (address form "C1M_0") */
    {CS, "C1M", BIT, 0x07, 0, 0, B(0x0000), R, false},
    {CS, "C1S", BIT, 0x07, 0, 0, B(0x0001), R, false},
    {CS, "C02", BIT, 0x07, 0, 0, B(0x0002), R, false},
    {CS, "C01", BIT, 0x07, 0, 0, B(0x0003), R, false},
    {CS, "C22", BIT, 0x07, 0, 0, B(0x0004), R, false},

    /* CV family */
    {CV, "CIO", BIT, 0x00, 0, 2555, B(0x0000), R, false},
    {CV, "CIO", BIT, 0x40, 0, 2555, B(0x0000), R, true},
    {CV, "CIO", WORD, 0x80, 0, 2555, B(0x0000), RW, false},
    {CV, "CIO", WORD, 0xC0, 0, 2555, B(0x0000), R, true},
    {CV, "A", BIT, 0x00, 0, 959, B(0x0B00), R, false},
    {CV, "A", WORD, 0x80, 0, 959, B(0x0B00), R, false},
    {CV, "A", WORD, 0x80, 448, 959, B(0x0CC0), W, false},
    {CV, "TIM", BIT, 0x01, 0, 2047, B(0x0000), R, false},
    {CV, "TIM", BIT, 0x41, 0, 2047, B(0x0000), R, true},
    {CV, "TIM", WORD, 0x81, 0, 2047, B(0x0000), RW, false},
    {CV, "CNT", BIT, 0x01, 0, 2047, B(0x0800), R, false},
    {CV, "CNT", BIT, 0x41, 0, 2047, B(0x0800), R, true},
    {CV, "CNT", WORD, 0x81, 0, 2047, B(0x0800), RW, false},
    {CV, "DM", WORD, 0x82, 0, 32767, B(0x0000), RW, false},
    {CV, "E", WORD, 0x98, 0, 32767, B(0x0000), RW, false},
    {CV, "EM", WORD, 0x9C, 0, 0, B(0x0006), R, false},
    /* numbered EM banks 0..7 */
    {CV, "E0", WORD, 0x90, 0, 32767, B(0x0000), RW, false},
    {CV, "E1", WORD, 0x91, 0, 32767, B(0x0000), RW, false},
    {CV, "E2", WORD, 0x92, 0, 32767, B(0x0000), RW, false},
    {CV, "E3", WORD, 0x93, 0, 32767, B(0x0000), RW, false},
    {CV, "E4", WORD, 0x94, 0, 32767, B(0x0000), RW, false},
    {CV, "E5", WORD, 0x95, 0, 32767, B(0x0000), RW, false},
    {CV, "E6", WORD, 0x96, 0, 32767, B(0x0000), RW, false},
    {CV, "E7", WORD, 0x97, 0, 32767, B(0x0000), RW, false},
    {CV, "DR", WORD, 0x9C, 0, 2, B(0x0003), RW, false},

    {0, NULL, 0, 0, 0, 0, 0, 0, false},
};

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }
static bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
static char to_upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

/* Reads a run of decimal digits into *value; false when the number does not fit 32 bits. */
static bool read_number(const char **p, uint32_t *value) {
    uint64_t v = 0;
    while (is_digit(**p)) {
        v = v * 10 + (uint64_t)(**p - '0');
        if (v > UINT32_MAX) return false;
        (*p)++;
    }
    *value = (uint32_t)v;
    return true;
}

bool XX_finslib_decode_address(const char *text, fins_address_tp *out) {
    if (text == NULL || out == NULL) return true;
    fins_address_tp a;
    memset(&a, 0, sizeof a);
    const char *p = text;
    while (is_space(*p)) p++;

    if (is_alpha(*p)) {
        /* Names that hold a digit (numbered EM banks, some condition flags) are written with an
         * underscore before the word number: "E3_100", "C1M_0". */
        size_t run = 0;
        bool digit = false;
        while (is_alpha(p[run]) || is_digit(p[run])) {
            digit = digit || is_digit(p[run]);
            run++;
        }
        if (p[run] == '_' && digit && run <= 3) {
            for (size_t i = 0; i < run; i++) a.name[i] = to_upper(p[i]);
            p += run + 1;
        } else {
            size_t n = 0;
            while (is_alpha(*p)) {
                if (n == 3) return true; /* a fourth letter */
                a.name[n++] = to_upper(*p++);
            }
            while (is_space(*p)) p++;
        }
        if (!is_digit(*p)) return true;
    } else if (!is_digit(*p)) {
        return true;
    }

    if (!read_number(&p, &a.word)) return true;
    if (*p == '.') {
        p++;
        uint32_t bit = 0;
        if (!read_number(&p, &bit) || bit > 15) return true;
        a.bit = bit;
    }
    if (*p != '\0') return true;
    *out = a;
    return false;
}

const fins_area_tp *XX_finslib_search_area(const fins_sys_tp *sys, const fins_address_tp *address, int bits,
                                           int access, bool force) {
    if (sys == NULL || address == NULL) return NULL;
    for (const fins_area_tp *row = fins_area; row->plc_family != 0; row++) {
        if (row->plc_family == sys->plc_family && row->bits == (uint32_t)bits && (row->access & (uint32_t)access) != 0 &&
            row->force == force && row->low_id <= address->word && address->word <= row->high_id &&
            strncmp(row->name, address->name, sizeof address->name) == 0)
            return row;
    }
    return NULL;
}
