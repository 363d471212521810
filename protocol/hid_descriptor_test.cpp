#include "protocol/hid_descriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Usages of the power device (0x84) and battery system (0x85) pages.
constexpr uint32_t PD(uint32_t u) { return 0x840000 | u; }
constexpr uint32_t BS(uint32_t u) { return 0x850000 | u; }
constexpr uint32_t UPS = PD(0x04), POWER_SUMMARY = PD(0x24), INPUT = PD(0x1A), OUTPUT = PD(0x1C),
                   BATTERY = PD(0x12), VOLTAGE = PD(0x30), PERCENT_LOAD = PD(0x35),
                   SHUTDOWN_IMMINENT = PD(0x69), DELAY_BEFORE_SHUTDOWN = PD(0x57),
                   AC_PRESENT = BS(0xD0), DISCHARGING = BS(0x45), BELOW_LIMIT = BS(0x42),
                   REMAINING_CAPACITY = BS(0x66), RUNTIME_TO_EMPTY = BS(0x68);

struct Field {
    uint8_t id;
    HidDirection dir;
    uint32_t usage;
    std::vector<uint32_t> path; // the collections' usages, the field's own added by the check
    uint32_t offset, size, count;
    int64_t lmin, lmax;
    uint32_t unit = 0;
    int8_t exponent = 0;
};

struct Report {
    uint8_t id;
    HidDirection dir;
    size_t byte_len;
};

struct Case {
    const char *name;
    Bytes bytes;
    HidParseStatus status;
    std::vector<Report> reports;
    std::vector<Field> fields; // of all reports, reports in order of the first item
    std::vector<uint8_t> collection_types = {};
};

// Status flags one bit each, behind report id 1; a feature report 2.
const Bytes one_bit_flags = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,       // UPS, application
    0x09, 0x24, 0xA1, 0x02,                   // PowerSummary, logical
    0x85, 0x01,                               // report id 1
    0x05, 0x85, 0x09, 0xD0, 0x09, 0x45, 0x09, 0x42, // ACPresent, Discharging, BelowRemainingCapacityLimit
    0x05, 0x84, 0x09, 0x69,                   // ShutdownImminent
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x04,
    0x81, 0x02,                               // input: 4 variables
    0x95, 0x04, 0x81, 0x03,                   // 4 bits of padding
    0x85, 0x02, 0x05, 0x85, 0x09, 0x66,       // report 2: RemainingCapacity
    0x25, 0x64, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02,
    0x05, 0x84, 0x09, 0x40, 0x26, 0xFF, 0x00, 0xB1, 0x03, // ConfigVoltage, read-only
    0xC0, 0xC0,
};

// Status flags a byte each, one usage named for two of them: the last
// usage repeats.
const Bytes eight_bit_flags = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x24, 0xA1, 0x00,                   // PowerSummary, physical
    0x85, 0x16, 0x05, 0x85, 0x09, 0xD0,       // report 0x16: ACPresent, Discharging
    0x09, 0x45,
    0x15, 0x00, 0x25, 0x01, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02,
    0xC0, 0xC0,
};

// Report 0x0C as Input (values of two collections) and as Feature (other
// values); the unit of the voltage, exponents as nibble and as byte.
const Bytes shared_id = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x1A, 0xA1, 0x00,                   // Input
    0x85, 0x0C, 0x09, 0x30,                   // Voltage
    0x67, 0x21, 0xD1, 0xF0, 0x00, 0x55, 0x07, // volt, exponent 7
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x10, 0x95, 0x01, 0x81, 0x02,
    0xC0,
    0x09, 0x1C, 0xA1, 0x00,                   // Output
    0x09, 0x35, 0x65, 0x00, 0x55, 0x0F,       // PercentLoad, no unit, exponent -1
    0x25, 0x64, 0x75, 0x08, 0x81, 0x02,
    0xC0,
    0x09, 0x24, 0xA1, 0x00,                   // PowerSummary
    0x05, 0x85, 0x09, 0x66, 0x75, 0x08, 0xB1, 0x02, // RemainingCapacity
    0x09, 0x68, 0x66, 0x01, 0x10, 0x55, 0xFE, // RunTimeToEmpty, seconds, exponent as a byte
    0x27, 0xFF, 0xFF, 0x00, 0x00, 0x75, 0x10, 0xB1, 0x02,
    0xC0, 0xC0,
};

// A global state pushed, changed for one item and popped again.
const Bytes push_pop = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x30, 0x15, 0x00, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x01,
    0xA4,                                     // push
    0x75, 0x10, 0x27, 0xFF, 0xFF, 0x00, 0x00, 0x81, 0x02,
    0xB4,                                     // pop
    0x09, 0x35, 0x81, 0x02,
    0xB4,                                     // a pop without a push: ignored
    0x09, 0x57, 0x81, 0x02,
    0xC0,
};

// Usage ranges: three variables, then an array of two indices; an extended
// usage naming its own page.
const Bytes ranges = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x19, 0x30, 0x29, 0x32, 0x15, 0x00, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x91, 0x02,
    0x05, 0x85, 0x19, 0x01, 0x29, 0x03, 0x15, 0x01, 0x25, 0x03, 0x95, 0x02, 0x81, 0x00,
    0x0B, 0x35, 0x00, 0x84, 0x00, 0x95, 0x01, 0x81, 0x02,
    0xC0,
};

// A maker's own collection type numbering a second battery.
const Bytes vendor_collection = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x12, 0xA1, 0x81,                   // Battery, type 0x81
    0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x26, 0xFF, 0x00, 0x81, 0x02,
    0xC0, 0xC0,
    0xC0,                                     // one End Collection too many: ignored
    0x09, 0x35, 0x81, 0x02,                   // outside every collection
};

// A long item and one of the reserved type among the others.
const Bytes long_item = {
    0x05, 0x84, 0xFE, 0x03, 0x10, 0xAA, 0xBB, 0xCC, 0x09, 0x04, 0xA1, 0x01,
    0x0D, 0x55,                               // reserved type, one data byte
    0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x25, 0x7F, 0x81, 0x02,
    0xC0,
};

// Cut in the data of a logical maximum, after one input item.
const Bytes truncated = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x25, 0x7F, 0x81, 0x02,
    0x09, 0x35, 0x26, 0xFF,
};

const Bytes truncated_long = {0x05, 0x84, 0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
                              0xFE, 0x05, 0x10, 0x01};

// Negative logical minimums: signed fields; 0..0xFF in one byte is 0..255.
const Bytes negative = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,
    0x09, 0x57, 0x16, 0x00, 0x80, 0x26, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x01, 0xB1, 0x02,
    0x09, 0x36, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x81, 0x02,
    0x09, 0x35, 0x15, 0x00, 0x25, 0xFF, 0x81, 0x02,
    0xC0,
};

// The usage page named after the usages it is for, before their main item;
// a usage already of the current page ends the look back.
const Bytes page_after_usages = {
    0x05, 0x85, 0x09, 0x66, 0x05, 0x84, 0x09, 0x03, 0x09, 0x02, 0x05, 0x85,
    0x75, 0x08, 0x95, 0x03, 0x25, 0x64, 0x81, 0x02,
};

Bytes nine_pushes()
{
    Bytes b = {0x05, 0x84, 0x09, 0x30, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    for (int i = 0; i < 9; i++)
        b.push_back(0xA4);
    b.insert(b.end(), {0x09, 0x35, 0x81, 0x02});
    return b;
}

Bytes deep_collections()
{
    Bytes b = {0x05, 0x84};
    for (size_t i = 0; i < HID_MAX_DEPTH + 1; i++)
        b.insert(b.end(), {0x09, 0x04, 0xA1, 0x02});
    return b;
}

const std::vector<Case> cases = {
    {"one_bit_flags", one_bit_flags, HID_PARSE_OK,
     {{1, HID_INPUT, 2}, {2, HID_FEATURE, 3}},
     {{1, HID_INPUT, AC_PRESENT, {UPS, POWER_SUMMARY}, 8, 1, 1, 0, 1},
      {1, HID_INPUT, DISCHARGING, {UPS, POWER_SUMMARY}, 9, 1, 1, 0, 1},
      {1, HID_INPUT, BELOW_LIMIT, {UPS, POWER_SUMMARY}, 10, 1, 1, 0, 1},
      {1, HID_INPUT, SHUTDOWN_IMMINENT, {UPS, POWER_SUMMARY}, 11, 1, 1, 0, 1},
      {2, HID_FEATURE, REMAINING_CAPACITY, {UPS, POWER_SUMMARY}, 8, 8, 1, 0, 100},
      {2, HID_FEATURE, PD(0x40), {UPS, POWER_SUMMARY}, 16, 8, 1, 0, 255}},
     {0x01, 0x02}},
    {"eight_bit_flags", eight_bit_flags, HID_PARSE_OK,
     {{0x16, HID_INPUT, 4}},
     {{0x16, HID_INPUT, AC_PRESENT, {UPS, POWER_SUMMARY}, 8, 8, 1, 0, 1},
      {0x16, HID_INPUT, DISCHARGING, {UPS, POWER_SUMMARY}, 16, 8, 1, 0, 1},
      {0x16, HID_INPUT, DISCHARGING, {UPS, POWER_SUMMARY}, 24, 8, 1, 0, 1}},
     {0x01, 0x00}},
    {"shared_id", shared_id, HID_PARSE_OK,
     {{0x0C, HID_INPUT, 4}, {0x0C, HID_FEATURE, 4}},
     {{0x0C, HID_INPUT, VOLTAGE, {UPS, INPUT}, 8, 16, 1, 0, 255, 0x00F0D121, 7},
      {0x0C, HID_INPUT, PERCENT_LOAD, {UPS, OUTPUT}, 24, 8, 1, 0, 100, 0, -1},
      {0x0C, HID_FEATURE, REMAINING_CAPACITY, {UPS, POWER_SUMMARY}, 8, 8, 1, 0, 100, 0, -1},
      {0x0C, HID_FEATURE, RUNTIME_TO_EMPTY, {UPS, POWER_SUMMARY}, 16, 16, 1, 0, 65535, 0x1001,
       -2}},
     {0x01, 0x00, 0x00, 0x00}},
    {"push_pop", push_pop, HID_PARSE_OK,
     {{0, HID_INPUT, 4}},
     {{0, HID_INPUT, VOLTAGE, {UPS}, 0, 16, 1, 0, 65535},
      {0, HID_INPUT, PERCENT_LOAD, {UPS}, 16, 8, 1, 0, 127},
      {0, HID_INPUT, DELAY_BEFORE_SHUTDOWN, {UPS}, 24, 8, 1, 0, 127}},
     {0x01}},
    {"ranges", ranges, HID_PARSE_OK,
     {{0, HID_OUTPUT, 3}, {0, HID_INPUT, 3}},
     {{0, HID_OUTPUT, PD(0x30), {UPS}, 0, 8, 1, 0, 127},
      {0, HID_OUTPUT, PD(0x31), {UPS}, 8, 8, 1, 0, 127},
      {0, HID_OUTPUT, PD(0x32), {UPS}, 16, 8, 1, 0, 127},
      {0, HID_INPUT, BS(0x01), {UPS}, 0, 8, 2, 1, 3},
      {0, HID_INPUT, PERCENT_LOAD, {UPS}, 16, 8, 1, 1, 3}},
     {0x01}},
    {"vendor_collection", vendor_collection, HID_PARSE_OK,
     {{0, HID_INPUT, 2}},
     {{0, HID_INPUT, VOLTAGE, {UPS, BATTERY}, 0, 8, 1, 0, 255},
      {0, HID_INPUT, PERCENT_LOAD, {}, 8, 8, 1, 0, 255}},
     {0x01, 0x81}},
    {"long_item", long_item, HID_PARSE_OK,
     {{0, HID_INPUT, 1}},
     {{0, HID_INPUT, VOLTAGE, {UPS}, 0, 8, 1, 0, 127}},
     {0x01}},
    {"truncated", truncated, HID_PARSE_TRUNCATED,
     {{0, HID_INPUT, 1}},
     {{0, HID_INPUT, VOLTAGE, {UPS}, 0, 8, 1, 0, 127}},
     {0x01}},
    {"truncated_long", truncated_long, HID_PARSE_TRUNCATED,
     {{0, HID_INPUT, 1}},
     {{0, HID_INPUT, VOLTAGE, {}, 0, 8, 1, 0, 0}}},
    {"negative", negative, HID_PARSE_OK,
     {{0, HID_FEATURE, 2}, {0, HID_INPUT, 2}},
     {{0, HID_FEATURE, DELAY_BEFORE_SHUTDOWN, {UPS}, 0, 16, 1, -32768, 32767},
      {0, HID_INPUT, PD(0x36), {UPS}, 0, 8, 1, -127, 127},
      {0, HID_INPUT, PERCENT_LOAD, {UPS}, 8, 8, 1, 0, 255}},
     {0x01}},
    {"page_after_usages", page_after_usages, HID_PARSE_OK,
     {{0, HID_INPUT, 3}},
     {{0, HID_INPUT, REMAINING_CAPACITY, {}, 0, 8, 1, 0, 100},
      {0, HID_INPUT, BS(0x03), {}, 8, 8, 1, 0, 100},
      {0, HID_INPUT, BS(0x02), {}, 16, 8, 1, 0, 100}}},
    {"push_limit", nine_pushes(), HID_PARSE_LIMIT,
     {{0, HID_INPUT, 1}},
     {{0, HID_INPUT, VOLTAGE, {}, 0, 8, 1, 0, 0}}},
    {"depth_limit", deep_collections(), HID_PARSE_LIMIT, {}, {},
     std::vector<uint8_t>(HID_MAX_DEPTH, 0x02)},
};

std::vector<const HidField *> all_fields(const HidDescriptor &d)
{
    std::vector<const HidField *> v;
    for (const HidReport &r : d.reports)
        for (const HidField &f : r.fields)
            v.push_back(&f);
    return v;
}

TEST(HidDescriptor, Table)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HidDescriptor d;
        EXPECT_EQ(hid_descriptor_parse(c.bytes.data(), c.bytes.size(), &d), c.status);
        EXPECT_EQ(d.status, c.status);
        if (c.status == HID_PARSE_OK)
            EXPECT_EQ(d.parsed_len, c.bytes.size());
        else
            EXPECT_LT(d.parsed_len, c.bytes.size());
        ASSERT_EQ(d.reports.size(), c.reports.size());
        for (size_t i = 0; i < c.reports.size(); i++) {
            EXPECT_EQ(d.reports[i].id, c.reports[i].id) << i;
            EXPECT_EQ(d.reports[i].direction, c.reports[i].dir) << i;
            EXPECT_EQ(d.reports[i].byte_len(), c.reports[i].byte_len) << i;
        }
        std::vector<const HidField *> got = all_fields(d);
        ASSERT_EQ(got.size(), c.fields.size());
        EXPECT_EQ(d.field_count, c.fields.size());
        for (size_t i = 0; i < got.size(); i++) {
            SCOPED_TRACE(i);
            const HidField &g = *got[i];
            const Field &e = c.fields[i];
            EXPECT_EQ(g.report_id, e.id);
            EXPECT_EQ(g.direction, e.dir);
            EXPECT_EQ(g.usage, e.usage);
            std::vector<uint32_t> path = e.path;
            path.push_back(e.usage);
            EXPECT_EQ(std::vector<uint32_t>(g.path, g.path + g.path_len), path);
            EXPECT_EQ(g.bit_offset, e.offset);
            EXPECT_EQ(g.bit_size, e.size);
            EXPECT_EQ(g.count, e.count);
            EXPECT_EQ(g.logical_min, e.lmin);
            EXPECT_EQ(g.logical_max, e.lmax);
            EXPECT_EQ(g.is_signed(), e.lmin < 0);
            EXPECT_EQ(g.unit, e.unit);
            EXPECT_EQ(g.unit_exponent, e.exponent);
        }
        std::vector<uint8_t> types;
        for (const HidCollection &col : d.collections)
            types.push_back(col.type);
        EXPECT_EQ(types, c.collection_types);
    }
}

// The array of the ranges case: its indices stand for the whole range.
TEST(HidDescriptor, ArrayUsageRange)
{
    HidDescriptor d;
    hid_descriptor_parse(ranges.data(), ranges.size(), &d);
    const HidReport *r = hid_descriptor_report(d, 0, HID_INPUT);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fields[0].flags & HID_FLAG_VARIABLE, 0u);
    EXPECT_EQ(r->fields[0].usage_min, BS(0x01));
    EXPECT_EQ(r->fields[0].usage_max, BS(0x03));
    EXPECT_EQ(hid_descriptor_find(d, HID_INPUT, PERCENT_LOAD), &r->fields[1]);
    EXPECT_EQ(hid_descriptor_find(d, HID_FEATURE, PERCENT_LOAD), nullptr);
}

// Every cut of every descriptor parses what comes before the cut and stops
// there, with no field the whole descriptor lacks; random bytes end too.
TEST(HidDescriptor, CutsAndNoise)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HidDescriptor whole;
        hid_descriptor_parse(c.bytes.data(), c.bytes.size(), &whole);
        for (size_t n = 0; n <= c.bytes.size(); n++) {
            Bytes cut(c.bytes.begin(), c.bytes.begin() + static_cast<long>(n));
            HidDescriptor d;
            hid_descriptor_parse(cut.data(), cut.size(), &d);
            EXPECT_LE(d.parsed_len, n);
            EXPECT_LE(d.field_count, whole.field_count);
        }
    }
    std::mt19937 rng(23);
    for (int i = 0; i < 2000; i++) {
        Bytes b(rng() % 1500);
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(rng());
        HidDescriptor d;
        hid_descriptor_parse(b.data(), b.size(), &d);
        EXPECT_LE(d.parsed_len, b.size());
        EXPECT_LE(d.field_count, HID_MAX_FIELDS);
        for (const HidReport &r : d.reports)
            EXPECT_LE(r.bits, HID_MAX_REPORT_BITS);
    }
}

HidField field(uint32_t offset, uint32_t size, int64_t lmin, uint32_t count = 1)
{
    HidField f;
    f.bit_offset = offset;
    f.bit_size = size;
    f.logical_min = lmin;
    f.count = count;
    return f;
}

// Reading and writing one element: offsets across byte boundaries, sign
// only with a negative minimum, the bounds of the buffer.
TEST(HidDescriptor, FieldValues)
{
    struct Row {
        HidField f;
        uint32_t index;
        Bytes report;
        bool ok;
        int64_t value;
    };
    const std::vector<Row> rows = {
        {field(8, 1, 0), 0, {0x01, 0x01}, true, 1},
        {field(9, 1, 0), 0, {0x01, 0x01}, true, 0},
        {field(8, 1, 0, 4), 3, {0x01, 0x08}, true, 1},
        {field(8, 16, 0), 0, {0x0C, 0x34, 0x12}, true, 0x1234},
        {field(4, 8, 0), 0, {0xA0, 0x0B}, true, 0xBA},        // across a byte boundary
        {field(4, 8, -128), 0, {0xF0, 0x0F}, true, -1},
        {field(3, 12, -2048), 0, {0x00, 0x40}, true, -2048},   // bits 3..14, top bit set
        {field(3, 12, 0), 0, {0x00, 0x40}, true, 2048},
        {field(8, 8, -127), 0, {0x01, 0x80}, true, -128},
        {field(8, 8, 0), 0, {0x01, 0x80}, true, 128},
        {field(0, 32, -1), 0, {0xFF, 0xFF, 0xFF, 0x7F}, true, 0x7FFFFFFF},
        {field(0, 32, 0), 0, {0xFF, 0xFF, 0xFF, 0xFF}, true, 0xFFFFFFFF},
        {field(0, 32, -1), 0, {0x00, 0x00, 0x00, 0x80}, true, INT32_MIN},
        {field(8, 16, 0), 0, {0x0C, 0x34}, false, 0},         // past the buffer
        {field(8, 8, 0, 2), 2, {0x0C, 0x01, 0x02, 0x03}, false, 0}, // past the count
        {field(0, 33, 0), 0, {0, 0, 0, 0, 0}, false, 0},      // wider than a value
        {field(0, 0, 0), 0, {0}, false, 0},
    };
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(i);
        const Row &r = rows[i];
        int64_t v = 99;
        EXPECT_EQ(hid_field_value_at(r.f, r.index, r.report.data(), r.report.size(), &v), r.ok);
        EXPECT_EQ(v, r.ok ? r.value : 99);
        // Writing the value into a buffer of the other bits set gives back
        // the value and leaves the other bits.
        Bytes buf(r.report.size(), 0xFF);
        Bytes zero(r.report.size(), 0x00);
        EXPECT_EQ(hid_field_set_at(r.f, r.index, buf.data(), buf.size(), r.value), r.ok);
        EXPECT_EQ(hid_field_set_at(r.f, r.index, zero.data(), zero.size(), r.value), r.ok);
        if (!r.ok) {
            EXPECT_EQ(buf, Bytes(r.report.size(), 0xFF));
            continue;
        }
        int64_t back = 0;
        ASSERT_TRUE(hid_field_value_at(r.f, r.index, buf.data(), buf.size(), &back));
        EXPECT_EQ(back, r.value);
        for (size_t bit = 0; bit < buf.size() * 8; bit++) {
            uint64_t first = r.f.bit_offset + uint64_t{r.index} * r.f.bit_size;
            bool inside = bit >= first && bit < first + r.f.bit_size;
            bool b1 = buf[bit / 8] >> (bit % 8) & 1, b0 = zero[bit / 8] >> (bit % 8) & 1;
            if (inside)
                EXPECT_EQ(b1, b0) << bit;
            else
                EXPECT_TRUE(b1 && !b0) << bit;
        }
    }
    // Element 0 and the last usage of a report parsed above, end to end.
    HidDescriptor d;
    hid_descriptor_parse(shared_id.data(), shared_id.size(), &d);
    const HidReport *feature = hid_descriptor_report(d, 0x0C, HID_FEATURE);
    ASSERT_NE(feature, nullptr);
    Bytes report(feature->byte_len(), 0);
    report[0] = 0x0C;
    ASSERT_TRUE(hid_field_set(feature->fields[1], report.data(), report.size(), 1400));
    ASSERT_TRUE(hid_field_set(feature->fields[0], report.data(), report.size(), 87));
    EXPECT_EQ(report, (Bytes{0x0C, 87, 0x78, 0x05}));
    int64_t v = 0;
    ASSERT_TRUE(hid_field_value(feature->fields[1], report.data(), report.size(), &v));
    EXPECT_EQ(v, 1400);
}

} // namespace
