#include "store/schedule.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/tempdir.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ScheduleEntry entry(const char *date, char repeat, const char *action = "T    ")
{
    ScheduleEntry e{};
    snprintf(e.start_date, sizeof e.start_date, "%s", date);
    int y = atoi(date), m = atoi(date + 5), d = atoi(date + 8);
    e.start_weekday = static_cast<int8_t>(weekday_of(y, m, d));
    snprintf(e.start_time, sizeof e.start_time, "08:30");
    snprintf(e.action, sizeof e.action, "%s", action);
    e.repeat = repeat;
    snprintf(e.restore_text, sizeof e.restore_text, "%25s", "");
    return e;
}

TEST(Calendar, WeekdaysAndMonthLengths)
{
    EXPECT_EQ(weekday_of(2012, 3, 1), 5) << "Thursday";
    EXPECT_EQ(weekday_of(2026, 12, 6), 1) << "Sunday";
    EXPECT_EQ(weekday_of(2026, 12, 7), 2) << "Monday";
    EXPECT_EQ(weekday_of(2001, 1, 1), 2) << "Monday";
    EXPECT_EQ(weekday_of(2099, 12, 31), 5) << "Thursday";
    EXPECT_EQ(days_in_month(2012, 2), 29);
    EXPECT_EQ(days_in_month(2013, 2), 28);
    EXPECT_EQ(days_in_month(2000, 2), 29);
    EXPECT_EQ(days_in_month(2100, 2), 28);
    EXPECT_EQ(days_in_month(2026, 4), 30);
    EXPECT_EQ(days_in_month(2026, 12), 31);
}

TEST(ScheduleDue, OnceDailyWeeklyMonthlyAcrossYears)
{
    ScheduleEntry once = entry("2026/12/20", 'O');
    EXPECT_TRUE(schedule_is_due(once, 2026, 12, 20));
    EXPECT_FALSE(schedule_is_due(once, 2026, 12, 21));
    EXPECT_FALSE(schedule_is_due(once, 2027, 12, 20)) << "once is once";

    ScheduleEntry daily = entry("2026/12/20", 'D');
    EXPECT_TRUE(schedule_is_due(daily, 2026, 12, 7)) << "counts from the first of its month";
    EXPECT_FALSE(schedule_is_due(daily, 2026, 11, 30));
    EXPECT_TRUE(schedule_is_due(daily, 2027, 1, 1));
    EXPECT_FALSE(schedule_is_due(entry("2027/01/01", 'D'), 2026, 12, 31)) << "next year";

    ScheduleEntry monthly = entry("2026/11/30", 'M');
    EXPECT_TRUE(schedule_is_due(monthly, 2026, 12, 30));
    EXPECT_FALSE(schedule_is_due(monthly, 2026, 12, 29));
    EXPECT_TRUE(schedule_is_due(monthly, 2027, 3, 30));
    EXPECT_FALSE(schedule_is_due(entry("2026/01/31", 'M'), 2026, 2, 28))
        << "a monthly 31st skips shorter months";

    ScheduleEntry weekly = entry("2026/12/21", 'W'); // a Monday
    EXPECT_TRUE(schedule_is_due(weekly, 2026, 12, 7)) << "every Monday from the first of the month";
    EXPECT_FALSE(schedule_is_due(weekly, 2026, 12, 8));
    EXPECT_TRUE(schedule_is_due(weekly, 2027, 6, 7));
    EXPECT_FALSE(schedule_is_due(entry("2026/12/21", 'X'), 2026, 12, 21));
}

TEST(ScheduleInMonth, EarlierSameLater)
{
    ScheduleEntry e = entry("2026/06/15", 'D');
    EXPECT_EQ(schedule_in_month(e, 2027, 1), 2);
    EXPECT_EQ(schedule_in_month(e, 2026, 7), 2);
    EXPECT_EQ(schedule_in_month(e, 2026, 6), 1);
    EXPECT_EQ(schedule_in_month(e, 2026, 5), 0);
    EXPECT_EQ(schedule_in_month(e, 2025, 12), 0);
}

TEST(ScheduleListLine, ColumnsByRepeatAndAction)
{
    EXPECT_EQ(schedule_list_line(entry("2026/12/02", 'M')),
              "02th  08:30 Self Test            Monthly                          ");
    EXPECT_EQ(schedule_list_line(entry("2026/12/02", 'O', "L    ")).substr(0, 40),
              "12/02 08:30 Test to Battery Low  Once   ");
    EXPECT_EQ(schedule_list_line(entry("2026/12/07", 'W', "C    ")).substr(0, 6), "Mon   ");
    ScheduleEntry r = entry("2026/12/07", 'D', "R0480");
    snprintf(r.restore_text, sizeof r.restore_text, "%25s", "1 day later 06:00 restart");
    EXPECT_EQ(schedule_list_line(r),
              "Daily 08:30 Shutdown and restore Daily   1 day later 06:00 restart");
    snprintf(r.restore_text, sizeof r.restore_text, "%25s", "0 day later 23:00 restart");
    EXPECT_EQ(schedule_list_line(r).substr(41), "Today 23:00 restart      ");
}

class Schedule : public ::testing::Test {
protected:
    void SetUp() override { schedule_load(); }
    TempProgramDir dir;
    std::string file() { return dir.path + "DataBase/Schedule.ang"; }
};

TEST_F(Schedule, AddWritesFixedLinesAndRefusesRestartBeforeShutdown)
{
    int wd = weekday_of(2026, 12, 7);
    ASSERT_EQ(schedule_add(wd, "2026/12/07", 22, 0, 'R', 'O', 1, 6, 0,
                           "1 day later 06:00 restart"),
              0);
    EXPECT_EQ(schedule_add(wd, "2026/12/07", 22, 0, 'R', 'O', 0, 6, 0,
                           "0 day later 06:00 restart"),
              -1);
    ASSERT_EQ(schedule_add(wd, "2026/12/07", 8, 5, 'T', 'D', 0, 0, 0, ""), 0);
    std::string text = slurp(file());
    EXPECT_EQ(text, "0001 2 2026/12/07 22:00 R0480 O 1 day later 06:00 restart\n"
                    "0002 2 2026/12/07 08:05 T     D                          \n");
    EXPECT_EQ(schedule_count(), 2);
    EXPECT_EQ(schedule_select_today(2026, 12, 7), 2);
    std::vector<ScheduleEntry> today = schedule_selected();
    EXPECT_STREQ(today[0].action, "R0480");
    EXPECT_STREQ(today[1].start_time, "08:05");
}

TEST_F(Schedule, IdsAfterDeletingTheLastEntry)
{
    for (int i = 0; i < 3; i++)
        schedule_add(2, "2026/12/07", 8, i, 'T', 'O', 0, 0, 0, "");
    EXPECT_EQ(schedule_delete(3), 1);
    EXPECT_EQ(schedule_next_id(), 3) << "the id of a deleted last entry is given again";
    EXPECT_EQ(schedule_delete(1), 1);
    schedule_add(2, "2026/12/07", 9, 0, 'S', 'O', 0, 0, 0, "");
    EXPECT_EQ(slurp(file()).substr(0, 5), "0002 ");
    EXPECT_EQ(slurp(file()).substr(58, 5), "0003 ");
    EXPECT_EQ(schedule_delete(2) + schedule_delete(3), 2);
    EXPECT_EQ(slurp(file()), "") << "deleting the only entries leaves an empty file";
    EXPECT_EQ(schedule_select_month(2026, 12), 0);
    schedule_add(2, "2026/12/07", 9, 0, 'S', 'O', 0, 0, 0, "");
    EXPECT_EQ(slurp(file()).substr(0, 4), "0004") << "an empty file keeps the last id";
}

TEST_F(Schedule, FirstIdIsOneAndBadLinesAreSkipped)
{
    schedule_add(2, "2026/12/07", 8, 0, 'T', 'O', 0, 0, 0, "");
    EXPECT_EQ(slurp(file()).substr(0, 4), "0001");
    std::ofstream(file(), std::ios::app) << "garbage\n"
                                         << "0009 2 2026/12/07 10:00 C     W                          \n"
                                         << "0010 2 2026/12/07 11:";
    schedule_reload();
    EXPECT_EQ(schedule_count(), 2);
    EXPECT_EQ(schedule_next_id(), 10);
}

TEST_F(Schedule, MonthSelectionShowsRecurringEntriesOfEarlierMonths)
{
    schedule_add(1, "2026/11/01", 8, 0, 'T', 'O', 0, 0, 0, "");
    schedule_add(1, "2026/11/01", 8, 0, 'T', 'W', 0, 0, 0, "");
    schedule_add(2, "2026/12/07", 8, 0, 'T', 'O', 0, 0, 0, "");
    schedule_add(5, "2027/01/01", 8, 0, 'T', 'D', 0, 0, 0, "");
    EXPECT_EQ(schedule_select_month(2026, 12), 2);
    std::vector<ScheduleEntry> s = schedule_selected();
    EXPECT_STREQ(s[0].entry_id, "0002");
    EXPECT_STREQ(s[1].entry_id, "0003");
    EXPECT_EQ(std::string(s[1].list_line).substr(0, 5), "12/07");
    EXPECT_EQ(schedule_select_month(2026, 11), 2);
}

} // namespace
