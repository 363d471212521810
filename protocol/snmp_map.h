// A UPS network card's objects of the standard UPS-MIB (RFC 1628, below
// 1.3.6.1.2.1.33) and what they mean for a unit: the objects one poll
// reads, written once in one table with their numeric identifiers, the
// reading a set of answers gives, and the SETs a UPS command becomes. No
// SNMP here: the link (link/snmp) hands back values already taken out of
// their varbinds, and sends what the mapping plans.
#pragma once

#include <string>
#include <vector>

#include "link/snmp_types.h"
#include "protocol/machine.h"
#include "protocol/ups_command.h"
#include "base/address.h"

// The objects one poll asks for, in the order of snmp_objects.
enum {
    SNMP_IDENT_MANUFACTURER,
    SNMP_IDENT_MODEL,
    SNMP_IDENT_SOFTWARE,
    SNMP_BATTERY_STATUS,
    SNMP_CHARGE_REMAINING,
    SNMP_BATTERY_VOLTAGE,
    SNMP_BATTERY_TEMPERATURE,
    SNMP_INPUT_FREQUENCY,
    SNMP_INPUT_VOLTAGE,
    SNMP_OUTPUT_SOURCE,
    SNMP_OUTPUT_VOLTAGE,
    SNMP_OUTPUT_LOAD,
    SNMP_ALARMS_PRESENT,
    SNMP_TEST_SUMMARY,
    SNMP_CONFIG_INPUT_VOLTAGE,
    SNMP_CONFIG_INPUT_FREQUENCY,
    SNMP_CONFIG_OUTPUT_VOLTAGE,
    SNMP_CONFIG_OUTPUT_VA,
    SNMP_CONFIG_OUTPUT_POWER,
    SNMP_CONFIG_AUDIBLE,
    SNMP_OBJECTS
};

struct SnmpObject {
    const char *name; // the MIB's name, for diagnostics
    const char *oid;  // numeric, with the instance ("...1.0", "...1.1" for line 1)
    int kind;         // SNMP_NUMBER, SNMP_TEXT or SNMP_IDENTIFIER
};

// The table of the objects a poll reads, indexed by the SNMP_ values above.
extern const SnmpObject snmp_objects[SNMP_OBJECTS];

// The column of the alarm table whose values name the alarms present
// (upsAlarmDescr); walked when upsAlarmsPresent is above 0.
extern const char *const SNMP_ALARM_COLUMN;

// upsTestSpinLock: a test is started by setting it to the value just read
// together with upsTestId.
extern const char *const SNMP_TEST_SPIN_LOCK;

// Everything one poll brought back.
struct SnmpAnswers {
    SnmpValue values[SNMP_OBJECTS];   // by the SNMP_ values; a wrong kind counts as missing
    std::vector<std::string> alarms;  // the alarm identifiers present (dotted, as upsAlarmDescr gives them)
    bool alarms_known = false;        // the alarm table was read (or upsAlarmsPresent was 0)
};

// What a poll asks the link for: a GET of every object of snmp_objects (in
// that order), then the walk of SNMP_ALARM_COLUMN when upsAlarmsPresent is
// above 0.
const SnmpPollPlan &snmp_map_poll_plan();

// The answers an answered poll of snmp_map_poll_plan() gives: a value of
// another kind than its object's counts as missing; the alarms are the
// identifiers of the walked column, known when the column was walked or
// upsAlarmsPresent was 0.
SnmpAnswers snmp_map_answers(const SnmpPollResult &result);

// The unit's reading from the answers. `previous_type` is the unit's
// status character b3 so far: the card shows an off-line (line-interactive)
// unit only while it boosts or reduces, and the type must not flip back in
// between. Returns false when not one object came (then the reading is no
// reading at all).
bool snmp_map_reading(const SnmpAnswers &answers, char previous_type, MachineReading *out);

// The SETs a UPS command (ups_command) becomes: the tests set upsTestId (a
// test also needs the spin lock, see SNMP_TEST_SPIN_LOCK); a turn-off sets
// upsShutdownAfterDelay to its delay in seconds (with upsAutoRestart off);
// a turn-off with restore also upsStartupAfterDelay, the restore minutes
// after the turn-off (upsAutoRestart on); the shutdown cancel sets
// upsShutdownAfterDelay and upsStartupAfterDelay to -1. Returns false for
// an unknown kind (nothing to set).
bool snmp_map_command(const UpsCommand &command, std::vector<SnmpSet> *sets);

// The same for the bytes of a queued command, parsed by ups_command_parse;
// false for bytes that are no command of the language.
bool snmp_map_command(const std::string &command, std::vector<SnmpSet> *sets);

// True when the SETs start a test (so the spin lock goes with them).
bool snmp_map_is_test(const std::vector<SnmpSet> &sets);

// What the link sends for `sets`: the SETs, with SNMP_TEST_SPIN_LOCK as the
// lock when they start a test.
SnmpSendPlan snmp_map_send_plan(const std::vector<SnmpSet> &sets);

// What snmp_map_address makes of a card's address.
enum {
    SNMP_ADDRESS_OK = IPV4_ENDPOINT_OK,
    SNMP_ADDRESS_BAD_HOST = IPV4_ENDPOINT_BAD_HOST,
    SNMP_ADDRESS_BAD_PORT = IPV4_ENDPOINT_BAD_PORT,
};

// A card's address "A.B.C.D" or "A.B.C.D:PORT" (PORT 1..65535, digits only,
// no leading zero), as the daemon polls it and the console takes it: the
// endpoint of ipv4_parse_endpoint. Sets *host and *port (`default_port`
// without one) on SNMP_ADDRESS_OK.
int snmp_map_address(const std::string &device, int default_port, std::string *host, int *port);
