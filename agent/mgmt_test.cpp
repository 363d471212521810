#include "agent/mgmt.h"
#include "agent/decision.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include "agent/users.h"
#include "store/paths.h"
#include "tests/tempdir.h"

namespace {

MachineContext units[4];
// The time handed to every request; a test moves it on instead of waiting.
LoopTime now_t{1000.0, time(nullptr)};
int two(void *)
{
    return 2;
}

class Mgmt : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 4; i++)
            machine_setup(&units[i], KIND_LOCAL_MULTIPLE, i + 1);
        mgmt_configure(units, two, nullptr);
        // The turn-offs and the cancel are the decision's (the host's calls
        // go to the tests' stand-in).
        decision_init(&units[0]);
        decision_start("mgmt-test-boot");
        decision_configure({10, 1, 2}, true);
        MachineContext &u = units[0];
        u.connected = 1;
        u.status_taken = 1;
        memcpy(u.status, "000000001", 9); // b7..b0 all clear; connected
        u.input_voltage = 230.0f;
        u.battery_voltage = 2.25f;
        u.load_percent = 25;
        snprintf(u.company, sizeof u.company, "      SIMULATED");
        snprintf(u.model, sizeof u.model, "  SIM-1001");
        snprintf(u.version, sizeof u.version, "       1.0");
        u.rated_battery_voltage = 48;
    }
    std::string ask(const std::string &line) { return mgmt_request(&session, line, now_t); }
    MgmtSession session;
};

// Every reply of the table, one request each: words, quoting, the units'
// names and the errors.
TEST_F(Mgmt, RequestsAndTheirReplies)
{
    struct Case {
        const char *request;
        const char *reply;
    } cases[] = {
        {"NETVER", "1.3\n"},
        {"GET VAR ups1 input.voltage", "VAR ups1 input.voltage \"230.0\"\n"},
        {"GET VAR ups input.voltage", "VAR ups input.voltage \"230.0\"\n"},
        {"GET VAR \"ups1\" ups.status", "VAR ups1 ups.status \"OL\"\n"},
        {"GET VAR ups1 device.mfr", "VAR ups1 device.mfr \"SIMULATED\"\n"},
        {"GET VAR ups1 battery.charge", "VAR ups1 battery.charge \"100\"\n"},
        {"GET VAR ups1 ups.alarm", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR ups3 input.voltage", "ERR UNKNOWN-UPS\n"},
        {"GET VAR ups2 input.voltage", "ERR DRIVER-NOT-CONNECTED\n"}, // never answered
        {"LIST VAR ups2", "ERR DRIVER-NOT-CONNECTED\n"},
        {"GET VAR ups1", "ERR INVALID-ARGUMENT\n"},
        {"GET TYPE ups1 input.voltage", "TYPE ups1 input.voltage NUMBER\n"},
        {"GET DESC ups1 ups.load", "DESC ups1 ups.load \"Load on UPS (percent of full)\"\n"},
        {"GET UPSDESC ups1", "UPSDESC ups1 \"SIMULATED SIM-1001\"\n"},
        {"GET NUMLOGINS ups1", "NUMLOGINS ups1 0\n"},
        {"GET CMDDESC ups1 test.battery.start.quick",
         "CMDDESC ups1 test.battery.start.quick \"Start a quick battery test\"\n"},
        {"GET CMDDESC ups1 beeper.toggle", "ERR CMD-NOT-SUPPORTED\n"},
        {"LIST UPS", "BEGIN LIST UPS\nUPS ups1 \"SIMULATED SIM-1001\"\nUPS ups2 \"UPS unit 2\"\n"
                     "END LIST UPS\n"},
        {"LIST RW ups1", "BEGIN LIST RW ups1\nEND LIST RW ups1\n"},
        {"LIST VAR ups9", "ERR UNKNOWN-UPS\n"},
        {"GET VAR \"ups1 input.voltage", "ERR INVALID-ARGUMENT\n"},
        {"INSTCMD ups1 test.battery.start.quick", "ERR ACCESS-DENIED\n"},
        {"LOGIN ups1", "ERR USERNAME-REQUIRED\n"},
        {"FSD ups7", "ERR UNKNOWN-UPS\n"},
        {"FROB", "ERR UNKNOWN-COMMAND\n"},
        {"get var ups1 input.voltage", "ERR UNKNOWN-COMMAND\n"},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ask(c.request), c.reply) << c.request;
    EXPECT_EQ(ask(std::string(MGMT_LINE_MAX + 1, 'A')), "ERR TOO-LONG\n");
    EXPECT_EQ(ask("USERNAME monitor"), "OK\n");
    EXPECT_EQ(ask("USERNAME again"), "ERR ALREADY-SET-USERNAME\n");
    EXPECT_EQ(ask("LOGIN ups1"), "ERR PASSWORD-REQUIRED\n");
    EXPECT_FALSE(session.ending);
    EXPECT_EQ(ask("LOGOUT"), "OK Goodbye\n");
    EXPECT_TRUE(session.ending);
}

TEST_F(Mgmt, StatusWordsFollowTheStatusCharacters)
{
    struct Case {
        const char *status; // b0..b8, as MachineContext.status
        const char *words;
    } cases[] = {
        {"000000001", "OL"},          {"000000011", "OB"},
        {"000000111", "OB LB"},       {"000001001", "OL BYPASS"},
        {"000101001", "OL"},          {"001000001", "OL CAL"},
        {"000010001", "OL ALARM"},
    };
    for (const Case &c : cases) {
        memcpy(units[0].status, c.status, 9);
        bool stale = true;
        std::string words = "?";
        for (const auto &[name, value] : mgmt_variables(0, &stale, now_t.wall))
            if (name == "ups.status")
                words = value;
        EXPECT_FALSE(stale);
        EXPECT_EQ(words, c.words) << c.status;
    }
    units[0].connected = 0;
    EXPECT_EQ(ask("GET VAR ups1 ups.status"), "ERR DATA-STALE\n") << "a lost unit";
    EXPECT_EQ(ask("LIST VAR ups1"), "ERR DATA-STALE\n") << "no zeros for readings";
}

TEST_F(Mgmt, SplitAndQuoteAreInverse)
{
    const char *texts[] = {"plain", "with blank", "quote \" inside", "back\\slash", ""};
    for (const char *t : texts) {
        std::vector<std::string> w;
        ASSERT_TRUE(mgmt_split("VAR " + mgmt_quote(t), &w)) << t;
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[1], t);
    }
    std::vector<std::string> w;
    EXPECT_FALSE(mgmt_split("ends in \\", &w));

    // Bytes no reply line may hold come out as '?', quotes still escaped.
    struct Row {
        std::string text, quoted;
    };
    const Row rows[] = {
        {"ACME\"\nFSD ups1", "\"ACME\\\"?FSD ups1\""},
        {std::string("a\0b\r\x1b\x7f\x80\xff~ ", 10), "\"a?b?????~ \""},
        {"\\\"", "\"\\\\\\\"\""},
    };
    for (const Row &row : rows) {
        std::string q = mgmt_quote(row.text);
        EXPECT_EQ(q, row.quoted);
        EXPECT_TRUE(std::all_of(q.begin(), q.end(),
                                [](char c) { return c >= 0x20 && c <= 0x7e; }));
    }
}

int three(void *)
{
    return 3;
}

// A GET VAR (and GET TYPE) answers a name alone: for units in different
// states, every variable answers with exactly its LIST VAR line, one the
// list leaves out with VAR-NOT-SUPPORTED, and a unit without values with
// the list's error. The lists themselves are kept here byte for byte.
TEST_F(Mgmt, GetVarAnswersAsListVarDoes)
{
    mgmt_configure(units, three, nullptr); // ups3: no other test sets its FSD
    const char *names[] = {
        "battery.charge", "battery.voltage", "battery.voltage.nominal", "device.mfr",
        "device.model", "device.type", "driver.name", "input.frequency",
        "input.frequency.nominal", "input.voltage", "input.voltage.fault", "input.voltage.nominal",
        "output.current.nominal", "output.voltage", "ups.alarm", "ups.beeper.status",
        "ups.delay.shutdown", "ups.firmware", "ups.load", "ups.status", "ups.temperature",
        "ups.bogus", "ups", "ups.status.x", "battery.charge.low", "battery.runtime",
        "device.serial", "input.transfer.high", "input.transfer.low", "output.frequency",
        "ups.mfr", "ups.model", "ups.power.nominal", "ups.productid", "ups.serial",
        "ups.test.result", "ups.timer.shutdown", "ups.timer.start", "ups.vendorid",
    };
    struct State {
        const char *ups;
        void (*set)(MachineContext *u); // on top of SetUp's unit 1, or a fresh unit 3
        const char *list;
    } states[] = {
        {"ups1", [](MachineContext *) {},
         "BEGIN LIST VAR ups1\n"
         "VAR ups1 battery.charge \"100\"\n"
         "VAR ups1 battery.voltage \"2.25\"\n"
         "VAR ups1 battery.voltage.nominal \"48.0\"\n"
         "VAR ups1 device.mfr \"SIMULATED\"\n"
         "VAR ups1 device.model \"SIM-1001\"\n"
         "VAR ups1 device.type \"ups\"\n"
         "VAR ups1 driver.name \"upsagent\"\n"
         "VAR ups1 input.frequency \"0.0\"\n"
         "VAR ups1 input.voltage \"230.0\"\n"
         "VAR ups1 input.voltage.fault \"0.0\"\n"
         "VAR ups1 output.voltage \"0.0\"\n"
         "VAR ups1 ups.beeper.status \"disabled\"\n"
         "VAR ups1 ups.delay.shutdown \"120\"\n"
         "VAR ups1 ups.firmware \"1.0\"\n"
         "VAR ups1 ups.load \"25\"\n"
         "VAR ups1 ups.mfr \"SIMULATED\"\n"
         "VAR ups1 ups.model \"SIM-1001\"\n"
         "VAR ups1 ups.status \"OL\"\n"
         "VAR ups1 ups.temperature \"0.0\"\n"
         "END LIST VAR ups1\n"},
        {"ups",
         [](MachineContext *u) {
             memcpy(u->status, "100011111", 9); // beeper, failed, bypass, low, on battery
             u->battery_charge = 87;
             u->rated_voltage = 230;
             u->rated_current = 4.4f;
             u->rated_frequency = 50;
             u->input_frequency = 49.96f;
             u->input_fault_voltage = 187.25f;
             u->output_voltage = 229.95f;
             u->temperature = 31.5f;
             u->load_percent = 99.5f;
             snprintf(u->company, sizeof u->company, "               ");
             snprintf(u->version, sizeof u->version, "          ");
             snprintf(u->model, sizeof u->model, "A \"B\" \\C  ");
         },
         "BEGIN LIST VAR ups\n"
         "VAR ups battery.charge \"87\"\n"
         "VAR ups battery.voltage \"2.25\"\n"
         "VAR ups battery.voltage.nominal \"48.0\"\n"
         "VAR ups device.model \"A \\\"B\\\" \\\\C\"\n"
         "VAR ups device.type \"ups\"\n"
         "VAR ups driver.name \"upsagent\"\n"
         "VAR ups input.frequency \"50.0\"\n"
         "VAR ups input.frequency.nominal \"50.0\"\n"
         "VAR ups input.voltage \"230.0\"\n"
         "VAR ups input.voltage.fault \"187.2\"\n"
         "VAR ups input.voltage.nominal \"230.0\"\n"
         "VAR ups output.current.nominal \"4\"\n"
         "VAR ups output.voltage \"229.9\"\n"
         "VAR ups ups.alarm \"UPS failed\"\n"
         "VAR ups ups.beeper.status \"enabled\"\n"
         "VAR ups ups.delay.shutdown \"120\"\n"
         "VAR ups ups.load \"100\"\n"
         "VAR ups ups.model \"A \\\"B\\\" \\\\C\"\n"
         "VAR ups ups.status \"OB LB BYPASS ALARM\"\n"
         "VAR ups ups.temperature \"31.5\"\n"
         "END LIST VAR ups\n"},
        {"ups3",
         [](MachineContext *u) {
             u->connected = u->status_taken = 1;
             memcpy(u->status, "001100001", 9); // testing; off-line type
             u->input_voltage = 121.5f;
             u->battery_voltage = 13.6f;
         },
         "BEGIN LIST VAR ups3\n"
         "VAR ups3 battery.voltage \"13.60\"\n"
         "VAR ups3 device.type \"ups\"\n"
         "VAR ups3 driver.name \"upsagent\"\n"
         "VAR ups3 input.frequency \"0.0\"\n"
         "VAR ups3 input.voltage \"121.5\"\n"
         "VAR ups3 input.voltage.fault \"0.0\"\n"
         "VAR ups3 output.voltage \"0.0\"\n"
         "VAR ups3 ups.beeper.status \"disabled\"\n"
         "VAR ups3 ups.load \"0\"\n"
         "VAR ups3 ups.status \"OL CAL\"\n"
         "VAR ups3 ups.temperature \"0.0\"\n"
         "END LIST VAR ups3\n"},
        {"ups3", // a unit that names its maker, serial and conditions in full (USB HID)
         [](MachineContext *u) {
             memcpy(u->status, "011100001", 9); // counting down to a turn-off, testing
             u->battery_charge = 64;
             u->battery_runtime = 1400;
             snprintf(u->company, sizeof u->company, "Maker Of Units");
             snprintf(u->maker, sizeof u->maker, "Maker Of Units, Incorporated");
             snprintf(u->product, sizeof u->product, "Rack Unit 1500 VA");
             snprintf(u->serial, sizeof u->serial, "AB1234");
             u->usb_vendor_id = 0x051d;
             u->usb_product_id = 0x0002;
             u->unit_flags = MACHINE_FLAG_OVERLOAD | MACHINE_FLAG_REPLACE_BATTERY |
                             MACHINE_FLAG_BUCK | MACHINE_FLAG_DISCHARGING;
             u->extra[MACHINE_X_OUTPUT_FREQUENCY] = 50.04f;
             u->extra[MACHINE_X_CHARGE_LOW] = 10;
             u->extra[MACHINE_X_DELAY_SHUTDOWN] = 57;
             u->extra[MACHINE_X_DELAY_START] = -1;
             u->extra[MACHINE_X_TRANSFER_LOW] = 170;
             u->extra[MACHINE_X_TRANSFER_HIGH] = 280;
             u->extra[MACHINE_X_POWER_NOMINAL] = 1500;
             u->extra[MACHINE_X_TEST_RESULT] = 5;
         },
         "BEGIN LIST VAR ups3\n"
         "VAR ups3 battery.charge \"64\"\n"
         "VAR ups3 battery.charge.low \"10\"\n"
         "VAR ups3 battery.runtime \"1400\"\n"
         "VAR ups3 battery.voltage \"13.60\"\n"
         "VAR ups3 device.mfr \"Maker Of Units, Incorporated\"\n"
         "VAR ups3 device.model \"Rack Unit 1500 VA\"\n"
         "VAR ups3 device.serial \"AB1234\"\n"
         "VAR ups3 device.type \"ups\"\n"
         "VAR ups3 driver.name \"upsagent\"\n"
         "VAR ups3 input.frequency \"0.0\"\n"
         "VAR ups3 input.transfer.high \"280.0\"\n"
         "VAR ups3 input.transfer.low \"170.0\"\n"
         "VAR ups3 input.voltage \"121.5\"\n"
         "VAR ups3 input.voltage.fault \"0.0\"\n"
         "VAR ups3 output.frequency \"50.0\"\n"
         "VAR ups3 output.voltage \"0.0\"\n"
         "VAR ups3 ups.beeper.status \"disabled\"\n"
         "VAR ups3 ups.load \"0\"\n"
         "VAR ups3 ups.mfr \"Maker Of Units, Incorporated\"\n"
         "VAR ups3 ups.model \"Rack Unit 1500 VA\"\n"
         "VAR ups3 ups.power.nominal \"1500\"\n"
         "VAR ups3 ups.productid \"0002\"\n"
         "VAR ups3 ups.serial \"AB1234\"\n"
         "VAR ups3 ups.status \"OL CAL OVER RB TRIM DISCHRG\"\n"
         "VAR ups3 ups.temperature \"0.0\"\n"
         "VAR ups3 ups.test.result \"In progress\"\n"
         "VAR ups3 ups.timer.shutdown \"57\"\n"
         "VAR ups3 ups.timer.start \"-1\"\n"
         "VAR ups3 ups.vendorid \"051d\"\n"
         "END LIST VAR ups3\n"},
    };
    for (const State &st : states) {
        int index = st.ups[3] ? st.ups[3] - '1' : 0;
        st.set(&units[index]);
        std::string ups = st.ups;
        std::string list = ask("LIST VAR " + ups);
        EXPECT_EQ(list, st.list);
        for (const char *name : names) {
            std::string line;
            size_t at = list.find("VAR " + ups + " " + name + " \"");
            if (at != std::string::npos)
                line = list.substr(at, list.find('\n', at) + 1 - at);
            EXPECT_EQ(ask("GET VAR " + ups + " " + name),
                      line.empty() ? "ERR VAR-NOT-SUPPORTED\n" : line)
                << ups << " " << name;
            std::string type = ask("GET TYPE " + ups + " " + name);
            if (line.empty())
                EXPECT_EQ(type, "ERR VAR-NOT-SUPPORTED\n") << ups << " " << name;
            else
                EXPECT_EQ(type.rfind("TYPE " + ups + " " + name + " ", 0), 0u) << type;
            // Without values: the list's error for every variable it has.
            const char *why[] = {"DATA-STALE", "DRIVER-NOT-CONNECTED"};
            for (int lost = 0; lost < 2; lost++) {
                MachineContext &u = units[index];
                uint8_t connected = u.connected, taken = u.status_taken;
                u.connected = 0;
                u.status_taken = lost == 0;
                std::string expected =
                    line.empty() ? "ERR VAR-NOT-SUPPORTED\n" : std::string("ERR ") + why[lost] + "\n";
                EXPECT_EQ(ask("GET VAR " + ups + " " + name), expected) << ups << " " << name;
                EXPECT_EQ(ask("LIST VAR " + ups), std::string("ERR ") + why[lost] + "\n");
                EXPECT_EQ(ask("GET TYPE " + ups + " " + name), type) << ups << " " << name;
                u.connected = connected;
                u.status_taken = taken;
            }
        }
    }
    EXPECT_EQ(ask("GET FROB ups1 ups.bogus"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("GET VAR ups1 ups.status extra"), "ERR INVALID-ARGUMENT\n");
}

// Three clients in turn: who may log in, become primary, set FSD and send
// instant commands, what each command queues for the UPS, and the logins
// NUMLOGINS and LIST CLIENT count.
// With tls-required, a session without TLS gets ACCESS-DENIED for
// everything that carries or needs a password, before any other check;
// reads stay open; with TLS, or without the setting, nothing changes.
TEST_F(Mgmt, TlsRequiredRefusesPasswordsBeforeStarttls)
{
    struct {
        const char *request;
        const char *without_tls; // reply with tls_required and no TLS yet
    } table[] = {
        {"USERNAME admin", "ERR ACCESS-DENIED\n"},
        {"PASSWORD secret1", "ERR ACCESS-DENIED\n"},
        {"LOGIN ups1", "ERR ACCESS-DENIED\n"},
        {"PRIMARY ups1", "ERR ACCESS-DENIED\n"},
        {"MASTER ups1", "ERR ACCESS-DENIED\n"},
        {"FSD ups1", "ERR ACCESS-DENIED\n"},
        {"INSTCMD ups1 test.battery.start.quick", "ERR ACCESS-DENIED\n"},
        {"USERNAME", "ERR ACCESS-DENIED\n"},
        {"GET NUMLOGINS ups1", "NUMLOGINS ups1 0\n"},
        {"VER", nullptr},
        {"LOGOUT", "OK Goodbye\n"},
    };
    for (const auto &row : table) {
        std::string word(row.request, strcspn(row.request, " "));
        MgmtSession plain, required, secured;
        required.tls_required = true;
        secured.tls_required = true;
        secured.tls_active = true;
        std::string as_plain = mgmt_request(&plain, row.request, now_t);
        EXPECT_EQ(mgmt_request(&secured, row.request, now_t), as_plain) << row.request;
        EXPECT_EQ(mgmt_request(&required, row.request, now_t),
                  row.without_tls ? row.without_tls : as_plain)
            << row.request;
        EXPECT_EQ(mgmt_needs_tls(required, word),
                  row.without_tls && std::string(row.without_tls) == "ERR ACCESS-DENIED\n")
            << row.request;
        EXPECT_TRUE(required.username.empty() && required.password.empty()) << "nothing kept";
        mgmt_session_end(&plain);
        mgmt_session_end(&secured);
    }
}

TEST_F(Mgmt, LoginsRolesAndInstantCommands)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    // "openssl passwd -6 -salt saltsalt secret1", "openssl passwd -5 -salt pepper watch2"
    std::ofstream(dir.path + USERS_FILE)
        << "admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOF"
           "F0LzoHFZBt9E45NW0 monitor-primary,instcmd\n"
        << "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n";
    chmod((dir.path + USERS_FILE).c_str(), 0600); // a file open to others gives no user
    ASSERT_EQ(users_load(dir.path + USERS_FILE), 2);
    MgmtSession clients[3];
    clients[0].peer = 0x0a000002; // 10.0.0.2
    clients[1].peer = 0x7f000001;
    clients[2].peer = 0x0a000003;
    struct Step {
        int client;
        const char *request;
        const char *reply;
        const char *queued; // what unit 1's queue holds afterwards; nullptr: nothing new
    } steps[] = {
        {0, "USERNAME watch", "OK\n", nullptr},
        {0, "PASSWORD watch2", "OK\n", nullptr},
        {0, "INSTCMD ups1 test.battery.start.quick", "ERR ACCESS-DENIED\n", nullptr},
        {0, "PRIMARY ups1", "ERR ACCESS-DENIED\n", nullptr},
        {0, "LOGIN ups1", "OK\n", nullptr},
        {0, "LOGIN ups1", "ERR ALREADY-LOGGED-IN\n", nullptr},
        {0, "FSD ups1", "ERR ACCESS-DENIED\n", nullptr},
        {1, "USERNAME admin", "OK\n", nullptr},
        {1, "PASSWORD wrong", "OK\n", nullptr},
        {1, "LOGIN ups1", "ERR ACCESS-DENIED\n", nullptr},
        {1, "INSTCMD ups1 test.battery.start.quick", "ERR ACCESS-DENIED\n", nullptr},
        {2, "USERNAME admin", "OK\n", nullptr},
        {2, "PASSWORD secret1", "OK\n", nullptr},
        {2, "INSTCMD ups1 test.battery.start.quick", "OK\n", "T\r"},
        {2, "INSTCMD ups test.battery.start.deep", "OK\n", "TL\r"},
        {2, "INSTCMD ups1 test.battery.stop", "OK\n", "CT\r"},
        // A planned shutdown (the host first, the UPS after it), again,
        // and its cancel.
        {2, "INSTCMD ups1 shutdown.return", "OK\n", "S02R0001\r"},
        {2, "INSTCMD ups1 shutdown.stayoff", "OK\n", "S02\r"},
        {2, "INSTCMD ups1 shutdown.stop", "OK\n", "C\r"},
        {2, "INSTCMD ups1 beeper.toggle", "ERR CMD-NOT-SUPPORTED\n", nullptr},
        {2, "INSTCMD ups2 test.battery.start.quick", "ERR CMD-NOT-SUPPORTED\n", nullptr},
        {2, "INSTCMD ups1", "ERR INVALID-ARGUMENT\n", nullptr},
        {2, "GET VAR ups1 ups.delay.shutdown", "VAR ups1 ups.delay.shutdown \"120\"\n", nullptr},
        {2, "LOGIN ups2", "OK\n", nullptr},
        {2, "PRIMARY ups2", "OK PRIMARY-GRANTED\n", nullptr},
        {2, "MASTER ups2", "OK MASTER-GRANTED\n", nullptr},
        {2, "FSD ups1", "ERR ACCESS-DENIED\n", nullptr},
        {2, "GET NUMLOGINS ups1", "NUMLOGINS ups1 1\n", nullptr},
        {2, "LIST CLIENT ups1", "BEGIN LIST CLIENT ups1\nCLIENT ups1 10.0.0.2\nEND LIST CLIENT ups1\n",
         nullptr},
        {2, "GET VAR ups2 ups.status", "ERR DRIVER-NOT-CONNECTED\n", nullptr},
        {2, "FSD ups2", "OK FSD-SET\n", nullptr},
    };
    auto take_all = [&]() {
        std::string all, one;
        while (machine_take_pending(&units[0], &one))
            all += one;
        return all;
    };
    for (const Step &st : steps) {
        take_all();
        now_t.mono += MGMT_INSTCMD_SPACING; // one INSTCMD a second is taken
        testing::internal::CaptureStdout();
        EXPECT_EQ(mgmt_request(&clients[st.client], st.request, now_t), st.reply)
            << st.client << ": " << st.request;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(take_all(), st.queued ? st.queued : "") << st.request;
    }
    units[0].connected = 0; // lost: its queue would be emptied
    EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.start.quick", now_t),
              "ERR DATA-STALE\n");
    EXPECT_EQ(take_all(), "");
    units[0].connected = 1;
    // A full queue refuses the command, and the client is told.
    testing::internal::CaptureStdout();
    for (int i = 0; i < MACHINE_QUEUE_DEPTH; i++) {
        now_t.mono += MGMT_INSTCMD_SPACING;
        EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.start.quick", now_t), "OK\n");
    }
    now_t.mono += MGMT_INSTCMD_SPACING;
    EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.stop", now_t),
              "ERR INSTCMD-FAILED\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(machine_queued(&units[0]).size(), static_cast<size_t>(MACHINE_QUEUE_DEPTH));
    take_all();
    units[1].connected = units[1].status_taken = 1;
    memcpy(units[1].status, "000000011", 9);
    EXPECT_EQ(mgmt_request(&clients[0], "GET VAR ups2 ups.status", now_t), "VAR ups2 ups.status \"FSD OB\"\n");
    EXPECT_EQ(mgmt_request(&clients[0], "GET VAR ups1 ups.status", now_t), "VAR ups1 ups.status \"OL\"\n");
    for (MgmtSession &c : clients)
        mgmt_session_end(&c);
    EXPECT_EQ(mgmt_request(&clients[0], "GET NUMLOGINS ups1", now_t), "NUMLOGINS ups1 0\n");
    EXPECT_EQ(mgmt_request(&clients[0], "GET NUMLOGINS ups2", now_t), "NUMLOGINS ups2 0\n");
}

// A session that sends INSTCMD in a loop: one a second is taken, the
// others are answered ERR INSTCMD-FAILED and queue nothing; another session
// is not held up.
TEST_F(Mgmt, InstantCommandsAreOneASecondPerSession)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    // "openssl passwd -6 -salt saltsalt secret1"
    std::ofstream(dir.path + USERS_FILE)
        << "admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOF"
           "F0LzoHFZBt9E45NW0 instcmd\n";
    chmod((dir.path + USERS_FILE).c_str(), 0600); // a file open to others gives no user
    ASSERT_EQ(users_load(dir.path + USERS_FILE), 1);
    MgmtSession a, b;
    for (MgmtSession *s : {&a, &b}) {
        s->peer = 0x7f000001;
        mgmt_request(s, "USERNAME admin", now_t);
        mgmt_request(s, "PASSWORD secret1", now_t);
    }
    const char *stop = "INSTCMD ups1 test.battery.stop";
    double t0 = now_t.mono + 10;
    struct Row {
        MgmtSession *session;
        double at; // seconds after t0
        const char *reply;
    } rows[] = {
        {&a, 0, "OK\n"},   {&a, 0.3, "ERR INSTCMD-FAILED\n"}, {&b, 0.3, "OK\n"},
        {&a, 0.6, "ERR INSTCMD-FAILED\n"}, {&a, 0.9, "ERR INSTCMD-FAILED\n"},
        {&a, 1.2, "OK\n"}, {&a, 1.5, "ERR INSTCMD-FAILED\n"}, {&a, 2.2, "OK\n"},
    };
    testing::internal::CaptureStdout();
    for (const Row &r : rows) {
        LoopTime t = {t0 + r.at, now_t.wall};
        EXPECT_EQ(mgmt_request(r.session, stop, t), r.reply) << r.at;
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(machine_queued(&units[0]),
              (std::vector<std::string>{"CT\r", "CT\r", "CT\r", "CT\r"}));
    std::string one;
    while (machine_take_pending(&units[0], &one)) {
    }
    now_t.mono = t0 + 3;
}

// Wrong passwords bind the session that sent them, not its address: a right
// one from another session right after is taken. A source (all of
// 127.0.0.0/8 one) has MGMT_GUESS_BURST wrong checks at once, then
// MGMT_GUESS_RATE a second; past them a check is refused without crypt(3).
// An unknown name costs a check like a wrong password. Lines: one per kind
// a minute, with the count, and no control bytes of the name given.
TEST_F(Mgmt, WrongPasswordsBindTheSessionAndTheSourceHasAGuessingLimit)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::ofstream(dir.path + USERS_FILE)
        << "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n";
    chmod((dir.path + USERS_FILE).c_str(), 0600); // a file open to others gives no user
    ASSERT_EQ(users_load(dir.path + USERS_FILE), 1);
    double t0 = now_t.mono + 100000; // the guessing tables' first sight of these sources
    struct Try {
        uint32_t peer;
        double at; // seconds after t0
        const char *user, *password, *reply;
        bool crypt; // a crypt(3) check was run
        uint32_t source = 0; // the server's per-peer key; 0: by the address
    } tries[] = {
        {0x7f000001, 0, "watch", "wrong", "ERR ACCESS-DENIED\n", true},
        {0x7f000001, 0, "watch", "watch2", "OK\n", true}, // same address, at once
        {0x7f000002, 0, "\"ev\\\x1b[2Jil\"", "x", "ERR ACCESS-DENIED\n", true},
        {0x7f000003, 0, "watch", "w1", "ERR ACCESS-DENIED\n", true},
        {0x7f000004, 0, "watch", "w2", "ERR ACCESS-DENIED\n", true},
        {0x7f000005, 0, "watch", "w3", "ERR ACCESS-DENIED\n", true},
        {0x7f000006, 0, "watch", "w4", "ERR ACCESS-DENIED\n", true},
        {0x7f000007, 0, "watch", "w5", "ERR ACCESS-DENIED\n", true},
        {0x7f000008, 0, "watch", "w6", "ERR ACCESS-DENIED\n", true},
        {0x7f000009, 0, "watch", "w7", "ERR ACCESS-DENIED\n", true},
        {0x7f00000a, 0, "watch", "w8", "ERR ACCESS-DENIED\n", true}, // the tenth wrong one
        {0x7f00000b, 0, "watch", "watch2", "ERR ACCESS-DENIED\n", false}, // none left
        {0x0a000004, 0, "watch", "watch2", "OK\n", true},  // another source
        {0x7f00000e, 0, "watch", "watch2", "OK\n", true, 0x7f0003e9}, // a local user of its own
        {0x7f00000c, 0.49, "watch", "watch2", "ERR ACCESS-DENIED\n", false},
        {0x7f00000c, 0.5, "watch", "watch2", "OK\n", true}, // one came back
        {0x7f00000d, 0.5, "nosuch", "w9", "ERR ACCESS-DENIED\n", true},
        {0x7f00000d, 0.6, "nosuch", "w9", "ERR ACCESS-DENIED\n", false},
        {0x7f00000d, 61, "watch", "watch2", "OK\n", true},
    };
    testing::internal::CaptureStdout();
    for (const Try &t : tries) {
        MgmtSession s;
        s.peer = t.peer;
        s.source = t.source;
        LoopTime when = {t0 + t.at, now_t.wall};
        mgmt_request(&s, std::string("USERNAME ") + t.user, when);
        mgmt_request(&s, std::string("PASSWORD ") + t.password, when);
        long runs = users_crypt_runs();
        EXPECT_EQ(mgmt_request(&s, "LOGIN ups1", when), t.reply) << t.user << " at " << t.at;
        EXPECT_EQ(mgmt_request(&s, "LOGIN ups1", when),
                  std::string(t.reply) == "OK\n" ? "ERR ALREADY-LOGGED-IN\n" : t.reply);
        EXPECT_EQ(users_crypt_runs() - runs, t.crypt ? 1 : 0) << t.password << " at " << t.at;
        mgmt_session_end(&s);
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("mgmt: user \"watch\" from 127.0.0.1 refused: unknown user or wrong "
                       "password (1 since the last line); see Set/Users.ang\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("mgmt: user \"watch\" from 127.0.0.11 refused unchecked"), std::string::npos)
        << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    now_t.mono = t0 + 200;
}

// A reload that removes a user or changes its roles or password ends that
// user's logins at the session's next privileged request, and LIST CLIENT
// and NUMLOGINS forget them at once; a user left as it was keeps its login.
TEST_F(Mgmt, ReloadsEndTheLoginsOfChangedUsers)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    // "openssl passwd -6 -salt saltsalt secret1", "openssl passwd -5 -salt pepper watch2"
    std::string admin = "admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZ"
                        "QcvMVQO1BTCOFF0LzoHFZBt9E45NW0";
    std::string watch = "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73";
    auto load = [&](const std::string &text) {
        std::ofstream(dir.path + USERS_FILE) << text;
        chmod((dir.path + USERS_FILE).c_str(), 0600); // a file open to others gives no user
        ASSERT_GE(users_load(dir.path + USERS_FILE), 1);
    };
    struct Row {
        const char *file_roles; // admin's roles in the new file; nullptr: admin removed
        bool admin_kept;        // its open session still may command
    } rows[] = {
        {"monitor-primary,instcmd", true},
        {"instcmd,monitor-primary", true}, // the same roles, written otherwise
        {"instcmd", false},
        {nullptr, false},
    };
    testing::internal::CaptureStdout();
    for (const Row &r : rows) {
        load(admin + " monitor-primary,instcmd\n" + watch + " monitor-secondary\n");
        MgmtSession a, w;
        a.peer = 0x7f000001;
        w.peer = 0x0a000002;
        for (auto [s, user, password] : {std::tuple{&a, "admin", "secret1"},
                                         std::tuple{&w, "watch", "watch2"}}) {
            mgmt_request(s, std::string("USERNAME ") + user, now_t);
            mgmt_request(s, std::string("PASSWORD ") + password, now_t);
            ASSERT_EQ(mgmt_request(s, "LOGIN ups1", now_t), "OK\n");
        }
        ASSERT_EQ(mgmt_request(&a, "PRIMARY ups1", now_t), "OK PRIMARY-GRANTED\n");
        ASSERT_EQ(ask("GET NUMLOGINS ups1"), "NUMLOGINS ups1 2\n");
        load((r.file_roles ? admin + " " + r.file_roles + "\n" : std::string()) + watch +
             " monitor-secondary\n");
        EXPECT_EQ(ask("GET NUMLOGINS ups1"), r.admin_kept ? "NUMLOGINS ups1 2\n" : "NUMLOGINS ups1 1\n")
            << (r.file_roles ? r.file_roles : "removed");
        EXPECT_EQ(ask("LIST CLIENT ups1"),
                  std::string("BEGIN LIST CLIENT ups1\n") +
                      (r.admin_kept ? "CLIENT ups1 127.0.0.1\n" : "") +
                      "CLIENT ups1 10.0.0.2\nEND LIST CLIENT ups1\n");
        now_t.mono += MGMT_INSTCMD_SPACING;
        EXPECT_EQ(mgmt_request(&a, "INSTCMD ups1 test.battery.stop", now_t),
                  r.admin_kept ? "OK\n" : "ERR ACCESS-DENIED\n");
        EXPECT_EQ(mgmt_request(&a, "FSD ups1", now_t),
                  r.admin_kept ? "OK FSD-SET\n" : "ERR ACCESS-DENIED\n");
        EXPECT_EQ(mgmt_request(&a, "LOGIN ups1", now_t),
                  r.admin_kept ? "ERR ALREADY-LOGGED-IN\n" : "ERR ACCESS-DENIED\n");
        EXPECT_EQ(ask("GET NUMLOGINS ups1"), r.admin_kept ? "NUMLOGINS ups1 2\n" : "NUMLOGINS ups1 1\n");
        EXPECT_EQ(mgmt_request(&w, "LOGIN ups1", now_t), "ERR ALREADY-LOGGED-IN\n");
        mgmt_session_end(&a);
        mgmt_session_end(&w);
        std::string one;
        while (machine_take_pending(&units[0], &one)) {
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("login of user \"admin\" from 127.0.0.1 ended"), std::string::npos) << out;
}

} // namespace
