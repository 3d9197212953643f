/* Multiple memory area read (MRC 0x01, SRC 0x04), memory area read of a word range (MRC 0x01, SRC
 * 0x01) and CPU unit data read (MRC 0x05, SRC 0x01). */
#include "fins/fins_internal.h"

#include <string.h>

/* What one item of a given type asks for. */
typedef struct {
    int kind;        /* FINS_AREA_KIND_WORD or _BIT; 0: the type is skipped */
    bool force;      /* forced-status row */
    int elements;    /* 4-byte elements (area, word, bit) in the request */
    int response;    /* response bytes of the item: area code + data */
} item_shape;

static item_shape shape_of(int type) {
    switch (type) {
    case FINS_DATA_TYPE_INT16: case FINS_DATA_TYPE_UINT16: case FINS_DATA_TYPE_BCD16:
    case FINS_DATA_TYPE_SBCD16_0: case FINS_DATA_TYPE_SBCD16_1: case FINS_DATA_TYPE_SBCD16_2:
    case FINS_DATA_TYPE_SBCD16_3:
        return (item_shape){FINS_AREA_KIND_WORD, false, 1, 3};
    case FINS_DATA_TYPE_INT32: case FINS_DATA_TYPE_UINT32: case FINS_DATA_TYPE_BCD32:
    case FINS_DATA_TYPE_SBCD32_0: case FINS_DATA_TYPE_SBCD32_1: case FINS_DATA_TYPE_SBCD32_2:
    case FINS_DATA_TYPE_SBCD32_3: case FINS_DATA_TYPE_FLOAT:
        return (item_shape){FINS_AREA_KIND_WORD, false, 2, 6};
    case FINS_DATA_TYPE_DOUBLE:
        return (item_shape){FINS_AREA_KIND_WORD, false, 4, 12};
    case FINS_DATA_TYPE_BIT:
        return (item_shape){FINS_AREA_KIND_BIT, false, 1, 2};
    case FINS_DATA_TYPE_BIT_FORCED:
        return (item_shape){FINS_AREA_KIND_BIT, true, 1, 2};
    case FINS_DATA_TYPE_WORD_FORCED:
        return (item_shape){FINS_AREA_KIND_WORD, true, 1, 5};
    default:
        return (item_shape){0, false, 0, 0};
    }
}

/* Finds the row and the decoded address of one item; returns 0 or the item's address/area error. */
static int place_item(const fins_sys_tp *sys, const fins_multidata_tp *item, const item_shape *shape,
                      fins_address_tp *address, const fins_area_tp **area) {
    char text[sizeof item->address + 1];
    memcpy(text, item->address, sizeof item->address);
    text[sizeof item->address] = '\0';
    if (strlen(text) == sizeof item->address) return FINS_RETVAL_INVALID_READ_ADDRESS; /* not terminated */

    if (XX_finslib_decode_address(text, address)) return FINS_RETVAL_INVALID_READ_ADDRESS;
    *area = XX_finslib_search_area(sys, address, shape->kind, FINS_AREA_ACCESS_MULTI_READ, shape->force);
    return *area == NULL ? FINS_RETVAL_INVALID_READ_AREA : FINS_RETVAL_SUCCESS;
}

int finslib_multiple_read_placement(const fins_sys_tp *sys, const fins_multidata_tp *item) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (item == NULL) return FINS_RETVAL_NO_DATA_BLOCK;
    item_shape shape = shape_of(item->type);
    if (shape.kind == 0) return FINS_RETVAL_SUCCESS;
    fins_address_tp address;
    const fins_area_tp *area;
    return place_item(sys, item, &shape, &address, &area);
}

/* Appends the 4-byte request elements of one item; returns 0 or the item's address/area error. */
static int add_item(const fins_sys_tp *sys, const fins_multidata_tp *item, const item_shape *shape, uint8_t **p) {
    fins_address_tp address;
    const fins_area_tp *area;
    int rc = place_item(sys, item, shape, &address, &area);
    if (rc != FINS_RETVAL_SUCCESS) return rc;

    uint32_t word = (area->low_addr >> 8) - area->low_id + address.word;
    uint8_t bit = shape->kind == FINS_AREA_KIND_BIT ? (uint8_t)address.bit : 0;
    for (int i = 0; i < shape->elements; i++) {
        (*p)[0] = area->area_code;
        fins_put_u16(*p + 1, word + (uint32_t)i);
        (*p)[3] = bit;
        *p += 4;
    }
    return FINS_RETVAL_SUCCESS;
}

/* Decodes one item from its response bytes (area code byte first, then the data). */
static void decode_item(fins_multidata_tp *item, const uint8_t *r) {
    uint32_t w1, w2, w3, w4;
    uint32_t u32;
    uint64_t u64;
    memset(&item->value, 0, sizeof item->value);
    switch (item->type) {
    case FINS_DATA_TYPE_INT16:
    case FINS_DATA_TYPE_UINT16:
        item->value.uint16 = fins_get_u16(r + 1);
        break;
    case FINS_DATA_TYPE_BCD16:
    case FINS_DATA_TYPE_SBCD16_0: case FINS_DATA_TYPE_SBCD16_1: case FINS_DATA_TYPE_SBCD16_2:
    case FINS_DATA_TYPE_SBCD16_3:
        /* low 16 bits: the 32-bit error marker arrives as 0xFFFF, the 16-bit one as 0x7FFF */
        item->value.uint16 = (uint16_t)((uint32_t)finslib_bcd_to_int(fins_get_u16(r + 1), item->type) & 0xFFFF);
        break;
    case FINS_DATA_TYPE_INT32:
    case FINS_DATA_TYPE_UINT32:
        w1 = fins_get_u16(r + 1);
        w2 = fins_get_u16(r + 4);
        item->value.uint32 = (w2 << 16) | w1;
        break;
    case FINS_DATA_TYPE_BCD32:
    case FINS_DATA_TYPE_SBCD32_0: case FINS_DATA_TYPE_SBCD32_1: case FINS_DATA_TYPE_SBCD32_2:
    case FINS_DATA_TYPE_SBCD32_3:
        w1 = fins_get_u16(r + 1);
        w2 = fins_get_u16(r + 4);
        item->value.int32 = finslib_bcd_to_int((w2 << 16) | w1, item->type);
        break;
    case FINS_DATA_TYPE_FLOAT:
        w1 = fins_get_u16(r + 1);
        w2 = fins_get_u16(r + 4);
        u32 = (w2 << 16) | w1;
        memcpy(&item->value.float32, &u32, sizeof u32);
        break;
    case FINS_DATA_TYPE_DOUBLE:
        w1 = fins_get_u16(r + 1);
        w2 = fins_get_u16(r + 4);
        w3 = fins_get_u16(r + 7);
        w4 = fins_get_u16(r + 10);
        u64 = ((uint64_t)w4 << 48) | ((uint64_t)w3 << 32) | ((uint64_t)w2 << 16) | w1;
        memcpy(&item->value.float64, &u64, sizeof u64);
        break;
    case FINS_DATA_TYPE_BIT:
        item->value.bit.value = r[1] & 1;
        item->value.bit.forced = 0;
        break;
    case FINS_DATA_TYPE_BIT_FORCED:
        item->value.bit.value = r[1] & 1;
        item->value.bit.forced = (r[1] >> 1) & 1;
        break;
    case FINS_DATA_TYPE_WORD_FORCED:
        item->value.word.second = fins_get_u16(r + 1);
        item->value.word.first = fins_get_u16(r + 3);
        break;
    default:
        break;
    }
}

int finslib_multiple_read_elements(int type) { return shape_of(type).elements; }

size_t finslib_multiple_read_frame_items(const fins_multidata_tp *items, size_t num_items, size_t max_elements) {
    if (items == NULL) return 0;
    if (max_elements > FINS_MULTI_READ_MAX_ELEMENTS) max_elements = FINS_MULTI_READ_MAX_ELEMENTS;
    size_t taken = 0;
    size_t elements = 0;
    while (taken < num_items) {
        size_t more = (size_t)shape_of(items[taken].type).elements;
        if (taken >= FINS_MULTI_READ_MAX_ITEMS && elements + more > max_elements) break;
        elements += more;
        taken++;
    }
    return taken;
}

/* Items per frame of the plain multiple read: always 24, whatever their elements. */
static size_t fixed_frame_items(const fins_multidata_tp *items, size_t num_items, size_t unused) {
    (void)items;
    (void)unused;
    return num_items < FINS_MULTI_READ_MAX_ITEMS ? num_items : FINS_MULTI_READ_MAX_ITEMS;
}

/* The multiple read, with frame_items choosing how many of the remaining items each frame takes. */
static int multiple_read(fins_sys_tp *sys, fins_multidata_tp *items, size_t num_items, size_t max_elements,
                         size_t (*frame_items)(const fins_multidata_tp *, size_t, size_t)) {
    if (num_items == 0) return FINS_RETVAL_SUCCESS;
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (items == NULL) return FINS_RETVAL_NO_DATA_BLOCK;
    if (sys->sockfd == -1) return FINS_RETVAL_NOT_CONNECTED;

    fins_command_tp command;
    size_t done = 0;
    while (done < num_items) {
        fins_multidata_tp *batch = items + done;
        size_t n = frame_items(batch, num_items - done, max_elements);

        XX_finslib_init_command(sys, &command, FINS_MRC_MEMORY_AREA, FINS_SRC_MULTIPLE_MEMORY_AREA_READ);
        uint8_t *p = command.body;
        size_t expected = 2; /* the end code */
        for (size_t i = 0; i < n; i++) {
            item_shape shape = shape_of(batch[i].type);
            if (shape.kind == 0) continue;
            int rc = add_item(sys, &batch[i], &shape, &p);
            if (rc != FINS_RETVAL_SUCCESS) return rc;
            expected += (size_t)shape.response;
        }
        size_t bodylen = (size_t)(p - command.body);

        int rc = XX_finslib_communicate(sys, &command, &bodylen, true);
        if (rc != FINS_RETVAL_SUCCESS) return rc;
        if (bodylen != expected) return FINS_RETVAL_BODY_TOO_SHORT;

        const uint8_t *r = command.body + 2;
        for (size_t i = 0; i < n; i++) {
            item_shape shape = shape_of(batch[i].type);
            if (shape.kind == 0) continue;
            decode_item(&batch[i], r);
            r += shape.response;
        }
        done += n;
    }
    return FINS_RETVAL_SUCCESS;
}

int finslib_multiple_memory_area_read(fins_sys_tp *sys, fins_multidata_tp *items, size_t num_items) {
    return multiple_read(sys, items, num_items, 0, fixed_frame_items);
}

int finslib_multiple_memory_area_read_packed(fins_sys_tp *sys, fins_multidata_tp *items, size_t num_items,
                                             size_t max_elements) {
    return multiple_read(sys, items, num_items, max_elements, finslib_multiple_read_frame_items);
}

/* ---- Memory area read of a word range (MRC 0x01, SRC 0x01) ---------------------------------- */

/* Bit rows whose bits are not the bits of the word row of the same name: a timer's or counter's
 * bit is its completion flag, its word the present value. */
static bool bits_are_word_bits(const fins_area_tp *bit_row) {
    return strcmp(bit_row->name, "TIM") != 0 && strcmp(bit_row->name, "CNT") != 0;
}

/* The span of item, and its bit number for a plain bit; false as finslib_range_read_span says. */
static bool range_span(const fins_sys_tp *sys, const fins_multidata_tp *item, fins_range_span_tp *span,
                       uint32_t *bit) {
    item_shape shape = shape_of(item->type);
    if (shape.kind == 0 || shape.force) return false;
    fins_address_tp address;
    const fins_area_tp *area;
    if (place_item(sys, item, &shape, &address, &area) != FINS_RETVAL_SUCCESS) return false;
    uint32_t words = (uint32_t)shape.elements;
    if (shape.kind == FINS_AREA_KIND_BIT) {
        if (!bits_are_word_bits(area)) return false;
        area = XX_finslib_search_area(sys, &address, FINS_AREA_KIND_WORD, FINS_AREA_ACCESS_MULTI_READ, false);
        if (area == NULL) return false;
        words = 1;
    }
    /* A value whose last words leave the row is the multiple read's to send (and the PLC's to
     * refuse): a range never reaches past the row. */
    if (address.word + (words - 1) > area->high_id) return false;
    span->area = area;
    span->first = address.word;
    span->words = words;
    *bit = address.bit;
    return true;
}

bool finslib_range_read_span(const fins_sys_tp *sys, const fins_multidata_tp *item, fins_range_span_tp *span) {
    if (sys == NULL || item == NULL || span == NULL) return false;
    uint32_t bit;
    return range_span(sys, item, span, &bit);
}

/* Whether the item's span lies within words [first, first + num_words) of area. */
static bool within(const fins_sys_tp *sys, const fins_multidata_tp *item, const fins_area_tp *area, uint32_t first,
                   size_t num_words, fins_range_span_tp *span, uint32_t *bit) {
    return range_span(sys, item, span, bit) && span->area == area && span->first >= first &&
           span->first - first + span->words <= num_words;
}

int finslib_memory_area_read_range(fins_sys_tp *sys, const fins_area_tp *area, uint32_t first, size_t num_words,
                                   fins_multidata_tp *items, size_t num_items) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (area == NULL || (items == NULL && num_items > 0)) return FINS_RETVAL_NO_DATA_BLOCK;
    if (area->bits != FINS_AREA_KIND_WORD || area->force || num_words == 0 ||
        num_words > FINS_MEMORY_AREA_READ_MAX_WORDS || first < area->low_id || first > area->high_id ||
        num_words - 1 > area->high_id - first)
        return FINS_RETVAL_INVALID_READ_AREA;
    fins_range_span_tp span;
    uint32_t bit;
    for (size_t i = 0; i < num_items; i++) {
        if (!within(sys, &items[i], area, first, num_words, &span, &bit)) return FINS_RETVAL_INVALID_READ_AREA;
    }
    if (sys->sockfd == -1) return FINS_RETVAL_NOT_CONNECTED;

    fins_command_tp command;
    XX_finslib_init_command(sys, &command, FINS_MRC_MEMORY_AREA, FINS_SRC_MEMORY_AREA_READ);
    uint8_t *p = command.body;
    p[0] = area->area_code;
    fins_put_u16(p + 1, (area->low_addr >> 8) - area->low_id + first);
    p[3] = 0;
    fins_put_u16(p + 4, (uint32_t)num_words);
    size_t bodylen = 6;

    int rc = XX_finslib_communicate(sys, &command, &bodylen, true);
    if (rc != FINS_RETVAL_SUCCESS) return rc;
    if (bodylen != 2 + 2 * num_words) return FINS_RETVAL_BODY_TOO_SHORT;

    /* Each item is decoded from the bytes a multiple read would have answered for it (an area code
     * before each word, one byte for a bit), so both reads decode by one rule. */
    const uint8_t *words = command.body + 2;
    for (size_t i = 0; i < num_items; i++) {
        within(sys, &items[i], area, first, num_words, &span, &bit);
        const uint8_t *w = words + 2 * (span.first - first);
        uint8_t answer[3 * 4];
        if (shape_of(items[i].type).kind == FINS_AREA_KIND_BIT) {
            answer[0] = area->area_code;
            answer[1] = (uint8_t)((fins_get_u16(w) >> bit) & 1);
        } else {
            for (uint32_t k = 0; k < span.words; k++) {
                answer[3 * k] = area->area_code;
                answer[3 * k + 1] = w[2 * k];
                answer[3 * k + 2] = w[2 * k + 1];
            }
        }
        decode_item(&items[i], answer);
    }
    return FINS_RETVAL_SUCCESS;
}

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

/* Copies a 20-character text field and cuts its trailing white space. */
static void copy_text(char out[FINS_TEXT_LEN], const uint8_t *field) {
    memcpy(out, field, FINS_TEXT_LEN - 1);
    out[FINS_TEXT_LEN - 1] = '\0';
    for (int i = FINS_TEXT_LEN - 2; i >= 0 && is_space(out[i]); i--) out[i] = '\0';
}

int finslib_cpu_unit_data_read(fins_sys_tp *sys, fins_cpudata_tp *cpudata) {
    if (sys == NULL) return FINS_RETVAL_NO_RECORD;
    if (cpudata == NULL) return FINS_RETVAL_NO_DATA_BLOCK;
    if (sys->sockfd == -1) return FINS_RETVAL_NOT_CONNECTED;

    fins_command_tp command;
    XX_finslib_init_command(sys, &command, FINS_MRC_CPU_UNIT, FINS_SRC_CPU_UNIT_DATA_READ);
    size_t bodylen = 0;
    int rc = XX_finslib_communicate(sys, &command, &bodylen, true);
    if (rc != FINS_RETVAL_SUCCESS) return rc;
    /* 158 data bytes or more: some CPU units send a longer form (an extra remote I/O byte before
     * the rack byte); the first 158 bytes are decoded either way. */
    if (bodylen < 2 + FINS_CPU_UNIT_DATA_LEN) return FINS_RETVAL_BODY_TOO_SHORT;

    const uint8_t *d = command.body + 2;
    fins_cpudata_tp c;
    memset(&c, 0, sizeof c);
    copy_text(c.model, d);
    copy_text(c.version, d + 20);
    memcpy(c.system_block, d + 40, sizeof c.system_block);
    c.largest_em_bank = d[41];
    c.program_area_size = fins_get_u16(d + 80);
    c.iom_size = d[82];
    c.number_of_dm_words = fins_get_u16(d + 83);
    c.timer_counter_size = d[85];
    c.em_non_file_memory_size = d[86];
    c.memory_card_type = d[89];
    c.memory_card_size = fins_get_u16(d + 90);
    for (int i = 0; i < 16; i++) {
        c.bus_unit_id[i] = (uint16_t)(((d[92 + 2 * i] & 0x7F) << 8) | d[93 + 2 * i]);
        c.bus_unit_present[i] = (d[92 + 2 * i] & 0x80) != 0;
    }
    for (int i = 0; i < 8; i++) c.dip_switch[i] = ((d[40] >> i) & 1) != 0;
    c.num_sysmac_bus_masters = d[156];
    c.num_racks = d[157] & 0x0F;
    *cpudata = c;

    memcpy(sys->model, c.model, sizeof sys->model);
    memcpy(sys->version, c.version, sizeof sys->version);
    sys->plc_family = finslib_plc_family_of_model(c.model);
    return FINS_RETVAL_SUCCESS;
}

int finslib_plc_family_of_model(const char *model) {
    if (model == NULL || model[0] != 'C') return FINS_PLC_FAMILY_UNKNOWN;
    switch (model[1]) {
    case 'V':
        return FINS_PLC_FAMILY_CV;
    case 'S': case 'J': case 'P':
        return FINS_PLC_FAMILY_CS;
    default:
        return FINS_PLC_FAMILY_UNKNOWN;
    }
}

bool finslib_set_plc_family(fins_sys_tp *sys, int family) {
    if (sys == NULL || (family != FINS_PLC_FAMILY_CV && family != FINS_PLC_FAMILY_CS)) return false;
    sys->plc_family = family;
    return true;
}
