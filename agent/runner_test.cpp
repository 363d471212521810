#include "agent/runner.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/decision.h"
#include "agent/host.h"
#include "store/schedule.h"
#include "store/settings.h"
#include "tests/host_standin.h"
#include "tests/tempdir.h"

namespace {

class Runner : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        settings_load(dir.path);
        schedule_load();
        machine_setup(&unit1, KIND_LOCAL_SINGLE, 1);
        runner_init(&unit1);
        runner_reset_dates();
        decision_init(&unit1);
        decision_start("runner-test-boot");
        decision_configure({10, 1, 2}, true);
        host_standin_clear();
    }
    void TearDown() override
    {
        runner_init(nullptr);
        decision_init(nullptr);
    }

    // Every queued command, in the order they go out, joined; the queue
    // is emptied.
    std::string take_pending()
    {
        std::string all, one;
        while (machine_take_pending(&unit1, &one))
            all += one;
        return all;
    }
    // 2026/12/07 hh:mm:ss UTC (a Monday).
    static time_t at(int hour, int minute, int second = 0)
    {
        return 1796601600 + hour * 3600 + minute * 60 + second;
    }

    TempProgramDir dir;
    MachineContext unit1{};
};

TEST(RunnerCommand, CommandTable)
{
    EXPECT_EQ(runner_command("C    ", 2), "CT\r");
    EXPECT_EQ(runner_command("L    ", 2), "TL\r");
    EXPECT_EQ(runner_command("T    ", 2), "T\r");
    EXPECT_EQ(runner_command("S    ", 2), "S02\r");
    EXPECT_EQ(runner_command("S    ", 0), "S01\r");
    EXPECT_EQ(runner_command("R0480", 2), "S02R0480\r");
    EXPECT_EQ(runner_command("R0480", 0), "S01R0480\r");
    EXPECT_EQ(runner_command("S    ", 120), "S99\r") << "the longest delay the UPS takes";
    EXPECT_EQ(runner_command("R0480", 120), "S99R0480\r");
    EXPECT_EQ(runner_command("R9999", 2), "S02R9999\r");
    EXPECT_EQ(runner_command("R04x0", 2), "") << "no restore time, no command";
    EXPECT_EQ(runner_command("R    ", 2), "");
    EXPECT_EQ(runner_command("X    ", 2), "");
}

TEST_F(Runner, EntryDueAt0830QueuesOnceInThatMinute)
{
    schedule_add(2, "2026/12/07", 8, 30, 'T', 'O', 0, 0, 0, "");
    EXPECT_EQ(runner_tick(at(8, 29, 0)), 0);
    EXPECT_EQ(runner_tick(at(8, 30, 0)), 1);
    EXPECT_EQ(take_pending(), "T\r");
    EXPECT_EQ(runner_tick(at(8, 30, 59)), 0) << "never twice in one minute";
    EXPECT_EQ(runner_tick(at(8, 31, 0)), 0);
    EXPECT_EQ(take_pending(), "");
}

TEST_F(Runner, HeldUpThreadCatchesUpTheMinutesItMissed)
{
    schedule_add(2, "2026/12/07", 8, 30, 'S', 'O', 0, 0, 0, "");
    runner_tick(at(8, 28, 50));
    EXPECT_EQ(runner_tick(at(8, 31, 1)), 1) << "08:30 was passed over";
    // A planned shutdown: the host at once, the UPS after it.
    EXPECT_EQ(host_standin_calls(), (std::vector<std::vector<std::string>>{
                                        {"shutdown", "-h", "+0", "System will shut down after 0 mins."}}));
    EXPECT_EQ(take_pending(), "S02\r");
}

TEST_F(Runner, MidnightSelectsTheNewDay)
{
    // A daily entry at 00:00 of a later start day is not due today, but a
    // once entry on the 8th is due after midnight only.
    schedule_add(3, "2026/12/08", 0, 0, 'C', 'O', 0, 0, 0, "");
    EXPECT_EQ(runner_tick(at(23, 59)), 0);
    EXPECT_EQ(runner_tick(at(24, 0)), 1);
    EXPECT_EQ(take_pending(), "CT\r");
}

TEST_F(Runner, SchedulePicksUpRefreshWithoutANewDate)
{
    runner_tick(at(9, 0));
    schedule_add(2, "2026/12/07", 9, 2, 'L', 'D', 0, 0, 0, "");
    schedule_load();
    schedule_select_today(2026, 12, 7); // what "RefreshPlan" does
    EXPECT_EQ(runner_tick(at(9, 2)), 1);
    EXPECT_EQ(take_pending(), "TL\r");
}

// Both entries of a minute go out; the turn-off is the decision's, so it
// goes first (the control lane).
TEST_F(Runner, TwoEntriesInOneMinuteBothGoOut)
{
    schedule_add(2, "2026/12/07", 10, 0, 'T', 'O', 0, 0, 0, "");
    schedule_add(2, "2026/12/07", 10, 0, 'R', 'O', 1, 6, 0, "1 day later 06:00 restart");
    EXPECT_EQ(runner_tick(at(10, 0)), 2);
    EXPECT_EQ(take_pending(), "S02R1200\rT\r");
}

} // namespace
