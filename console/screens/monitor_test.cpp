// The monitor page: the battery estimate and the load bar as arithmetic, and
// the page itself built in a curses screen whose output goes nowhere, read
// back from what curses last sent to the terminal.
#include "console/screens/monitor.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "console/client.h"
#include "console/screens/menu.h"
#include "console/ui/screen.h"
#include "tests/curses_screen.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

int percent(char type, double volts, double rated, bool *empty)
{
    return machine_battery_percent(type, volts, rated, empty);
}

TEST(BatteryPercent, OnLineUnitFromVoltsPerCell)
{
    bool empty = true;
    EXPECT_EQ(percent('0', 2.25, 48, &empty), 100);
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('0', 2.00, 48, &empty), 55) << "0.33 / 0.54 x 90 + 0.45 = 55.45";
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('0', 1.80, 48, &empty), 22);
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('0', 2.21, 48, &empty), 90) << "2.21 itself is not above the top";
    EXPECT_EQ(percent('0', 1.67, 48, &empty), 0);
    EXPECT_FALSE(empty) << "the bottom of the range is still an estimate";
    EXPECT_EQ(percent('0', 1.60, 48, &empty), 0);
    EXPECT_TRUE(empty);
}

TEST(BatteryPercent, OffLineUnitFromVoltsPerBattery)
{
    bool empty = true;
    EXPECT_EQ(percent('1', 25.0, 24, &empty), 69) << "12.5 V per battery";
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('1', 27.0, 24, &empty), 100) << "13.5 V per battery";
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('1', 20.0, 24, &empty), 0);
    EXPECT_FALSE(empty);
    EXPECT_EQ(percent('1', 19.0, 24, &empty), 0) << "9.5 V per battery";
    EXPECT_TRUE(empty);
    EXPECT_EQ(percent('1', 12.5, 23.9, &empty), 69) << "23.9 V counts one battery";
    EXPECT_EQ(percent('1', 25.0, -24, &empty), 100) << "a negative count becomes one battery";
    EXPECT_FALSE(empty);
}

TEST(BatteryPercent, NoEstimateWithoutABatteryToDivideBy)
{
    bool empty = false;
    EXPECT_EQ(percent('1', 25.0, 6, &empty), 0) << "less than one 12 V battery rated";
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', 0.0, 0, &empty), 0) << "no rating and no voltage";
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', 25.0, -6, &empty), 0) << "a count truncated to zero";
    EXPECT_TRUE(empty);
}

TEST(BatteryPercent, NoEstimateFromNonFiniteValuesOrAnUnknownType)
{
    bool empty = false;
    EXPECT_EQ(percent('0', NaN, 48, &empty), 0);
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('0', INF, 48, &empty), 0);
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', NaN, 24, &empty), 0);
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', 25.0, NaN, &empty), 0);
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', 25.0, INF, &empty), 0);
    EXPECT_TRUE(empty);
    empty = false;
    EXPECT_EQ(percent('1', INF, 24, &empty), 0);
    EXPECT_TRUE(empty);
    for (char type : {'\0', '2', 'x'}) {
        empty = false;
        EXPECT_EQ(percent(type, 2.25, 48, &empty), 0) << "type " << int(type);
        EXPECT_TRUE(empty);
    }
}

// Cells a 20-cell bar fills at `value` percent, as the toolkit draws it.
int cells(int value)
{
    Widget *bar = new_progress_bar(13, 14, 20, 7, 3);
    set_value(bar, value);
    int n = progress_filled(bar);
    delete bar;
    return n;
}

TEST(LoadBar, CellsAndColour)
{
    int value, colour;
    monitor_load_bar(45, &value, &colour);
    EXPECT_EQ(value, 45);
    EXPECT_EQ(colour, 7);
    EXPECT_EQ(cells(value), 9);
    monitor_load_bar(120, &value, &colour);
    EXPECT_EQ(value, 120);
    EXPECT_EQ(colour, 10);
    EXPECT_EQ(cells(value), 24) << "4 cells past the end of the bar";
    monitor_load_bar(100, &value, &colour);
    EXPECT_EQ(colour, 7) << "red only above 100";
    EXPECT_EQ(cells(value), 20);
    monitor_load_bar(45.9, &value, &colour);
    EXPECT_EQ(value, 45) << "truncated";
}

TEST(LoadBar, NeverNegativeNorUnbounded)
{
    int value, colour;
    monitor_load_bar(-5, &value, &colour);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(colour, 7);
    monitor_load_bar(NaN, &value, &colour);
    EXPECT_EQ(value, 0);
    monitor_load_bar(1e12, &value, &colour);
    EXPECT_EQ(value, 999);
    EXPECT_EQ(colour, 10);
}

// The page in a real curses screen, built once per process as at start-up;
// the menu is there for Esc to go to. Each test starts on the menu with
// "Machine1" focused and the four units freshly set up.
class MonitorPage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        curses = new CursesScreen();
        if (curses->term == nullptr)
            return;
        menu_build(0, 0, 80, 24);
        monitor_build(0, 0, 80, 24);
    }
    static void TearDownTestSuite() { delete curses; }
    void SetUp() override
    {
        ASSERT_NE(curses->term, nullptr);
        for (int i = 0; i < 4; i++)
            machine_setup(client_unit(i), KIND_REMOTE, i + 1);
        switch_screen(SCREEN_MONITOR);
        monitor_key(KEY_BYTE_ESC);
    }
    // What the terminal shows, under the name these tests use.
    std::string screen(int row, int col, int n) { return screen_cells(row, col, n); }
    std::string text(int index) { return widget_text(monitor_widget(index)); }

    static inline CursesScreen *curses = nullptr;
};

// A unit as a record from the simulator's first on-line unit leaves it.
void simulated_unit(MachineValues *v, const char *model)
{
    v->input_voltage = 230.0f;
    v->output_voltage = 229.5f;
    v->input_frequency = 50.0f;
    v->load_percent = 25;
    v->battery_voltage = 2.25f;
    v->rated_voltage = 230.0f;
    v->rated_current = 4;
    v->rated_battery_voltage = 48.0f;
    v->rated_frequency = 50.0f;
    memcpy(v->status, "000000001", 9);
    snprintf(v->company, sizeof v->company, "%s", "SIMULATED      ");
    snprintf(v->model, sizeof v->model, "%s", model);
    snprintf(v->version, sizeof v->version, "%s", "1.0       ");
}

TEST_F(MonitorPage, ValuesInTheirFormats)
{
    MachineValues v{};
    simulated_unit(&v, "SIM-1001  ");
    monitor_show(&v);
    EXPECT_EQ(text(27), "230.0V");
    EXPECT_EQ(text(28), "229.5V");
    EXPECT_EQ(text(29), "50.0Hz");
    EXPECT_EQ(text(30), "On-Line");
    EXPECT_EQ(text(31), "100%");
    EXPECT_EQ(text(32), "25%");
    EXPECT_EQ(text(33), "230.0V");
    EXPECT_EQ(text(34), "4A");
    EXPECT_EQ(text(35), "48.00V");
    EXPECT_EQ(text(36), "50.00Hz");
    EXPECT_EQ(text(37), "SIMULATED      ");
    EXPECT_EQ(text(38), "SIM-1001  ");
    EXPECT_EQ(text(39), "1.0       ");
    EXPECT_EQ(text(40), "Connect");
    EXPECT_EQ(text(41), "Normal");
    EXPECT_EQ(text(42), "No Test");
    EXPECT_EQ(text(43), "Normal");
    EXPECT_EQ(text(44), "Normal");
    for (int i = 40; i <= 44; i++)
        EXPECT_EQ(monitor_widget(i)->colour, 3) << i;
    EXPECT_EQ(monitor_widget(46)->value, 100);
    EXPECT_EQ(monitor_widget(46)->colour, 7);
    EXPECT_EQ(monitor_widget(47)->value, 25);
    EXPECT_EQ(monitor_widget(47)->colour, 7);

    v.status[STATUS_TYPE] = '1';
    v.battery_voltage = 25.0f;
    v.rated_battery_voltage = 24.0f;
    monitor_show(&v);
    EXPECT_EQ(text(30), "Off-Line");
    EXPECT_EQ(text(31), "69%");
    EXPECT_EQ(text(48), "") << "no runtime reported: no runtime row";
    EXPECT_EQ(text(49), "");

    v.battery_runtime = 1805; // a unit that reports its runtime (USB HID)
    monitor_show(&v);
    EXPECT_EQ(text(48), "Runtime:");
    EXPECT_EQ(text(49), "30m05s");
}

TEST_F(MonitorPage, BatteryBarRedWhenLowOrWithoutEstimate)
{
    MachineValues v{};
    simulated_unit(&v, "SIM-1001  ");
    v.battery_voltage = 1.80f;
    monitor_show(&v);
    EXPECT_EQ(text(31), "22%");
    EXPECT_EQ(monitor_widget(46)->value, 22);
    EXPECT_EQ(monitor_widget(46)->colour, 10);
    v.battery_voltage = 1.60f;
    monitor_show(&v);
    EXPECT_EQ(text(31), "0%");
    EXPECT_EQ(monitor_widget(46)->value, 0);
    EXPECT_EQ(monitor_widget(46)->colour, 10);
    // Off-line with less than one battery rated: empty, not a made-up number.
    v.status[STATUS_TYPE] = '1';
    v.battery_voltage = 12.5f;
    v.rated_battery_voltage = 6.0f;
    monitor_show(&v);
    EXPECT_EQ(text(31), "0%");
    EXPECT_EQ(monitor_widget(46)->value, 0);
    EXPECT_EQ(monitor_widget(46)->colour, 10);
    v.battery_voltage = 0;
    v.rated_battery_voltage = 0;
    monitor_show(&v);
    EXPECT_EQ(text(31), "0%");
}

TEST_F(MonitorPage, LoadAboveFullIsRed)
{
    MachineValues v{};
    simulated_unit(&v, "SIM-1001  ");
    v.load_percent = 120;
    monitor_show(&v);
    EXPECT_EQ(text(32), "120%");
    EXPECT_EQ(progress_filled(monitor_widget(47)), 24);
    EXPECT_EQ(monitor_widget(47)->colour, 10);
}

TEST_F(MonitorPage, StatusLinesTextsAndColours)
{
    MachineValues v{};
    simulated_unit(&v, "SIM-1001  ");
    v.status[STATUS_AC_FAILED] = '1';
    v.status[STATUS_TEST] = '1';
    v.status[STATUS_BATTERY_LOW] = '1';
    v.status[STATUS_FAILED] = '1';
    v.status[STATUS_CONNECTION] = '0';
    monitor_show(&v);
    EXPECT_EQ(text(40), "Disconnect");
    EXPECT_EQ(text(41), "Fail");
    EXPECT_EQ(text(42), "Test in progress");
    EXPECT_EQ(text(43), "Low");
    EXPECT_EQ(text(44), "Fail");
    for (int i = 40; i <= 44; i++)
        EXPECT_EQ(monitor_widget(i)->colour, 9) << i;
    // Only '1' is set: a character outside '0'/'1' reads as clear.
    memcpy(v.status, "2x2x2x2x2", 9);
    monitor_show(&v);
    EXPECT_EQ(text(30), "") << "no type to name";
    EXPECT_EQ(text(40), "Disconnect");
    EXPECT_EQ(monitor_widget(40)->colour, 9);
    EXPECT_EQ(text(41), "Normal");
    EXPECT_EQ(text(42), "No Test");
    EXPECT_EQ(text(43), "Normal");
    EXPECT_EQ(text(44), "Normal");
    EXPECT_EQ(monitor_widget(44)->colour, 3);
}

TEST_F(MonitorPage, IdentityBytesThatAreNotPrintableAreShownAsQuestionMarks)
{
    MachineValues v{};
    simulated_unit(&v, "A\nB\tC\x1b[2J");
    v.company[0] = static_cast<char>(0xC3);
    monitor_show(&v);
    EXPECT_EQ(text(38), "A?B?C?[2J");
    EXPECT_EQ(text(37), "?IMULATED      ");
}

TEST_F(MonitorPage, DrawsTheLayout)
{
    MachineValues *u = client_unit(0);
    simulated_unit(u, "SIM-1001  ");
    switch_screen(SCREEN_MONITOR);
    EXPECT_EQ(screen(1, 30, 26), "  Monitor UPS Information ");
    EXPECT_EQ(screen(3, 2, 8), "Machine1");
    EXPECT_EQ(pair_at(3, 2), 2) << "the focused tab";
    EXPECT_EQ(pair_at(3, 11), 1);
    // Right-justified values end in column 35 (37 for the percentages) on
    // the left and 71 on the right.
    EXPECT_EQ(screen(7, 22, 14), "        230.0V");
    EXPECT_EQ(screen(12, 34, 4), "100%");
    EXPECT_EQ(screen(14, 34, 4), " 25%");
    EXPECT_EQ(screen(9, 61, 11), "     48.00V");
    EXPECT_EQ(screen(10, 54, 18), "           50.00Hz");
    EXPECT_EQ(screen(12, 54, 18), "        SIM-1001  ");
    EXPECT_EQ(screen(16, 18, 25), "      Link status:Connect");
    // The load bar: 5 cyan cells of 20 at 25 percent.
    EXPECT_EQ(screen(14, 13, 20), std::string(20, '_'));
    EXPECT_EQ(pair_at(14, 13 + 4), 7);
    EXPECT_EQ(pair_at(14, 13 + 5), 3);
    EXPECT_EQ(screen(6, 4, 3), "---");
    EXPECT_EQ(screen(10, 38, 1), "|");
}

TEST_F(MonitorPage, TabsWrapAndTheUnitFollows)
{
    simulated_unit(client_unit(0), "SIM-1001  ");
    simulated_unit(client_unit(1), "SIM-1002  ");
    switch_screen(SCREEN_MONITOR);
    monitor_key(KEY_BYTE_LEFT);
    EXPECT_EQ(monitor_shown_unit(), 3) << "Machine1 + Left is Machine4";
    EXPECT_EQ(pair_at(3, 29), 2);
    EXPECT_EQ(pair_at(3, 2), 1);
    EXPECT_EQ(text(40), "Disconnect") << "unit 4 was never polled";
    monitor_key(KEY_BYTE_RIGHT);
    EXPECT_EQ(monitor_shown_unit(), 0) << "Machine4 + Right is Machine1";
    EXPECT_EQ(pair_at(3, 2), 2);
    EXPECT_EQ(text(38), "SIM-1001  ");
    monitor_key(KEY_BYTE_DOWN);
    EXPECT_EQ(monitor_shown_unit(), 1);
    EXPECT_EQ(text(38), "SIM-1002  ") << "the values follow at once";
    EXPECT_EQ(screen(12, 54, 18), "        SIM-1002  ");
    monitor_key(KEY_BYTE_UP);
    monitor_key(KEY_BYTE_UP);
    EXPECT_EQ(monitor_shown_unit(), 3) << "Machine1 + Up is Machine4";
    monitor_key(KEY_BYTE_DOWN);
    EXPECT_EQ(monitor_shown_unit(), 0);
    monitor_key('x');
    EXPECT_EQ(monitor_shown_unit(), 0);
    EXPECT_EQ(current_screen(), SCREEN_MONITOR);
}

TEST_F(MonitorPage, EscGoesBackToUnitOneForTheNextVisit)
{
    simulated_unit(client_unit(0), "SIM-1001  ");
    simulated_unit(client_unit(2), "SIM-1003  ");
    switch_screen(SCREEN_MONITOR);
    monitor_key(KEY_BYTE_RIGHT);
    monitor_key(KEY_BYTE_RIGHT);
    EXPECT_EQ(text(38), "SIM-1003  ");
    monitor_key(KEY_BYTE_ESC);
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    EXPECT_EQ(monitor_shown_unit(), 0);
    EXPECT_EQ(monitor_widget(23)->focused, 1);
    EXPECT_EQ(monitor_widget(25)->focused, 0);
    switch_screen(SCREEN_MONITOR);
    EXPECT_EQ(pair_at(3, 2), 2);
    EXPECT_EQ(pair_at(3, 20), 1);
    EXPECT_EQ(screen(12, 54, 18), "        SIM-1001  ")
        << "unit 1's values as soon as the page shows, not unit 3's of the last visit";
}

TEST_F(MonitorPage, RepaintRefreshesTheValues)
{
    simulated_unit(client_unit(0), "SIM-1001  ");
    switch_screen(SCREEN_MONITOR);
    client_unit(0)->input_voltage = 0;
    client_unit(0)->status[STATUS_AC_FAILED] = '1';
    monitor_key('R');
    EXPECT_EQ(screen(7, 22, 14), "          0.0V");
    EXPECT_EQ(screen(17, 36, 4), "Fail");
    EXPECT_EQ(pair_at(17, 36), 9);
}

} // namespace
