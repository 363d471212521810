#include "protocol/nut_client.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

TEST(NutClient, TargetTable)
{
    static const struct {
        const char *text;
        bool ok;
        const char *ups, *host;
        int port;
        bool ipv6;
    } cases[] = {
        {"ups@localhost", true, "ups", "localhost", 3493, false},
        {"ups@127.0.0.1", true, "ups", "127.0.0.1", 3493, false},
        {"ups1@10.0.0.2:3494", true, "ups1", "10.0.0.2", 3494, false},
        {"ups@[::1]:3493", true, "ups", "::1", 3493, true},
        {"ups@[fe80::1]", true, "ups", "fe80::1", 3493, true},
        {"my_ups.a-1@nas-01.example.org:65535", true, "my_ups.a-1", "nas-01.example.org", 65535, false},
        {"U@h:1", true, "U", "h", 1, false},
        {"ups", false, "", "", 0, false},
        {"@host", false, "", "", 0, false},
        {"u ps@host", false, "", "", 0, false},
        {"-ups@host", false, "", "", 0, false},
        {"ups\"@host", false, "", "", 0, false},
        {"ups@", false, "", "", 0, false},
        {"ups@:3493", false, "", "", 0, false},
        {"ups@host:0", false, "", "", 0, false},
        {"ups@host:65536", false, "", "", 0, false},
        {"ups@host:03493", false, "", "", 0, false},
        {"ups@host:", false, "", "", 0, false},
        {"ups@host:34x", false, "", "", 0, false},
        {"ups@::1", false, "", "", 0, false},
        {"ups@[::1", false, "", "", 0, false},
        {"ups@[nothost]", false, "", "", 0, false},
        {"ups@[::1]x", false, "", "", 0, false},
        {"ups@[]:3493", false, "", "", 0, false},
        {"ups@300.1.1.1", false, "", "", 0, false},
        {"ups@1.2.3", false, "", "", 0, false},
        {"ups@-host", false, "", "", 0, false},
        {"ups@host-", false, "", "", 0, false},
        {"ups@a..b", false, "", "", 0, false},
        {"ups@host.", false, "", "", 0, false},
        {"ups@ho_st", false, "", "", 0, false},
        {"ups@host name", false, "", "", 0, false},
        {"ups@a@b", false, "", "", 0, false},
    };
    for (const auto &c : cases) {
        NutTarget t;
        t.ups = "before";
        std::string why;
        EXPECT_EQ(nut_target_parse(c.text, &t, &why), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(t.ups, c.ups) << c.text;
            EXPECT_EQ(t.host, c.host) << c.text;
            EXPECT_EQ(t.port, c.port) << c.text;
            EXPECT_EQ(t.ipv6, c.ipv6) << c.text;
        } else {
            EXPECT_FALSE(why.empty()) << c.text;
            EXPECT_EQ(t.ups, "before") << c.text;
        }
    }
    std::string long_name(NUT_UPS_NAME_MAX + 1, 'a');
    NutTarget t;
    std::string why;
    EXPECT_FALSE(nut_target_parse(long_name + "@host", &t, &why));
    EXPECT_TRUE(nut_target_parse(long_name.substr(1) + "@host", &t, &why));
}

TEST(NutClient, RequestTable)
{
    std::string line;
    static const struct {
        bool (*make)(const std::string &, std::string *);
        const char *value;
        const char *line; // nullptr: refused
    } cases[] = {
        {nut_request_username, "monuser", "USERNAME monuser\n"},
        {nut_request_password, "se cret", "PASSWORD \"se cret\"\n"},
        {nut_request_password, "a\"b\\c", "PASSWORD \"a\\\"b\\\\c\"\n"},
        {nut_request_password, "", "PASSWORD \"\"\n"},
        {nut_request_password, "x\ny", nullptr},
        {nut_request_password, "x\r", nullptr},
        {nut_request_login, "ups", "LOGIN ups\n"},
        {nut_request_list_var, "ups", "LIST VAR ups\n"},
    };
    for (const auto &c : cases) {
        line = "untouched";
        bool ok = c.make(c.value, &line);
        EXPECT_EQ(ok, c.line != nullptr) << c.value;
        EXPECT_EQ(line, c.line ? c.line : "untouched") << c.value;
    }
    line = "untouched";
    EXPECT_FALSE(nut_request_password(std::string("a\0b", 3), &line));
    EXPECT_EQ(line, "untouched");
    EXPECT_FALSE(nut_request_get_var("ups", std::string("x\0", 2), &line));
    ASSERT_TRUE(nut_request_get_var("ups", "battery.charge", &line));
    EXPECT_EQ(line, "GET VAR ups battery.charge\n");
    EXPECT_EQ(nut_request_starttls(), "STARTTLS\n");
    EXPECT_EQ(nut_request_logout(), "LOGOUT\n");
}

TEST(NutClient, ReplyTable)
{
    static const struct {
        const char *line;
        int kind;
        const char *ups, *name, *value;
    } cases[] = {
        {"OK", NUT_REPLY_OK, "", "", ""},
        {"OK Goodbye", NUT_REPLY_OK, "", "", "Goodbye"},
        {"OK STARTTLS", NUT_REPLY_OK, "", "", "STARTTLS"},
        {"ERR ACCESS-DENIED", NUT_REPLY_ERR, "", "ACCESS-DENIED", ""},
        {"ERR UNKNOWN-UPS extra words", NUT_REPLY_ERR, "", "UNKNOWN-UPS", "extra words"},
        {"ERR", NUT_REPLY_UNKNOWN, "", "", ""},
        {"VAR ups ups.status \"OL CHRG\"", NUT_REPLY_VAR, "ups", "ups.status", "OL CHRG"},
        {"VAR ups ups.mfr \"A \\\"B\\\" \\\\ C\"", NUT_REPLY_VAR, "ups", "ups.mfr", "A \"B\" \\ C"},
        {"VAR ups x \"\"", NUT_REPLY_VAR, "ups", "x", ""},
        {"VAR ups battery.charge 100", NUT_REPLY_VAR, "ups", "battery.charge", "100"},
        {"VAR  ups  x  \"v\"", NUT_REPLY_VAR, "ups", "x", "v"},
        {"VAR ups x", NUT_REPLY_UNKNOWN, "", "", ""},
        {"VAR ups x \"a\" extra", NUT_REPLY_UNKNOWN, "", "", ""},
        {"BEGIN LIST VAR ups", NUT_REPLY_BEGIN_LIST_VAR, "ups", "", ""},
        {"END LIST VAR ups", NUT_REPLY_END_LIST_VAR, "ups", "", ""},
        {"BEGIN LIST CMD ups", NUT_REPLY_UNKNOWN, "", "", ""},
        {"END LIST VAR", NUT_REPLY_UNKNOWN, "", "", ""},
        {"NETWORK UPS TOOLS", NUT_REPLY_UNKNOWN, "", "", ""},
        {"ok", NUT_REPLY_UNKNOWN, "", "", ""},
        {"", NUT_REPLY_BAD, "", "", ""},
        {"   ", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"open", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"a\\", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"a\\n\"", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x a\\b", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x a\"b\"", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"a\"b", NUT_REPLY_BAD, "", "", ""},
        {"OK\r", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"a\tb\"", NUT_REPLY_BAD, "", "", ""},
        {"VAR ups x \"a\x7f\"", NUT_REPLY_BAD, "", "", ""},
    };
    for (const auto &c : cases) {
        NutReply r;
        bool ok = nut_reply_parse(c.line, &r);
        EXPECT_EQ(ok, c.kind != NUT_REPLY_BAD) << c.line;
        EXPECT_EQ(r.kind, c.kind) << c.line;
        if (c.kind == NUT_REPLY_BAD) {
            EXPECT_FALSE(r.why.empty()) << c.line;
            continue;
        }
        if (c.kind == NUT_REPLY_UNKNOWN)
            continue;
        EXPECT_EQ(r.ups, c.ups) << c.line;
        EXPECT_EQ(r.name, c.name) << c.line;
        EXPECT_EQ(r.value, c.value) << c.line;
    }
    NutReply r;
    EXPECT_FALSE(nut_reply_parse(std::string("OK\0", 3), &r));
    std::string longest = "VAR ups x \"" + std::string(NUT_REPLY_LINE_MAX - 12, 'a') + "\"";
    ASSERT_EQ(longest.size(), NUT_REPLY_LINE_MAX);
    EXPECT_TRUE(nut_reply_parse(longest, &r));
    EXPECT_EQ(r.kind, NUT_REPLY_VAR);
    EXPECT_FALSE(nut_reply_parse(longest + " ", &r));
    EXPECT_EQ(r.kind, NUT_REPLY_BAD);
}

// Every line the request functions make reads back, as a reply's value,
// as the value that went in.
TEST(NutClient, QuoteReadsBack)
{
    static const char *const values[] = {"plain", "two words", "\"", "\\", "a\\\"b", "", " lead", "tail "};
    for (const char *v : values) {
        std::string q;
        ASSERT_TRUE(nut_quote(v, &q)) << v;
        NutReply r;
        ASSERT_TRUE(nut_reply_parse("VAR ups x " + q, &r)) << q;
        EXPECT_EQ(r.kind, NUT_REPLY_VAR) << q;
        EXPECT_EQ(r.value, v) << q;
    }
}

using Vars = std::vector<std::pair<std::string, std::string>>;

TEST(NutClient, ReadingTable)
{
    // A HID unit's set as a server lists it.
    Vars hid = {
        {"battery.charge", "87"},         {"battery.charge.low", "10"},
        {"battery.runtime", "1520"},      {"battery.voltage", "13.6"},
        {"battery.voltage.nominal", "12.0"}, {"device.mfr", "Other Maker"},
        {"device.model", "Other Model"},  {"device.serial", "DEV123"},
        {"input.frequency", "50.0"},      {"input.frequency.nominal", "50"},
        {"input.transfer.high", "266"},   {"input.transfer.low", "180"},
        {"input.voltage", "231.5"},       {"input.voltage.nominal", "230"},
        {"output.current.nominal", "4"},  {"output.frequency", "49.9"},
        {"output.voltage", "230.0"},      {"ups.firmware", "FW 1.23 long text"},
        {"ups.load", "23"},               {"ups.mfr", "Maker Co, Ltd. International"},
        {"ups.model", "Model 1500 VA tower"}, {"ups.power.nominal", "1500"},
        {"ups.serial", "SN-0042"},        {"ups.status", "OL CHRG TRIM RB"},
        {"ups.temperature", "-3.5"},      {"ups.test.result", "Done and warning"},
        {"ups.timer.shutdown", "-1"},     {"ups.timer.start", "30"},
    };
    Vars minimal = {{"ups.status", "FSD OB LB"}};
    Vars garbage = {
        {"ups.status", "OB DISCHRG OVER CAL BYPASS ALARM BOOST WHATEVER"},
        {"battery.charge", "150"},  {"battery.runtime", "-5"},  {"input.voltage", "abc"},
        {"ups.load", "0x10"},       {"output.voltage", "inf"},  {"input.frequency", ""},
        {"battery.voltage", "12 V"}, {"ups.temperature", "nan"}, {"ups.test.result", "Maybe"},
        {"battery.charge.low", "-1"}, {"ups.timer.start", "-2"},
        {"ups.mfr", std::string("Bad\x01\"Text\"\n", 11)},
    };
    Vars no_status = {{"battery.charge", "50"}, {"ups.mfr", "X"}};
    Vars empty_status = {{"ups.status", ""}};

    struct Expect {
        const char *name;
        const Vars *vars;
        bool ok;
        const char *status; // b0..b7
        bool fsd;
        uint32_t flags;
        int charge, runtime;
        float input_voltage, load, temperature;
        float test_result, delay_shutdown, delay_start; // NaN not given
        const char *company, *maker, *model, *version, *serial;
        size_t lines;
    };
    const Expect cases[] = {
        {"hid", &hid, true, "??01010" "0", false,
         MACHINE_FLAG_CHARGING | MACHINE_FLAG_BUCK | MACHINE_FLAG_REPLACE_BATTERY, 87, 1520, 231.5f, 23,
         -3.5f, 2, -1, 30, "Maker Co, Ltd. ", "Maker Co, Ltd. International", "Model 1500",
         "FW 1.23 lo", "SN-0042", 0},
        {"minimal", &minimal, true, "??01001" "1", true, 0, -1, -1, 0, 0, 0, NAN, NAN, NAN, "", "", "",
         "", "", 0},
        {"garbage", &garbage, true, "??11110" "1", false,
         MACHINE_FLAG_DISCHARGING | MACHINE_FLAG_OVERLOAD | MACHINE_FLAG_BOOST, -1, -1, 0, 0, 0, NAN,
         NAN, NAN, "Bad?\"Text\"?", "Bad?\"Text\"?", "", "", "", 11},
        {"no status", &no_status, false, nullptr, false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "", "", "", "",
         "", 1},
        {"empty status", &empty_status, false, nullptr, false, 0, 0, 0, 0, 0, 0, 0, 0, 0, "", "", "",
         "", "", 1},
    };
    auto same = [](float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
    for (const Expect &e : cases) {
        MachineReading r;
        bool fsd = true;
        std::vector<std::string> lines;
        ASSERT_EQ(nut_client_reading(*e.vars, &r, &fsd, &lines), e.ok) << e.name;
        EXPECT_EQ(lines.size(), e.lines) << e.name;
        for (const std::string &l : lines)
            for (char c : l)
                EXPECT_TRUE(c >= 0x20 && c < 0x7f) << e.name << ": " << l;
        if (!e.ok)
            continue;
        EXPECT_EQ(std::string(r.status, 8), e.status) << e.name;
        EXPECT_EQ(fsd, e.fsd) << e.name;
        EXPECT_EQ(r.unit_flags, e.flags) << e.name;
        EXPECT_EQ(r.battery_charge, e.charge) << e.name;
        EXPECT_EQ(r.battery_runtime, e.runtime) << e.name;
        EXPECT_EQ(r.input_voltage, e.input_voltage) << e.name;
        EXPECT_EQ(r.load_percent, e.load) << e.name;
        EXPECT_EQ(r.temperature, e.temperature) << e.name;
        EXPECT_TRUE(same(r.extra[MACHINE_X_TEST_RESULT], e.test_result)) << e.name;
        EXPECT_TRUE(same(r.extra[MACHINE_X_DELAY_SHUTDOWN], e.delay_shutdown)) << e.name;
        EXPECT_TRUE(same(r.extra[MACHINE_X_DELAY_START], e.delay_start)) << e.name;
        EXPECT_STREQ(r.company, e.company) << e.name;
        EXPECT_STREQ(r.maker, e.maker) << e.name;
        EXPECT_STREQ(r.model, e.model) << e.name;
        EXPECT_STREQ(r.version, e.version) << e.name;
        EXPECT_STREQ(r.serial, e.serial) << e.name;
    }

    // The rest of the HID unit's readings, each where it belongs.
    MachineReading r;
    bool fsd;
    std::vector<std::string> lines;
    ASSERT_TRUE(nut_client_reading(hid, &r, &fsd, &lines));
    EXPECT_FLOAT_EQ(r.input_frequency, 50.0f);
    EXPECT_FLOAT_EQ(r.output_voltage, 230.0f);
    EXPECT_FLOAT_EQ(r.battery_voltage, 13.6f);
    EXPECT_FLOAT_EQ(r.rated_voltage, 230);
    EXPECT_FLOAT_EQ(r.rated_battery_voltage, 12);
    EXPECT_FLOAT_EQ(r.rated_frequency, 50);
    EXPECT_FLOAT_EQ(r.rated_current, 4);
    EXPECT_STREQ(r.product, "Model 1500 VA tower");
    EXPECT_FLOAT_EQ(r.extra[MACHINE_X_OUTPUT_FREQUENCY], 49.9f);
    EXPECT_FLOAT_EQ(r.extra[MACHINE_X_CHARGE_LOW], 10);
    EXPECT_FLOAT_EQ(r.extra[MACHINE_X_TRANSFER_LOW], 180);
    EXPECT_FLOAT_EQ(r.extra[MACHINE_X_TRANSFER_HIGH], 266);
    EXPECT_FLOAT_EQ(r.extra[MACHINE_X_POWER_NOMINAL], 1500);

    // device.* stands in when ups.* is missing; a name given twice: the last.
    Vars device = {{"ups.status", "OL"}, {"device.mfr", "Dev Maker"}, {"device.model", "DM"},
                   {"device.serial", "D1"}, {"battery.charge", "10"}, {"battery.charge", "20"}};
    ASSERT_TRUE(nut_client_reading(device, &r, &fsd, &lines));
    EXPECT_STREQ(r.maker, "Dev Maker");
    EXPECT_STREQ(r.product, "DM");
    EXPECT_STREQ(r.serial, "D1");
    EXPECT_EQ(r.battery_charge, 20);
    EXPECT_EQ(std::string(r.status, 8), "??010000");

    // Both mains words: on battery counts (the safe reading); neither: unknown.
    ASSERT_TRUE(nut_client_reading({{"ups.status", "OL OB"}}, &r, &fsd, &lines));
    EXPECT_EQ(r.status[STATUS_AC_FAILED], '1');
    ASSERT_TRUE(nut_client_reading({{"ups.status", "OB OL"}}, &r, &fsd, &lines));
    EXPECT_EQ(r.status[STATUS_AC_FAILED], '1');
    ASSERT_TRUE(nut_client_reading({{"ups.status", "OFF"}}, &r, &fsd, &lines));
    EXPECT_EQ(r.status[STATUS_AC_FAILED], '?');
}

TEST(NutClient, TestResultWords)
{
    static const char *const words[] = {"Done and passed", "Done and warning", "Done and error",
                                        "Aborted", "In progress", "No test initiated"};
    for (int k = 0; k < 6; k++) {
        MachineReading r;
        bool fsd;
        std::vector<std::string> lines;
        ASSERT_TRUE(nut_client_reading({{"ups.status", "OL"}, {"ups.test.result", words[k]}}, &r,
                                       &fsd, &lines));
        EXPECT_EQ(r.extra[MACHINE_X_TEST_RESULT], k + 1) << words[k];
        EXPECT_TRUE(lines.empty());
    }
}
