#include "agent/events.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "agent/decision.h"
#include "agent/metrics.h"
#include "store/event_text.h"
#include "store/mail.h"
#include "store/settings.h"
#include "store/sms.h"
#include "tests/host_standin.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

std::vector<std::string> log_lines(const std::string &dir)
{
    std::ifstream in(dir + "DataBase/Event.ang");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line.substr(20)); // without the time stamp
    return lines;
}

class Events : public ::testing::Test {
protected:
    void SetUp() override
    {
        events_reset();
        settings_load(dir.path);
        mail_init(dir.path);
        sms_init(dir.path);
        MailSettings m = mail_settings_get();
        snprintf(m.mail_server, sizeof m.mail_server, "mx");
        snprintf(m.mail_sender, sizeof m.mail_sender, "ups@x");
        snprintf(m.mail_receivers, sizeof m.mail_receivers, "a@x;b@y");
        snprintf(m.mail_events, sizeof m.mail_events, "011111111");
        mail_settings_set(m);
        for (int i = 0; i < 2; i++)
            machine_setup(&units[i], KIND_LOCAL_MULTIPLE, i + 1);
        decision_init(&units[0]);
        decision_start("events-test");
        decision_configure({10, 1, 2}, true);
    }
    void TearDown() override
    {
        decision_start("a later boot"); // forgets this test's conditions
        decision_init(nullptr);
    }

    // Sets status bits b7..b0 of a unit as a reply would, then checks (at
    // `now`).
    void reply(int index, const char *bits, bool connected = true, bool taken = true,
               time_t now = 1000000)
    {
        MachineContext &u = units[index];
        for (int i = 0; i < 8; i++)
            u.status[7 - i] = bits[i];
        u.connected = connected ? 1 : 0;
        u.fail_count = connected ? 0 : 4;
        u.status_taken = taken ? 1 : 0;
        check_status_events(&u, now);
    }
    // Mail subjects started so far.
    std::vector<std::string> subjects()
    {
        std::vector<std::string> s;
        for (const auto &argv : spawned())
            if (argv[0].ends_with("mail"))
                s.push_back(argv[6]);
        return s;
    }

    // The hook's argument vectors started so far.
    std::vector<std::vector<std::string>> hooks()
    {
        std::vector<std::vector<std::string>> h;
        for (const auto &argv : spawned())
            if (argv[0].ends_with("event-hook"))
                h.push_back(argv);
        return h;
    }

    TempProgramDir dir;
    SpawnRecorder rec;
    MachineContext units[2]{};
};

TEST_F(Events, MainsFailureOnUnitTwoIsLoggedMailedAndActedOn)
{
    reply(1, "00000000");
    spawned().clear();
    host_standin_clear();
    reply(1, "10000000");
    EXPECT_EQ(log_lines(dir.path), (std::vector<std::string>{"02 08 1 0", "02 07 1 0"}));
    EXPECT_EQ(subjects(), (std::vector<std::string>{" Machine2 AC Failed", " Machine2 AC Failed"}));
    ASSERT_EQ(spawned().size(), 2u);
    ASSERT_EQ(host_standin_calls().size(), 1u);
    EXPECT_EQ(host_standin_calls()[0][1], "-h");
    EXPECT_EQ(machine_queued(&units[0]), std::vector<std::string>{"S12R0001\r"})
        << "the UPS command always goes to unit 1";
    reply(1, "10000000");
    EXPECT_EQ(log_lines(dir.path).size(), 2u) << "each change is reported once";
}

TEST_F(Events, BeeperAndTypeChangesAreNotReported)
{
    reply(0, "00000000");
    spawned().clear();
    reply(0, "00001001");
    reply(0, "00000000");
    EXPECT_EQ(log_lines(dir.path), std::vector<std::string>{"01 08 1 0"});
    EXPECT_TRUE(spawned().empty());
}

TEST_F(Events, BypassOrAvrByUpsType)
{
    reply(0, "00100000"); // on-line type
    reply(0, "00000000");
    reply(1, "00101000"); // off-line type
    reply(1, "00001000");
    EXPECT_EQ(subjects(), (std::vector<std::string>{
                              " Machine1 Bypass", " Machine1 Bypass", " Machine1 Connect",
                              " Machine1 Connect", " Machine1 Normal", " Machine1 Normal",
                              " Machine2 In AVR mode", " Machine2 In AVR mode",
                              " Machine2 Connect", " Machine2 Connect", " Machine2 Normal",
                              " Machine2 Normal"}))
        << "positions are reported in ascending order";
    std::vector<std::string> lines = log_lines(dir.path);
    EXPECT_EQ(lines[3], "02 05 1 1") << "column 29 carries the type";
}

// A unit lost and a unit that never answered are both a Disconnect, once,
// when they are given up; before that, a unit not yet answering is neither.
TEST_F(Events, LossAndNeverAnsweringGiveDisconnectOnce)
{
    reply(0, "00000000");
    reply(0, "00000000", false);
    EXPECT_EQ(log_lines(dir.path), (std::vector<std::string>{"01 08 1 0", "01 08 0 0"}));
    EXPECT_EQ(subjects().back(), " Machine1 Disconnect");

    MachineContext &u = units[1];
    u.fail_count = 3; // three failed tries: not given up yet
    check_status_events(&u, 1000000);
    EXPECT_EQ(log_lines(dir.path).size(), 2u) << "not yet given up";
    reply(1, "00000000", false, false);
    reply(1, "00000000", false, false);
    EXPECT_EQ(log_lines(dir.path),
              (std::vector<std::string>{"01 08 1 0", "01 08 0 0", "02 08 0 0"}));
    EXPECT_EQ(subjects().back(), " Machine2 Disconnect");
    reply(1, "00000000", true, false);
    EXPECT_EQ(log_lines(dir.path).back(), "02 08 1 0") << "found at last: Connect";
}

TEST_F(Events, BatteryLowAlreadyAtFirstReplyActs)
{
    SmsSettings s = sms_settings_get();
    snprintf(s.sms_phones, sizeof s.sms_phones, "0911");
    s.sms_events[6] = '1';
    sms_settings_set(s);
    reply(0, "01000000");
    std::vector<std::string> sms;
    for (const auto &argv : spawned())
        if (argv[0].ends_with("sms"))
            sms.push_back(argv[6]);
    EXPECT_EQ(sms, std::vector<std::string>{" Machine1 Battery Low"});
    EXPECT_EQ(machine_queued(&units[0]), std::vector<std::string>{"S03R0001\r"});
}

// A unit that answers before its status is taken (the filter's first
// replies, a peer's unconnected record) is connected, but its zeros are no
// status: nothing else is reported, and no shutdown is cancelled by them.
TEST_F(Events, OnlyTheConnectionCountsUntilTheStatusIsTaken)
{
    reply(0, "10000000");
    spawned().clear();
    host_standin_clear();
    decision_start("events-test"); // a restart during the outage
    machine_setup(&units[0], KIND_LOCAL_MULTIPLE, 1);
    machine_preset_status_prev(&units[0], STATUS_AC_FAILED, '1');
    reply(0, "00000000", true, false);
    reply(0, "10000000");
    EXPECT_EQ(log_lines(dir.path), (std::vector<std::string>{"01 07 1 0", "01 08 1 0",
                                                             "01 08 1 0"}));
    std::vector<std::string> shutdowns;
    for (const auto &argv : host_standin_calls())
        shutdowns.push_back(argv[1] + " " + argv[2]);
    EXPECT_EQ(shutdowns, std::vector<std::string>{"-h +10"}) << "the minutes left, once";
    EXPECT_TRUE(decision_holds(0, DECISION_MAINS));
}

TEST_F(Events, HookIsStartedWithUnitCodeStateAndText)
{
    std::string hook = dir.path + "Set/event-hook";
    ensure_dir(dir.path + "Set/");
    std::ofstream(hook) << "#!/bin/sh\n";
    reply(1, "00000000");
    EXPECT_TRUE(hooks().empty()) << "not executable: not started";
    chmod(hook.c_str(), 0755);
    reply(1, "10000000");
    EXPECT_EQ(hooks(), (std::vector<std::vector<std::string>>{{hook, "2", "7", "1", "AC Failed"}}));
    reply(1, "10000000", false);
    EXPECT_EQ(hooks().back(), (std::vector<std::string>{hook, "2", "8", "0", "Disconnect"}));
}

// A flapping mains is told at most once a minute per unit: changes within
// a minute of the unit's last position-7 notice are logged but held back,
// and the first check after the minute tells the current state with their
// count. Other positions and the other unit are told as ever.
TEST_F(Events, MainsNoticesAreCoalescedToOneAMinutePerUnit)
{
    std::string hook = dir.path + "Set/event-hook";
    ensure_dir(dir.path + "Set/");
    std::ofstream(hook) << "#!/bin/sh\n";
    chmod(hook.c_str(), 0755);
    const time_t t0 = 2000000;
    reply(0, "00000000", true, true, t0 - 100);
    reply(1, "00000000", true, true, t0 - 100);
    struct Step {
        int index;                          // unit 1 or 2 (0, 1)
        int at;                             // seconds after t0
        const char *bits;                   // b7..b0
        std::vector<std::string> notices;   // hooks started: "UNIT CODE STATE TEXT"
    } steps[] = {
        {0, 0, "10000000", {"1 7 1 AC Failed"}},
        {0, 10, "00000000", {}},
        {1, 10, "10000000", {"2 7 1 AC Failed"}}, // a minute of its own
        {0, 20, "10000000", {}},
        {0, 25, "11000000", {"1 6 1 Battery Low"}}, // another position: at once
        {0, 30, "01000000", {}},
        {0, 59, "01000000", {}},
        {1, 59, "00000000", {}},
        {0, 60, "01000000", {"1 7 0 AC Recovery (3 changes since the last notice)"}},
        {0, 61, "01000000", {}},
        {1, 70, "00000000", {"2 7 0 AC Recovery (1 change since the last notice)"}},
        {0, 80, "11000000", {}}, // within a minute of the notice at 60
        {0, 119, "11000000", {}},
        {0, 120, "11000000", {"1 7 1 AC Failed (1 change since the last notice)"}},
        {0, 200, "01000000", {"1 7 0 AC Recovery"}}, // a quiet minute: told at once
        {0, 230, "11000000", {}},
        {0, 260, "01000000", {"1 7 0 AC Recovery (2 changes since the last notice)"}},
        {0, 400, "01000000", {}}, // nothing held: nothing told
        {1, 400, "00000000", {}},
    };
    int changes[2] = {0, 0};
    std::string last[2] = {"00000000", "00000000"};
    for (const Step &step : steps) {
        spawned().clear();
        reply(step.index, step.bits, true, true, t0 + step.at);
        changes[step.index] += last[step.index][0] != step.bits[0];
        last[step.index] = step.bits;
        std::vector<std::string> told, expected_mail;
        for (const auto &argv : hooks())
            told.push_back(argv[1] + " " + argv[2] + " " + argv[3] + " " + argv[4]);
        for (const std::string &n : step.notices)
            for (int receiver = 0; receiver < 2; receiver++)
                expected_mail.push_back(" Machine" + n.substr(0, 1) + " " + n.substr(6));
        EXPECT_EQ(told, step.notices) << "unit " << step.index + 1 << " at " << step.at;
        EXPECT_EQ(subjects(), expected_mail) << "unit " << step.index + 1 << " at " << step.at;
    }
    int logged[2] = {0, 0};
    for (const std::string &line : log_lines(dir.path))
        if (line.substr(2, 4) == " 07 ")
            logged[line[1] - '1']++;
    EXPECT_EQ(logged[0], changes[0]) << "the log has every change";
    EXPECT_EQ(logged[1], changes[1]) << "the log has every change";
}

// The decision's reports are logged with the unit's type as last taken,
// counted, and told by mail, SMS and hook whatever the per-code flags.
TEST_F(Events, DecisionReportsAreToldToEveryReceiver)
{
    MailSettings m = mail_settings_get();
    snprintf(m.mail_events, sizeof m.mail_events, "000000000");
    mail_settings_set(m);
    SmsSettings sm = sms_settings_get();
    snprintf(sm.sms_phones, sizeof sm.sms_phones, "0911;0922");
    snprintf(sm.sms_events, sizeof sm.sms_events, "000000000");
    sms_settings_set(sm);
    std::string hook = dir.path + "Set/event-hook";
    ensure_dir(dir.path + "Set/");
    std::ofstream(hook) << "#!/bin/sh\n";
    chmod(hook.c_str(), 0755);
    reply(0, "00001000"); // off-line type
    struct Case {
        int address, code;
        char state;
        const char *line; // the log line without its time stamp
        const char *text;
    } cases[] = {
        {1, EVENT_SHUTDOWN_CALL, '1', "01 09 1 1", "Shutdown call failed"},
        {1, EVENT_SHUTDOWN_CALL, '0', "01 09 0 1", "Shutdown call works"},
        {3, EVENT_UPS_COMMAND, '1', "03 10 1 0", "UPS ignored a command"}, // never seen: '0'
        {1, EVENT_UPS_COMMAND, '0', "01 10 0 1", "UPS took the command"},
    };
    for (const Case &c : cases) {
        spawned().clear();
        event_report(c.address, c.code, c.state, 1000100);
        EXPECT_EQ(log_lines(dir.path).back(), c.line);
        std::string unit = std::to_string(c.address), told = " Machine" + unit + " " + c.text;
        std::vector<std::string> sms;
        for (const auto &argv : spawned())
            if (argv[0].ends_with("sms"))
                sms.push_back(argv[3] + argv[6]);
        EXPECT_EQ(subjects(), (std::vector<std::string>{told, told})) << c.text;
        EXPECT_EQ(sms, (std::vector<std::string>{"0911" + told, "0922" + told})) << c.text;
        EXPECT_EQ(hooks(), (std::vector<std::vector<std::string>>{
                               {hook, unit, std::to_string(c.code), std::string(1, c.state),
                                c.text}}));
    }
    std::string metrics = metrics_text(units, 2, 0);
    EXPECT_NE(metrics.find("upsagent_events_total{unit=\"1\",code=\"9\","
                           "event=\"shutdown_call_failed\"} 2\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("upsagent_events_total{unit=\"1\",code=\"10\","
                           "event=\"ups_ignored_command\"} 1\n"),
              std::string::npos)
        << metrics;
}

TEST(EventsText, NoticeWording)
{
    EXPECT_STREQ(event_notice_text(6, '0', '0'), "Battery Capacity normal");
    EXPECT_STREQ(event_notice_text(8, '1', '0'), "Connect");
    EXPECT_STREQ(event_notice_text(5, '1', '1'), "In AVR mode");
    EXPECT_EQ(event_notice_text(0, '1', '0'), nullptr);
}

} // namespace
