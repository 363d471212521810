#include "console/screens/event_page.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/event_log.h"
#include "store/textfile.h"

static Screen page;

enum {
    CLOCK = 10,
    YEAR_FIELD = 8,
    MONTH_FIELD = 9,
    FIRST_ROW = 11,
    LAST_ROW = 21,
    SCROLL_BAR = 22,
};

static int selected_year;
static int selected_month;
static ListWindow list; // entry_cursor survives visits
static int saved_focus = YEAR_FIELD;

// The popup items; they must stay valid while the popup shows.
static char year_texts[EVENT_PAGE_YEARS][5];
static const char *year_items[EVENT_PAGE_YEARS];

void event_page_years(int current_year, char years[EVENT_PAGE_YEARS][5])
{
    for (int i = 0; i < EVENT_PAGE_YEARS; i++) {
        int year = current_year - i;
        if (year < 0 || year > 9999) // the log's dates have four digits
            year = 0;
        snprintf(years[i], 5, "%04d", year);
    }
}

void event_page_arrive(ListWindow *w, int count)
{
    list_window_place(w, count, /*pull_back=*/false);
}

void event_page_list_key(ListWindow *w, int key_byte, int focused_row)
{
    if (key_byte != KEY_BYTE_DOWN && key_byte != KEY_BYTE_UP)
        return;
    int delta = focused_row < 0 ? 0 : list_window_step(w, key_byte == KEY_BYTE_DOWN);
    list_window_move(w, delta, focused_row, /*pull_back=*/false);
}

// Row texts, the highlighted row and the scroll bar from the list window.
static void show_rows()
{
    for (int r = 0; r < LIST_WINDOW_ROWS; r++) {
        Widget *row = page.widgets[FIRST_ROW + r];
        EventEntry e;
        int entry = list_window_entry(&list, r);
        set_text(row, entry >= 0 && event_log_selected(entry, &e) ? e.display : "");
        set_focus(row, r == list.row ? 1 : 0);
    }
    page.focus_index = FIRST_ROW + list.row;
    set_value(page.widgets[SCROLL_BAR], list.first_visible);
}

static void redraw()
{
    list_window_draw_page(page.window);
    saved_focus = page.focus_index;
    screen_finish(&page);
}

// The log is read again at every arrival, so events the daemon appended
// since the last visit show.
static int on_enter(int)
{
    event_log_load();
    int count = event_log_select_month(selected_year, selected_month);
    set_total(page.widgets[SCROLL_BAR], count);
    event_page_arrive(&list, count);
    show_rows();
    for (Widget *w : page.widgets)
        set_focus(w, 0);
    page.focus_index = saved_focus;
    set_focus(page.widgets[saved_focus], 1);
    redraw();
    return 0;
}

static void on_tick()
{
    screen_set_clock(page.widgets[CLOCK]);
    redraw();
}

static bool on_field()
{
    return page.focus_index == YEAR_FIELD || page.focus_index == MONTH_FIELD;
}

void event_page_key(int key)
{
    switch (key) {
    case KEY_BYTE_DOWN:
    case KEY_BYTE_UP:
        if (on_field())
            set_focus(page.widgets[page.focus_index], 0);
        event_page_list_key(&list, key, on_field() ? -1 : page.focus_index - FIRST_ROW);
        show_rows();
        redraw();
        break;
    case KEY_BYTE_LEFT:
    case KEY_BYTE_RIGHT:
        screen_move_focus(&page, key);
        redraw();
        break;
    case KEY_BYTE_ENTER:
        if (page.focus_index == YEAR_FIELD) {
            char clock[32];
            format_clock(clock);
            event_page_years(parse_int_field(clock, 1, 4), year_texts);
            list_popup_open(year_items, EVENT_PAGE_YEARS, 0);
            switch_screen(SCREEN_LIST_POPUP);
        } else if (page.focus_index == MONTH_FIELD) {
            list_popup_open(LIST_WINDOW_MONTHS, 12, 0);
            switch_screen(SCREEN_LIST_POPUP);
        }
        break;
    case KEY_BYTE_ESC:
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

static void on_list_choice(int, const char *text)
{
    if (!on_field())
        return;
    set_text(page.widgets[page.focus_index], text);
    selected_year = parse_int_text(widget_text(page.widgets[YEAR_FIELD]));
    selected_month = parse_int_text(widget_text(page.widgets[MONTH_FIELD]));
}

void event_page_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    char clock[32];
    format_clock(clock);
    std::string year(clock, 4);
    std::string month(clock + 5, 2);
    const LabelRow labels[11] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {34, 1, 12, 1, " Event Log "},
        {2, 2, 76, 6, "Using Right/Left key to select Date.Press Enter key to change Date."},
        {2, 3, 76, 6, "Esc:Back to menu."},
        {2, 5, 5, 1, "Date:"},
        {11, 5, 1, 1, "/"},
        {4, 8, 70, 3, "Date        Time      Machine  Event" + std::string(34, ' ')},
        {4, 9, 70, 3, std::string(70, '-')},
        {7, 5, 4, 1, year},
        {13, 5, 2, 1, month},
        {60, 0, 20, 1, ""},
    };
    screen_add_labels(&page, labels, 11);
    for (int r = 0; r < LIST_WINDOW_ROWS; r++)
        page.widgets.push_back(new_label(4, 10 + r, "", 69, 3));
    page.widgets.push_back(new_scroll_bar(73, 10, 11, 100, 0, 11));

    // Up and Down on this page never use the table; Left and Right always
    // go to the year and the month field.
    list_window_neighbours(page.widgets.data(), YEAR_FIELD, MONTH_FIELD, FIRST_ROW);
    for (int i = 0; i < EVENT_PAGE_YEARS; i++)
        year_items[i] = year_texts[i];

    page.focus_index = YEAR_FIELD;
    saved_focus = YEAR_FIELD;
    set_focus(page.widgets[YEAR_FIELD], 1);
    event_log_load();
    selected_year = parse_int_text(widget_text(page.widgets[YEAR_FIELD]));
    selected_month = parse_int_text(widget_text(page.widgets[MONTH_FIELD]));
    list = {0, 0, 0, 0};
    page.on_enter = on_enter;
    page.on_key = event_page_key;
    page.on_tick = on_tick;
    page.on_list_choice = on_list_choice;
    screen_add(SCREEN_EVENT_LOG, &page);
}
