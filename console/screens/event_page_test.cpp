// The event log page: the list window as the page drives it (arrival, Down
// and Up with their wrap-arounds), the year choices, and the page itself
// drawn into a curses screen whose output goes nowhere.
#include "console/screens/event_page.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/screens/menu.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/event_log.h"
#include "store/paths.h"
#include "tests/curses_screen.h"
#include "tests/tempdir.h"

namespace {

// A list of `count` entries as the page has it after arriving at a month
// with the cursor at 0 and entering the list from the year field.
ListWindow entered(int count)
{
    ListWindow w = {0, 0, 0, 0};
    event_page_arrive(&w, count);
    event_page_list_key(&w, KEY_BYTE_DOWN, -1);
    return w;
}

void press(ListWindow *w, int key, int times = 1)
{
    for (int i = 0; i < times; i++)
        event_page_list_key(w, key, w->row);
}

TEST(EventPageList, DownFromTheLastRowScrollsByOneAndKeepsTheHighlight)
{
    ListWindow w = entered(30);
    press(&w, KEY_BYTE_DOWN, 10);
    EXPECT_EQ(w.entry_cursor, 10);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 10);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 11);
    EXPECT_EQ(w.first_visible, 1);
    EXPECT_EQ(w.row, 10) << "the highlight stays on the last row";
    press(&w, KEY_BYTE_DOWN, 5);
    EXPECT_EQ(w.first_visible, 6);
    EXPECT_EQ(w.row, 10);
    EXPECT_EQ(list_window_entry(&w, 0), 6);
    EXPECT_EQ(list_window_entry(&w, 10), 16);
}

TEST(EventPageList, DownOnTheLastEventWrapsToTheFirst)
{
    ListWindow w = entered(30);
    press(&w, KEY_BYTE_DOWN, 29);
    ASSERT_EQ(w.entry_cursor, 29);
    ASSERT_EQ(w.first_visible, 19);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.first_visible, 0) << "the scroll bar goes back to the top";
    EXPECT_EQ(w.row, 0);
}

TEST(EventPageList, UpOnTheFirstEventHighlightsTheLastInTheLastRow)
{
    ListWindow w = entered(30);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 29);
    EXPECT_EQ(w.first_visible, 19);
    EXPECT_EQ(w.row, 10);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 28);
    EXPECT_EQ(w.first_visible, 19);
    EXPECT_EQ(w.row, 9);
}

TEST(EventPageList, UpFromTheFirstRowScrollsBackByOne)
{
    ListWindow w = entered(30);
    press(&w, KEY_BYTE_DOWN, 15);
    press(&w, KEY_BYTE_UP, 10);
    ASSERT_EQ(w.row, 0);
    ASSERT_EQ(w.first_visible, 5);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 4);
    EXPECT_EQ(w.first_visible, 4);
    EXPECT_EQ(w.row, 0);
}

TEST(EventPageList, FiveEventsFillFiveRowsAndWrap)
{
    ListWindow w = entered(5);
    for (int r = 0; r < 5; r++)
        EXPECT_EQ(list_window_entry(&w, r), r);
    for (int r = 5; r < LIST_WINDOW_ROWS; r++)
        EXPECT_EQ(list_window_entry(&w, r), -1) << "row " << r;
    press(&w, KEY_BYTE_DOWN, 4);
    EXPECT_EQ(w.row, 4);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.row, 0);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 4);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 4);
}

TEST(EventPageList, AnEmptyMonthKeepsTheFirstRow)
{
    ListWindow w = entered(0);
    EXPECT_EQ(w.row, 0);
    press(&w, KEY_BYTE_DOWN);
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.row, 0);
    press(&w, KEY_BYTE_UP);
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.row, 0);
    for (int r = 0; r < LIST_WINDOW_ROWS; r++)
        EXPECT_EQ(list_window_entry(&w, r), -1);
}

TEST(EventPageList, EnteringFromAFieldKeepsTheCursor)
{
    ListWindow w = entered(30);
    press(&w, KEY_BYTE_DOWN, 14);
    event_page_list_key(&w, KEY_BYTE_UP, -1);
    EXPECT_EQ(w.entry_cursor, 14) << "the focus enters the list where it was";
    event_page_list_key(&w, KEY_BYTE_ESC, w.row);
    EXPECT_EQ(w.entry_cursor, 14) << "other keys change nothing";
}

TEST(EventPageList, ArrivalPlacesTheWindowToEndAtTheCursor)
{
    ListWindow w = {20, 0, 0, 0};
    event_page_arrive(&w, 30);
    EXPECT_EQ(w.entry_cursor, 20);
    EXPECT_EQ(w.first_visible, 10);
    EXPECT_EQ(w.row, 10);

    w = {11, 0, 0, 0};
    event_page_arrive(&w, 30);
    EXPECT_EQ(w.first_visible, 1);
    EXPECT_EQ(w.row, 10);

    w = {7, 3, 0, 0};
    event_page_arrive(&w, 30);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 7);
}

TEST(EventPageList, ArrivalAtASmallerMonthShowsAFullWindowEndingAtItsLastEvent)
{
    ListWindow w = {25, 15, 30, 10};
    event_page_arrive(&w, 20);
    EXPECT_EQ(w.entry_cursor, 19);
    EXPECT_EQ(w.first_visible, 9);
    EXPECT_EQ(w.row, 10);
    for (int r = 0; r < LIST_WINDOW_ROWS; r++)
        EXPECT_EQ(list_window_entry(&w, r), 9 + r) << "row " << r;

    w = {25, 15, 30, 10};
    event_page_arrive(&w, 5);
    EXPECT_EQ(w.entry_cursor, 4);
    EXPECT_EQ(w.first_visible, 0);
    EXPECT_EQ(w.row, 4);
    for (int r = 0; r < 5; r++)
        EXPECT_EQ(list_window_entry(&w, r), r) << "every event of the month shows";
}

TEST(EventPageYears, TheCurrentYearFirstThenTheSevenBefore)
{
    char years[EVENT_PAGE_YEARS][5];
    event_page_years(2026, years);
    const char *expected[EVENT_PAGE_YEARS] = {"2026", "2025", "2024", "2023",
                                              "2022", "2021", "2020", "2019"};
    for (int i = 0; i < EVENT_PAGE_YEARS; i++)
        EXPECT_STREQ(years[i], expected[i]) << "item " << i;
}

TEST(EventPageYears, FollowTheClock)
{
    char years[EVENT_PAGE_YEARS][5];
    event_page_years(2031, years);
    EXPECT_STREQ(years[0], "2031");
    EXPECT_STREQ(years[7], "2024");
}

// The page in a curses screen writing to /dev/null, its files in a
// temporary program directory.
// A page is built once per process, as at start-up, so each of these tests
// needs a process of its own (ctest runs every TEST so).
class EventPageScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(curses.term, nullptr);
        time_t now = time(nullptr);
        struct tm t;
        localtime_r(&now, &t);
        year = t.tm_year + 1900;
        month = t.tm_mon + 1;
    }
    // Appends one line in the daemon's format.
    void event(int y, int m, int day, int second, int unit, int code, int state)
    {
        std::ofstream f(database_path("Event.ang"), std::ios::app);
        char line[64];
        snprintf(line, sizeof line, "%04d/%02d/%02d 10:00:%02d %02d %02d %d 0\n", y, m, day,
                 second, unit, code, state);
        f << line;
    }
    // What the terminal shows, under the name these tests use.
    std::string cells(int row, int col, int n) { return screen_cells(row, col, n); }
    // A list row without its trailing blanks.
    std::string row_text(int row)
    {
        std::string s = cells(row, 4, 69);
        return s.substr(0, s.find_last_not_of(' ') + 1);
    }

    TempProgramDir dir;
    CursesScreen curses;
    int year = 0, month = 0;
};

TEST_F(EventPageScreen, ListsTheCurrentMonthOldestFirst)
{
    ensure_database_dir();
    event(year - 1, month, 1, 0, 1, 8, 1); // same month, another year
    event(year, month, 2, 1, 1, 7, 1);
    event(year, month, 2, 2, 1, 7, 0);
    event(year, month % 12 + 1, 3, 3, 1, 6, 1); // another month
    event(year, month, 4, 4, 2, 5, 1);
    event(year, month, 5, 5, 1, 9, 1); // the decision's reports
    event(year, month, 6, 6, 1, 10, 0);
    new_list_popup(10, 12, 60, 8);
    event_page_build(0, 0, 80, 24);
    switch_screen(SCREEN_EVENT_LOG);

    char date[8];
    snprintf(date, sizeof date, "%04d/%02d", year, month);
    EXPECT_EQ(cells(5, 2, 13), "Date:" + std::string(date, 4) + "/ " + std::string(date + 5, 2));
    EXPECT_EQ(cells(8, 4, 36), "Date        Time      Machine  Event");
    EXPECT_EQ(cells(10, 4, 69), std::string(date) + "/02  10:00:01  01       AC Failed" +
                                    std::string(29, ' '));
    EXPECT_EQ(row_text(11), std::string(date) + "/02  10:00:02  01       AC Recovery");
    EXPECT_EQ(row_text(12), std::string(date) + "/04  10:00:04  02       Bypass");
    EXPECT_EQ(row_text(13), std::string(date) + "/05  10:00:05  01       Shutdown call failed");
    EXPECT_EQ(row_text(14), std::string(date) + "/06  10:00:06  01       UPS took the command");
    EXPECT_EQ(cells(15, 4, 69), std::string(69, ' ')) << "five events, the rest empty";
    EXPECT_EQ(pair_at(5, 7), 2) << "the year field has the focus";
    EXPECT_EQ(pair_at(10, 4), 3) << "no row is highlighted while a field has the focus";
    EXPECT_EQ(pair_at(11, 73), 7) << "five events: the thumb fills the track";
}

TEST_F(EventPageScreen, AChosenYearListsThatYearsMonthAndReadsTheLogAgain)
{
    ensure_database_dir();
    event(year, month, 2, 1, 1, 7, 1);
    new_list_popup(10, 12, 60, 8);
    event_page_build(0, 0, 80, 24);
    switch_screen(SCREEN_EVENT_LOG);
    event(year - 1, month, 9, 5, 3, 2, 1); // appended while the page shows

    char years[EVENT_PAGE_YEARS][5];
    event_page_years(year, years);
    const char *items[EVENT_PAGE_YEARS];
    for (int i = 0; i < EVENT_PAGE_YEARS; i++)
        items[i] = years[i];
    list_popup_open(items, EVENT_PAGE_YEARS, 0);
    switch_screen(SCREEN_LIST_POPUP);
    screen_list_choice(1, items[1]);
    return_to_previous();

    char date[32];
    snprintf(date, sizeof date, "%04d/%02d/09", year - 1, month);
    EXPECT_EQ(cells(5, 7, 4), years[1]);
    EXPECT_EQ(row_text(10), std::string(date) + "  10:00:05  03       Test in Progress");
    EXPECT_EQ(cells(11, 4, 69), std::string(69, ' '));
}

TEST_F(EventPageScreen, ThirtyEventsScrollAndWrapWithTheListRules)
{
    ensure_database_dir();
    for (int i = 0; i < 30; i++)
        event(year, month, 1, i, 1, 7, i % 2 == 0 ? 1 : 0);
    new_list_popup(10, 12, 60, 8);
    menu_build(0, 0, 80, 24);
    event_page_build(0, 0, 80, 24);
    switch_screen(SCREEN_EVENT_LOG);
    auto second_in_row = [&](int screen_row) { return cells(screen_row, 22, 2); };

    event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(10, 4), 2) << "the focus enters the list at the first event";
    EXPECT_EQ(pair_at(5, 7), 1) << "and leaves the year field";
    for (int i = 0; i < 10; i++)
        event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(20, 4), 2);
    EXPECT_EQ(second_in_row(20), "10");
    event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(20, 4), 2) << "the highlight stays on the last row";
    EXPECT_EQ(pair_at(19, 4), 3);
    EXPECT_EQ(second_in_row(20), "11");
    EXPECT_EQ(second_in_row(10), "01") << "the list scrolled by one";

    for (int i = 0; i < 18; i++)
        event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(second_in_row(20), "29");
    event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(10, 4), 2) << "Down on the last event wraps to the first";
    EXPECT_EQ(second_in_row(10), "00");
    EXPECT_EQ(pair_at(11, 73), 7) << "the thumb is back at the top of the track";

    event_page_key(KEY_BYTE_UP);
    EXPECT_EQ(pair_at(20, 4), 2) << "Up on the first event highlights the last in the last row";
    EXPECT_EQ(second_in_row(20), "29");
    EXPECT_EQ(second_in_row(10), "19") << "first visible 19";
    EXPECT_EQ(pair_at(11, 73), 5);
    EXPECT_EQ(pair_at(19, 73), 7) << "the thumb at the bottom of the track";

    event_page_key(KEY_BYTE_RIGHT);
    EXPECT_EQ(pair_at(5, 13), 2) << "Right goes to the month field";
    EXPECT_EQ(pair_at(20, 4), 3);
    event_page_key(KEY_BYTE_LEFT);
    EXPECT_EQ(pair_at(5, 7), 2) << "Left goes to the year field";
}

TEST_F(EventPageScreen, ComingBackFocusesTheYearAndDownFindsTheOldCursorClamped)
{
    ensure_database_dir();
    for (int i = 0; i < 30; i++)
        event(year, month, 2, i, 1, 7, 1);
    new_list_popup(10, 12, 60, 8);
    menu_build(0, 0, 80, 24);
    event_page_build(0, 0, 80, 24);
    switch_screen(SCREEN_EVENT_LOG);
    for (int i = 0; i < 26; i++)
        event_page_key(KEY_BYTE_DOWN);
    event_page_key(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_MENU);

    std::filesystem::remove(database_path("Event.ang"));
    for (int i = 0; i < 5; i++)
        event(year, month, 3, i, 1, 7, 1);
    switch_screen(SCREEN_EVENT_LOG);
    EXPECT_EQ(pair_at(5, 7), 2) << "the year field has the focus again";
    for (int r = 10; r < 15; r++)
        EXPECT_EQ(cells(r, 13, 1), "3") << "all five events of the shorter month show";
    EXPECT_EQ(cells(15, 4, 69), std::string(69, ' '));
    event_page_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(14, 4), 2) << "the old cursor, clamped to the last event";
    EXPECT_EQ(cells(14, 22, 2), "04");
}

} // namespace
