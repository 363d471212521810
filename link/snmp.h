// The link to a UPS network card: SNMP v2c or v1 over UDP with Net-SNMP's
// library, numeric object identifiers only and no MIB files loaded (the
// daemon stays small). One request at a time, each with a 2 s time-out and
// one retry. The objects and what they mean are protocol/snmp_map's.
#pragma once

#include <string>
#include <vector>

#include "protocol/snmp_map.h"

struct variable_list; // Net-SNMP's varbind

constexpr int SNMP_LINK_PORT = 161;
constexpr long SNMP_LINK_TIMEOUT_US = 2000000;
constexpr int SNMP_LINK_RETRIES = 1;

struct SnmpLink {
    std::string host;      // IPv4 address of the card
    int port = SNMP_LINK_PORT;
    std::string community; // read and write community; "public" when none was given
    void *session = nullptr; // Net-SNMP single session; nullptr: not open
    long version = -1;     // the SNMP version the card answered (Net-SNMP's constant); -1 not yet
    bool trying_v1 = false; // the last request went out as v1 (v2c got no answer)
};

// Takes "A.B.C.D" or "A.B.C.D:PORT" and the community (empty: "public").
// Returns false (and says why in *why) for a device that is no IPv4
// address and port; the link is then not set.
bool snmp_link_set(SnmpLink *link, const std::string &device, const std::string &community,
                   std::string *why);

// Closes the session (the next request opens it again); the settings stay.
void snmp_link_close(SnmpLink *link);

// One GET of every object of snmp_objects, then, when upsAlarmsPresent is
// above 0, a walk of the alarm column. A card that answers v1 only is found
// by trying v1 when v2c gets no answer. Returns false when the card did not
// answer (time-out, a refused community, an error reply); a missing object
// is not a failure (its value is missing).
bool snmp_link_poll(SnmpLink *link, SnmpAnswers *answers);

// Sends `sets` in one SET request; a test (snmp_map_is_test) first reads
// the test spin lock and sets it too, as the MIB asks. Returns false after
// one line on standard output saying what the card refused or that it did
// not answer.
bool snmp_link_send(SnmpLink *link, const std::vector<SnmpSet> &sets);

// A varbind's value as the mapping takes it: numbers of the integer types
// (Counter32 and Gauge32 never negative), octet strings as text, object
// identifiers dotted; anything else (no such object or instance, end of
// view, other types) missing.
SnmpValue snmp_link_value(const variable_list *var);
