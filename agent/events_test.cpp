#include "agent/events.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "agent/decision.h"
#include "store/event_text.h"
#include "store/mail.h"
#include "store/settings.h"
#include "store/sms.h"
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

    // Sets status bits b7..b0 of a unit as a reply would, then checks.
    void reply(int index, const char *bits, bool connected = true, bool taken = true)
    {
        MachineContext &u = units[index];
        for (int i = 0; i < 8; i++)
            u.status[7 - i] = bits[i];
        u.connected = connected ? 1 : 0;
        u.fail_count = connected ? 0 : 4;
        u.status_taken = taken ? 1 : 0;
        check_status_events(&u, 1000000);
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
    reply(1, "10000000");
    EXPECT_EQ(log_lines(dir.path), (std::vector<std::string>{"02 08 1 0", "02 07 1 0"}));
    EXPECT_EQ(subjects(), (std::vector<std::string>{" Machine2 AC Failed", " Machine2 AC Failed"}));
    ASSERT_EQ(spawned().size(), 3u);
    EXPECT_EQ(spawned()[2][0], "shutdown");
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
        if (argv.size() == 8)
            sms.push_back(argv[7]);
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
    decision_start("events-test"); // a restart during the outage
    machine_setup(&units[0], KIND_LOCAL_MULTIPLE, 1);
    machine_preset_status_prev(&units[0], STATUS_AC_FAILED, '1');
    reply(0, "00000000", true, false);
    reply(0, "10000000");
    EXPECT_EQ(log_lines(dir.path), (std::vector<std::string>{"01 07 1 0", "01 08 1 0",
                                                             "01 08 1 0"}));
    std::vector<std::string> shutdowns;
    for (const auto &argv : spawned())
        if (argv[0] == "shutdown")
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

TEST(EventsText, NoticeWording)
{
    EXPECT_STREQ(event_notice_text(6, '0', '0'), "Battery Capacity normal");
    EXPECT_STREQ(event_notice_text(8, '1', '0'), "Connect");
    EXPECT_STREQ(event_notice_text(5, '1', '1'), "In AVR mode");
    EXPECT_EQ(event_notice_text(0, '1', '0'), nullptr);
}

} // namespace
