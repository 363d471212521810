#include "protocol/snmp_map.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/snmp.h"

namespace {

// One varbind as a card would send it, taken apart by the link.
struct Bind {
    int object;      // SNMP_ value
    u_char type;     // ASN_ type as sent
    long number;     // the integer types
    const char *text; // ASN_OCTET_STR and ASN_OBJECT_ID
};

SnmpValue through_link(const Bind &b)
{
    netsnmp_variable_list *vars = nullptr;
    oid name[] = {1, 3, 6, 1, 2, 1, 33, 1, 0};
    if (b.type == ASN_OCTET_STR) {
        snmp_varlist_add_variable(&vars, name, 9, b.type, b.text, strlen(b.text));
    } else if (b.type == ASN_OBJECT_ID) {
        oid value[MAX_OID_LEN];
        size_t len = 0;
        for (const char *p = b.text; *p; p += *p == '.')
            value[len++] = strtoul(p, const_cast<char **>(&p), 10);
        snmp_varlist_add_variable(&vars, name, 9, b.type, value, len * sizeof(oid));
    } else if (b.type == SNMP_NOSUCHOBJECT || b.type == SNMP_NOSUCHINSTANCE) {
        snmp_varlist_add_variable(&vars, name, 9, b.type, nullptr, 0);
    } else {
        snmp_varlist_add_variable(&vars, name, 9, b.type, &b.number, sizeof b.number);
    }
    SnmpValue v = snmp_link_value(vars);
    snmp_free_varbind(vars);
    return v;
}

SnmpAnswers answers_of(const std::vector<Bind> &binds, std::vector<std::string> alarms = {},
                       bool alarms_known = true)
{
    SnmpPollResult result;
    result.values.resize(SNMP_OBJECTS);
    for (const Bind &b : binds)
        result.values[b.object] = through_link(b);
    SnmpAnswers a = snmp_map_answers(result);
    a.alarms = alarms;
    a.alarms_known = alarms_known;
    return a;
}

const std::vector<Bind> FULL = {
    {SNMP_IDENT_MANUFACTURER, ASN_OCTET_STR, 0, " SIMULATED\t"},
    {SNMP_IDENT_MODEL, ASN_OCTET_STR, 0, "SIM-1001 EXTRA LONG"},
    {SNMP_IDENT_SOFTWARE, ASN_OCTET_STR, 0, "1.0"},
    {SNMP_BATTERY_STATUS, ASN_INTEGER, 2, nullptr},
    {SNMP_CHARGE_REMAINING, ASN_INTEGER, 87, nullptr},
    {SNMP_BATTERY_VOLTAGE, ASN_INTEGER, 545, nullptr},
    {SNMP_BATTERY_TEMPERATURE, ASN_INTEGER, -5, nullptr},
    {SNMP_INPUT_FREQUENCY, ASN_INTEGER, 499, nullptr},
    {SNMP_INPUT_VOLTAGE, ASN_INTEGER, 231, nullptr},
    {SNMP_OUTPUT_SOURCE, ASN_INTEGER, 3, nullptr},
    {SNMP_OUTPUT_VOLTAGE, ASN_INTEGER, 229, nullptr},
    {SNMP_OUTPUT_LOAD, ASN_INTEGER, 25, nullptr},
    {SNMP_ALARMS_PRESENT, ASN_GAUGE, 0, nullptr},
    {SNMP_CONFIG_INPUT_VOLTAGE, ASN_INTEGER, 230, nullptr},
    {SNMP_CONFIG_INPUT_FREQUENCY, ASN_INTEGER, 500, nullptr},
    {SNMP_CONFIG_OUTPUT_VOLTAGE, ASN_INTEGER, 230, nullptr},
    {SNMP_CONFIG_OUTPUT_VA, ASN_INTEGER, 1000, nullptr},
    {SNMP_CONFIG_AUDIBLE, ASN_INTEGER, 2, nullptr},
};

std::string status(const MachineReading &r)
{
    return std::string(r.status, 8); // b0..b7
}

// The values of a whole answer, units and widths included.
TEST(SnmpMap, ReadingsRatingsAndIdentity)
{
    MachineReading r;
    ASSERT_TRUE(snmp_map_reading(answers_of(FULL), '0', &r));
    EXPECT_FLOAT_EQ(r.input_voltage, 231);
    EXPECT_FLOAT_EQ(r.input_frequency, 49.9f);
    EXPECT_FLOAT_EQ(r.output_voltage, 229);
    EXPECT_FLOAT_EQ(r.load_percent, 25);
    EXPECT_FLOAT_EQ(r.battery_voltage, 54.5f);
    EXPECT_FLOAT_EQ(r.temperature, -5);
    EXPECT_EQ(r.battery_charge, 87);
    EXPECT_FLOAT_EQ(r.rated_voltage, 230);
    EXPECT_FLOAT_EQ(r.rated_frequency, 50);
    EXPECT_FLOAT_EQ(r.rated_current, 4); // 1000 VA at 230 V
    EXPECT_STREQ(r.company, "SIMULATED");
    EXPECT_STREQ(r.model, "SIM-1001 E"); // cut to the 10 characters of the field
    EXPECT_STREQ(r.version, "1.0");
    EXPECT_EQ(status(r), "10000000");
}

// Status characters from the objects and the alarm table, and what a
// missing, wrongly typed or empty answer leaves ('?': the position stays).
TEST(SnmpMap, StatusCharacters)
{
    const std::string A = "1.3.6.1.2.1.33.1.6.3.";
    struct Case {
        const char *what;
        std::vector<Bind> binds;
        std::vector<std::string> alarms;
        bool alarms_known;
        char previous_type;
        const char *status; // b0..b7; nullptr: no reading at all
        float input_voltage;
    } cases[] = {
        {"on line", FULL, {}, true, '0', "10000000", 231},
        {"on battery, low",
         {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 5, nullptr}, {SNMP_BATTERY_STATUS, ASN_INTEGER, 3, nullptr}},
         {}, true, '0', "?0000011", 0},
        {"depleted", {{SNMP_BATTERY_STATUS, ASN_INTEGER, 4, nullptr}}, {A + "2"}, true, '0',
         "?0000011", 0},
        {"bypass on an on-line unit", {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 4, nullptr}}, {}, true, '1',
         "?0000100", 0},
        {"booster: off-line type with AVR", {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 6, nullptr}}, {}, true,
         '0', "?0010100", 0},
        {"normal again keeps the off-line type", {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 3, nullptr}}, {},
         true, '1', "?0010000", 0},
        {"test, fault and shutdown alarms",
         {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 3, nullptr}},
         {A + "24", A + "18", A + "22"}, true, '0', "?1101000", 0},
        {"overload, output off", {{SNMP_ALARMS_PRESENT, ASN_GAUGE, 2, nullptr}}, {A + "8", A + "14"},
         true, '0', "?1001000", 0},
        {"test in progress by the summary", {{SNMP_TEST_SUMMARY, ASN_INTEGER, 5, nullptr}}, {}, false,
         '0', "??10????", 0},
        {"alarms unknown, only a voltage", {{SNMP_INPUT_VOLTAGE, ASN_INTEGER, 230, nullptr}}, {}, false,
         '0', "???0????", 230},
        {"wrong types are missing",
         {{SNMP_INPUT_VOLTAGE, ASN_OCTET_STR, 0, "230"}, {SNMP_OUTPUT_SOURCE, ASN_OCTET_STR, 0, "5"},
          {SNMP_BATTERY_STATUS, ASN_INTEGER, 3, nullptr}},
         {}, false, '0', "???0??1?", 0},
        {"no such object or instance",
         {{SNMP_INPUT_VOLTAGE, SNMP_NOSUCHINSTANCE, 0, nullptr},
          {SNMP_OUTPUT_SOURCE, SNMP_NOSUCHOBJECT, 0, nullptr}},
         {}, false, '0', nullptr, 0},
        {"out of range is missing",
         {{SNMP_OUTPUT_SOURCE, ASN_INTEGER, 9, nullptr}, {SNMP_INPUT_VOLTAGE, ASN_INTEGER, -3, nullptr}},
         {}, true, '0', "?0000000", 0},
    };
    for (const Case &c : cases) {
        MachineReading r;
        memset(static_cast<void *>(&r), 'x', sizeof r); // the mapping must write every field
        bool got = snmp_map_reading(answers_of(c.binds, c.alarms, c.alarms_known), c.previous_type, &r);
        EXPECT_EQ(got, c.status != nullptr) << c.what;
        if (!got || !c.status)
            continue;
        EXPECT_EQ(status(r), c.status) << c.what;
        EXPECT_FLOAT_EQ(r.input_voltage, c.input_voltage) << c.what;
    }
}

// Counters and gauges are unsigned 32 bits: the top values are no negative numbers.
TEST(SnmpMap, UnsignedTypesNeverTurnNegative)
{
    for (u_char type : {ASN_COUNTER, ASN_GAUGE, ASN_TIMETICKS}) {
        SnmpValue v = through_link({SNMP_ALARMS_PRESENT, type, static_cast<long>(0xffffffffUL), nullptr});
        EXPECT_EQ(v.kind, SNMP_NUMBER);
        EXPECT_EQ(v.number, 4294967295LL) << int(type);
    }
    EXPECT_EQ(through_link({SNMP_INPUT_VOLTAGE, ASN_INTEGER, -1, nullptr}).number, -1);
    EXPECT_EQ(through_link({SNMP_INPUT_VOLTAGE, ASN_IPADDRESS, 0, nullptr}).kind, -1);
}

// What a poll asks the link for, and the answers its result gives: values
// of the wrong kind are missing, the alarms are the column's identifiers,
// known only when the column was walked or no alarm is present.
TEST(SnmpMap, PollPlanAndAnswers)
{
    const SnmpPollPlan &plan = snmp_map_poll_plan();
    ASSERT_EQ(plan.objects.size(), static_cast<size_t>(SNMP_OBJECTS));
    for (int i = 0; i < SNMP_OBJECTS; i++)
        EXPECT_EQ(plan.objects[i], snmp_objects[i].oid);
    EXPECT_EQ(plan.walk_if, SNMP_ALARMS_PRESENT);
    EXPECT_EQ(plan.column, SNMP_ALARM_COLUMN);

    const std::string ON_BATTERY = "1.3.6.1.2.1.33.1.6.3.2";
    SnmpValue number{SNMP_NUMBER, 0, ""};
    SnmpValue text{SNMP_TEXT, 0, "230"};
    SnmpValue alarm{SNMP_IDENTIFIER, 0, ON_BATTERY};
    struct Case {
        const char *what;
        int present;  // upsAlarmsPresent; -1 missing
        bool walked;
        std::vector<SnmpValue> column;
        bool known;
        std::vector<std::string> alarms;
    } cases[] = {
        {"none present", 0, false, {}, true, {}},
        {"walked", 2, true, {alarm, text}, true, {ON_BATTERY}},
        {"present but not walked", 1, false, {}, false, {}},
        {"count missing", -1, false, {}, false, {}},
    };
    for (const Case &c : cases) {
        SnmpPollResult r;
        r.values.resize(SNMP_OBJECTS);
        r.values[SNMP_INPUT_VOLTAGE] = text; // a number's place: missing
        r.values[SNMP_IDENT_MODEL] = text;
        if (c.present >= 0) {
            r.values[SNMP_ALARMS_PRESENT] = number;
            r.values[SNMP_ALARMS_PRESENT].number = c.present;
        }
        r.walked = c.walked;
        r.column = c.column;
        SnmpAnswers a = snmp_map_answers(r);
        EXPECT_EQ(a.values[SNMP_INPUT_VOLTAGE].kind, -1) << c.what;
        EXPECT_EQ(a.values[SNMP_IDENT_MODEL].text, "230") << c.what;
        EXPECT_EQ(a.alarms_known, c.known) << c.what;
        EXPECT_EQ(a.alarms, c.alarms) << c.what;
    }
    EXPECT_EQ(snmp_map_answers(SnmpPollResult{}).values[0].kind, -1) << "nothing came";
}

// The UPS commands of the queue and the SETs they become.
TEST(SnmpMap, CommandsBecomeSets)
{
    const std::string C = "1.3.6.1.2.1.33.1.8.";
    struct Case {
        const char *command;
        std::vector<std::string> sets; // "OID=value"
    } cases[] = {
        {"T\r", {"1.3.6.1.2.1.33.1.7.1.0=1.3.6.1.2.1.33.1.7.7.4"}},
        {"TL\r", {"1.3.6.1.2.1.33.1.7.1.0=1.3.6.1.2.1.33.1.7.7.5"}},
        {"CT\r", {"1.3.6.1.2.1.33.1.7.1.0=1.3.6.1.2.1.33.1.7.7.2"}},
        {"C\r", {C + "2.0=-1", C + "3.0=-1"}},
        {"S12R0001\r", {C + "5.0=1", C + "2.0=720", C + "3.0=780"}},
        {"S99R0001\r", {C + "5.0=1", C + "2.0=5940", C + "3.0=6000"}},
        {"S100R0001\r", {}}, // no command of the language: the UPS takes two digits
        {"S02R0480\r", {C + "5.0=1", C + "2.0=120", C + "3.0=28920"}},
        {"S.5R0001\r", {C + "5.0=1", C + "2.0=30", C + "3.0=90"}},
        {"S03\r", {C + "5.0=2", C + "2.0=180"}},
        {"S.2\r", {C + "5.0=2", C + "2.0=12"}},
        {"S.1\r", {}},
        {"S\r", {}},
        {"SxxR0001\r", {}},
        {"S02R01\r", {}},
        {"Q1\r", {}},
        {"T", {}},
        {"T\rT\r", {}},
    };
    for (const Case &c : cases) {
        std::vector<SnmpSet> sets;
        EXPECT_EQ(snmp_map_command(c.command, &sets), !c.sets.empty()) << c.command;
        std::vector<std::string> got;
        for (const SnmpSet &s : sets)
            got.push_back(std::string(s.oid) + "=" +
                          (s.kind == SNMP_IDENTIFIER ? s.text : std::to_string(s.number)));
        EXPECT_EQ(got, c.sets) << c.command;
        bool test = c.sets.size() == 1 && c.sets[0].find(".7.1.0=") != std::string::npos;
        EXPECT_EQ(snmp_map_is_test(sets), test) << c.command;
        SnmpSendPlan plan = snmp_map_send_plan(sets);
        EXPECT_EQ(plan.sets.size(), sets.size()) << c.command;
        EXPECT_EQ(plan.lock, test ? SNMP_TEST_SPIN_LOCK : "") << c.command;
    }
}

} // namespace
