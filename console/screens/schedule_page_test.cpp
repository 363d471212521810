// The schedule list and edit pages: their list arithmetic on its own, and
// the real pages driven key by key on a curses screen whose output goes
// nowhere, over a schedule file in a temporary program directory.
#include "console/screens/schedule_page.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "console/client.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "tests/curses_screen.h"
#include "tests/tempdir.h"

namespace {

enum { YEAR_FIELD = 8, MONTH_FIELD = 9, FIRST_ROW = 11, LAST_ROW = 21, SCROLL_BAR = 22 };
enum { E_YEAR = 13, E_MONTH = 14, E_DAY = 15, E_HOUR = 16, E_MINUTE = 17, E_EVENT = 18 };
enum { E_REPEAT = 19, E_RESTORE_DAY = 20, E_RESTART_HOUR = 21, E_RESTART_MINUTE = 22 };
enum { E_SAVE = 23, E_MESSAGE = 26 };

const char SAVE_FAIL[] = "=====!!Save Fail!!=====";

int this_year()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t.tm_year + 1900;
}

int this_month()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t.tm_mon + 1;
}

// One 58-byte line of the schedule file.
std::string entry_line(int id, int y, int m, int d, const char *time_text, char action,
                       char repeat)
{
    char line[96];
    snprintf(line, sizeof line, "%04d %d %04d/%02d/%02d %s %-5c %c %25s\n", id,
             weekday_of(y, m, d), y, m, d, time_text, action, repeat, "");
    return line;
}

// The time of entry i of daily_entries: 00:i.
std::string entry_time(int i)
{
    char at[16];
    snprintf(at, sizeof at, "00:%02d", i);
    return at;
}

// `n` daily self tests that started in 2020, so every month lists them.
std::string daily_entries(int n)
{
    std::string text;
    for (int i = 0; i < n; i++)
        text += entry_line(i + 1, 2020, 1, 1, entry_time(i).c_str(), 'T', 'D');
    return text;
}

// Unit 1's pending command, under the name these tests use.
std::string pending_command()
{
    return pending();
}

// Stands in for the main menu, which the list page returns to.
Screen menu_stand_in;
int menu_enter(int)
{
    return 0;
}

class SchedulePages : public ::testing::Test {
protected:
    // Writes the schedule file, then builds the pages as the console does.
    void start(const std::string &schedule)
    {
        ensure_database_dir();
        std::ofstream(database_path("Schedule.ang")) << schedule;
        ASSERT_NE(curses.term, nullptr);
        build_popups();
        menu_stand_in.window = newwin(24, 80, 0, 0);
        menu_stand_in.on_enter = menu_enter;
        screen_add(SCREEN_MENU, &menu_stand_in);
        schedule_page_build(0, 0, 80, 24);
        schedule_edit_build(0, 0, 80, 24);
        machine_setup(client_unit(0), 3, 1);
        switch_screen(SCREEN_MENU);
        switch_screen(SCREEN_SCHEDULE);
    }
    void keys(int key, int times = 1)
    {
        for (int i = 0; i < times; i++)
            screen_key(key);
    }
    // Enter on the focused field, `downs` times Down in the list popup, Enter.
    void choose(int downs)
    {
        screen_key(KEY_BYTE_ENTER);
        ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
        keys(KEY_BYTE_DOWN, downs);
        screen_key(KEY_BYTE_ENTER);
    }
    // Opens the focused field's list and reports `text` as the popup does
    // on Enter: for years the list no longer offers.
    void report(const char *text)
    {
        screen_key(KEY_BYTE_ENTER);
        ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
        screen_list_choice(0, text);
        return_to_previous();
    }
    // Number of items in the open list popup.
    int popup_count()
    {
        list_popup_move(1000);
        int n = list_popup_selected() + 1;
        list_popup_move(-1000);
        return n;
    }
    std::string row(int r) { return schedule_page_text(FIRST_ROW + r); }
    std::string file() { return file_contents(database_path("Schedule.ang")); }

    TempProgramDir dir;
    CursesScreen curses;
};

// --- the list arithmetic, without a terminal

// Down or Up as the page does it, the focus on the list.
void press(ListWindow *w, int key)
{
    list_window_move(w, schedule_page_step(w, key), w->row, true);
}

TEST(ScheduleListArithmetic, TwentyFiveEntriesWalkScrollAndWrapAtBothEnds)
{
    ListWindow w = {0, 0, 0, 0};
    schedule_page_place(&w, 25);
    for (int i = 0; i < 10; i++)
        press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.row, 10) << "the highlight walks down to the last row";
    EXPECT_EQ(w.first_visible, 0);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 11);
    EXPECT_EQ(w.first_visible, 1) << "then each Down scrolls by one";
    EXPECT_EQ(w.row, 10);
    for (int i = 0; i < 13; i++)
        press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 24);
    EXPECT_EQ(w.first_visible, 14);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 0) << "Down on the last wraps to the first";
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 0);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 24) << "Up on the first wraps to the last";
    EXPECT_EQ(w.first_visible, 14);
    EXPECT_EQ(w.row, 10);
}

TEST(ScheduleListArithmetic, StepOnShortAndEmptyLists)
{
    ListWindow one = {0, 0, 1, 0};
    EXPECT_EQ(schedule_page_step(&one, KEY_BYTE_DOWN), 0);
    EXPECT_EQ(schedule_page_step(&one, KEY_BYTE_UP), 0);
    ListWindow none = {0, 0, 0, 0};
    press(&none, KEY_BYTE_DOWN);
    EXPECT_EQ(none.entry_cursor, 0);
    press(&none, KEY_BYTE_UP);
    EXPECT_EQ(none.entry_cursor, 0);
    EXPECT_EQ(list_window_entry(&none, 0), -1);
    EXPECT_EQ(schedule_page_step(&one, KEY_BYTE_ENTER), 0);
}

TEST(ScheduleListArithmetic, DeletingTheLastOfTwelvePullsTheWindowBack)
{
    ListWindow w = {0, 0, 0, 0};
    schedule_page_place(&w, 12);
    press(&w, KEY_BYTE_UP); // to the last of 12
    ASSERT_EQ(w.entry_cursor, 11);
    ASSERT_EQ(w.first_visible, 1);
    w.count = 11; // ... deleted
    list_window_move(&w, 0, w.row, true);
    EXPECT_EQ(w.entry_cursor, 10) << "the highlight moves to the new last entry";
    EXPECT_EQ(w.first_visible, 0) << "the window starts at entry 0";
    EXPECT_EQ(w.row, 10);
}

TEST(ScheduleListArithmetic, PlacingClampsALeftOverCursorBeforeTheWindow)
{
    ListWindow w = {20, 10, 25, 10};
    schedule_page_place(&w, 3);
    EXPECT_EQ(w.entry_cursor, 2);
    EXPECT_EQ(w.first_visible, 0) << "all three entries of the shorter month show";
    EXPECT_EQ(w.row, 2);

    w = {20, 10, 25, 10};
    schedule_page_place(&w, 15);
    EXPECT_EQ(w.entry_cursor, 14);
    EXPECT_EQ(w.first_visible, 4) << "the window ends with the list";
    EXPECT_EQ(w.row, 10);

    w = {5, 5, 25, 0}; // scrolled up: entry 5 in the first row
    schedule_page_place(&w, 25);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 5);

    w = {3, 0, 5, 3};
    schedule_page_place(&w, 0);
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.first_visible, 0);
}

TEST(ScheduleYears, ThisYearAndTheSevenAfterIt)
{
    char years[SCHEDULE_YEARS][5];
    schedule_page_year_list(2026, years);
    EXPECT_STREQ(years[0], "2026");
    EXPECT_STREQ(years[7], "2033");
    schedule_page_year_list(2099, years);
    EXPECT_STREQ(years[1], "2100");
    const char *const *now = schedule_page_years();
    EXPECT_EQ(std::stoi(now[0]), this_year()) << "the current year can be picked";
    EXPECT_EQ(std::stoi(now[SCHEDULE_YEARS - 1]), this_year() + 7);
}

// --- the list page

TEST_F(SchedulePages, ListPageShowsTheCurrentMonthAndItsTexts)
{
    start(daily_entries(2));
    char year[16], month[16];
    snprintf(year, sizeof year, "%04d", this_year());
    snprintf(month, sizeof month, "%02d", this_month());
    EXPECT_STREQ(schedule_page_text(YEAR_FIELD), year);
    EXPECT_STREQ(schedule_page_text(MONTH_FIELD), month);
    EXPECT_STREQ(schedule_page_text(1), " Plan Schedule ");
    EXPECT_STREQ(schedule_page_text(23), "Press Ins key to add a new schedule.Esc:Back to menu.");
    EXPECT_EQ(schedule_page_focus(), YEAR_FIELD);
    EXPECT_EQ(row(0).substr(0, 11), "Daily 00:00");
    EXPECT_EQ(row(1).substr(0, 11), "Daily 00:01");
    EXPECT_EQ(row(2), "");
    EXPECT_EQ(schedule_page_window().count, 2);
}

TEST_F(SchedulePages, TwentyFiveEntriesScrollAndWrapWithTheScrollBar)
{
    start(daily_entries(25));
    keys(KEY_BYTE_DOWN);
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW) << "the focus enters the list at the cursor";
    keys(KEY_BYTE_DOWN, 10);
    EXPECT_EQ(schedule_page_focus(), LAST_ROW);
    EXPECT_EQ(schedule_page_window().first_visible, 0);
    keys(KEY_BYTE_DOWN);
    EXPECT_EQ(schedule_page_focus(), LAST_ROW);
    EXPECT_EQ(schedule_page_window().first_visible, 1);
    EXPECT_NE(row(0).find(entry_time(1)), std::string::npos) << row(0);
    EXPECT_NE(row(10).find(entry_time(11)), std::string::npos) << row(10);
    keys(KEY_BYTE_DOWN, 13);
    EXPECT_EQ(schedule_page_window().entry_cursor, 24);
    keys(KEY_BYTE_DOWN);
    EXPECT_EQ(schedule_page_window().entry_cursor, 0) << "Down on the last wraps";
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW);
    EXPECT_EQ(schedule_page_window().first_visible, 0);
    EXPECT_NE(row(0).find(entry_time(0)), std::string::npos);
}

TEST_F(SchedulePages, UpOnTheFirstEntryHighlightsTheLastInTheLastRow)
{
    start(daily_entries(25));
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_UP);
    ListWindow w = schedule_page_window();
    EXPECT_EQ(w.entry_cursor, 24);
    EXPECT_EQ(w.first_visible, 14);
    EXPECT_EQ(schedule_page_focus(), LAST_ROW);
    EXPECT_NE(row(10).find(entry_time(24)), std::string::npos) << row(10);
    EXPECT_NE(row(0).find(entry_time(14)), std::string::npos) << row(0);
}

TEST_F(SchedulePages, DeletingTheLastOfTwelveRewritesTheFileAndTellsTheDaemon)
{
    start(daily_entries(12));
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_UP); // the last entry, id 0012, in the last row
    ASSERT_EQ(schedule_page_window().first_visible, 1);
    EXPECT_EQ(pending_command(), "");
    keys(KEY_BYTE_DELETE);
    EXPECT_EQ(file(), daily_entries(11)) << "only the highlighted entry went";
    ListWindow w = schedule_page_window();
    EXPECT_EQ(w.count, 11);
    EXPECT_EQ(w.entry_cursor, 10);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(schedule_page_focus(), LAST_ROW);
    EXPECT_NE(row(0).find(entry_time(0)), std::string::npos);
    EXPECT_EQ(pending_command(), "RefreshPlan");
}

TEST_F(SchedulePages, DeleteTakesTheHighlightedEntryFromTheMiddle)
{
    start(daily_entries(5));
    keys(KEY_BYTE_DOWN, 3); // entry 2, id 0003
    keys(KEY_BYTE_DELETE);
    std::string expected = daily_entries(2) + daily_entries(5).substr(3 * 58);
    EXPECT_EQ(file(), expected);
    EXPECT_NE(row(2).find(entry_time(3)), std::string::npos) << "the next one moved up";
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW + 2);
}

TEST_F(SchedulePages, DelOnADateFieldDeletesNothingButStillTellsTheDaemon)
{
    start(daily_entries(3));
    keys(KEY_BYTE_DELETE);
    EXPECT_EQ(file(), daily_entries(3)) << "no row is highlighted, so nothing is deleted";
    EXPECT_EQ(pending_command(), "RefreshPlan");
    EXPECT_EQ(schedule_page_focus(), YEAR_FIELD);
    EXPECT_EQ(schedule_page_window().count, 3);
}

TEST_F(SchedulePages, EmptyMonthHasEmptyRowsAndDelOnlyTellsTheDaemon)
{
    start("");
    for (int r = 0; r < 11; r++)
        EXPECT_EQ(row(r), "");
    keys(KEY_BYTE_DOWN);
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW);
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_UP);
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW);
    keys(KEY_BYTE_DELETE);
    EXPECT_EQ(file(), "");
    EXPECT_EQ(pending_command(), "RefreshPlan");
}

TEST_F(SchedulePages, MonthListOffersOneToTwelveAndEachMonthIsListed)
{
    std::string schedule;
    int year = this_year();
    for (int m = 1; m <= 12; m++)
        schedule += entry_line(m, year, m, 15, "08:30", 'T', 'O');
    start(schedule);
    keys(KEY_BYTE_RIGHT);
    ASSERT_EQ(schedule_page_focus(), MONTH_FIELD);
    screen_key(KEY_BYTE_ENTER);
    ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_STREQ(list_popup_row_text(0), "1");
    EXPECT_EQ(popup_count(), 12);
    screen_key(KEY_BYTE_ESC);
    for (int m = 1; m <= 12; m++) {
        choose(m - 1);
        ASSERT_EQ(current_screen(), SCREEN_SCHEDULE);
        char month[4], date[8];
        snprintf(month, sizeof month, "%02d", m);
        snprintf(date, sizeof date, "%02d/15", m);
        EXPECT_STREQ(schedule_page_text(MONTH_FIELD), month) << "two digits for month " << m;
        EXPECT_EQ(row(0).substr(0, 11), std::string(date) + " 08:30") << "month " << m;
        EXPECT_EQ(row(1), "") << "month " << m;
    }
}

TEST_F(SchedulePages, YearListOffersThisYearAndSevenMore)
{
    int year = this_year();
    start(entry_line(1, year + 1, this_month(), 3, "09:00", 'C', 'O'));
    EXPECT_EQ(row(0), "");
    screen_key(KEY_BYTE_ENTER);
    ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_EQ(std::stoi(list_popup_row_text(0)), year);
    EXPECT_EQ(popup_count(), SCHEDULE_YEARS);
    list_popup_move(1000);
    EXPECT_EQ(std::stoi(list_popup_row_text(list_popup_row())), year + 7);
    screen_key(KEY_BYTE_ESC);
    choose(1);
    EXPECT_EQ(std::stoi(schedule_page_text(YEAR_FIELD)), year + 1);
    EXPECT_EQ(row(0).substr(6, 17), "09:00 Cancel Test");
}

TEST_F(SchedulePages, HighlightStaysOnTheCursorEntryAfterTheEditPage)
{
    start(daily_entries(25));
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_UP);      // entry 24 in the last row
    keys(KEY_BYTE_UP, 19);  // up to entry 5, now in the first row
    ASSERT_EQ(schedule_page_window().first_visible, 5);
    ASSERT_EQ(schedule_page_focus(), FIRST_ROW);
    keys(KEY_BYTE_INSERT);
    ASSERT_EQ(current_screen(), SCREEN_SCHEDULE_EDIT);
    keys(KEY_BYTE_ESC);
    ASSERT_EQ(current_screen(), SCREEN_SCHEDULE);
    int focused = schedule_page_focus() - FIRST_ROW;
    ASSERT_GE(focused, 0);
    EXPECT_NE(row(focused).find(entry_time(5)), std::string::npos)
        << "the highlighted row shows the cursor's entry: " << row(focused);
    keys(KEY_BYTE_DELETE);
    EXPECT_EQ(file().find(entry_line(6, 2020, 1, 1, "00:05", 'T', 'D')), std::string::npos)
        << "Del deleted the entry it showed";
    EXPECT_EQ(file().size(), 24u * 58);
}

TEST_F(SchedulePages, AShorterMonthAfterScrollingShowsAllItsEntries)
{
    int next = this_year() + 1;
    std::string schedule = daily_entries(3);
    for (int i = 0; i < 22; i++)
        schedule += entry_line(4 + i, next, 6, 15, "12:00", 'S', 'O');
    start(schedule);
    choose(1); // next year
    keys(KEY_BYTE_RIGHT);
    choose(5); // June: 25 entries
    ASSERT_EQ(schedule_page_window().count, 25);
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_UP); // the last one
    keys(KEY_BYTE_RIGHT);
    choose(6); // July: the three daily entries
    ListWindow w = schedule_page_window();
    EXPECT_EQ(w.count, 3);
    EXPECT_EQ(w.entry_cursor, 2);
    EXPECT_EQ(w.first_visible, 0);
    for (int r = 0; r < 3; r++)
        EXPECT_NE(row(r).find(entry_time(r)), std::string::npos) << r << ": " << row(r);
    EXPECT_EQ(row(3), "");
}

TEST_F(SchedulePages, EscReturnsToTheMenuAndResetsTheFocusToTheYear)
{
    start(daily_entries(4));
    keys(KEY_BYTE_DOWN, 3);
    keys(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    switch_screen(SCREEN_SCHEDULE);
    EXPECT_EQ(schedule_page_focus(), YEAR_FIELD);
    EXPECT_EQ(schedule_page_window().entry_cursor, 2) << "the cursor survives the visit";
    keys(KEY_BYTE_DOWN);
    EXPECT_EQ(schedule_page_focus(), FIRST_ROW + 2);
}

// --- the edit page

TEST_F(SchedulePages, EditPageStartsWithThisMonthAndSelfTestOnce)
{
    start("");
    keys(KEY_BYTE_INSERT);
    ASSERT_EQ(current_screen(), SCREEN_SCHEDULE_EDIT);
    EXPECT_EQ(std::stoi(schedule_edit_text(E_YEAR)), this_year());
    EXPECT_EQ(std::stoi(schedule_edit_text(E_MONTH)), this_month());
    EXPECT_EQ(strlen(schedule_edit_text(E_MONTH)), 2u);
    EXPECT_STREQ(schedule_edit_text(E_DAY), "01");
    EXPECT_STREQ(schedule_edit_text(E_HOUR), "00");
    EXPECT_STREQ(schedule_edit_text(E_EVENT), "Self Test");
    EXPECT_STREQ(schedule_edit_text(E_REPEAT), "Once");
    EXPECT_STREQ(schedule_edit_text(1), " Plan  Schedule ");
    EXPECT_EQ(schedule_edit_focus(), E_YEAR);
    EXPECT_EQ(schedule_edit_weekday(), weekday_of(this_year(), this_month(), 1));
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(std::stoi(list_popup_row_text(0)), this_year()) << "the year list opens on item 0";
    EXPECT_EQ(popup_count(), SCHEDULE_YEARS);
}

TEST_F(SchedulePages, DayListsFollowTheYearAndTheMonth)
{
    start("");
    keys(KEY_BYTE_INSERT);
    report("2012");
    keys(KEY_BYTE_RIGHT);
    choose(1); // "02"
    EXPECT_STREQ(schedule_edit_text(E_MONTH), "02");
    keys(KEY_BYTE_RIGHT);
    choose(4); // day "05"
    EXPECT_STREQ(schedule_edit_text(E_DAY), "05");
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(popup_count(), 29) << "February 2012";
    list_popup_move(1000);
    EXPECT_STREQ(list_popup_row_text(list_popup_row()), "29");
    screen_key(KEY_BYTE_ESC);

    keys(KEY_BYTE_LEFT, 2);
    report("2013");
    EXPECT_STREQ(schedule_edit_text(E_DAY), "01") << "a new year starts the month again";
    EXPECT_EQ(schedule_edit_month_days(), 28);
    keys(KEY_BYTE_RIGHT, 2);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(popup_count(), 28) << "February 2013";
    screen_key(KEY_BYTE_ESC);

    keys(KEY_BYTE_LEFT);
    choose(3); // April
    EXPECT_STREQ(schedule_edit_text(E_DAY), "01");
    keys(KEY_BYTE_RIGHT);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(popup_count(), 30);
    screen_key(KEY_BYTE_ESC);

    // The leap year among the years the list offers.
    keys(KEY_BYTE_LEFT, 2);
    int leap = 0;
    for (int i = 0; i < SCHEDULE_YEARS && !leap; i++)
        if (days_in_month(this_year() + i, 2) == 29)
            leap = i;
    choose(leap);
    keys(KEY_BYTE_RIGHT);
    choose(1);
    keys(KEY_BYTE_RIGHT);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(popup_count(), 29) << this_year() + leap;
}

TEST_F(SchedulePages, ADateIsSavedWithItsWeekday)
{
    start("");
    keys(KEY_BYTE_INSERT);
    report("2012");
    keys(KEY_BYTE_RIGHT);
    choose(2); // March
    EXPECT_EQ(schedule_edit_weekday(), 5) << "2012/03/01 is a Thursday";
    keys(KEY_BYTE_RIGHT);
    choose(6); // the 7th, a Wednesday
    EXPECT_EQ(schedule_edit_weekday(), 4);
    choose(0); // back to the 1st
    keys(KEY_BYTE_DOWN, 4); // event, repeat, restore day, Save
    ASSERT_EQ(schedule_edit_focus(), E_SAVE);
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(file(), entry_line(1, 2012, 3, 1, "00:00", 'T', 'O'));
    EXPECT_EQ(file().substr(5, 1), "5");
}

TEST_F(SchedulePages, RestartEventMakesTheRestoreFieldsSelectable)
{
    start("");
    keys(KEY_BYTE_INSERT);
    keys(KEY_BYTE_DOWN, 2); // repeat
    keys(KEY_BYTE_DOWN);    // restore day
    ASSERT_EQ(schedule_edit_focus(), E_RESTORE_DAY);
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE_EDIT) << "inert without the restart event";
    keys(KEY_BYTE_UP, 2);
    ASSERT_EQ(schedule_edit_focus(), E_EVENT);
    choose(4);
    EXPECT_STREQ(schedule_edit_text(E_EVENT), "Shut down and restart command");
    EXPECT_STREQ(schedule_edit_text(E_RESTORE_DAY), "Today");
    EXPECT_STREQ(schedule_edit_text(E_RESTART_HOUR), "00");
    EXPECT_STREQ(schedule_edit_text(E_RESTART_MINUTE), "00");
    keys(KEY_BYTE_DOWN, 2);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_EQ(popup_count(), 6);
    screen_key(KEY_BYTE_ESC);
    keys(KEY_BYTE_RIGHT);
    ASSERT_EQ(schedule_edit_focus(), E_RESTART_HOUR);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(popup_count(), 24);
    screen_key(KEY_BYTE_ESC);

    keys(KEY_BYTE_UP, 2);
    ASSERT_EQ(schedule_edit_focus(), E_EVENT);
    choose(0);
    EXPECT_STREQ(schedule_edit_text(E_RESTORE_DAY), "");
    EXPECT_STREQ(schedule_edit_text(E_RESTART_HOUR), "");
    EXPECT_STREQ(schedule_edit_text(E_RESTART_MINUTE), "");
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_RIGHT); // restart hour
    ASSERT_EQ(schedule_edit_focus(), E_RESTART_HOUR);
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE_EDIT) << "inert again";
}

TEST_F(SchedulePages, RestartBeforeTheShutdownIsRefusedAndADayLaterIsSaved)
{
    start("");
    keys(KEY_BYTE_INSERT);
    keys(KEY_BYTE_RIGHT, 3);
    choose(22); // 22:00
    keys(KEY_BYTE_DOWN);
    choose(4); // shut down and restart
    keys(KEY_BYTE_DOWN, 2);
    keys(KEY_BYTE_RIGHT); // restart hour
    choose(6);            // 06:00, today
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_LEFT); // Save
    ASSERT_EQ(schedule_edit_focus(), E_SAVE);
    keys(KEY_BYTE_ENTER);
    EXPECT_STREQ(schedule_edit_text(E_MESSAGE), SAVE_FAIL);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE_EDIT);
    EXPECT_EQ(file(), "") << "nothing added";
    EXPECT_EQ(pending_command(), "") << "nothing to reload";
    EXPECT_STREQ(schedule_edit_text(E_HOUR), "22") << "the fields are kept";

    keys(KEY_BYTE_UP); // restore day
    choose(1);         // 1 day later
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE);
    char line[96];
    int y = this_year(), m = this_month();
    snprintf(line, sizeof line, "0001 %d %04d/%02d/01 22:00 R0480 O %25s\n", weekday_of(y, m, 1),
             y, m, "1 day later 06:00 restart");
    EXPECT_EQ(file(), line);
    EXPECT_EQ(pending_command(), "RefreshPlan");
    EXPECT_NE(row(0).find("22:00 Shutdown and restore Once    1 day later 06:00 restart"),
              std::string::npos)
        << "the new entry is in the month's list: " << row(0);

    keys(KEY_BYTE_INSERT);
    EXPECT_STREQ(schedule_edit_text(E_MESSAGE), "") << "no message on the next visit";
    EXPECT_STREQ(schedule_edit_text(E_RESTORE_DAY), "1 day later");
}

TEST_F(SchedulePages, EqualRestartAndShutdownTimesAreAccepted)
{
    start("");
    keys(KEY_BYTE_INSERT);
    keys(KEY_BYTE_DOWN);
    choose(4);
    keys(KEY_BYTE_DOWN, 2);
    keys(KEY_BYTE_DOWN); // Save, restart today at 00:00 after a shutdown at 00:00
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE);
    EXPECT_EQ(file().substr(24, 5), "R0000");
    EXPECT_EQ(file().substr(32, 25), "0 day later 00:00 restart");
}

TEST_F(SchedulePages, CancelAndEscLeaveWithoutSavingAndKeepTheFields)
{
    start("");
    keys(KEY_BYTE_INSERT);
    keys(KEY_BYTE_DOWN, 2);
    choose(2); // Weekly
    keys(KEY_BYTE_DOWN, 2);
    keys(KEY_BYTE_RIGHT); // Cancel
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE);
    keys(KEY_BYTE_INSERT);
    EXPECT_STREQ(schedule_edit_text(E_REPEAT), "Weekly");
    keys(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_SCHEDULE);
    EXPECT_EQ(file(), "");
    EXPECT_EQ(pending_command(), "");
}

TEST_F(SchedulePages, SavedEntriesGoToTheListOfTheirMonthOnly)
{
    int m = this_month();
    start("");
    keys(KEY_BYTE_INSERT);
    keys(KEY_BYTE_RIGHT);
    choose(m % 12); // the month after this one (January after December)
    keys(KEY_BYTE_DOWN, 4);
    keys(KEY_BYTE_ENTER);
    EXPECT_EQ(row(0), "") << "not this month's";
    keys(KEY_BYTE_INSERT);
    ASSERT_EQ(schedule_edit_focus(), E_SAVE) << "the page is kept as it was left";
    keys(KEY_BYTE_DOWN);
    keys(KEY_BYTE_RIGHT);
    choose(m - 1); // this month
    keys(KEY_BYTE_DOWN, 4);
    keys(KEY_BYTE_ENTER);
    char date[16];
    snprintf(date, sizeof date, "%02d/01", m);
    EXPECT_EQ(row(0).substr(0, 5), date);
    EXPECT_EQ(row(1), "");
    EXPECT_EQ(schedule_page_window().count, 1);
    EXPECT_EQ(file().substr(0, 4) + file().substr(58, 4), "00010002");
}

} // namespace
