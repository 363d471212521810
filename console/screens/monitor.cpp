#include "console/screens/monitor.h"

#include <cmath>
#include <cstdio>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/screen.h"

static Screen page;
static bool drawing = false;
static int shown_unit = 0; // index of the unit on show, 0..3

// Widget table indexes.
enum {
    INPUT_VOLTAGE = 27,
    OUTPUT_VOLTAGE = 28,
    INPUT_FREQUENCY = 29,
    UPS_TYPE = 30,
    BATTERY_PERCENT = 31,
    LOAD_PERCENT = 32,
    RATED_VOLTAGE = 33,
    RATED_CURRENT = 34,
    RATED_BATTERY = 35,
    RATED_FREQUENCY = 36,
    COMPANY = 37,
    MODEL = 38,
    VERSION = 39,
    LINK_STATUS = 40,
    POWER_STATUS = 41,
    TEST_STATUS = 42,
    BATTERY_STATUS = 43,
    HEALTH_STATUS = 44,
    CLOCK = 45,
    BATTERY_BAR = 46,
    LOAD_BAR = 47,
    RUNTIME_CAPTION = 48, // after the bars: shown only for a unit that reports its runtime
    RUNTIME = 49,
    WIDGET_COUNT = 50,
};
// The labels of the table before the two bars.
constexpr int TABLE_LABELS = BATTERY_BAR;

enum { FIRST_TAB = 23, LAST_TAB = 26 };

// Below this many percent of charge the battery bar turns red.
static const int BATTERY_LOW_PERCENT = 40;

void monitor_load_bar(double load_percent, int *value, int *colour)
{
    int v = 0;
    if (std::isfinite(load_percent) && load_percent > 0)
        v = load_percent >= 999 ? 999 : static_cast<int>(load_percent);
    *value = v;
    *colour = load_percent > 100 ? 10 : 7;
}

// A status character read as a digit: only '1' counts as set, so a
// character that is neither '0' nor '1' reads as clear.
static bool status_set(char c)
{
    return c == '1';
}

// Identity texts come from the daemon as they came from the UPS; a byte
// that is not printable would shift or break the line on the terminal.
static void set_identity(Widget *w, const char *text, int size)
{
    char out[WIDGET_TEXT_SIZE];
    int i = 0;
    for (; i < size && i < WIDGET_TEXT_SIZE - 1 && text[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    out[i] = '\0';
    set_text(w, out);
}

static void set_number(int index, const char *format, double value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    set_text(page.widgets[index], text);
}

// One status line: its text for clear and set, red on white when set.
static void set_status_line(int index, char c, const char *clear, const char *set)
{
    bool on = status_set(c);
    set_text(page.widgets[index], on ? set : clear);
    set_colour(page.widgets[index], on ? 9 : 3);
}

void monitor_show(const MachineValues *v)
{
    set_number(INPUT_VOLTAGE, "%.1fV", v->input_voltage);
    set_number(OUTPUT_VOLTAGE, "%.1fV", v->output_voltage);
    set_number(INPUT_FREQUENCY, "%.1fHz", v->input_frequency);
    set_number(RATED_VOLTAGE, "%.1fV", v->rated_voltage);
    set_number(RATED_CURRENT, "%.0fA", v->rated_current);
    set_number(RATED_BATTERY, "%.2fV", v->rated_battery_voltage);
    set_number(RATED_FREQUENCY, "%.2fHz", v->rated_frequency);
    set_identity(page.widgets[COMPANY], v->company, sizeof v->company);
    set_identity(page.widgets[MODEL], v->model, sizeof v->model);
    set_identity(page.widgets[VERSION], v->version, sizeof v->version);

    char type = v->status[STATUS_TYPE];
    set_text(page.widgets[UPS_TYPE], type == '0' ? "On-Line" : type == '1' ? "Off-Line" : "");

    char text[32];
    bool empty;
    int percent = machine_charge(*v, &empty);
    snprintf(text, sizeof text, "%d%%", percent);
    set_text(page.widgets[BATTERY_PERCENT], text);
    set_value(page.widgets[BATTERY_BAR], percent);
    set_colour(page.widgets[BATTERY_BAR], empty || percent < BATTERY_LOW_PERCENT ? 10 : 7);

    // Only a unit that reports its runtime has one to show.
    bool runtime = v->battery_runtime >= 0;
    snprintf(text, sizeof text, "%dm%02ds", v->battery_runtime / 60, v->battery_runtime % 60);
    set_text(page.widgets[RUNTIME_CAPTION], runtime ? "Runtime:" : "");
    set_text(page.widgets[RUNTIME], runtime ? text : "");

    set_number(LOAD_PERCENT, "%.0f%%", v->load_percent);
    int value, colour;
    monitor_load_bar(v->load_percent, &value, &colour);
    set_value(page.widgets[LOAD_BAR], value);
    set_colour(page.widgets[LOAD_BAR], colour);

    // The link status follows the daemon's connection character of the
    // last record, red while it reports no connection.
    bool linked = status_set(v->status[STATUS_CONNECTION]);
    set_text(page.widgets[LINK_STATUS], linked ? "Connect" : "Disconnect");
    set_colour(page.widgets[LINK_STATUS], linked ? 3 : 9);
    set_status_line(POWER_STATUS, v->status[STATUS_AC_FAILED], "Normal", "Fail");
    set_status_line(TEST_STATUS, v->status[STATUS_TEST], "No Test", "Test in progress");
    set_status_line(BATTERY_STATUS, v->status[STATUS_BATTERY_LOW], "Normal", "Low");
    set_status_line(HEALTH_STATUS, v->status[STATUS_FAILED], "Normal", "Fail");
}

// The clock and the shown unit's values, from one consistent copy.
static void refresh_values()
{
    screen_set_clock(page.widgets[CLOCK]);
    MachineValues v;
    machine_values(client_unit(shown_unit), &v);
    monitor_show(&v);
}

static void redraw()
{
    if (drawing)
        return;
    drawing = true;
    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 2, 4, 74, 18, 3);
    fill_rect(win, 4, 22, 73, 1, 5);
    fill_rect(win, 76, 6, 1, 17, 5);
    draw_hline(win, 4, 6, 70, 3, "-");
    draw_hline(win, 4, 15, 70, 3, "-");
    draw_vline(win, 38, 5, 10, 3, "|");
    draw_frame3d(win, 2, 4, 74, 18, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
    drawing = false;
}

// Entering shows the current values of the unit on show at once, so the
// tab and the values never disagree (Esc may have changed the unit).
static int on_enter(int)
{
    refresh_values();
    redraw();
    return 0;
}

static void on_tick()
{
    refresh_values();
    redraw();
}

void monitor_key(int key)
{
    switch (key) {
    case KEY_BYTE_DOWN:
    case KEY_BYTE_UP:
    case KEY_BYTE_LEFT:
    case KEY_BYTE_RIGHT:
        // The tab table wraps at both ends; the unit follows the tab.
        screen_move_focus(&page, key);
        shown_unit = page.focus_index - FIRST_TAB;
        refresh_values();
        redraw();
        break;
    case KEY_BYTE_ESC:
        // Back to unit 1 for the next visit.
        set_focus(page.widgets[page.focus_index], 0);
        page.focus_index = FIRST_TAB;
        set_focus(page.widgets[FIRST_TAB], 1);
        shown_unit = 0;
        switch_screen(SCREEN_MENU);
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        refresh_values();
        redraw();
        break;
    }
}

int monitor_shown_unit()
{
    return shown_unit;
}

const Widget *monitor_widget(int index)
{
    return page.widgets[index];
}

void monitor_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    const LabelRow table[TABLE_LABELS] = { // the two bars follow
        {2, 0, 20, 1, "Tarvo Mains Sentinel", false},
        {30, 1, 20, 1, "  Monitor UPS Information ", false},
        {2, 2, 74, 6,
         "Press Left or Right key to change Machine number.ESC:Back to menu.          ", false},
        {4, 5, 11, 3, "Status Data", false},
        {42, 5, 15, 3, "UPS Information", false},
        {6, 7, 14, 3, "Input voltage:", false},
        {6, 8, 15, 3, "Output voltage:", false},
        {6, 9, 16, 3, "Input Frequency:", false},
        {6, 10, 9, 3, "UPS Type:", false},
        {6, 12, 7, 3, "Battery", false},
        {6, 14, 7, 3, "Load", false},
        {44, 7, 15, 3, "Rating Voltage:", false},
        {44, 8, 15, 3, "Rating Current:", false},
        {44, 9, 17, 3, "Battery Voltage:", false},
        {44, 10, 10, 3, "Frequency:", false},
        {44, 11, 13, 3, "Company Name:", false},
        {44, 12, 10, 3, "UPS Model:", false},
        {44, 13, 10, 3, "Version:", false},
        {18, 16, 18, 3, "Link status:", true},
        {18, 17, 18, 3, "Power status:", true},
        {18, 18, 18, 3, "Test status:", true},
        {18, 19, 18, 3, "Battery status:", true},
        {18, 20, 18, 3, "UPS Health:", true},
        {2, 3, 9, 1, "Machine1", false},
        {11, 3, 9, 1, "Machine2", false},
        {20, 3, 9, 1, "Machine3", false},
        {29, 3, 9, 1, "Machine4", false},
        {22, 7, 14, 3, "", true},
        {22, 8, 14, 3, "", true},
        {22, 9, 14, 3, "", true},
        {22, 10, 14, 3, "", true},
        {34, 12, 4, 3, "", true},
        {34, 14, 4, 3, "", true},
        {59, 7, 13, 3, "", true},
        {59, 8, 13, 3, "", true},
        {61, 9, 11, 3, "", true},
        {54, 10, 18, 3, "", true},
        {57, 11, 15, 3, "", true},
        {54, 12, 18, 3, "", true},
        {52, 13, 20, 3, "", true},
        {36, 16, 19, 3, "      Connect", false},
        {36, 17, 19, 3, "      Normal", false},
        {36, 18, 19, 3, "      No Test", false},
        {36, 19, 19, 3, "      Normal", false},
        {36, 20, 19, 3, "      Normal", false},
        {60, 0, 20, 1, "", false},
    };
    screen_add_labels(&page, table, TABLE_LABELS);
    page.widgets.push_back(new_progress_bar(13, 12, 20, 7, 3));
    page.widgets.push_back(new_progress_bar(13, 14, 20, 7, 3));
    const LabelRow runtime[2] = {{6, 13, 8, 3, "", false}, {22, 13, 14, 3, "", true}};
    screen_add_labels(&page, runtime, 2);
    // Up and Left go to the previous tab, Down and Right to the next,
    // wrapping at both ends.
    for (int i = FIRST_TAB; i <= LAST_TAB; i++) {
        int previous = i == FIRST_TAB ? LAST_TAB : i - 1;
        int next = i == LAST_TAB ? FIRST_TAB : i + 1;
        set_neighbours(page.widgets[i], previous, next, previous, next);
    }
    page.focus_index = FIRST_TAB;
    set_focus(page.widgets[FIRST_TAB], 1);
    shown_unit = 0;
    page.on_enter = on_enter;
    page.on_key = monitor_key;
    page.on_tick = on_tick;
    screen_add(SCREEN_MONITOR, &page);
}
