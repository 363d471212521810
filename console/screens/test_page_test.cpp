// The UPS test page built in a curses screen whose output goes nowhere: the
// commands its buttons queue on unit 1's context, the focus ring, and the
// test status read back from what curses last sent to the terminal.
#include "console/screens/test_page.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/client.h"
#include "console/screens/menu.h"
#include "console/ui/screen.h"
#include "tests/curses_screen.h"

namespace {

TEST(TestCommand, EachButtonsBytesWithTheirCarriageReturn)
{
    const char *expected[3] = {"T\r", "TL\r", "CT\r"};
    for (int index = 4; index <= 6; index++)
        EXPECT_EQ(test_command(index), expected[index - 4]) << index;
    for (int index : {-1, 0, 3, 7, 9})
        EXPECT_EQ(test_command(index), "") << index;
}

TEST(TestStatusText, OnlyASetBitIsATest)
{
    int pair = 0;
    EXPECT_STREQ(test_status_text('1', &pair), "Test in progress");
    EXPECT_EQ(pair, 9);
    for (char c : {'0', '\0', '2', 'x'}) {
        pair = 0;
        EXPECT_STREQ(test_status_text(c, &pair), "No Test") << int(c);
        EXPECT_EQ(pair, 3);
    }
}

// Built once per process as at start-up; each test starts on the page with
// the first button focused and unit 1 freshly set up.
class TestPage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        curses = new CursesScreen();
        if (curses->term == nullptr)
            return;
        menu_build(0, 0, 80, 24);
        test_build(0, 0, 80, 24);
    }
    static void TearDownTestSuite() { delete curses; }
    void SetUp() override
    {
        ASSERT_NE(curses->term, nullptr);
        machine_setup(client_unit(0), KIND_REMOTE, 1);
        switch_screen(SCREEN_TEST);
        while (test_focus() != 4)
            test_key(KEY_BYTE_DOWN);
    }
    // What the terminal shows, under the name these tests use.
    std::string screen(int row, int col, int n) { return screen_cells(row, col, n); }

    static inline CursesScreen *curses = nullptr;
};

TEST_F(TestPage, EnterQueuesTheFocusedButtonsCommandOnUnitOne)
{
    test_key(KEY_BYTE_ENTER);
    EXPECT_EQ(pending(), "T\r");
    test_key(KEY_BYTE_DOWN);
    test_key(KEY_BYTE_ENTER);
    EXPECT_EQ(pending(), "T\rTL\r") << "a command not yet sent waits its turn";
    test_key(KEY_BYTE_DOWN);
    test_key(KEY_BYTE_ENTER);
    EXPECT_EQ(pending(), "T\rTL\rCT\r");
    EXPECT_EQ(current_screen(), SCREEN_TEST);
    // The button is raised again after its press.
    EXPECT_EQ(screen(16, 26, 33), "        3.Cancel Test            ");
    EXPECT_EQ(pair_at(16, 26), 2);
}

TEST_F(TestPage, OtherKeysQueueNothing)
{
    const int keys[] = {'x', KEY_BYTE_DELETE, KEY_BYTE_INSERT, KEY_BYTE_BACKSPACE, 'R'};
    for (int key : keys)
        test_key(key);
    EXPECT_EQ(pending(), "");
    EXPECT_EQ(test_focus(), 4);
    EXPECT_EQ(current_screen(), SCREEN_TEST);
}

TEST_F(TestPage, FocusWrapsAmongTheThreeButtons)
{
    test_key(KEY_BYTE_UP);
    EXPECT_EQ(test_focus(), 6) << "Up on the first focuses the third";
    test_key(KEY_BYTE_DOWN);
    EXPECT_EQ(test_focus(), 4) << "Down on the third focuses the first";
    test_key(KEY_BYTE_RIGHT);
    EXPECT_EQ(test_focus(), 5);
    test_key(KEY_BYTE_LEFT);
    test_key(KEY_BYTE_LEFT);
    EXPECT_EQ(test_focus(), 6);
    EXPECT_EQ(pair_at(16, 26), 2);
    EXPECT_EQ(pair_at(8, 26), 7);
}

TEST_F(TestPage, EscKeepsTheFocusForTheNextVisit)
{
    test_key(KEY_BYTE_DOWN);
    test_key(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    switch_screen(SCREEN_TEST);
    EXPECT_EQ(test_focus(), 5);
    EXPECT_EQ(pair_at(12, 26), 2);
    EXPECT_EQ(pending(), "");
}

TEST_F(TestPage, DrawsButtonsAndUnitOnesTestStatus)
{
    EXPECT_EQ(screen(1, 30, 17), "     UPS Test    ");
    EXPECT_EQ(screen(8, 26, 31), "        1.Self Test            ");
    EXPECT_EQ(screen(12, 26, 31), "        2.Test to battery low  ");
    EXPECT_EQ(pair_at(12, 26), 7);
    // The third face is two columns wider, its shadow cell after them.
    EXPECT_EQ(pair_at(17, 26 + 32), 7);
    EXPECT_EQ(pair_at(17, 26 + 33), 5);
    EXPECT_EQ(screen(6, 26, 30), "Test status: No Test          ");
    EXPECT_EQ(pair_at(6, 39), 3);
    client_unit(0)->status[STATUS_TEST] = '1';
    client_unit(1)->status[STATUS_TEST] = '0';
    switch_screen(SCREEN_TEST);
    EXPECT_EQ(screen(6, 39, 16), "Test in progress") << "shown on entering, not a tick later";
    EXPECT_EQ(pair_at(6, 39), 9);
    // The status is unit 1's whatever another unit reports.
    client_unit(0)->status[STATUS_TEST] = '0';
    client_unit(1)->status[STATUS_TEST] = '1';
    switch_screen(SCREEN_TEST);
    EXPECT_EQ(screen(6, 39, 16), "No Test         ");
}

} // namespace
