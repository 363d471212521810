// The toolkit drawn into a real curses screen whose output goes nowhere:
// the cells and their colour pairs are read back from the windows.
#include <curses.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>
#include <string>

#include "console/ui/draw.h"
#include "console/ui/list_window.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "console/ui/widget.h"
#include "tests/curses_screen.h"

namespace {

class Curses : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(curses.term, nullptr);
        win = newwin(24, 80, 0, 0);
    }
    void TearDown() override { delwin(win); }
    // Read from the test's own window: the toolkit draws there without a
    // refresh, so curscr would show nothing.
    std::string cells(int row, int col, int n) { return cells_of(win, row, col, n); }
    int pair_at(int row, int col) { return pair_of(win, row, col); }

    CursesScreen curses;
    WINDOW *win = nullptr;
};

TEST_F(Curses, LabelAlignmentFocusAndOverflow)
{
    Widget *left = new_label(2, 1, std::string(30, 'x').c_str(), 10, 3);
    draw_widget(left, win);
    EXPECT_EQ(cells(1, 2, 31), std::string(30, 'x') + " ") << "a longer text runs past the width";
    Widget *right = new_label(5, 2, "5", 2, 3);
    set_align(right, 1);
    draw_widget(right, win);
    EXPECT_EQ(cells(2, 5, 2), " 5");
    EXPECT_EQ(pair_at(2, 6), 3);
    set_focus(right, 1);
    draw_widget(right, win);
    EXPECT_EQ(pair_at(2, 6), 2) << "a focused label is drawn in pair 2";
    testing::internal::CaptureStdout();
    set_align(right, 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "console: alignment 7 of a label is neither 0 nor 1\n");
    EXPECT_STREQ(right->align, "") << "a bad value changes nothing";
    free_widget(left);
    free_widget(right);
}

TEST_F(Curses, ScrollBarThumbAndTrack)
{
    Widget *bar = new_scroll_bar(70, 5, 11, 100, 45, 11);
    int thumb, offset;
    scroll_bar_thumb(bar, &thumb, &offset);
    EXPECT_EQ(thumb, 1) << "9 x 11 / 100 is 0, shown as 1";
    EXPECT_EQ(offset, 4) << "9 x 45 / 90";
    draw_widget(bar, win);
    EXPECT_EQ(cells(5, 70, 1), "^");
    EXPECT_EQ(cells(15, 70, 1), "v");
    EXPECT_EQ(pair_at(6 + 4, 70), 7) << "the thumb";
    EXPECT_EQ(pair_at(6 + 5, 70), 5) << "the empty track";
    set_total(bar, 12);
    scroll_bar_thumb(bar, &thumb, &offset);
    EXPECT_EQ(thumb, 9) << "total <= page + 1: the thumb fills the track";
    EXPECT_EQ(offset, 0);
    set_total(bar, 0);
    scroll_bar_thumb(bar, &thumb, &offset);
    EXPECT_EQ(thumb, 9);
    free_widget(bar);
}

TEST_F(Curses, ProgressBarCellsIncludingOverflow)
{
    Widget *bar = new_progress_bar(10, 3, 20, 7, 3);
    set_value(bar, 45);
    EXPECT_EQ(progress_filled(bar), 9);
    draw_widget(bar, win);
    EXPECT_EQ(pair_at(3, 18), 7);
    EXPECT_EQ(pair_at(3, 19), 3);
    EXPECT_EQ(pair_at(3, 29), 3);
    set_value(bar, 150);
    EXPECT_EQ(progress_filled(bar), 30);
    draw_widget(bar, win);
    EXPECT_EQ(pair_at(3, 39), 7) << "a value over 100 draws past the end";
    EXPECT_EQ(cells(3, 39, 1), "_");
    free_widget(bar);
}

TEST_F(Curses, ButtonRaisedAndPressed)
{
    Widget *b = new_button(10, 5, "[ Save ]");
    EXPECT_EQ(b->width, 8);
    draw_widget(b, win);
    EXPECT_EQ(cells(5, 10, 8), "[ Save ]");
    EXPECT_EQ(pair_at(5, 10), 7);
    EXPECT_EQ(pair_at(7, 11), 5) << "the shadow below";
    EXPECT_EQ(pair_at(6, 18), 5) << "the shadow at its right";
    set_focus(b, 1);
    set_pressed(b, 1);
    draw_widget(b, win);
    EXPECT_EQ(cells(6, 11, 8), "[ Save ]") << "pressed: one down, one right";
    EXPECT_EQ(pair_at(6, 11), 2);
    set_focus(b, 0);
    testing::internal::CaptureStdout();
    draw_widget(b, win);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "console: button \"[ Save ]\" is in no state it can be drawn in\n");
    free_widget(b);
}

TEST_F(Curses, FramesPutCornersAndEdgesInTheirPairs)
{
    draw_frame3d(win, 2, 2, 10, 5, 3, 4, "|", "-", "+", "+", "+", "+");
    EXPECT_EQ(cells(2, 2, 10), "+--------+");
    EXPECT_EQ(cells(6, 2, 10), "+--------+");
    EXPECT_EQ(cells(4, 2, 1), "|");
    EXPECT_EQ(cells(4, 11, 1), "|");
    EXPECT_EQ(pair_at(2, 5), 3);
    EXPECT_EQ(pair_at(6, 5), 4);
    EXPECT_EQ(pair_at(4, 11), 4);
    EXPECT_EQ(pair_at(2, 2), 3);
    EXPECT_EQ(pair_at(2, 11), 4);
}

// An opener for the popups: records what they report.
Screen opener;
std::string choice_text;
int choice_index = -1;
std::string typed;
int opener_enter(int)
{
    return 0;
}
void opener_choice(int index, const char *text)
{
    choice_index = index;
    choice_text = text;
}
void opener_text(const char *text)
{
    typed = text;
}

class Popups : public Curses {
protected:
    void SetUp() override
    {
        Curses::SetUp();
        build_popups();
        opener.window = win;
        opener.on_enter = opener_enter;
        opener.on_list_choice = opener_choice;
        opener.on_input_text = opener_text;
        screen_add(SCREEN_MENU, &opener);
        switch_screen(SCREEN_MENU);
        choice_index = -1;
        typed.clear();
    }
};

std::vector<std::string> numbers(int n)
{
    std::vector<std::string> v;
    for (int i = 0; i < n; i++)
        v.push_back("item " + std::to_string(i));
    return v;
}

std::vector<const char *> pointers(const std::vector<std::string> &v)
{
    std::vector<const char *> p;
    for (const std::string &s : v)
        p.push_back(s.c_str());
    return p;
}

TEST_F(Popups, ListOfThreeWrapsAndShowsEmptyRows)
{
    std::vector<std::string> items = numbers(3);
    std::vector<const char *> p = pointers(items);
    list_popup_open(p.data(), 3, 2);
    switch_screen(SCREEN_LIST_POPUP);
    EXPECT_STREQ(list_popup_row_text(2), "item 2");
    EXPECT_STREQ(list_popup_row_text(3), "");
    EXPECT_EQ(list_popup_row(), 2);
    list_popup_move(1 - 3); // Down on the last wraps to the first
    EXPECT_EQ(list_popup_selected(), 0);
    list_popup_move(3 - 1); // Up on the first wraps to the last
    EXPECT_EQ(list_popup_selected(), 2);
}

TEST_F(Popups, HundredItemsOpenedAtFiftyScrollOneByOne)
{
    std::vector<std::string> items = numbers(100);
    std::vector<const char *> p = pointers(items);
    list_popup_open(p.data(), 100, 50);
    switch_screen(SCREEN_LIST_POPUP);
    EXPECT_EQ(list_popup_top(), 45);
    EXPECT_STREQ(list_popup_row_text(0), "item 45");
    EXPECT_STREQ(list_popup_row_text(5), "item 50");
    EXPECT_EQ(list_popup_row(), 5) << "highlight on the sixth row";
    list_popup_move(1);
    EXPECT_STREQ(list_popup_row_text(0), "item 46");
    EXPECT_STREQ(list_popup_row_text(5), "item 51");
    EXPECT_EQ(list_popup_row(), 5);
}

TEST_F(Popups, EnterReportsToTheOpenerAndEscDoesNot)
{
    std::vector<std::string> items = numbers(4);
    std::vector<const char *> p = pointers(items);
    list_popup_open(p.data(), 4, 1);
    switch_screen(SCREEN_LIST_POPUP);
    EXPECT_EQ(current_screen(), SCREEN_LIST_POPUP);
    screen_key(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    EXPECT_EQ(choice_index, -1) << "Esc calls no receiver";
    list_popup_open(p.data(), 4, 1);
    switch_screen(SCREEN_LIST_POPUP);
    screen_key(KEY_BYTE_DOWN);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(choice_index, 2);
    EXPECT_EQ(choice_text, "item 2");
    EXPECT_EQ(current_screen(), SCREEN_MENU);
}

TEST_F(Popups, InputBoxLimitsAndBackspace)
{
    input_box_preset("");
    switch_screen(SCREEN_INPUT_BOX);
    EXPECT_FALSE(input_box_key(KEY_BYTE_BACKSPACE)) << "Backspace on empty: not even a redraw";
    for (int key : {KEY_UP, KEY_DOWN, KEY_LEFT, KEY_RIGHT, KEY_HOME})
        EXPECT_FALSE(input_box_key(static_cast<signed char>(key & 0xFF))) << key;
    EXPECT_STREQ(input_box_text(), "") << "an arrow key is neither held nor shown";
    for (int i = 0; i < 57; i++)
        screen_key('a'); // each key redraws
    EXPECT_EQ(input_box_edit_rows(), 1);
    screen_key('b');
    EXPECT_EQ(input_box_edit_rows(), 2) << "two rows from 58 characters";
    for (int i = 58; i < 116; i++)
        screen_key('c');
    EXPECT_EQ(input_box_edit_rows(), 3) << "three from 116";
    for (int i = 116; i < 200; i++)
        screen_key('c');
    EXPECT_EQ(std::string(input_box_text()).size(), 174u) << "at most 174 characters";
    EXPECT_TRUE(input_box_key('d')) << "the 175th changes nothing but redraws";
    EXPECT_EQ(std::string(input_box_text()).size(), 174u);
    EXPECT_TRUE(input_box_key(127)) << "DEL, which terminals send for Backspace";
    EXPECT_EQ(std::string(input_box_text()).size(), 173u);
    screen_key(KEY_BYTE_ENTER);
    EXPECT_EQ(typed.size(), 173u);
    EXPECT_EQ(current_screen(), SCREEN_MENU);

    input_box_preset("keep");
    switch_screen(SCREEN_INPUT_BOX);
    typed = "unchanged";
    screen_key(KEY_BYTE_ESC);
    EXPECT_EQ(typed, "unchanged");
}

TEST(DrawText, ClipAndClock)
{
    EXPECT_STREQ(clip_text("short", 10), "short");
    EXPECT_STREQ(clip_text("a longer text", 8), "a longer");
    setenv("TZ", "UTC", 1);
    tzset();
    char clock[21];
    format_clock_at(clock, 1767603780); // 2026-01-05 09:03 UTC
    EXPECT_STREQ(clock, "2026/01/05 09:03 Mon");
    EXPECT_EQ(strlen(clock), 20u);
}

// The list arithmetic of the schedule list (pull_back) and the event log.
TEST(ListWindow, WrapsAndScrollsLikeTheListPages)
{
    ListWindow w = {0, 0, 25, 0};
    list_window_move(&w, 0, -1, true);
    EXPECT_EQ(w.row, 0);
    list_window_move(&w, 25 - 1, 0, true); // Up on the first wraps to the last
    EXPECT_EQ(w.entry_cursor, 24);
    EXPECT_EQ(w.first_visible, 14);
    EXPECT_EQ(w.row, 10);
    list_window_move(&w, 1 - 25, 10, true); // Down on the last wraps to the first
    EXPECT_EQ(w.entry_cursor, 0);
    EXPECT_EQ(w.first_visible, 0);
    for (int i = 0; i < 10; i++)
        list_window_move(&w, 1, w.row, true);
    EXPECT_EQ(w.row, 10);
    list_window_move(&w, 1, w.row, true);
    EXPECT_EQ(w.first_visible, 1) << "Down from the last row scrolls by one";
    EXPECT_EQ(w.row, 10);
    EXPECT_EQ(list_window_entry(&w, 0), 1);

    ListWindow d = {11, 1, 12, 10}; // the last of 12 highlighted
    d.count = 11;                    // ... and deleted
    list_window_move(&d, 0, d.row, true);
    EXPECT_EQ(d.entry_cursor, 10);
    EXPECT_EQ(d.first_visible, 0) << "the window is pulled back";
    EXPECT_EQ(d.row, 10);

    ListWindow five = {0, 0, 5, 0};
    list_window_move(&five, 0, -1, false);
    EXPECT_EQ(list_window_entry(&five, 4), 4);
    EXPECT_EQ(list_window_entry(&five, 5), -1);
    ListWindow none = {0, 0, 0, 0};
    list_window_move(&none, 1, 0, false);
    EXPECT_EQ(none.entry_cursor, 0);
    EXPECT_EQ(list_window_entry(&none, 0), -1);
}

} // namespace
