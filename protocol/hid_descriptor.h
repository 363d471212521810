// A USB HID report descriptor taken apart into the fields of each report,
// and a field's value read from or written into a report's bytes. No I/O:
// the link hands in the descriptor bytes a unit sent.
//
// The parser reads every item kind: main (Input, Output, Feature,
// Collection, End Collection), global (usage page, logical and physical
// range, unit and its exponent, report size, id and count, push and pop),
// local (usages, usage ranges; designators, strings and delimiters are
// read and have no effect); long items and items of the reserved type are
// stepped over by their length. It reads only the bytes it is given (a
// unit's declared descriptor length can be wrong both ways), every item
// moves it forward, and its outputs are bounded (HID_MAX_*): it ends in
// time proportional to the input whatever the bytes are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t HID_MAX_FIELDS = 4096;       // fields of all reports together
constexpr size_t HID_MAX_REPORTS = 256;       // (id, direction) tables
constexpr size_t HID_MAX_COLLECTIONS = 1024;  // collections of the descriptor
constexpr size_t HID_MAX_DEPTH = 16;          // collections open at once (and usage path length - 1)
constexpr size_t HID_MAX_PUSH = 8;            // global states pushed at once
constexpr size_t HID_MAX_LOCAL_USAGES = 256;  // usages and ranges before one main item
constexpr uint32_t HID_MAX_REPORT_BITS = 8 * 4096; // a report's length, its id byte included
constexpr uint32_t HID_MAX_VALUE_BITS = 32;   // widest field hid_field_value reads

// A report's direction: the three main item kinds that declare data.
enum HidDirection : uint8_t {
    HID_INPUT = 0,
    HID_OUTPUT = 1,
    HID_FEATURE = 2,
};

// How far the parse got.
enum HidParseStatus {
    HID_PARSE_OK = 0,        // every item read
    HID_PARSE_TRUNCATED = 1, // the last item was cut short: what came before it is kept
    HID_PARSE_LIMIT = 2,     // an item went past a HID_MAX_* bound: parsing stopped there
};

// The data bits of an Input/Output/Feature item that matter here.
constexpr uint32_t HID_FLAG_CONSTANT = 1u << 0; // read-only; without usages it is padding: no field
constexpr uint32_t HID_FLAG_VARIABLE = 1u << 1; // one usage per element; clear: an array of usage indices
constexpr uint32_t HID_FLAG_RELATIVE = 1u << 2;

// One collection. Types 0x00..0x06 are the standard ones (0x01
// application, 0x02 logical, 0x00 physical, ...); 0x80..0xFF are the
// maker's own, kept as they are.
struct HidCollection {
    uint32_t usage = 0;  // full 32-bit usage: page in the high 16 bits
    uint8_t type = 0;
    int parent = -1;     // index into HidDescriptor::collections, -1 at the top
};

// One field of a report. A Variable item of count N gives N fields of
// count 1, each with its own usage (the last usage named repeats for the
// elements past the list); an array item gives one field of count N whose
// elements hold usage indices (usage_min..usage_max).
struct HidField {
    // The chain of collection usages from the outermost, then the field's
    // own usage; full 32-bit usages. path[path_len - 1] == usage.
    uint32_t path[HID_MAX_DEPTH + 1] = {};
    uint8_t path_len = 0;
    uint32_t usage = 0;      // 0 when no usage was named
    uint32_t usage_min = 0;  // arrays: the usages the indices stand for
    uint32_t usage_max = 0;
    int collection = -1;     // the innermost open collection, -1 for none
    uint8_t report_id = 0;   // 0: the descriptor declares no report ids
    HidDirection direction = HID_INPUT;
    uint32_t flags = 0;      // the item's data bits (HID_FLAG_*)
    // Where the first element starts, counted in bits from the first byte
    // of the report as it travels (the id byte, when there is one, is
    // bits 0..7); element i starts at bit_offset + i * bit_size.
    uint32_t bit_offset = 0;
    uint32_t bit_size = 0;
    uint32_t count = 1;
    // The item's logical range, each decoded as signed by its item's size;
    // a maximum below a non-negative minimum is read unsigned (firmware
    // writes 0..255 in one byte as 0x00..0xFF).
    int64_t logical_min = 0;
    int64_t logical_max = 0;
    int64_t physical_min = 0;
    int64_t physical_max = 0;
    uint32_t unit = 0;       // the unit item's system and exponents nibbles, as sent
    int8_t unit_exponent = 0; // power of ten the value is scaled by
    // The value is two's complement only when the logical minimum is
    // negative; otherwise it is read unsigned.
    bool is_signed() const { return logical_min < 0; }
};

// The fields of one report id in one direction, in descriptor order.
struct HidReport {
    uint8_t id = 0;
    HidDirection direction = HID_INPUT;
    uint32_t bits = 0;       // the report's length in bits, the id byte included
    std::vector<HidField> fields;
    size_t byte_len() const { return (bits + 7) / 8; }
};

struct HidDescriptor {
    std::vector<HidReport> reports;         // in order of their first item
    std::vector<HidCollection> collections; // in order of opening
    HidParseStatus status = HID_PARSE_OK;
    size_t parsed_len = 0;                  // bytes of whole items read
    size_t field_count = 0;                 // over all reports
};

// Parses `len` bytes at `data` into `*out` (cleared first). Returns
// out->status: OK, or TRUNCATED / LIMIT with what came before the item
// that stopped it. Never reads outside data[0..len). Unbalanced End
// Collections and pops without a push are ignored.
HidParseStatus hid_descriptor_parse(const uint8_t *data, size_t len, HidDescriptor *out);

// The report of `id` in `direction`, or nullptr.
const HidReport *hid_descriptor_report(const HidDescriptor &d, uint8_t id, HidDirection direction);

// The first field whose usage is `usage` in any report of `direction`,
// or nullptr.
const HidField *hid_descriptor_find(const HidDescriptor &d, HidDirection direction,
                                    uint32_t usage);

// Element `index` of field `f` from a report's bytes (`report`, `len`
// bytes as they travel, id byte first when the report has one): sign
// extended when f.is_signed(). False, `*out` untouched, when the element
// lies past `len`, index >= f.count, or the size is 0 or over
// HID_MAX_VALUE_BITS.
bool hid_field_value_at(const HidField &f, uint32_t index, const uint8_t *report, size_t len,
                        int64_t *out);
// Element 0.
bool hid_field_value(const HidField &f, const uint8_t *report, size_t len, int64_t *out);

// Writes `value` into element `index` of `f` in `report` (the low
// bit_size bits of its two's complement; the other bits of the buffer
// stay). False, nothing written, under the same conditions as reading.
bool hid_field_set_at(const HidField &f, uint32_t index, uint8_t *report, size_t len,
                      int64_t value);
// Element 0.
bool hid_field_set(const HidField &f, uint8_t *report, size_t len, int64_t value);
