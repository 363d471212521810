// What a USB HID Power Device's usages mean for a unit: one table of the
// usages a reading takes (pages 0x84 Power Device and 0x85 Battery System),
// each with the collections a unit may keep it under; the store of the
// reports the unit sent, and the MachineReading the latest of them give;
// the per-vendor corrections and the plausibility rules every unit gets;
// the Feature writes a UPS command becomes. No USB and no I/O: the link
// hands in the descriptor (parsed by hid_descriptor) and the reports'
// bytes, and sends the writes planned here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/hid_descriptor.h"
#include "protocol/machine.h"
#include "protocol/ups_command.h"

// The quantities of the table, in the order of hid_map_quantities.
enum HidQuantity {
    HID_Q_INPUT_VOLTAGE,      // V
    HID_Q_INPUT_FREQUENCY,    // Hz
    HID_Q_OUTPUT_VOLTAGE,     // V
    HID_Q_OUTPUT_FREQUENCY,   // Hz
    HID_Q_LOAD,               // % (PercentLoad)
    HID_Q_BATTERY_VOLTAGE,    // V
    HID_Q_CHARGE,             // % (RemainingCapacity)
    HID_Q_RUNTIME,            // s to empty (RunTimeToEmpty)
    HID_Q_TEMPERATURE,        // degrees C (converted from the field's unit)
    HID_Q_RATED_VOLTAGE,      // V (ConfigVoltage of Output or Input)
    HID_Q_RATED_FREQUENCY,    // Hz (ConfigFrequency)
    HID_Q_RATED_BATTERY_VOLTAGE, // V (ConfigVoltage of Battery or PowerSummary)
    HID_Q_POWER_NOMINAL,      // VA (ConfigApparentPower)
    HID_Q_CHARGE_LOW,         // % (RemainingCapacityLimit)
    HID_Q_TRANSFER_LOW,       // V (LowVoltageTransfer)
    HID_Q_TRANSFER_HIGH,      // V (HighVoltageTransfer)
    HID_Q_DELAY_SHUTDOWN,     // s, -1 none counting down (DelayBeforeShutdown)
    HID_Q_DELAY_START,        // s, -1 none counting down (DelayBeforeStartup)
    HID_Q_TEST,               // Test: 1 passed .. 5 in progress, 6 none run
    HID_Q_AUDIBLE,            // AudibleAlarmControl: 1 disabled, 2 enabled, 3 muted
    HID_Q_CAPACITY_MODE,      // CapacityMode: 2 the capacities are in %, 0 mAh, 1 mWh
    HID_Q_AC_PRESENT,         // the flags: 0 or 1
    HID_Q_DISCHARGING,
    HID_Q_CHARGING,
    HID_Q_BELOW_LIMIT,        // BelowRemainingCapacityLimit
    HID_Q_TIME_EXPIRED,       // RemainingTimeLimitExpired
    HID_Q_SHUTDOWN_IMMINENT,
    HID_Q_SHUTDOWN_REQUESTED,
    HID_Q_OVERLOAD,
    HID_Q_BOOST,
    HID_Q_BUCK,
    HID_Q_NEED_REPLACEMENT,
    HID_Q_INTERNAL_FAILURE,
    HID_Q_COUNT
};

constexpr int HID_MAP_MAX_PATHS = 4;

constexpr uint32_t HID_MAP_ANY = 0xFFFFFFFFu; // a path: under any collection, or none

// One row of the table: the field's usage and the collections it may sit
// in, in order of preference; a field matches a path when its own usage is
// `usage` and one of its enclosing collections has the path's usage
// (HID_MAP_ANY: wherever it sits). Makers nest collections differently, so
// the whole path is never compared. A field under ChangedStatus (0x84:0x03)
// is never taken: its flags say what changed, not what is. Only Variable
// fields are taken.
struct HidQuantityRow {
    const char *name;       // for lines: "input voltage"
    const char *usage_name; // the usage's name, for refusals: "Test"
    uint32_t usage;         // full 32-bit usage
    uint32_t paths[HID_MAP_MAX_PATHS]; // enclosing collection usages; 0 ends the list
};

// The table, indexed by HidQuantity.
extern const HidQuantityRow hid_map_quantities[HID_Q_COUNT];

// One place a unit keeps a quantity: a field of one report.
struct HidCandidate {
    HidField field;
    int path_rank = 0;   // index into the row's paths: lower is preferred
};

// The corrections (one table in hid_map.cpp, each row with the firmware
// fault it mends): a factor (a power of ten) on some quantities, applied
// only when the value mended lies within HID_CORRECTION_NEAR of the unit's
// own rating `reference`: a real reading lies there unmended, so it is
// never touched, and neither is a unit without the rating. The first row
// that fits mends a value.
struct HidCorrection {
    uint16_t vendor;     // 0: every unit
    uint16_t product;    // 0: every product of the vendor
    uint64_t quantities; // bits 1 << HidQuantity
    int reference;       // the HidQuantity of the rating the value is held against
    double factor;       // the value read is multiplied by it
    const char *why;     // said once when the correction is first used
};
constexpr double HID_CORRECTION_NEAR = 0.35; // of the rating
extern const HidCorrection hid_map_corrections[];
extern const size_t hid_map_correction_count;

// A unit's map: every candidate of every quantity, the corrections that
// apply to its USB ids, and the string index fields of PowerSummary.
struct HidMap {
    std::vector<HidCandidate> candidates[HID_Q_COUNT];
    std::vector<const HidCorrection *> corrections;
    uint16_t usb_vendor_id = 0, usb_product_id = 0;
    // iManufacturer 0x84:0xFD, iProduct 0xFE, iSerialNumber 0xFF,
    // iDeviceChemistry 0x85:0x89; valid false when not declared.
    HidField strings[4];
    bool strings_valid[4] = {};
};
enum { HID_STRING_MANUFACTURER, HID_STRING_PRODUCT, HID_STRING_SERIAL, HID_STRING_CHEMISTRY };

// True when the descriptor has an application collection (type 0x01)
// whose usage is on page 0x84 or 0x85.
bool hid_map_is_power_device(const HidDescriptor &d);

// The map of a unit with descriptor `d` and USB ids `vendor`, `product`.
// Every Input and Feature field that matches a row becomes a candidate.
void hid_map_build(const HidDescriptor &d, uint16_t vendor, uint16_t product, HidMap *out);

// The Feature report ids the candidates lie in, ascending, each once: one
// pass of GET_REPORTs over them brings every quantity the unit keeps only
// in Feature reports. The string indexes' reports are not among them (see
// hid_map_string_ids).
std::vector<uint8_t> hid_map_feature_ids(const HidMap &map);

// The Feature report ids holding the string indexes, ascending, each once.
std::vector<uint8_t> hid_map_string_ids(const HidMap &map);

// The latest bytes of each report the unit sent (GET_REPORT answers and
// interrupt Input reports alike), with the order they came in.
struct HidStoredReport {
    uint8_t id = 0;
    HidDirection direction = HID_INPUT;
    std::vector<uint8_t> bytes; // as received: the id byte first when the unit uses ids
    uint64_t sequence = 0;      // 1 for the first report stored, then one more each time
};
struct HidReportStore {
    std::vector<HidStoredReport> reports; // one per (id, direction)
    uint64_t next_sequence = 1;
};

// Stores `len` bytes of report `id` in `direction`, replacing that
// report's earlier bytes, with the next sequence number. A report the
// unit stalled or never answered is simply never stored.
void hid_store_put(HidReportStore *store, uint8_t id, HidDirection direction,
                   const uint8_t *bytes, size_t len);
// The stored report, or nullptr.
const HidStoredReport *hid_store_get(const HidReportStore &store, uint8_t id,
                                     HidDirection direction);

// What a unit's readings remembered between polls (the caller keeps one
// per unit, and clears it when the unit is found anew): the faults already
// said, so each is said once, and the last runtime taken.
struct HidMapMemory {
    std::vector<std::string> said; // keys of the lines already given
    int last_runtime = -1;         // s; -1 none taken yet
    double jump_since = -1;        // when a jump of the runtime was first ignored; -1 none
};

// A runtime jump up by more than this factor while discharging is ignored,
// until it has held for HID_RUNTIME_JUMP_HOLD seconds.
constexpr double HID_RUNTIME_JUMP_FACTOR = 3.0;
constexpr double HID_RUNTIME_JUMP_HOLD = 60.0;
// A runtime of 0 on mains is impossible while the charge is at least this.
constexpr int HID_RUNTIME_ZERO_CHARGE = 30;

// One quantity's value as the reading takes it (the runtime before the
// plausibility rules of hid_map_reading): among the candidates whose
// report is stored, the one of the most recently received report (equal:
// the preferred path), scaled by its unit and exponent (volts and
// volt-amperes from their base of 10^-7, kelvin and degrees Fahrenheit to
// degrees C, a temperature without a unit above 150 read as kelvin; from
// HID_Q_TEST on, enumerations and flags, as sent) and by the vendor
// corrections. A value outside the field's logical range is never
// clamped into it: that candidate is taken as not given (one line, once)
// and the next one is tried. False when no candidate gives a value.
bool hid_map_value(const HidMap &map, const HidReportStore &store, int quantity,
                   HidMapMemory *memory, std::vector<std::string> *lines, double *out);

// The reading the stored reports give (readings 0, charge and runtime -1,
// status characters '?' where the unit gives nothing; b3 is '1'):
//   b7 mains failed = not ACPresent (Discharging when ACPresent is not declared)
//   b6 battery low = BelowRemainingCapacityLimit, ShutdownImminent or RemainingTimeLimitExpired
//   b5 boost or buck; b4 InternalFailure; b2 Test reads 5 (in progress)
//   b1 DelayBeforeShutdown >= 0 (a turn-off counting down) or ShutdownRequested
//   b0 AudibleAlarmControl == 2
// A CapacityMode other than 2 (%) leaves the charge and the low-battery
// limit unknown, with one line: they are in mAh or mWh then.
// unit_flags from Overload, NeedReplacement, Boost, Buck, Charging,
// Discharging; the extras (output frequency, low-battery limit, delays,
// transfer voltages, rated VA, test result) where given; the rated current
// from the rated VA at the rated voltage. The runtime passes the
// plausibility rules: the field's maximum (or all its bits set), 0 on mains
// with the charge at HID_RUNTIME_ZERO_CHARGE % or more, and a jump up by
// more than HID_RUNTIME_JUMP_FACTOR while discharging (until it has held
// for HID_RUNTIME_JUMP_HOLD s) are ignored with one line: the previous
// runtime stays (-1 when there is none), never 0. `now` is the caller's
// monotonic clock in seconds. Lines are appended to `lines`, each fault
// once per memory. False when the store gives not one quantity.
bool hid_map_reading(const HidMap &map, const HidReportStore &store, double now,
                     HidMapMemory *memory, std::vector<std::string> *lines,
                     MachineReading *out);

// The string indexes PowerSummary declares, read from the stored Feature
// reports: [HID_STRING_*], 0 where not declared, not stored or 0. The
// texts themselves (ups.mfr and kin) come from the device's strings, which
// the link reads.
void hid_map_string_indexes(const HidMap &map, const HidReportStore &store, int out[4]);

// One write of a command: `value` into a Feature field.
struct HidWrite {
    uint8_t report_id = 0;
    HidField field;  // a Feature field of report_id
    int64_t value = 0;
};

// The writes a UPS command becomes:
//   "T" Test = 1, "TL" Test = 2, "CT" Test = 3;
//   "S<mm>" / "S.<d>" DelayBeforeShutdown = the delay in seconds;
//   "S<mm>R<rrrr>" also DelayBeforeStartup = that delay + rrrr * 60 s;
//   "C" DelayBeforeShutdown = -1, and DelayBeforeStartup = -1 where the
//   unit has one that takes -1 (the restore goes with the turn-off).
// A delay over the field's logical maximum is held at the maximum with a
// line (the turn-off comes earlier, never later; the restore is never the
// reason a turn-off is refused). A unit without a usage the command needs
// (a Feature field) refuses it with one line naming the usage, e.g.
// `the unit has no Test usage; "T" not sent`, and gives no writes; one
// without DelayBeforeStartup gets a turn-off with restore as the turn-off
// alone, with one line (it comes back on as it itself decides). Returns
// true with the writes, false when refused or when the bytes are no command
// (ups_command_parse).
bool hid_map_command(const HidMap &map, const UpsCommand &command,
                     std::vector<HidWrite> *writes, std::vector<std::string> *lines);
bool hid_map_command(const HidMap &map, const std::string &command_bytes,
                     std::vector<HidWrite> *writes, std::vector<std::string> *lines);

// The low-battery limit write: RemainingCapacityLimit = `percent`. False
// with one line when the unit has no such Feature field or the percent
// lies outside its logical range.
bool hid_map_charge_low_write(const HidMap &map, int percent, HidWrite *write,
                              std::vector<std::string> *lines);

// Puts `write` into `bytes`, a Feature report as last read from the unit
// (id byte first when it has one), for a SET_REPORT; the other bits stay,
// so several writes into one report combine. False, nothing changed, when
// the bytes are another report's (first byte not the id) or too short.
bool hid_map_apply(const HidWrite &write, std::vector<uint8_t> *bytes);
