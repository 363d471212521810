// The schedule list page: one month of the schedule, Del to delete the
// highlighted entry, Ins to add one on the edit page.
#include "console/screens/schedule_page.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/schedule.h"
#include "store/textfile.h"

static Screen page;

enum {
    YEAR_FIELD = 8,
    MONTH_FIELD = 9,
    CLOCK = 10,
    FIRST_ROW = 11, // the eleven list rows, 11..21
    LAST_ROW = 21,
    SCROLL_BAR = 22,
};

static int selected_year = 0;
static int selected_month = 0;
static ListWindow window;                  // cursor, first visible entry, count
static std::vector<ScheduleEntry> listed;  // the month's entries, as the rows show them
static int saved_focus = YEAR_FIELD;

static char year_texts[SCHEDULE_YEARS][5];
static const char *year_items[SCHEDULE_YEARS];

void schedule_page_year_list(int this_year, char out[SCHEDULE_YEARS][5])
{
    for (int i = 0; i < SCHEDULE_YEARS; i++)
        snprintf(out[i], 5, "%04u", static_cast<unsigned>(this_year + i) % 10000u);
}

const char *const *schedule_page_years()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    schedule_page_year_list(t.tm_year + 1900, year_texts);
    for (int i = 0; i < SCHEDULE_YEARS; i++)
        year_items[i] = year_texts[i];
    return year_items;
}

int schedule_page_step(const ListWindow *w, int key_byte)
{
    if (key_byte != KEY_BYTE_DOWN && key_byte != KEY_BYTE_UP)
        return 0;
    return list_window_step(w, key_byte == KEY_BYTE_DOWN);
}

void schedule_page_place(ListWindow *w, int count)
{
    list_window_place(w, count, /*pull_back=*/true);
}

static bool in_list(int index)
{
    return index >= FIRST_ROW && index <= LAST_ROW;
}

static void redraw()
{
    list_window_draw_page(page.window);
    saved_focus = page.focus_index;
    screen_finish(&page);
}

// Lists the selected month again from the store's table.
static void relist()
{
    schedule_select_month(selected_year, selected_month);
    listed = schedule_selected();
    window.count = static_cast<int>(listed.size());
    set_total(page.widgets[SCROLL_BAR], window.count);
}

// Moves the cursor by `delta` and fills the rows. While the focus is in the
// list, the highlighted row follows the cursor.
static void rows_move(int delta)
{
    int focused_row = in_list(page.focus_index) ? page.focus_index - FIRST_ROW : -1;
    list_window_move(&window, delta, focused_row, true);
    for (int r = 0; r < LIST_WINDOW_ROWS; r++) {
        Widget *w = page.widgets[FIRST_ROW + r];
        int entry = list_window_entry(&window, r);
        set_text(w, entry >= 0 ? listed[entry].list_line : "");
        set_focus(w, 0);
    }
    if (in_list(page.focus_index)) {
        page.focus_index = FIRST_ROW + window.row;
        set_focus(page.widgets[page.focus_index], 1);
    }
    set_value(page.widgets[SCROLL_BAR], window.first_visible);
}

static int on_enter(int)
{
    relist();
    schedule_page_place(&window, window.count);
    rows_move(0);
    for (Widget *w : page.widgets)
        set_focus(w, 0);
    // A row focus comes back on the cursor's row, which the placing above
    // may have moved: the highlight must show the entry Del would delete.
    page.focus_index = in_list(saved_focus) ? FIRST_ROW + window.row : saved_focus;
    set_focus(page.widgets[page.focus_index], 1);
    redraw();
    return 0;
}

static void on_tick()
{
    screen_set_clock(page.widgets[CLOCK]);
    redraw();
}

static void on_list_choice(int, const char *text)
{
    int value = parse_int_text(text);
    if (page.focus_index == YEAR_FIELD) {
        set_text(page.widgets[YEAR_FIELD], text);
        selected_year = value;
    } else if (page.focus_index == MONTH_FIELD && value >= 1 && value <= 12) {
        // The popup offers "1".."12"; the field keeps its two digits.
        char month[4];
        snprintf(month, sizeof month, "%02d", value);
        set_text(page.widgets[MONTH_FIELD], month);
        selected_month = value;
    }
}

// Del: deletes the entry of the highlighted row. With the focus on a date
// field no row is highlighted, so nothing is deleted then.
static void delete_entry()
{
    if (in_list(page.focus_index) && window.entry_cursor >= 0 &&
        window.entry_cursor < static_cast<int>(listed.size()))
        schedule_delete(parse_int_text(listed[window.entry_cursor].entry_id));
    relist();
    rows_move(0);
    redraw();
    client_queue("RefreshPlan", 11);
}

static void on_key(int key)
{
    switch (key) {
    case KEY_BYTE_DOWN:
    case KEY_BYTE_UP:
        if (in_list(page.focus_index)) {
            rows_move(schedule_page_step(&window, key));
        } else {
            // From a date field the focus enters the list at the cursor.
            set_focus(page.widgets[page.focus_index], 0);
            page.focus_index = FIRST_ROW;
            rows_move(0);
        }
        redraw();
        break;
    case KEY_BYTE_LEFT:
    case KEY_BYTE_RIGHT:
        screen_move_focus(&page, key);
        redraw();
        break;
    case KEY_BYTE_ENTER:
        if (page.focus_index == YEAR_FIELD) {
            list_popup_open(schedule_page_years(), SCHEDULE_YEARS, 0);
            switch_screen(SCREEN_LIST_POPUP);
        } else if (page.focus_index == MONTH_FIELD) {
            list_popup_open(LIST_WINDOW_MONTHS, 12, 0);
            switch_screen(SCREEN_LIST_POPUP);
        }
        break;
    case KEY_BYTE_DELETE:
        delete_entry();
        break;
    case KEY_BYTE_INSERT:
        switch_screen(SCREEN_SCHEDULE_EDIT);
        break;
    case KEY_BYTE_ESC:
        set_focus(page.widgets[page.focus_index], 0);
        page.focus_index = YEAR_FIELD;
        saved_focus = YEAR_FIELD;
        switch_screen(SCREEN_MENU);
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        redraw();
        break;
    }
}

void schedule_page_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    page.widgets.clear();

    char clock[21];
    format_clock(clock);
    char year[5], month[3];
    copy_field(clock, 1, 4, year, sizeof year);
    copy_field(clock, 6, 2, month, sizeof month);

    const LabelRow labels[11] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {32, 1, 16, 1, " Plan Schedule "},
        {2, 2, 76, 6, "Use Right/Left key to select Date.Press Enter key to change."},
        {2, 3, 76, 6, "Use Up/Down key to select schedule.Press Del key to delete schedule."},
        {2, 5, 5, 1, "Date:"},
        {11, 5, 1, 1, "/"},
        {4, 8, 70, 3, "Date  Time  Event                Repeat  Note"},
        {4, 9, 70, 3, std::string(70, '-')},
        {7, 5, 4, 1, year},
        {13, 5, 2, 1, month},
        {60, 0, 20, 1, ""},
    };
    screen_add_labels(&page, labels, 11);
    for (int r = 0; r < LIST_WINDOW_ROWS; r++)
        page.widgets.push_back(new_label(4, 10 + r, "", 69, 3));
    page.widgets.push_back(new_scroll_bar(73, 10, 11, 100, 0, 11));
    page.widgets.push_back(
        new_label(2, 4, "Press Ins key to add a new schedule.Esc:Back to menu.", 76, 6));

    // Up and Down are the list's own (see on_key); Left and Right go to the
    // year and the month field from anywhere.
    list_window_neighbours(page.widgets.data(), YEAR_FIELD, MONTH_FIELD, FIRST_ROW);

    window = ListWindow{0, 0, 0, 0};
    listed.clear();
    page.focus_index = YEAR_FIELD;
    saved_focus = YEAR_FIELD;
    set_focus(page.widgets[YEAR_FIELD], 1);
    schedule_load();
    selected_year = parse_int_text(widget_text(page.widgets[YEAR_FIELD]));
    selected_month = parse_int_text(widget_text(page.widgets[MONTH_FIELD]));

    page.on_enter = on_enter;
    page.on_key = on_key;
    page.on_tick = on_tick;
    page.on_list_choice = on_list_choice;
    page.on_input_text = nullptr;
    screen_add(SCREEN_SCHEDULE, &page);
}

ListWindow schedule_page_window()
{
    return window;
}

int schedule_page_focus()
{
    return page.focus_index;
}

const char *schedule_page_text(int index)
{
    return widget_text(page.widgets[index]);
}
