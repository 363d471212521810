#include "protocol/hid_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/reply.h"

namespace {

const char *const UNITS[] = {"flags-1bit", "flags-8bit", "shared-ids"};

std::string data_path(const std::string &name)
{
    return std::string(UPS_SOURCE_DIR) + "/tests/hid/" + name;
}

std::vector<uint8_t> hex_bytes(std::istream &in)
{
    std::vector<uint8_t> out;
    std::string word;
    while (in >> word)
        out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

// A unit of tests/hid: its descriptor, map and the report table as stored
// in file order (Input and Feature alike), leaving out the reports
// `skip` names ("06 Input").
struct Unit {
    HidDescriptor descriptor;
    HidMap map;
    HidReportStore store;
};

Unit load(const std::string &name, const std::vector<std::string> &skip = {},
          uint16_t vendor = 0x1234, uint16_t product = 0x0001)
{
    Unit u;
    std::ifstream desc(data_path(name + ".desc"));
    EXPECT_TRUE(desc.good()) << name;
    std::vector<uint8_t> bytes = hex_bytes(desc);
    EXPECT_EQ(hid_descriptor_parse(bytes.data(), bytes.size(), &u.descriptor), HID_PARSE_OK);
    hid_map_build(u.descriptor, vendor, product, &u.map);
    std::ifstream reports(data_path(name + ".reports"));
    EXPECT_TRUE(reports.good()) << name;
    std::string line;
    while (std::getline(reports, line)) {
        std::istringstream in(line);
        std::string id, type;
        if (!(in >> id >> type))
            continue;
        bool skipped = false;
        for (const std::string &s : skip)
            skipped = skipped || s == id + " " + type;
        if (skipped)
            continue;
        std::vector<uint8_t> b = hex_bytes(in);
        hid_store_put(&u.store, static_cast<uint8_t>(std::stoul(id, nullptr, 16)),
                      type == "Input" ? HID_INPUT : HID_FEATURE, b.data(), b.size());
    }
    return u;
}

// Writes `raw` into every stored report that holds `quantity` (only those
// of `direction` when it is 0..2) and stores them again, as the unit
// sending them anew.
void set_quantity(Unit *u, int quantity, int64_t raw, int direction = -1)
{
    for (const HidCandidate &c : u->map.candidates[quantity]) {
        if (direction >= 0 && c.field.direction != direction)
            continue;
        const HidStoredReport *r = hid_store_get(u->store, c.field.report_id, c.field.direction);
        if (!r)
            continue;
        std::vector<uint8_t> b = r->bytes;
        ASSERT_TRUE(hid_field_set(c.field, b.data(), b.size(), raw));
        hid_store_put(&u->store, c.field.report_id, c.field.direction, b.data(), b.size());
    }
}

std::string status_of(const MachineReading &r)
{
    return std::string(r.status, 8);
}

MachineReading read(Unit *u, HidMapMemory *memory = nullptr, std::vector<std::string> *lines = nullptr,
                    double now = 0)
{
    MachineReading r;
    EXPECT_TRUE(hid_map_reading(u->map, u->store, now, memory, lines, &r));
    return r;
}

} // namespace

TEST(HidMap, PowerDeviceIsAnApplicationCollectionOnPages84And85)
{
    for (const char *name : UNITS)
        EXPECT_TRUE(hid_map_is_power_device(load(name).descriptor)) << name;
    const struct {
        std::vector<uint8_t> bytes;
        bool power;
    } cases[] = {
        {{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0}, false},             // a keyboard
        {{0x05, 0x85, 0x09, 0x01, 0xA1, 0x01, 0xC0}, true},              // Battery System page
        {{0x05, 0x84, 0x09, 0x04, 0xA1, 0x02, 0xC0}, false},             // logical, not application
        {{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xC0}, false},       // a maker's page
    };
    for (const auto &c : cases) {
        HidDescriptor d;
        hid_descriptor_parse(c.bytes.data(), c.bytes.size(), &d);
        EXPECT_EQ(hid_map_is_power_device(d), c.power);
    }
}

// Each unit of tests/hid on mains reads as its README says.
TEST(HidMap, UnitsOnMainsReadAsTheirTables)
{
    const struct {
        const char *name;
        const char *status;              // b0..b7
        std::vector<uint8_t> feature_ids;
        std::vector<uint8_t> string_ids;
        int strings[4];
        float battery_voltage, rated_battery_voltage, rated_voltage;
        float charge_low, power_nominal;
    } cases[] = {
        {"flags-1bit", "?0010000",
         {0x06, 0x07, 0x09, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x16, 0x31, 0x32, 0x33, 0x34},
         {0x01, 0x02, 0x03, 0x0A}, {1, 2, 3, 4}, 27.2f, 24, 230, 10, 1500},
        {"flags-8bit", "?001?000",
         {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x30, 0x31, 0x32, 0x33, 0x34, 0x40, 0x41, 0x50, 0x51},
         {0x01, 0x02, 0x03}, {1, 2, 3, 0}, 0, 24, 0, 0, 0},
        {"shared-ids", "?001?000", {0x02}, {0x01}, {1, 2, 3, 0}, 0, 0, 230, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Unit u = load(c.name);
        std::vector<std::string> lines;
        MachineReading r = read(&u, nullptr, &lines);
        EXPECT_TRUE(lines.empty());
        EXPECT_NEAR(r.input_voltage, 230, 0.01);
        EXPECT_NEAR(r.output_voltage, 230, 0.01);
        EXPECT_NEAR(r.input_frequency, 50, 0.01);
        EXPECT_NEAR(r.extra[MACHINE_X_OUTPUT_FREQUENCY], 50, 0.01);
        EXPECT_NEAR(r.load_percent, 20, 0.01);
        EXPECT_EQ(r.battery_charge, 100);
        EXPECT_EQ(r.battery_runtime, 1800);
        EXPECT_NEAR(r.temperature, 25, 0.1);
        EXPECT_EQ(status_of(r), c.status);
        EXPECT_EQ(r.unit_flags, 0u);
        EXPECT_EQ(r.extra[MACHINE_X_TEST_RESULT], 6);
        EXPECT_EQ(r.extra[MACHINE_X_DELAY_SHUTDOWN], -1);
        EXPECT_EQ(r.extra[MACHINE_X_DELAY_START], -1);
        EXPECT_EQ(r.usb_vendor_id, 0x1234);
        if (c.battery_voltage > 0) {
            EXPECT_NEAR(r.battery_voltage, c.battery_voltage, 0.01);
        }
        EXPECT_NEAR(r.rated_battery_voltage, c.rated_battery_voltage, 0.01);
        EXPECT_NEAR(r.rated_voltage, c.rated_voltage, 0.01);
        if (c.charge_low > 0) {
            EXPECT_NEAR(r.extra[MACHINE_X_CHARGE_LOW], c.charge_low, 0.01);
            EXPECT_NEAR(r.extra[MACHINE_X_TRANSFER_LOW], 180, 0.01);
            EXPECT_NEAR(r.extra[MACHINE_X_TRANSFER_HIGH], 266, 0.01);
            EXPECT_NEAR(r.extra[MACHINE_X_POWER_NOMINAL], c.power_nominal, 0.01);
            EXPECT_NEAR(r.rated_current, 7, 0.01); // 1500 VA at 230 V
        }
        EXPECT_EQ(hid_map_feature_ids(u.map), c.feature_ids);
        EXPECT_EQ(hid_map_string_ids(u.map), c.string_ids);
        int strings[4];
        hid_map_string_indexes(u.map, u.store, strings);
        for (int s = 0; s < 4; s++)
            EXPECT_EQ(strings[s], c.strings[s]) << s;
    }
}

// One field changed at a time, as the unit would send it, on every unit.
TEST(HidMap, FlipsShowInTheStatus)
{
    const struct {
        int quantity;
        int64_t raw;
        int position;          // -1: no status position
        char expected;
        uint32_t unit_flag;
        const char *only = nullptr; // the one unit that declares the usage
    } flips[] = {
        {HID_Q_AC_PRESENT, 0, STATUS_AC_FAILED, '1', 0},
        {HID_Q_BELOW_LIMIT, 1, STATUS_BATTERY_LOW, '1', 0},
        {HID_Q_SHUTDOWN_IMMINENT, 1, STATUS_BATTERY_LOW, '1', 0},
        {HID_Q_TEST, 5, STATUS_TEST, '1', 0},
        {HID_Q_TEST, 1, STATUS_TEST, '0', 0},
        {HID_Q_DELAY_SHUTDOWN, 30, STATUS_SHUTDOWN, '1', 0},
        {HID_Q_DELAY_SHUTDOWN, 0, STATUS_SHUTDOWN, '1', 0},
        {HID_Q_BOOST, 1, STATUS_BYPASS, '1', MACHINE_FLAG_BOOST},
        {HID_Q_OVERLOAD, 1, -1, '?', MACHINE_FLAG_OVERLOAD},
        {HID_Q_INTERNAL_FAILURE, 1, STATUS_FAILED, '1', 0, "flags-1bit"},
        {HID_Q_BUCK, 1, STATUS_BYPASS, '1', MACHINE_FLAG_BUCK, "flags-1bit"},
        {HID_Q_TIME_EXPIRED, 1, STATUS_BATTERY_LOW, '1', 0, "flags-1bit"},
        {HID_Q_SHUTDOWN_REQUESTED, 1, STATUS_SHUTDOWN, '1', 0, "flags-1bit"},
        {HID_Q_CHARGING, 1, STATUS_AC_FAILED, '0', MACHINE_FLAG_CHARGING},
        {HID_Q_NEED_REPLACEMENT, 1, STATUS_BATTERY_LOW, '0', MACHINE_FLAG_REPLACE_BATTERY},
        {HID_Q_DISCHARGING, 1, STATUS_AC_FAILED, '0', MACHINE_FLAG_DISCHARGING},
    };
    for (const char *name : UNITS) {
        for (const auto &f : flips) {
            if (f.only && std::string(f.only) != name)
                continue;
            SCOPED_TRACE(std::string(name) + " " + hid_map_quantities[f.quantity].usage_name);
            Unit u = load(name);
            ASSERT_FALSE(u.map.candidates[f.quantity].empty());
            set_quantity(&u, f.quantity, f.raw);
            MachineReading r = read(&u);
            if (f.position >= 0) {
                EXPECT_EQ(r.status[f.position], f.expected);
            }
            EXPECT_EQ(r.unit_flags, f.unit_flag);
        }
    }
}

// Mains failed is told by Discharging on a unit that declares no ACPresent.
TEST(HidMap, DischargingTellsMainsWithoutACPresent)
{
    Unit u = load("flags-1bit");
    u.map.candidates[HID_Q_AC_PRESENT].clear();
    EXPECT_EQ(read(&u).status[STATUS_AC_FAILED], '0');
    set_quantity(&u, HID_Q_DISCHARGING, 1);
    EXPECT_EQ(read(&u).status[STATUS_AC_FAILED], '1');
    u.map.candidates[HID_Q_DISCHARGING].clear();
    EXPECT_EQ(read(&u).status[STATUS_AC_FAILED], '?');
}

// The most recently received report holding a quantity wins, Input or
// Feature; a report never stored falls back to the next place.
TEST(HidMap, LatestReportWinsAndMissingReportsFallBack)
{
    // An interrupt Input report after the feature read wins; a later
    // feature read wins over it again.
    for (const char *name : {"flags-1bit", "flags-8bit"}) {
        SCOPED_TRACE(name);
        Unit u = load(name);
        set_quantity(&u, HID_Q_AC_PRESENT, 0, HID_INPUT);
        EXPECT_EQ(read(&u).status[STATUS_AC_FAILED], '1');
        const HidStoredReport *feature = nullptr;
        for (const HidCandidate &c : u.map.candidates[HID_Q_AC_PRESENT])
            if (c.field.direction == HID_FEATURE)
                feature = hid_store_get(u.store, c.field.report_id, HID_FEATURE);
        ASSERT_NE(feature, nullptr);
        std::vector<uint8_t> again = feature->bytes;
        hid_store_put(&u.store, again[0], HID_FEATURE, again.data(), again.size());
        EXPECT_EQ(read(&u).status[STATUS_AC_FAILED], '0');
    }

    const struct {
        const char *name;
        std::vector<std::string> missing;
        int quantity;
        bool given;
        double value;
    } cases[] = {
        {"flags-1bit", {}, HID_Q_CHARGE, true, 100},
        {"flags-1bit", {"06 Input"}, HID_Q_CHARGE, true, 100},
        {"flags-1bit", {"06 Input", "06 Feature"}, HID_Q_CHARGE, false, 0},
        {"flags-8bit", {"34 Feature"}, HID_Q_LOAD, true, 20},          // PowerSummary.PercentLoad
        {"flags-8bit", {"34 Feature", "26 Feature"}, HID_Q_LOAD, false, 0},
        {"flags-8bit", {"20 Input"}, HID_Q_AC_PRESENT, true, 1},
        {"shared-ids", {"02 Input"}, HID_Q_INPUT_VOLTAGE, false, 0},
        {"shared-ids", {"02 Input"}, HID_Q_TEST, true, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + hid_map_quantities[c.quantity].name);
        Unit u = load(c.name, c.missing);
        double v = -99;
        EXPECT_EQ(hid_map_value(u.map, u.store, c.quantity, nullptr, nullptr, &v), c.given);
        if (c.given) {
            EXPECT_NEAR(v, c.value, 0.01);
        }
    }
    // A unit that holds the load in two places gives it from either.
    Unit both = load("flags-8bit");
    set_quantity(&both, HID_Q_LOAD, 30);
    const HidStoredReport *summary = hid_store_get(both.store, 0x26, HID_FEATURE);
    ASSERT_NE(summary, nullptr);
    std::vector<uint8_t> b = summary->bytes;
    b[1] = 45;
    hid_store_put(&both.store, 0x26, HID_FEATURE, b.data(), b.size());
    EXPECT_NEAR(read(&both).load_percent, 45, 0.01);
}

// Values outside their declared range, impossible runtimes and the vendor
// corrections: a sequence of readings each, with the runtime and the lines
// they give.
TEST(HidMap, PlausibilityRulesAndCorrections)
{
    struct Step {
        std::vector<std::pair<int, int64_t>> set; // quantity, raw (all its reports)
        double now;
        int runtime;          // expected battery_runtime
        const char *line;     // expected line (substring); "" none
    };
    const struct {
        const char *what;
        std::vector<Step> steps;
        const char *unit = "flags-1bit";
        int64_t runtime_max = 0; // not 0: the runtime field's logical maximum as declared
        int64_t runtime_min = 0; // not 0: its logical minimum (a signed field)
    } cases[] = {
        {"a negative runtime of a signed field",
         {{{{HID_Q_RUNTIME, 1400}}, 0, 1400, ""},
          {{{HID_Q_RUNTIME, -5}}, 1, 1400, "runtime reads -5 s: ignored"}},
         "flags-1bit", 32767, -32768},
        {"the declared maximum of a 32-bit field",
         {{{{HID_Q_RUNTIME, 1400}}, 0, 1400, ""},
          {{{HID_Q_RUNTIME, 2147483647}}, 1, 1400, "runtime reads its field's maximum 2147483647: ignored"}},
         "flags-8bit"},
        {"all bits set under a larger declared maximum",
         {{{{HID_Q_RUNTIME, 1400}}, 0, 1400, ""},
          {{{HID_Q_RUNTIME, 65535}}, 1, 1400, "runtime reads its field's maximum 65535: ignored"}},
         "flags-1bit", 100000},
        {"the field's maximum",
         {{{{HID_Q_RUNTIME, 1400}}, 0, 1400, ""},
          {{{HID_Q_RUNTIME, 65535}}, 1, 1400, "runtime reads its field's maximum 65535: ignored"},
          {{{HID_Q_RUNTIME, 65535}}, 2, 1400, ""},
          {{{HID_Q_RUNTIME, 1390}}, 3, 1390, ""}}},
        {"the maximum with nothing before",
         {{{{HID_Q_RUNTIME, 65535}}, 0, -1, "maximum 65535: ignored"}}},
        {"0 on mains",
         {{{{HID_Q_RUNTIME, 0}}, 0, -1, "runtime reads 0 s on mains at 100 % charge: ignored"},
          {{{HID_Q_RUNTIME, 1800}}, 1, 1800, ""},
          {{{HID_Q_RUNTIME, 0}}, 2, 1800, ""},
          {{{HID_Q_CHARGE, 5}, {HID_Q_RUNTIME, 0}}, 3, 0, ""}}},
        {"0 on battery",
         {{{{HID_Q_AC_PRESENT, 0}, {HID_Q_DISCHARGING, 1}, {HID_Q_RUNTIME, 0}}, 0, 0, ""}}},
        {"a jump while discharging",
         {{{{HID_Q_AC_PRESENT, 0}, {HID_Q_DISCHARGING, 1}, {HID_Q_RUNTIME, 600}}, 0, 600, ""},
          {{{HID_Q_RUNTIME, 5000}}, 10, 600, "runtime jumped from 600 s to 5000 s while discharging: ignored"},
          {{{HID_Q_RUNTIME, 5000}}, 40, 600, ""},
          {{{HID_Q_RUNTIME, 5000}}, 70, 5000, ""},
          {{{HID_Q_RUNTIME, 4900}}, 71, 4900, ""}}},
        {"a jump on mains is taken",
         {{{{HID_Q_RUNTIME, 600}}, 0, 600, ""}, {{{HID_Q_RUNTIME, 5000}}, 1, 5000, ""}}},
        {"a drop while discharging is taken",
         {{{{HID_Q_AC_PRESENT, 0}, {HID_Q_RUNTIME, 1800}}, 0, 1800, ""},
          {{{HID_Q_RUNTIME, 1700}}, 1, 1700, ""},
          {{{HID_Q_RUNTIME, 5099}}, 2, 5099, ""}}}, // not more than 3 times 1700
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Unit u = load(c.unit);
        for (HidCandidate &rt : u.map.candidates[HID_Q_RUNTIME]) {
            if (c.runtime_max)
                rt.field.logical_max = c.runtime_max;
            if (c.runtime_min)
                rt.field.logical_min = c.runtime_min;
        }
        HidMapMemory memory;
        for (size_t i = 0; i < c.steps.size(); i++) {
            SCOPED_TRACE(i);
            const Step &s = c.steps[i];
            for (const auto &q : s.set)
                set_quantity(&u, q.first, q.second);
            std::vector<std::string> lines;
            MachineReading r = read(&u, &memory, &lines, s.now);
            EXPECT_EQ(r.battery_runtime, s.runtime);
            if (*s.line) {
                ASSERT_EQ(lines.size(), 1u);
                EXPECT_NE(lines[0].find(s.line), std::string::npos) << lines[0];
            } else {
                EXPECT_TRUE(lines.empty()) << lines[0];
            }
        }
    }
}

TEST(HidMap, OutOfRangeIsNotGivenNeverClamped)
{
    Unit u = load("flags-1bit");
    HidMapMemory memory;
    std::vector<std::string> lines;
    // The Input report out of range: the older Feature report's charge.
    set_quantity(&u, HID_Q_CHARGE, 150, HID_INPUT);
    EXPECT_EQ(read(&u, &memory, &lines).battery_charge, 100);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "charge reads 150, outside the unit's declared range 0..100: taken as not given");
    set_quantity(&u, HID_Q_CHARGE, 101);
    lines.clear();
    EXPECT_EQ(read(&u, &memory, &lines).battery_charge, -1);
    EXPECT_EQ(lines.size(), 1u); // the Feature report's, said once too
    lines.clear();
    EXPECT_EQ(read(&u, &memory, &lines).battery_charge, -1);
    EXPECT_TRUE(lines.empty());
}

// A unit that keeps its capacities in mAh gives no charge in %.
TEST(HidMap, CapacityModeOtherThanPercent)
{
    Unit u = load("flags-1bit");
    HidMapMemory memory;
    std::vector<std::string> lines;
    MachineReading r = read(&u, &memory, &lines);
    EXPECT_EQ(r.battery_charge, 100);
    EXPECT_EQ(r.extra[MACHINE_X_CHARGE_LOW], 10);
    set_quantity(&u, HID_Q_CAPACITY_MODE, 0);
    r = read(&u, &memory, &lines);
    EXPECT_EQ(r.battery_charge, -1);
    EXPECT_TRUE(std::isnan(r.extra[MACHINE_X_CHARGE_LOW]));
    EXPECT_EQ(r.battery_runtime, 1800);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the unit keeps its capacities in mode 0, not in %: charge and low-battery limit unknown");
    read(&u, &memory, &lines);
    EXPECT_EQ(lines.size(), 1u);
}

// A value a power of ten off the unit's own rating is mended, with one
// line said once; a real value, one far from any factor, and a unit
// without the rating are left as read.
TEST(HidMap, CorrectionsAgainstTheUnitsOwnRating)
{
    const struct {
        const char *unit; // flags-1bit: rated 230 V and a 24 V battery; flags-8bit: no
                          // line voltage rating
        int quantity;
        int64_t raw;
        double value;
        const char *line; // empty: no line
    } cases[] = {
        {"flags-1bit", HID_Q_INPUT_VOLTAGE, 23, 230, "a tenth of the unit's rated voltage"},
        {"flags-1bit", HID_Q_INPUT_VOLTAGE, 2, 200, "a hundredth of the unit's rated voltage"},
        {"flags-1bit", HID_Q_OUTPUT_VOLTAGE, 2300, 230, "ten times the unit's rated voltage"},
        {"flags-1bit", HID_Q_TRANSFER_HIGH, 27, 270, "a tenth of the unit's rated voltage"},
        {"flags-1bit", HID_Q_INPUT_VOLTAGE, 230, 230, ""},
        {"flags-1bit", HID_Q_INPUT_VOLTAGE, 0, 0, ""},  // on battery: no input
        {"flags-1bit", HID_Q_INPUT_VOLTAGE, 60, 60, ""}, // far off, but no factor fits
        {"flags-1bit", HID_Q_BATTERY_VOLTAGE, 2720, 27.2, ""},
        {"flags-1bit", HID_Q_BATTERY_VOLTAGE, 27200, 27.2, "ten times the battery's rated"},
        {"flags-1bit", HID_Q_BATTERY_VOLTAGE, 272, 27.2, "a tenth of the battery's rated"},
        {"flags-8bit", HID_Q_INPUT_VOLTAGE, 230, 23, ""}, // no rating to hold it against
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.unit) + " " + hid_map_quantities[c.quantity].name + " " +
                     std::to_string(c.raw));
        Unit u = load(c.unit);
        set_quantity(&u, c.quantity, c.raw);
        HidMapMemory memory;
        std::vector<std::string> lines;
        double v = 0;
        ASSERT_TRUE(hid_map_value(u.map, u.store, c.quantity, &memory, &lines, &v));
        EXPECT_NEAR(v, c.value, 0.001);
        if (*c.line) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find(c.line), std::string::npos) << lines[0];
            lines.clear();
            hid_map_value(u.map, u.store, c.quantity, &memory, &lines, &v);
            EXPECT_TRUE(lines.empty()); // said once
        } else {
            EXPECT_TRUE(lines.empty()) << lines[0];
        }
    }
}

namespace {

// A unit with a charge and nothing it could be commanded by.
const std::vector<uint8_t> BARE_UNIT = {
    0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,             // UPS
    0x09, 0x24, 0xA1, 0x00,                         //  PowerSummary
    0x85, 0x01, 0x05, 0x85, 0x09, 0x66, 0x15, 0x00, 0x25, 0x64, 0x75, 0x08, 0x95, 0x01,
    0xB1, 0x02,                                     //   RemainingCapacity, Feature
    0xC0, 0xC0,
};

} // namespace

// Each command over each unit: the writes, or the refusal; then the writes
// put into the unit's Feature reports and read back.
TEST(HidMap, Commands)
{
    struct Expect {
        int quantity;
        int64_t value;
    };
    const struct {
        const char *command;
        std::vector<Expect> writes;    // empty: refused
        const char *bare_line;         // the bare unit's refusal
    } cases[] = {
        {"T\r", {{HID_Q_TEST, 1}}, "the unit has no Test usage; \"T\" not sent"},
        {"TL\r", {{HID_Q_TEST, 2}}, "the unit has no Test usage; \"TL\" not sent"},
        {"CT\r", {{HID_Q_TEST, 3}}, "the unit has no Test usage; \"CT\" not sent"},
        // The restore that would have followed goes too.
        {"C\r", {{HID_Q_DELAY_SHUTDOWN, -1}, {HID_Q_DELAY_START, -1}},
         "the unit has no DelayBeforeShutdown usage; \"C\" not sent"},
        {"S01\r", {{HID_Q_DELAY_SHUTDOWN, 60}}, "the unit has no DelayBeforeShutdown usage; \"S01\" not sent"},
        {"S.5\r", {{HID_Q_DELAY_SHUTDOWN, 30}}, "the unit has no DelayBeforeShutdown usage; \"S.5\" not sent"},
        {"S02R0003\r", {{HID_Q_DELAY_SHUTDOWN, 120}, {HID_Q_DELAY_START, 300}},
         "the unit has no DelayBeforeShutdown usage; \"S02R0003\" not sent"},
        {"S.2R0001\r", {{HID_Q_DELAY_SHUTDOWN, 12}, {HID_Q_DELAY_START, 72}},
         "the unit has no DelayBeforeShutdown usage; \"S.2R0001\" not sent"},
        {"S99R9999\r", {{HID_Q_DELAY_SHUTDOWN, 5940}, {HID_Q_DELAY_START, 32767}}, // held at the maximum
         "the unit has no DelayBeforeShutdown usage; \"S99R9999\" not sent"},
    };
    HidDescriptor bare_descriptor;
    ASSERT_EQ(hid_descriptor_parse(BARE_UNIT.data(), BARE_UNIT.size(), &bare_descriptor), HID_PARSE_OK);
    HidMap bare;
    hid_map_build(bare_descriptor, 0x1234, 1, &bare);
    ASSERT_FALSE(bare.candidates[HID_Q_CHARGE].empty());

    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        std::vector<HidWrite> writes;
        std::vector<std::string> lines;
        EXPECT_FALSE(hid_map_command(bare, c.command, &writes, &lines));
        EXPECT_TRUE(writes.empty());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.bare_line);

        for (const char *name : UNITS) {
            SCOPED_TRACE(name);
            Unit u = load(name);
            writes.clear();
            lines.clear();
            ASSERT_TRUE(hid_map_command(u.map, c.command, &writes, &lines));
            ASSERT_EQ(writes.size(), c.writes.size());
            bool held = std::string(c.command) == "S99R9999\r";
            EXPECT_EQ(lines.size(), held ? 1u : 0u);
            for (size_t i = 0; i < writes.size(); i++) {
                EXPECT_EQ(writes[i].field.usage, hid_map_quantities[c.writes[i].quantity].usage);
                EXPECT_EQ(writes[i].field.direction, HID_FEATURE);
                EXPECT_EQ(writes[i].report_id, writes[i].field.report_id);
                EXPECT_EQ(writes[i].value, c.writes[i].value);
            }
            // Into the reports as last read, combined, and read back.
            for (const HidWrite &w : writes) {
                const HidStoredReport *r = hid_store_get(u.store, w.report_id, HID_FEATURE);
                ASSERT_NE(r, nullptr);
                std::vector<uint8_t> b = r->bytes;
                ASSERT_TRUE(hid_map_apply(w, &b));
                hid_store_put(&u.store, w.report_id, HID_FEATURE, b.data(), b.size());
            }
            for (const Expect &e : c.writes) {
                double v = 0;
                ASSERT_TRUE(hid_map_value(u.map, u.store, e.quantity, nullptr, nullptr, &v));
                EXPECT_EQ(v, e.value);
            }
            // What the writes did not name stays (shared-ids keeps them in one report).
            double test = 0;
            ASSERT_TRUE(hid_map_value(u.map, u.store, HID_Q_TEST, nullptr, nullptr, &test));
            if (c.writes[0].quantity != HID_Q_TEST) {
                EXPECT_EQ(test, 6);
            }
        }
    }

    Unit u = load("flags-1bit");
    std::vector<HidWrite> writes;
    std::vector<std::string> lines;
    EXPECT_FALSE(hid_map_command(u.map, std::string("X\r"), &writes, &lines));
    EXPECT_FALSE(hid_map_command(u.map, std::string("S00\r"), &writes, &lines));
    EXPECT_TRUE(lines.empty());

    // A unit without DelayBeforeStartup still turns off.
    Unit no_start = load("flags-1bit");
    no_start.map.candidates[HID_Q_DELAY_START].clear();
    ASSERT_TRUE(hid_map_command(no_start.map, std::string("S02R0003\r"), &writes, &lines));
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].field.usage, hid_map_quantities[HID_Q_DELAY_SHUTDOWN].usage);
    EXPECT_EQ(writes[0].value, 120);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the unit has no DelayBeforeStartup usage; \"S02R0003\" sent as a turn-off alone");
    lines.clear();

    // A turn-off delay over the field's maximum comes earlier, never later.
    for (HidCandidate &c : u.map.candidates[HID_Q_DELAY_SHUTDOWN])
        c.field.logical_max = 100;
    ASSERT_TRUE(hid_map_command(u.map, std::string("S02R0001\r"), &writes, &lines));
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value, 100);
    EXPECT_EQ(writes[1].value, 160);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "the turn-off delay of 120 s is over the unit's maximum 100; \"S02R0001\" sent with the maximum");

    // A write into another report's bytes, or bytes too short, is refused.
    std::vector<uint8_t> other = {0x0E, 0x18};
    EXPECT_FALSE(hid_map_apply(writes[0], &other));
    std::vector<uint8_t> shorter = {0x0F};
    EXPECT_FALSE(hid_map_apply(writes[0], &shorter));
    EXPECT_EQ(shorter.size(), 1u);
}

TEST(HidMap, LowBatteryLimitWrite)
{
    Unit u = load("flags-1bit");
    HidWrite w;
    std::vector<std::string> lines;
    ASSERT_TRUE(hid_map_charge_low_write(u.map, 25, &w, &lines));
    EXPECT_EQ(w.report_id, 0x07);
    EXPECT_EQ(w.value, 25);
    std::vector<uint8_t> b = hid_store_get(u.store, 0x07, HID_FEATURE)->bytes;
    ASSERT_TRUE(hid_map_apply(w, &b));
    EXPECT_EQ(b, (std::vector<uint8_t>{0x07, 25, 0x02})); // CapacityMode stays
    EXPECT_FALSE(hid_map_charge_low_write(u.map, 101, &w, &lines));
    ASSERT_EQ(lines.size(), 1u);
    Unit shared = load("shared-ids");
    lines.clear();
    EXPECT_FALSE(hid_map_charge_low_write(shared.map, 25, &w, &lines));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("no RemainingCapacityLimit usage"), std::string::npos);
}

// The beeper from AudibleAlarmControl; a flag under ChangedStatus says what
// changed, never what is.
TEST(HidMap, AudibleAlarmAndChangedStatus)
{
    const std::vector<uint8_t> bytes = {
        0x05, 0x84, 0x09, 0x04, 0xA1, 0x01,           // UPS
        0x09, 0x24, 0xA1, 0x00,                       //  PowerSummary
        0x85, 0x02, 0x09, 0x5A, 0x15, 0x01, 0x25, 0x03, 0x75, 0x08, 0x95, 0x01,
        0xB1, 0x02,                                   //   AudibleAlarmControl, Feature
        0x09, 0x03, 0xA1, 0x02,                       //   ChangedStatus
        0x85, 0x03, 0x05, 0x85, 0x09, 0xD0, 0x15, 0x00, 0x25, 0x01, 0x75, 0x08, 0x95, 0x01,
        0x81, 0x02,                                   //    ACPresent, Input
        0xC0, 0xC0, 0xC0,
    };
    Unit u;
    ASSERT_EQ(hid_descriptor_parse(bytes.data(), bytes.size(), &u.descriptor), HID_PARSE_OK);
    hid_map_build(u.descriptor, 0x1234, 1, &u.map);
    EXPECT_TRUE(u.map.candidates[HID_Q_AC_PRESENT].empty());
    ASSERT_EQ(u.map.candidates[HID_Q_AUDIBLE].size(), 1u);
    const uint8_t changed[] = {0x03, 0x01};
    hid_store_put(&u.store, 0x03, HID_INPUT, changed, sizeof changed);
    const struct {
        uint8_t value;
        const char *status;
    } cases[] = {{1, "0??1????"}, {2, "1??1????"}, {3, "0??1????"}};
    for (const auto &c : cases) {
        const uint8_t report[] = {0x02, c.value};
        hid_store_put(&u.store, 0x02, HID_FEATURE, report, sizeof report);
        EXPECT_EQ(status_of(read(&u)), c.status) << int(c.value);
    }
}
