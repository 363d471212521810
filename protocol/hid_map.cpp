#include "protocol/hid_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "protocol/reply.h"

namespace {

constexpr uint32_t pd(uint32_t id) { return 0x00840000u | id; } // Power Device page
constexpr uint32_t bs(uint32_t id) { return 0x00850000u | id; } // Battery System page

// Collections.
constexpr uint32_t PRESENT_STATUS = pd(0x02);
constexpr uint32_t CHANGED_STATUS = pd(0x03);
constexpr uint32_t BATTERY = pd(0x12);
constexpr uint32_t INPUT = pd(0x1A);
constexpr uint32_t OUTPUT = pd(0x1C);
constexpr uint32_t POWER_SUMMARY = pd(0x24);
constexpr uint32_t ANY = HID_MAP_ANY;

} // namespace

// Input and Output are matched as enclosing collections, so a PowerConverter
// (0x84:0x16) holding them is found as well as a unit that puts them at the
// top.
const HidQuantityRow hid_map_quantities[HID_Q_COUNT] = {
    {"input voltage", "Voltage", pd(0x30), {INPUT}},
    {"input frequency", "Frequency", pd(0x32), {INPUT}},
    {"output voltage", "Voltage", pd(0x30), {OUTPUT}},
    {"output frequency", "Frequency", pd(0x32), {OUTPUT}},
    {"load", "PercentLoad", pd(0x35), {OUTPUT, POWER_SUMMARY, ANY}},
    {"battery voltage", "Voltage", pd(0x30), {BATTERY, POWER_SUMMARY}},
    {"charge", "RemainingCapacity", bs(0x66), {POWER_SUMMARY, BATTERY}},
    {"runtime", "RunTimeToEmpty", bs(0x68), {POWER_SUMMARY, BATTERY}},
    {"temperature", "Temperature", pd(0x36), {BATTERY, POWER_SUMMARY, ANY}},
    {"rated voltage", "ConfigVoltage", pd(0x40), {OUTPUT, INPUT}},
    {"rated frequency", "ConfigFrequency", pd(0x42), {OUTPUT, INPUT}},
    {"rated battery voltage", "ConfigVoltage", pd(0x40), {BATTERY, POWER_SUMMARY}},
    {"rated apparent power", "ConfigApparentPower", pd(0x43), {OUTPUT, POWER_SUMMARY, ANY}},
    {"low-battery limit", "RemainingCapacityLimit", bs(0x29), {POWER_SUMMARY, BATTERY}},
    {"low transfer voltage", "LowVoltageTransfer", pd(0x53), {INPUT, ANY}},
    {"high transfer voltage", "HighVoltageTransfer", pd(0x54), {INPUT, ANY}},
    {"shutdown delay", "DelayBeforeShutdown", pd(0x57), {POWER_SUMMARY, ANY}},
    {"startup delay", "DelayBeforeStartup", pd(0x56), {POWER_SUMMARY, ANY}},
    {"test", "Test", pd(0x58), {BATTERY, ANY}},
    {"audible alarm", "AudibleAlarmControl", pd(0x5A), {POWER_SUMMARY, ANY}},
    {"capacity mode", "CapacityMode", bs(0x2C), {POWER_SUMMARY, BATTERY}},
    {"mains present", "ACPresent", bs(0xD0), {PRESENT_STATUS, ANY}},
    {"discharging", "Discharging", bs(0x45), {PRESENT_STATUS, ANY}},
    {"charging", "Charging", bs(0x44), {PRESENT_STATUS, ANY}},
    {"below the low-battery limit", "BelowRemainingCapacityLimit", bs(0x42), {PRESENT_STATUS, ANY}},
    {"remaining time expired", "RemainingTimeLimitExpired", bs(0x43), {PRESENT_STATUS, ANY}},
    {"shutdown imminent", "ShutdownImminent", pd(0x69), {PRESENT_STATUS, ANY}},
    {"shutdown requested", "ShutdownRequested", pd(0x68), {PRESENT_STATUS, ANY}},
    {"overload", "Overload", pd(0x65), {PRESENT_STATUS, ANY}},
    {"boost", "Boost", pd(0x6E), {PRESENT_STATUS, ANY}},
    {"buck", "Buck", pd(0x6F), {PRESENT_STATUS, ANY}},
    {"battery needs replacing", "NeedReplacement", bs(0x4B), {PRESENT_STATUS, ANY}},
    {"internal failure", "InternalFailure", pd(0x62), {PRESENT_STATUS, ANY}},
};

namespace {

constexpr uint64_t bit(int q) { return uint64_t{1} << q; }
static_assert(HID_Q_COUNT <= 64, "HidCorrection::quantities holds one bit per quantity");
constexpr uint64_t LINE_VOLTAGES = bit(HID_Q_INPUT_VOLTAGE) | bit(HID_Q_OUTPUT_VOLTAGE) |
                                   bit(HID_Q_RATED_VOLTAGE) | bit(HID_Q_TRANSFER_LOW) |
                                   bit(HID_Q_TRANSFER_HIGH);

} // namespace

// Firmware faults that give a value a power of ten off what the unit
// itself declares it to be rated for, mended by a factor. A row mends a
// value only while the value read lies far off the unit's own rating
// (`reference`) and the value mended lies near it: a real reading is never
// touched, and a unit without that rating is never touched either. Vendor
// 0 applies to every unit; rows for one maker's units carry its USB ids.
const HidCorrection hid_map_corrections[] = {
    // Unit exponent 6 (tenths of a volt) declared for line voltages sent in
    // whole volts: 230 V reads 23.0 V.
    {0, 0, LINE_VOLTAGES, HID_Q_RATED_VOLTAGE, 10.0,
     "line voltages read a tenth of the unit's rated voltage: its firmware declares tenths of "
     "a volt for whole volts"},
    // Exponent 5 (hundredths) declared for whole volts: 2.30 V.
    {0, 0, LINE_VOLTAGES, HID_Q_RATED_VOLTAGE, 100.0,
     "line voltages read a hundredth of the unit's rated voltage: its firmware declares "
     "hundredths of a volt for whole volts"},
    // Whole volts declared (exponent 7) for tenths sent: 2300 V.
    {0, 0, LINE_VOLTAGES, HID_Q_RATED_VOLTAGE, 0.1,
     "line voltages read ten times the unit's rated voltage: its firmware declares whole "
     "volts for tenths"},
    // The battery voltage sent in tenths of a volt while whole volts are
    // declared: a 24 V string reads 240 V.
    {0, 0, bit(HID_Q_BATTERY_VOLTAGE), HID_Q_RATED_BATTERY_VOLTAGE, 0.1,
     "the battery voltage reads ten times the battery's rated voltage: its firmware sends "
     "tenths of a volt as volts"},
    // The battery voltage of a unit that scales it down by ten: 2.7 V for
    // a 24 V string.
    {0, 0, bit(HID_Q_BATTERY_VOLTAGE), HID_Q_RATED_BATTERY_VOLTAGE, 10.0,
     "the battery voltage reads a tenth of the battery's rated voltage: its firmware sends "
     "volts on a scale of ten"},
};
const size_t hid_map_correction_count = sizeof hid_map_corrections / sizeof hid_map_corrections[0];

bool hid_map_is_power_device(const HidDescriptor &d)
{
    for (const HidCollection &c : d.collections) {
        uint32_t page = c.usage >> 16;
        if (c.type == 0x01 && (page == 0x84 || page == 0x85))
            return true;
    }
    return false;
}

// The rank of the row's first path `f` matches, or -1.
static int path_rank(const HidQuantityRow &row, const HidField &f)
{
    if (f.usage != row.usage || !(f.flags & HID_FLAG_VARIABLE) || f.path_len == 0)
        return -1;
    int enclosing = f.path_len - 1; // path[0..enclosing) are the collections
    for (int i = 0; i < enclosing; i++)
        if (f.path[i] == CHANGED_STATUS)
            return -1;
    for (int p = 0; p < HID_MAP_MAX_PATHS && row.paths[p] != 0; p++) {
        if (row.paths[p] == ANY)
            return p;
        for (int i = 0; i < enclosing; i++)
            if (f.path[i] == row.paths[p])
                return p;
    }
    return -1;
}

static const uint32_t STRING_USAGES[4] = {pd(0xFD), pd(0xFE), pd(0xFF), bs(0x89)};

void hid_map_build(const HidDescriptor &d, uint16_t vendor, uint16_t product, HidMap *out)
{
    *out = HidMap{};
    out->usb_vendor_id = vendor;
    out->usb_product_id = product;
    for (const HidReport &r : d.reports) {
        if (r.direction == HID_OUTPUT)
            continue;
        for (const HidField &f : r.fields) {
            for (int q = 0; q < HID_Q_COUNT; q++) {
                int rank = path_rank(hid_map_quantities[q], f);
                if (rank >= 0)
                    out->candidates[q].push_back({f, rank});
            }
            if (r.direction != HID_FEATURE)
                continue;
            for (int s = 0; s < 4; s++)
                if (f.usage == STRING_USAGES[s] && !out->strings_valid[s]) {
                    out->strings[s] = f;
                    out->strings_valid[s] = true;
                }
        }
    }
    for (auto &list : out->candidates)
        std::stable_sort(list.begin(), list.end(), [](const HidCandidate &a, const HidCandidate &b) {
            return a.path_rank < b.path_rank;
        });
    for (size_t i = 0; i < hid_map_correction_count; i++) {
        const HidCorrection &c = hid_map_corrections[i];
        if (c.vendor == 0 || (c.vendor == vendor && (c.product == 0 || c.product == product)))
            out->corrections.push_back(&c);
    }
}

static void add_id(std::vector<uint8_t> *ids, uint8_t id)
{
    if (std::find(ids->begin(), ids->end(), id) == ids->end())
        ids->push_back(id);
}

std::vector<uint8_t> hid_map_feature_ids(const HidMap &map)
{
    std::vector<uint8_t> ids;
    for (const auto &list : map.candidates)
        for (const HidCandidate &c : list)
            if (c.field.direction == HID_FEATURE)
                add_id(&ids, c.field.report_id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<uint8_t> hid_map_string_ids(const HidMap &map)
{
    std::vector<uint8_t> ids;
    for (int s = 0; s < 4; s++)
        if (map.strings_valid[s])
            add_id(&ids, map.strings[s].report_id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

void hid_store_put(HidReportStore *store, uint8_t id, HidDirection direction,
                   const uint8_t *bytes, size_t len)
{
    HidStoredReport *slot = nullptr;
    for (HidStoredReport &r : store->reports)
        if (r.id == id && r.direction == direction)
            slot = &r;
    if (!slot) {
        store->reports.push_back({});
        slot = &store->reports.back();
        slot->id = id;
        slot->direction = direction;
    }
    slot->bytes.assign(bytes, bytes + len);
    slot->sequence = store->next_sequence++;
}

const HidStoredReport *hid_store_get(const HidReportStore &store, uint8_t id,
                                     HidDirection direction)
{
    for (const HidStoredReport &r : store.reports)
        if (r.id == id && r.direction == direction)
            return &r;
    return nullptr;
}

// Adds `text` to `lines` unless `key` was said before (then nothing).
static void say_once(HidMapMemory *memory, std::vector<std::string> *lines, const char *key,
                     const char *text)
{
    if (memory) {
        if (std::find(memory->said.begin(), memory->said.end(), key) != memory->said.end())
            return;
        memory->said.emplace_back(key);
    }
    if (lines)
        lines->emplace_back(text);
}

// A signed nibble of the unit item.
static int unit_nibble(uint32_t unit, int index)
{
    int n = (unit >> (4 * index)) & 0xF;
    return n >= 8 ? n - 16 : n;
}

// The raw value in the quantity's own unit: the exponent, the base of the
// SI units (centimetre and gram: a volt or volt-ampere is 10^7 of the unit
// item's), kelvin and degrees Fahrenheit as degrees C.
static double scaled(int quantity, const HidField &f, int64_t raw)
{
    if (quantity >= HID_Q_TEST) // enumerations and flags: as sent
        return static_cast<double>(raw);
    int system = f.unit & 0xF;
    int power = f.unit_exponent;
    if (system == 1 || system == 2)
        power -= 2 * unit_nibble(f.unit, 1) + 3 * unit_nibble(f.unit, 2);
    double v = static_cast<double>(raw) * std::pow(10.0, power);
    if (quantity == HID_Q_TEMPERATURE) {
        bool temperature_unit = unit_nibble(f.unit, 4) == 1;
        if (temperature_unit && (system == 1 || system == 2))
            v -= 273.15;
        else if (temperature_unit && (system == 3 || system == 4))
            v = (v - 32.0) * 5.0 / 9.0;
        else if (v > 150.0) // no unit: a value this high can only be kelvin
            v -= 273.15;
    }
    return v;
}

namespace {
struct Picked {
    const HidCandidate *candidate = nullptr;
    int64_t raw = 0;
    double value = 0;
};
} // namespace

static bool pick(const HidMap &map, const HidReportStore &store, int quantity,
                 HidMapMemory *memory, std::vector<std::string> *lines, Picked *out)
{
    const HidQuantityRow &row = hid_map_quantities[quantity];
    uint64_t best_sequence = 0;
    for (const HidCandidate &c : map.candidates[quantity]) {
        const HidStoredReport *r = hid_store_get(store, c.field.report_id, c.field.direction);
        if (!r || r->sequence <= best_sequence)
            continue;
        int64_t raw;
        if (!hid_field_value(c.field, r->bytes.data(), r->bytes.size(), &raw))
            continue;
        const HidField &f = c.field;
        if (f.logical_min < f.logical_max && (raw < f.logical_min || raw > f.logical_max)) {
            char key[48], text[160];
            snprintf(key, sizeof key, "range %d %u %d", quantity, f.report_id, f.direction);
            snprintf(text, sizeof text,
                     "%s reads %lld, outside the unit's declared range %lld..%lld: taken as not given",
                     row.name, static_cast<long long>(raw), static_cast<long long>(f.logical_min),
                     static_cast<long long>(f.logical_max));
            say_once(memory, lines, key, text);
            continue;
        }
        best_sequence = r->sequence;
        out->candidate = &c;
        out->raw = raw;
    }
    if (!out->candidate)
        return false;
    double v = scaled(quantity, out->candidate->field, out->raw);
    for (const HidCorrection *c : map.corrections) {
        Picked rating;
        if (!(c->quantities & bit(quantity)) || quantity == c->reference ||
            !pick(map, store, c->reference, memory, lines, &rating) || rating.value <= 0)
            continue;
        double ref = rating.value;
        // Within the margin of the rating once mended: a real reading lies
        // there unmended, a power of ten away from it.
        if (std::fabs(v * c->factor - ref) > HID_CORRECTION_NEAR * ref)
            continue;
        v *= c->factor;
        char key[32], text[256];
        snprintf(key, sizeof key, "correction %d", static_cast<int>(c - hid_map_corrections));
        snprintf(text, sizeof text, "unit %04x:%04x: %s; %s multiplied by %g",
                 map.usb_vendor_id, map.usb_product_id, c->why, hid_map_quantities[quantity].name, c->factor);
        say_once(memory, lines, key, text);
        break;
    }
    out->value = v;
    return true;
}

bool hid_map_value(const HidMap &map, const HidReportStore &store, int quantity,
                   HidMapMemory *memory, std::vector<std::string> *lines, double *out)
{
    if (quantity < 0 || quantity >= HID_Q_COUNT)
        return false;
    Picked p;
    if (!pick(map, store, quantity, memory, lines, &p))
        return false;
    *out = p.value;
    return true;
}

// The runtime to report: the one read when it is plausible, else the last
// taken (-1 none), with one line for the fault.
static int plausible_runtime(const Picked &p, bool on_mains, bool discharging, int charge,
                             double now, HidMapMemory *memory, std::vector<std::string> *lines)
{
    const HidField &f = p.candidate->field;
    uint64_t all_bits = f.bit_size >= 64 ? ~uint64_t{0} : (uint64_t{1} << f.bit_size) - 1;
    double seconds = std::round(p.value);
    int previous = memory->last_runtime;
    char text[160];
    if (p.raw == f.logical_max || static_cast<uint64_t>(p.raw) == all_bits) {
        snprintf(text, sizeof text, "runtime reads its field's maximum %lld: ignored",
                 static_cast<long long>(p.raw));
        say_once(memory, lines, "runtime maximum", text);
        return previous;
    }
    if (!std::isfinite(seconds) || seconds < 0) { // a signed field's negative value
        snprintf(text, sizeof text, "runtime reads %.0f s: ignored", seconds);
        say_once(memory, lines, "runtime negative", text);
        return previous;
    }
    if (seconds <= 0 && on_mains && charge >= HID_RUNTIME_ZERO_CHARGE) {
        snprintf(text, sizeof text, "runtime reads 0 s on mains at %d %% charge: ignored", charge);
        say_once(memory, lines, "runtime zero", text);
        return previous;
    }
    if (discharging && previous > 0 && seconds > previous * HID_RUNTIME_JUMP_FACTOR) {
        if (memory->jump_since < 0)
            memory->jump_since = now;
        if (now - memory->jump_since < HID_RUNTIME_JUMP_HOLD) {
            snprintf(text, sizeof text,
                     "runtime jumped from %d s to %.0f s while discharging: ignored", previous,
                     seconds);
            say_once(memory, lines, "runtime jump", text);
            return previous;
        }
    }
    memory->jump_since = -1;
    memory->last_runtime = seconds > 2147483647.0 ? 2147483647 : static_cast<int>(seconds);
    return memory->last_runtime;
}

static char flag(bool known, bool yes)
{
    return !known ? '?' : yes ? '1' : '0';
}

bool hid_map_reading(const HidMap &map, const HidReportStore &store, double now,
                     HidMapMemory *memory, std::vector<std::string> *lines,
                     MachineReading *out)
{
    HidMapMemory scratch;
    if (!memory)
        memory = &scratch;
    Picked p[HID_Q_COUNT];
    bool given[HID_Q_COUNT];
    bool any = false;
    for (int q = 0; q < HID_Q_COUNT; q++) {
        given[q] = pick(map, store, q, memory, lines, &p[q]);
        any = any || given[q];
    }
    if (!any)
        return false;
    if (given[HID_Q_CAPACITY_MODE] && p[HID_Q_CAPACITY_MODE].raw != 2) {
        char text[160];
        snprintf(text, sizeof text,
                 "the unit keeps its capacities in mode %lld, not in %%: charge and low-battery limit unknown",
                 static_cast<long long>(p[HID_Q_CAPACITY_MODE].raw));
        say_once(memory, lines, "capacity mode", text);
        given[HID_Q_CHARGE] = given[HID_Q_CHARGE_LOW] = false;
    }
    auto value = [&](int q, double otherwise) { return given[q] ? p[q].value : otherwise; };
    auto is_set = [&](int q) { return given[q] && p[q].raw != 0; };

    MachineReading r{};
    for (float &x : r.extra)
        x = NAN;
    r.input_voltage = static_cast<float>(value(HID_Q_INPUT_VOLTAGE, 0));
    r.output_voltage = static_cast<float>(value(HID_Q_OUTPUT_VOLTAGE, 0));
    r.load_percent = static_cast<float>(value(HID_Q_LOAD, 0));
    r.input_frequency = static_cast<float>(value(HID_Q_INPUT_FREQUENCY, 0));
    r.battery_voltage = static_cast<float>(value(HID_Q_BATTERY_VOLTAGE, 0));
    r.temperature = static_cast<float>(value(HID_Q_TEMPERATURE, 0));
    r.rated_voltage = static_cast<float>(value(HID_Q_RATED_VOLTAGE, 0));
    r.rated_frequency = static_cast<float>(value(HID_Q_RATED_FREQUENCY, 0));
    r.rated_battery_voltage = static_cast<float>(value(HID_Q_RATED_BATTERY_VOLTAGE, 0));
    if (given[HID_Q_POWER_NOMINAL] && r.rated_voltage > 0)
        r.rated_current = static_cast<float>(std::round(p[HID_Q_POWER_NOMINAL].value / r.rated_voltage));
    r.battery_charge = given[HID_Q_CHARGE] ? static_cast<int>(std::lround(p[HID_Q_CHARGE].value)) : -1;
    r.usb_vendor_id = map.usb_vendor_id;
    r.usb_product_id = map.usb_product_id;

    static const struct {
        int quantity, extra;
    } extras[] = {
        {HID_Q_OUTPUT_FREQUENCY, MACHINE_X_OUTPUT_FREQUENCY},
        {HID_Q_CHARGE_LOW, MACHINE_X_CHARGE_LOW},
        {HID_Q_DELAY_SHUTDOWN, MACHINE_X_DELAY_SHUTDOWN},
        {HID_Q_DELAY_START, MACHINE_X_DELAY_START},
        {HID_Q_TRANSFER_LOW, MACHINE_X_TRANSFER_LOW},
        {HID_Q_TRANSFER_HIGH, MACHINE_X_TRANSFER_HIGH},
        {HID_Q_POWER_NOMINAL, MACHINE_X_POWER_NOMINAL},
        {HID_Q_TEST, MACHINE_X_TEST_RESULT},
    };
    for (const auto &e : extras)
        if (given[e.quantity])
            r.extra[e.extra] = static_cast<float>(p[e.quantity].value);

    static const struct {
        int quantity;
        uint32_t flag;
    } unit_flags[] = {
        {HID_Q_OVERLOAD, MACHINE_FLAG_OVERLOAD},   {HID_Q_NEED_REPLACEMENT, MACHINE_FLAG_REPLACE_BATTERY},
        {HID_Q_BOOST, MACHINE_FLAG_BOOST},         {HID_Q_BUCK, MACHINE_FLAG_BUCK},
        {HID_Q_CHARGING, MACHINE_FLAG_CHARGING},   {HID_Q_DISCHARGING, MACHINE_FLAG_DISCHARGING},
    };
    for (const auto &u : unit_flags)
        if (is_set(u.quantity))
            r.unit_flags |= u.flag;

    for (char &c : r.status)
        c = '?';
    if (given[HID_Q_AC_PRESENT])
        r.status[STATUS_AC_FAILED] = flag(true, !is_set(HID_Q_AC_PRESENT));
    else
        r.status[STATUS_AC_FAILED] = flag(given[HID_Q_DISCHARGING], is_set(HID_Q_DISCHARGING));
    r.status[STATUS_BATTERY_LOW] =
        flag(given[HID_Q_BELOW_LIMIT] || given[HID_Q_SHUTDOWN_IMMINENT] || given[HID_Q_TIME_EXPIRED],
             is_set(HID_Q_BELOW_LIMIT) || is_set(HID_Q_SHUTDOWN_IMMINENT) || is_set(HID_Q_TIME_EXPIRED));
    r.status[STATUS_BYPASS] =
        flag(given[HID_Q_BOOST] || given[HID_Q_BUCK], is_set(HID_Q_BOOST) || is_set(HID_Q_BUCK));
    r.status[STATUS_FAILED] = flag(given[HID_Q_INTERNAL_FAILURE], is_set(HID_Q_INTERNAL_FAILURE));
    r.status[STATUS_TYPE] = '1';
    r.status[STATUS_TEST] = flag(given[HID_Q_TEST], given[HID_Q_TEST] && p[HID_Q_TEST].raw == 5);
    r.status[STATUS_SHUTDOWN] =
        flag(given[HID_Q_DELAY_SHUTDOWN] || given[HID_Q_SHUTDOWN_REQUESTED],
             (given[HID_Q_DELAY_SHUTDOWN] && p[HID_Q_DELAY_SHUTDOWN].raw >= 0) ||
                 is_set(HID_Q_SHUTDOWN_REQUESTED));
    r.status[STATUS_BEEPER] = flag(given[HID_Q_AUDIBLE], given[HID_Q_AUDIBLE] && p[HID_Q_AUDIBLE].raw == 2);

    if (given[HID_Q_RUNTIME]) {
        bool on_mains = r.status[STATUS_AC_FAILED] == '0';
        bool discharging = r.status[STATUS_AC_FAILED] == '1' || is_set(HID_Q_DISCHARGING);
        r.battery_runtime = plausible_runtime(p[HID_Q_RUNTIME], on_mains, discharging,
                                              r.battery_charge, now, memory, lines);
    }
    *out = r;
    return true;
}

void hid_map_string_indexes(const HidMap &map, const HidReportStore &store, int out[4])
{
    for (int s = 0; s < 4; s++) {
        out[s] = 0;
        if (!map.strings_valid[s])
            continue;
        const HidField &f = map.strings[s];
        const HidStoredReport *r = hid_store_get(store, f.report_id, HID_FEATURE);
        int64_t v;
        if (r && hid_field_value(f, r->bytes.data(), r->bytes.size(), &v) && v > 0 && v <= 255)
            out[s] = static_cast<int>(v);
    }
}

// The Feature field the unit keeps `quantity` in (the preferred path), or
// nullptr.
static const HidField *feature_field(const HidMap &map, int quantity)
{
    for (const HidCandidate &c : map.candidates[quantity])
        if (c.field.direction == HID_FEATURE)
            return &c.field;
    return nullptr;
}

// The raw value of `seconds` in a delay field (its exponent), held at the
// field's logical maximum with a line.
static int64_t delay_raw(const HidField &f, const char *what, long long seconds,
                         const std::string &shown, std::vector<std::string> *lines)
{
    int64_t raw = std::llround(static_cast<double>(seconds) / std::pow(10.0, f.unit_exponent));
    if (raw > f.logical_max) {
        char text[200];
        snprintf(text, sizeof text, "%s of %lld s is over the unit's maximum %lld; \"%s\" sent with the maximum",
                 what, seconds, static_cast<long long>(f.logical_max), shown.c_str());
        if (lines)
            lines->emplace_back(text);
        raw = f.logical_max;
    }
    return raw;
}

bool hid_map_command(const HidMap &map, const UpsCommand &command,
                     std::vector<HidWrite> *writes, std::vector<std::string> *lines)
{
    writes->clear();
    std::string shown = ups_command_format(command);
    if (shown.empty())
        return false;
    shown.pop_back(); // the carriage return
    // The usages the command needs, each a Feature field.
    int needs[2] = {-1, -1};
    switch (command.kind) {
    case UPS_COMMAND_TEST_QUICK:
    case UPS_COMMAND_TEST_DEEP:
    case UPS_COMMAND_TEST_CANCEL:
        needs[0] = HID_Q_TEST;
        break;
    case UPS_COMMAND_SHUTDOWN_CANCEL:
    case UPS_COMMAND_TURN_OFF:
        needs[0] = HID_Q_DELAY_SHUTDOWN;
        break;
    case UPS_COMMAND_TURN_OFF_RESTORE:
        needs[0] = HID_Q_DELAY_SHUTDOWN;
        needs[1] = HID_Q_DELAY_START;
        break;
    default:
        return false;
    }
    const HidField *fields[2] = {nullptr, nullptr};
    for (int i = 0; i < 2 && needs[i] >= 0; i++) {
        fields[i] = feature_field(map, needs[i]);
        if (!fields[i] && i == 1) {
            // Never refuse a turn-off for the restore's sake: the unit
            // then comes back on as it itself decides.
            char text[160];
            snprintf(text, sizeof text, "the unit has no %s usage; \"%s\" sent as a turn-off alone",
                     hid_map_quantities[needs[i]].usage_name, shown.c_str());
            if (lines)
                lines->emplace_back(text);
        } else if (!fields[i]) {
            char text[160];
            snprintf(text, sizeof text, "the unit has no %s usage; \"%s\" not sent",
                     hid_map_quantities[needs[i]].usage_name, shown.c_str());
            if (lines)
                lines->emplace_back(text);
            return false;
        }
    }
    auto refuse_range = [&](const HidField &f, int64_t v) {
        if (v >= f.logical_min && v <= f.logical_max)
            return false;
        char text[160];
        snprintf(text, sizeof text, "the unit's %s takes %lld..%lld, not %lld; \"%s\" not sent",
                 hid_map_quantities[needs[0]].usage_name, static_cast<long long>(f.logical_min),
                 static_cast<long long>(f.logical_max), static_cast<long long>(v), shown.c_str());
        if (lines)
            lines->emplace_back(text);
        return true;
    };
    switch (command.kind) {
    case UPS_COMMAND_TEST_QUICK:
    case UPS_COMMAND_TEST_DEEP:
    case UPS_COMMAND_TEST_CANCEL: {
        int64_t v = command.kind == UPS_COMMAND_TEST_QUICK ? 1 : command.kind == UPS_COMMAND_TEST_DEEP ? 2 : 3;
        if (refuse_range(*fields[0], v))
            return false;
        writes->push_back({fields[0]->report_id, *fields[0], v});
        return true;
    }
    case UPS_COMMAND_SHUTDOWN_CANCEL: {
        if (refuse_range(*fields[0], -1))
            return false;
        writes->push_back({fields[0]->report_id, *fields[0], -1});
        // The restore that would follow the cancelled turn-off goes with it,
        // where the unit has one that can say "none".
        const HidField *start = feature_field(map, HID_Q_DELAY_START);
        if (start && start->logical_min <= -1 && start->logical_max >= -1)
            writes->push_back({start->report_id, *start, -1});
        return true;
    }
    default: {
        long long off = ups_command_delay_seconds(command);
        int64_t off_raw = delay_raw(*fields[0], "the turn-off delay", off, shown, lines);
        writes->push_back({fields[0]->report_id, *fields[0], off_raw});
        if (command.kind == UPS_COMMAND_TURN_OFF_RESTORE && fields[1]) {
            // From the delay as sent, so the restore keeps its distance.
            long long off_sent = std::llround(off_raw * std::pow(10.0, fields[0]->unit_exponent));
            long long back = off_sent + ups_command_clamped(command).restore_minutes * 60LL;
            int64_t back_raw = delay_raw(*fields[1], "the startup delay", back, shown, lines);
            writes->push_back({fields[1]->report_id, *fields[1], back_raw});
        }
        return true;
    }
    }
}

bool hid_map_command(const HidMap &map, const std::string &command_bytes,
                     std::vector<HidWrite> *writes, std::vector<std::string> *lines)
{
    writes->clear();
    UpsCommand c;
    return ups_command_parse(command_bytes, &c) && hid_map_command(map, c, writes, lines);
}

bool hid_map_charge_low_write(const HidMap &map, int percent, HidWrite *write,
                              std::vector<std::string> *lines)
{
    const HidField *f = feature_field(map, HID_Q_CHARGE_LOW);
    char text[160];
    if (!f) {
        if (lines)
            lines->emplace_back("the unit has no RemainingCapacityLimit usage; the low-battery limit not sent");
        return false;
    }
    if (percent < f->logical_min || percent > f->logical_max) {
        snprintf(text, sizeof text,
                 "the unit's RemainingCapacityLimit takes %lld..%lld, not %d; the low-battery limit not sent",
                 static_cast<long long>(f->logical_min), static_cast<long long>(f->logical_max), percent);
        if (lines)
            lines->emplace_back(text);
        return false;
    }
    *write = {f->report_id, *f, percent};
    return true;
}

bool hid_map_apply(const HidWrite &write, std::vector<uint8_t> *bytes)
{
    if (write.report_id != 0 && (bytes->empty() || (*bytes)[0] != write.report_id))
        return false;
    return hid_field_set(write.field, bytes->data(), bytes->size(), write.value);
}
