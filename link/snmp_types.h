// What the link to a UPS network card carries, as plain values: the values
// a card answers, the SETs it is sent, what a poll asks for and brings
// back. No I/O and no Net-SNMP here, so the mapping (protocol/snmp_map)
// may include it without the library.
#pragma once

#include <string>
#include <vector>

// What kind of value an object holds.
enum { SNMP_NUMBER = 0, SNMP_TEXT = 1, SNMP_IDENTIFIER = 2 };

// One value as the card answered it.
struct SnmpValue {
    int kind = -1;           // SNMP_NUMBER, SNMP_TEXT, SNMP_IDENTIFIER; -1 missing
                             // (no such object or instance, an error, or a type of no use)
    long long number = 0;    // SNMP_NUMBER: INTEGER, Gauge32, Counter32 (never negative), TimeTicks
    std::string text;        // SNMP_TEXT: the octets; SNMP_IDENTIFIER: dotted numbers without a leading dot
};

// One SET.
struct SnmpSet {
    std::string oid;   // numeric, dotted, with the instance
    int kind;          // SNMP_NUMBER (sent as INTEGER) or SNMP_IDENTIFIER
    long long number;  // SNMP_NUMBER: the INTEGER to set
    std::string text;  // SNMP_IDENTIFIER: the identifier to set, dotted
};

// What one SET request sends.
struct SnmpSendPlan {
    std::vector<SnmpSet> sets; // in one SET request, in this order
    std::string lock;          // an INTEGER spin lock read just before and set along
                               // with the value read; empty: none
};

// What one poll asks for: one GET of `objects`, then, when the object at
// `walk_if` came as a number above 0, a GETNEXT walk of `column`.
struct SnmpPollPlan {
    std::vector<std::string> objects; // numeric, dotted, with their instances
    int walk_if = -1;                 // index into objects; -1: never walk
    std::string column;               // numeric, dotted: the column a walk reads
};

// What one answered poll brought back.
struct SnmpPollResult {
    std::vector<SnmpValue> values; // by the index of the plan's objects; missing where none came
    bool walked = false;           // the column was walked (to its end, or as far as a walk goes)
    std::vector<SnmpValue> column; // the values of the column's rows, in the card's order
};
