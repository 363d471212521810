#include "protocol/snmp_map.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Every identifier below 1.3.6.1.2.1.33.1 (upsObjects), as RFC 1628 gives
// it; scalars with their instance ".0", table columns with the row of
// line 1 ".1".
const SnmpObject snmp_objects[SNMP_OBJECTS] = {
    {"upsIdentManufacturer", "1.3.6.1.2.1.33.1.1.1.0", SNMP_TEXT},
    {"upsIdentModel", "1.3.6.1.2.1.33.1.1.2.0", SNMP_TEXT},
    {"upsIdentUPSSoftwareVersion", "1.3.6.1.2.1.33.1.1.3.0", SNMP_TEXT},
    {"upsBatteryStatus", "1.3.6.1.2.1.33.1.2.1.0", SNMP_NUMBER},
    {"upsEstimatedChargeRemaining", "1.3.6.1.2.1.33.1.2.4.0", SNMP_NUMBER},   // percent
    {"upsBatteryVoltage", "1.3.6.1.2.1.33.1.2.5.0", SNMP_NUMBER},             // 0.1 V DC
    {"upsBatteryTemperature", "1.3.6.1.2.1.33.1.2.7.0", SNMP_NUMBER},         // degrees C
    {"upsInputFrequency", "1.3.6.1.2.1.33.1.3.3.1.2.1", SNMP_NUMBER},         // 0.1 Hz
    {"upsInputVoltage", "1.3.6.1.2.1.33.1.3.3.1.3.1", SNMP_NUMBER},           // RMS V
    {"upsOutputSource", "1.3.6.1.2.1.33.1.4.1.0", SNMP_NUMBER},
    {"upsOutputVoltage", "1.3.6.1.2.1.33.1.4.4.1.2.1", SNMP_NUMBER},          // RMS V
    {"upsOutputPercentLoad", "1.3.6.1.2.1.33.1.4.4.1.5.1", SNMP_NUMBER},      // percent
    {"upsAlarmsPresent", "1.3.6.1.2.1.33.1.6.1.0", SNMP_NUMBER},
    {"upsTestResultsSummary", "1.3.6.1.2.1.33.1.7.3.0", SNMP_NUMBER},
    {"upsConfigInputVoltage", "1.3.6.1.2.1.33.1.9.1.0", SNMP_NUMBER},         // RMS V
    {"upsConfigInputFreq", "1.3.6.1.2.1.33.1.9.2.0", SNMP_NUMBER},            // 0.1 Hz
    {"upsConfigOutputVoltage", "1.3.6.1.2.1.33.1.9.3.0", SNMP_NUMBER},        // RMS V
    {"upsConfigOutputVA", "1.3.6.1.2.1.33.1.9.5.0", SNMP_NUMBER},
    {"upsConfigOutputPower", "1.3.6.1.2.1.33.1.9.6.0", SNMP_NUMBER},          // W
    {"upsConfigAudibleStatus", "1.3.6.1.2.1.33.1.9.8.0", SNMP_NUMBER},
};

const char *const SNMP_ALARM_COLUMN = "1.3.6.1.2.1.33.1.6.2.1.2";
const char *const SNMP_TEST_SPIN_LOCK = "1.3.6.1.2.1.33.1.7.2.0";

static const char *const TEST_ID = "1.3.6.1.2.1.33.1.7.1.0";
static const char *const SHUTDOWN_AFTER_DELAY = "1.3.6.1.2.1.33.1.8.2.0";
static const char *const STARTUP_AFTER_DELAY = "1.3.6.1.2.1.33.1.8.3.0";
static const char *const AUTO_RESTART = "1.3.6.1.2.1.33.1.8.5.0";

const SnmpPollPlan &snmp_map_poll_plan()
{
    static const SnmpPollPlan plan = [] {
        SnmpPollPlan p;
        for (const SnmpObject &o : snmp_objects)
            p.objects.push_back(o.oid);
        p.walk_if = SNMP_ALARMS_PRESENT;
        p.column = SNMP_ALARM_COLUMN;
        return p;
    }();
    return plan;
}

SnmpAnswers snmp_map_answers(const SnmpPollResult &result)
{
    SnmpAnswers a;
    for (int i = 0; i < SNMP_OBJECTS && i < static_cast<int>(result.values.size()); i++)
        if (result.values[i].kind == snmp_objects[i].kind)
            a.values[i] = result.values[i];
    for (const SnmpValue &v : result.column)
        if (v.kind == SNMP_IDENTIFIER)
            a.alarms.push_back(v.text);
    const SnmpValue &present = a.values[SNMP_ALARMS_PRESENT];
    a.alarms_known = result.walked || (present.kind == SNMP_NUMBER && present.number == 0);
    return a;
}

// upsWellKnownTests.
static const char *const TEST_ABORT = "1.3.6.1.2.1.33.1.7.7.2";
static const char *const TEST_QUICK = "1.3.6.1.2.1.33.1.7.7.4";
static const char *const TEST_DEEP = "1.3.6.1.2.1.33.1.7.7.5";

// upsWellKnownAlarms below 1.3.6.1.2.1.33.1.6.3.
enum {
    ALARM_ON_BATTERY = 2,
    ALARM_LOW_BATTERY = 3,
    ALARM_DEPLETED_BATTERY = 4,
    ALARM_OUTPUT_OVERLOAD = 8,
    ALARM_ON_BYPASS = 9,
    ALARM_UPS_OUTPUT_OFF = 14,
    ALARM_GENERAL_FAULT = 18,
    ALARM_SHUTDOWN_PENDING = 22,
    ALARM_TEST_IN_PROGRESS = 24,
};

// upsOutputSource, upsBatteryStatus, upsTestResultsSummary and
// upsConfigAudibleStatus values.
enum { SOURCE_NORMAL = 3, SOURCE_BYPASS = 4, SOURCE_BATTERY = 5, SOURCE_BOOSTER = 6, SOURCE_REDUCER = 7 };
enum { BATTERY_NORMAL = 2, BATTERY_LOW = 3, BATTERY_DEPLETED = 4 };
enum { TEST_IN_PROGRESS = 5 };
enum { AUDIBLE_DISABLED = 1, AUDIBLE_ENABLED = 2, AUDIBLE_MUTED = 3 };

// The number of an object when it came as one and lies in lo..hi (a value
// out of range is no reading either); `otherwise` when not.
static long long number_of(const SnmpAnswers &a, int object, long long lo, long long hi,
                           long long otherwise = -1)
{
    const SnmpValue &v = a.values[object];
    if (v.kind != SNMP_NUMBER || v.number < lo || v.number > hi)
        return otherwise;
    return v.number;
}

static bool alarm_present(const SnmpAnswers &a, int which)
{
    std::string id = "1.3.6.1.2.1.33.1.6.3." + std::to_string(which);
    for (const std::string &alarm : a.alarms)
        if (alarm == id)
            return true;
    return false;
}

// '1' or '0' as `yes` says when it is known, else '?' (the position stays).
static char flag(bool known, bool yes)
{
    return !known ? '?' : yes ? '1' : '0';
}

// A text object cut to `size` - 1 characters, printable ASCII only, blanks
// around it removed.
static void text_of(const SnmpAnswers &a, int object, char *out, int size)
{
    out[0] = '\0';
    const SnmpValue &v = a.values[object];
    if (v.kind != SNMP_TEXT)
        return;
    std::string clean;
    for (char c : v.text)
        clean += (c >= 0x20 && c < 0x7f) ? c : ' ';
    size_t first = clean.find_first_not_of(' ');
    if (first == std::string::npos)
        return;
    size_t last = clean.find_last_not_of(' ');
    snprintf(out, size, "%s", clean.substr(first, last + 1 - first).c_str());
}

bool snmp_map_reading(const SnmpAnswers &a, char previous_type, MachineReading *out)
{
    bool any = false;
    for (const SnmpValue &v : a.values)
        any = any || v.kind >= 0;
    if (!any)
        return false;
    MachineReading r{};
    r.input_voltage = number_of(a, SNMP_INPUT_VOLTAGE, 0, 999, 0);
    r.output_voltage = number_of(a, SNMP_OUTPUT_VOLTAGE, 0, 999, 0);
    r.load_percent = number_of(a, SNMP_OUTPUT_LOAD, 0, 999, 0);
    r.input_frequency = number_of(a, SNMP_INPUT_FREQUENCY, 0, 9999, 0) / 10.0f;
    r.battery_voltage = number_of(a, SNMP_BATTERY_VOLTAGE, 0, 99999, 0) / 10.0f;
    r.temperature = number_of(a, SNMP_BATTERY_TEMPERATURE, -99, 999, 0);
    r.input_fault_voltage = 0; // the MIB has no such reading
    r.battery_charge = static_cast<int>(number_of(a, SNMP_CHARGE_REMAINING, 0, 100));

    r.rated_voltage = number_of(a, SNMP_CONFIG_INPUT_VOLTAGE, 1, 999, 0);
    r.rated_frequency = number_of(a, SNMP_CONFIG_INPUT_FREQUENCY, 1, 9999, 0) / 10.0f;
    // The rated current from the rated output (VA, else W) at the output's
    // rated voltage (else the input's).
    long long volts = number_of(a, SNMP_CONFIG_OUTPUT_VOLTAGE, 1, 999,
                                number_of(a, SNMP_CONFIG_INPUT_VOLTAGE, 1, 999));
    long long va = number_of(a, SNMP_CONFIG_OUTPUT_VA, 1, 9999999,
                             number_of(a, SNMP_CONFIG_OUTPUT_POWER, 1, 9999999));
    r.rated_current = volts > 0 && va > 0 ? std::round(static_cast<double>(va) / volts) : 0;
    r.rated_battery_voltage = 0; // not in the MIB: the charge comes from the card instead

    text_of(a, SNMP_IDENT_MANUFACTURER, r.company, sizeof r.company);
    text_of(a, SNMP_IDENT_MODEL, r.model, sizeof r.model);
    text_of(a, SNMP_IDENT_SOFTWARE, r.version, sizeof r.version);

    long long source = number_of(a, SNMP_OUTPUT_SOURCE, 1, 7);
    long long battery = number_of(a, SNMP_BATTERY_STATUS, 1, 4);
    long long test = number_of(a, SNMP_TEST_SUMMARY, 1, 6);
    long long audible = number_of(a, SNMP_CONFIG_AUDIBLE, 1, 3);
    bool alarms = a.alarms_known;

    // Mains: the output source says it; without it, the on-battery alarm.
    if (source >= 0)
        r.status[STATUS_AC_FAILED] = flag(true, source == SOURCE_BATTERY);
    else
        r.status[STATUS_AC_FAILED] = flag(alarms, alarm_present(a, ALARM_ON_BATTERY));
    if (battery >= 0 && battery != 1) // 1 is "unknown"
        r.status[STATUS_BATTERY_LOW] =
            flag(true, battery == BATTERY_LOW || battery == BATTERY_DEPLETED);
    else
        r.status[STATUS_BATTERY_LOW] =
            flag(alarms, alarm_present(a, ALARM_LOW_BATTERY) ||
                             alarm_present(a, ALARM_DEPLETED_BATTERY));
    // A card shows a line-interactive (off-line type) unit only while it
    // boosts or reduces; bypass exists on on-line units only. Otherwise the
    // type stays what it was.
    char type = previous_type == '1' ? '1' : '0';
    if (source == SOURCE_BOOSTER || source == SOURCE_REDUCER)
        type = '1';
    else if (source == SOURCE_BYPASS)
        type = '0';
    r.status[STATUS_TYPE] = type;
    if (type == '1')
        r.status[STATUS_BYPASS] =
            flag(source >= 0, source == SOURCE_BOOSTER || source == SOURCE_REDUCER);
    else if (source >= 0)
        r.status[STATUS_BYPASS] = flag(true, source == SOURCE_BYPASS);
    else
        r.status[STATUS_BYPASS] = flag(alarms, alarm_present(a, ALARM_ON_BYPASS));
    r.status[STATUS_FAILED] = flag(alarms, alarm_present(a, ALARM_GENERAL_FAULT) ||
                                               alarm_present(a, ALARM_OUTPUT_OVERLOAD));
    bool testing = alarm_present(a, ALARM_TEST_IN_PROGRESS) || test == TEST_IN_PROGRESS;
    r.status[STATUS_TEST] = flag(alarms || test >= 0, testing);
    r.status[STATUS_SHUTDOWN] = flag(alarms, alarm_present(a, ALARM_SHUTDOWN_PENDING) ||
                                                 alarm_present(a, ALARM_UPS_OUTPUT_OFF));
    r.status[STATUS_BEEPER] = flag(audible >= 0, audible == AUDIBLE_ENABLED);
    *out = r;
    return true;
}

bool snmp_map_command(const UpsCommand &command, std::vector<SnmpSet> *sets)
{
    sets->clear();
    switch (command.kind) {
    case UPS_COMMAND_TEST_QUICK:
        sets->push_back({TEST_ID, SNMP_IDENTIFIER, 0, TEST_QUICK});
        return true;
    case UPS_COMMAND_TEST_DEEP:
        sets->push_back({TEST_ID, SNMP_IDENTIFIER, 0, TEST_DEEP});
        return true;
    case UPS_COMMAND_TEST_CANCEL:
        sets->push_back({TEST_ID, SNMP_IDENTIFIER, 0, TEST_ABORT});
        return true;
    case UPS_COMMAND_SHUTDOWN_CANCEL:
        sets->push_back({SHUTDOWN_AFTER_DELAY, SNMP_NUMBER, -1, ""});
        sets->push_back({STARTUP_AFTER_DELAY, SNMP_NUMBER, -1, ""});
        return true;
    case UPS_COMMAND_TURN_OFF: {
        long long off = ups_command_delay_seconds(command);
        sets->push_back({AUTO_RESTART, SNMP_NUMBER, 2, ""}); // off: the load stays off
        sets->push_back({SHUTDOWN_AFTER_DELAY, SNMP_NUMBER, off, ""});
        return true;
    }
    case UPS_COMMAND_TURN_OFF_RESTORE: {
        long long off = ups_command_delay_seconds(command);
        long long back = ups_command_clamped(command).restore_minutes * 60LL;
        sets->push_back({AUTO_RESTART, SNMP_NUMBER, 1, ""});
        sets->push_back({SHUTDOWN_AFTER_DELAY, SNMP_NUMBER, off, ""});
        sets->push_back({STARTUP_AFTER_DELAY, SNMP_NUMBER, off + back, ""});
        return true;
    }
    }
    return false;
}

bool snmp_map_command(const std::string &command, std::vector<SnmpSet> *sets)
{
    sets->clear();
    UpsCommand c;
    return ups_command_parse(command, &c) && snmp_map_command(c, sets);
}

bool snmp_map_is_test(const std::vector<SnmpSet> &sets)
{
    return sets.size() == 1 && sets[0].oid == TEST_ID;
}

int snmp_map_address(const std::string &device, int default_port, std::string *host, int *port)
{
    return ipv4_parse_endpoint(device, default_port, host, port);
}

SnmpSendPlan snmp_map_send_plan(const std::vector<SnmpSet> &sets)
{
    SnmpSendPlan plan;
    plan.sets = sets;
    if (snmp_map_is_test(sets))
        plan.lock = SNMP_TEST_SPIN_LOCK; // so two managers never start tests over each other
    return plan;
}
