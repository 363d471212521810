#include "agent/mgmt.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "agent/users.h"
#include "store/paths.h"
#include "tests/tempdir.h"

namespace {

MachineContext units[4];
int two()
{
    return 2;
}

class Mgmt : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 4; i++)
            machine_setup(&units[i], KIND_LOCAL_MULTIPLE, i + 1);
        mgmt_configure(units, two);
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
    std::string ask(const std::string &line) { return mgmt_request(&session, line); }
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
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
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
        for (const auto &[name, value] : mgmt_variables(0, &stale))
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
}

// Three clients in turn: who may log in, become primary, set FSD and send
// instant commands, what each command queues for the UPS, and the logins
// NUMLOGINS and LIST CLIENT count.
TEST_F(Mgmt, LoginsRolesAndInstantCommands)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    // "openssl passwd -6 -salt saltsalt secret1", "openssl passwd -5 -salt pepper watch2"
    std::ofstream(dir.path + USERS_FILE)
        << "admin $6$saltsalt$jCP90RmSIIja2o9FRs25ASQaR1lMN6uKHmNcHaoNCpAXgV3n5NfAlQdZQcvMVQO1BTCOF"
           "F0LzoHFZBt9E45NW0 monitor-primary,instcmd\n"
        << "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n";
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
        testing::internal::CaptureStdout();
        EXPECT_EQ(mgmt_request(&clients[st.client], st.request), st.reply)
            << st.client << ": " << st.request;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(take_all(), st.queued ? st.queued : "") << st.request;
    }
    units[0].connected = 0; // lost: its queue would be emptied
    EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.start.quick"),
              "ERR DATA-STALE\n");
    EXPECT_EQ(take_all(), "");
    units[0].connected = 1;
    // A full queue refuses the command, and the client is told.
    testing::internal::CaptureStdout();
    for (int i = 0; i < MACHINE_QUEUE_DEPTH; i++)
        EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.start.quick"), "OK\n");
    EXPECT_EQ(mgmt_request(&clients[2], "INSTCMD ups1 test.battery.stop"),
              "ERR INSTCMD-FAILED\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(machine_queued(&units[0]).size(), static_cast<size_t>(MACHINE_QUEUE_DEPTH));
    take_all();
    units[1].connected = units[1].status_taken = 1;
    memcpy(units[1].status, "000000011", 9);
    EXPECT_EQ(mgmt_request(&clients[0], "GET VAR ups2 ups.status"), "VAR ups2 ups.status \"FSD OB\"\n");
    EXPECT_EQ(mgmt_request(&clients[0], "GET VAR ups1 ups.status"), "VAR ups1 ups.status \"OL\"\n");
    for (MgmtSession &c : clients)
        mgmt_session_end(&c);
    EXPECT_EQ(mgmt_request(&clients[0], "GET NUMLOGINS ups1"), "NUMLOGINS ups1 0\n");
    EXPECT_EQ(mgmt_request(&clients[0], "GET NUMLOGINS ups2"), "NUMLOGINS ups2 0\n");
}

// A client with a wrong password comes back every few seconds: one line per
// peer a minute, and the name it gave cannot put control bytes in the log.
// Within a second of a refusal the same host is refused unchecked, even with
// the right password; other hosts are not held up.
TEST_F(Mgmt, RefusedLoginsAreOneLineAMinutePerPeer)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::ofstream(dir.path + USERS_FILE)
        << "watch $5$pepper$dIK6Qu/CFCKUyCqLTTGJMzc1rZcHXCZbZiwqySs4i73 monitor-secondary\n";
    ASSERT_EQ(users_load(dir.path + USERS_FILE), 1);
    struct Try {
        uint32_t peer;
        const char *user, *password, *reply;
    } tries[] = {
        {0x0a000002, "watch", "wrong", "ERR ACCESS-DENIED\n"},
        {0x0a000002, "watch", "wrong", "ERR ACCESS-DENIED\n"},
        {0x0a000002, "\"ev\\\x1b[2Jil\"", "x", "ERR ACCESS-DENIED\n"},
        {0x0a000002, "watch", "watch2", "ERR ACCESS-DENIED\n"},
        {0x0a000003, "\"ev\\\x1b[2Jil\"", "x", "ERR ACCESS-DENIED\n"},
        {0x0a000004, "watch", "watch2", "OK\n"},
        {0x0a000002, "watch", "watch2", "OK\n"}, // after the pause below
    };
    testing::internal::CaptureStdout();
    for (const Try &t : tries) {
        if (&t == &tries[std::size(tries) - 1])
            usleep(static_cast<useconds_t>(MGMT_RETRY_SECONDS * 1e6) + 100 * 1000);
        MgmtSession s;
        s.peer = t.peer;
        mgmt_request(&s, std::string("USERNAME ") + t.user);
        mgmt_request(&s, std::string("PASSWORD ") + t.password);
        EXPECT_EQ(mgmt_request(&s, "LOGIN ups1"), t.reply) << t.user;
        mgmt_session_end(&s);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "mgmt: user \"watch\" from 10.0.0.2 refused: unknown user or wrong password (1 "
              "since the last line); see Set/Users.ang\n"
              "mgmt: user \"ev.[2Jil\" from 10.0.0.3 refused: unknown user or wrong password (1 "
              "since the last line); see Set/Users.ang\n");
}

} // namespace
