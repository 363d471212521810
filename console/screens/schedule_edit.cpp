// The schedule edit page: one new entry for the schedule store, every value
// picked from a list, so nothing typed can be wrong.
#include <cstdio>
#include <string>

#include "console/client.h"
#include "console/screens/schedule_page.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/schedule.h"
#include "store/textfile.h"

static Screen edit;

enum {
    YEAR = 13,
    MONTH = 14,
    DAY = 15,
    HOUR = 16,
    MINUTE = 17,
    EVENT = 18,
    REPEAT = 19,
    RESTORE_DAY = 20,
    RESTART_HOUR = 21,
    RESTART_MINUTE = 22,
    SAVE = 23,
    CANCEL = 24,
    CLOCK = 25,
    MESSAGE = 26,
};

static const int RESTART_EVENT = 4; // "Shut down and restart command"

static int event_index = 0;
static int restore_days = 0;
static int month_days = 31;
static int weekday = 0;

// "00".."59": hours and minutes from item 0, months and days from item 1.
static char number_texts[60][3];
static const char *number_items[60];
static const char *const event_items[5] = {"Self Test", "Test to battery low", "Cancel Test",
                                           "Shut down command", "Shut down and restart command"};
static const char action_letters[5] = {'T', 'L', 'C', 'S', 'R'};
static const char *const repeat_items[4] = {"Once", "Daily", "Weekly", "Monthly"};
static const char *const restore_items[6] = {"Today",       "1 day later", "2 day later",
                                             "3 day later", "4 day later", "5 day later"};

static const char *field(int index)
{
    return widget_text(edit.widgets[index]);
}

static int field_number(int index)
{
    return parse_int_text(field(index));
}

static void redraw()
{
    WINDOW *win = edit.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 16, 7, 44, 11, 3);
    fill_rect(win, 19, 18, 42, 1, 5);
    fill_rect(win, 60, 8, 1, 11, 5);
    draw_frame3d(win, 16, 7, 44, 11, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&edit);
}

static int on_enter(int)
{
    redraw();
    return 0;
}

static void on_tick()
{
    screen_set_clock(edit.widgets[CLOCK]);
    redraw();
}

static void open_list(const char *const *items, int count)
{
    if (count < 1)
        return;
    list_popup_open(items, count, 0);
    switch_screen(SCREEN_LIST_POPUP);
}

static void on_list_choice(int index, const char *text)
{
    set_text(edit.widgets[edit.focus_index], text);
    switch (edit.focus_index) {
    case YEAR:
    case MONTH:
        // A new month starts at its first day, so the day never lies past
        // the month's end.
        month_days = days_in_month(field_number(YEAR), field_number(MONTH));
        set_text(edit.widgets[DAY], "01");
        weekday = weekday_of(field_number(YEAR), field_number(MONTH), 1);
        break;
    case DAY:
        weekday = weekday_of(field_number(YEAR), field_number(MONTH), field_number(DAY));
        break;
    case EVENT:
        event_index = index;
        if (index == RESTART_EVENT) {
            set_text(edit.widgets[RESTORE_DAY], restore_items[0]);
            restore_days = 0;
            set_text(edit.widgets[RESTART_HOUR], "00");
            set_text(edit.widgets[RESTART_MINUTE], "00");
        } else {
            set_text(edit.widgets[RESTORE_DAY], "");
            set_text(edit.widgets[RESTART_HOUR], "");
            set_text(edit.widgets[RESTART_MINUTE], "");
        }
        break;
    case RESTORE_DAY:
        restore_days = index;
        break;
    }
}

static void edit_save()
{
    animate_press(edit.widgets[SAVE], redraw);
    char date[32];
    snprintf(date, sizeof date, "%s/%s/%s", field(YEAR), field(MONTH), field(DAY));
    // Formed for every event; the store keeps it for the restart event only.
    char note[64];
    snprintf(note, sizeof note, "%d day later %s:%s restart", restore_days, field(RESTART_HOUR),
             field(RESTART_MINUTE));
    int added = schedule_add(weekday, date, field_number(HOUR), field_number(MINUTE),
                             action_letters[event_index], field(REPEAT)[0], restore_days,
                             field_number(RESTART_HOUR), field_number(RESTART_MINUTE), note);
    if (added == -1) {
        set_text(edit.widgets[MESSAGE], "=====!!Save Fail!!=====");
        redraw();
        return;
    }
    client_queue("RefreshPlan", 11);
    set_text(edit.widgets[MESSAGE], "");
    switch_screen(SCREEN_SCHEDULE);
}

static void on_key(int key)
{
    if (screen_move_focus(&edit, key)) {
        redraw();
        return;
    }
    bool restart = event_index == RESTART_EVENT;
    switch (key) {
    case KEY_BYTE_ENTER:
        switch (edit.focus_index) {
        case YEAR: open_list(schedule_page_years(), SCHEDULE_YEARS); break;
        case MONTH: open_list(number_items + 1, 12); break;
        case DAY: open_list(number_items + 1, month_days); break;
        case HOUR: open_list(number_items, 24); break;
        case MINUTE: open_list(number_items, 60); break;
        case EVENT: open_list(event_items, 5); break;
        case REPEAT: open_list(repeat_items, 4); break;
        case RESTORE_DAY:
            if (restart)
                open_list(restore_items, 6);
            break;
        case RESTART_HOUR:
            if (restart)
                open_list(number_items, 24);
            break;
        case RESTART_MINUTE:
            if (restart)
                open_list(number_items, 60);
            break;
        case SAVE: edit_save(); break;
        case CANCEL:
            animate_press(edit.widgets[CANCEL], redraw);
            set_text(edit.widgets[MESSAGE], "");
            switch_screen(SCREEN_SCHEDULE);
            break;
        }
        break;
    case KEY_BYTE_ESC:
        set_text(edit.widgets[MESSAGE], "");
        switch_screen(SCREEN_SCHEDULE);
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&edit);
        redraw();
        break;
    }
}

void schedule_edit_build(int col, int row, int width, int height)
{
    edit.window = newwin(height, width, row, col);
    edit.widgets.clear();
    for (int i = 0; i < 60; i++) {
        snprintf(number_texts[i], sizeof number_texts[i], "%02d", i);
        number_items[i] = number_texts[i];
    }

    char clock[21];
    format_clock(clock);
    char year[5], month[3];
    copy_field(clock, 1, 4, year, sizeof year);
    copy_field(clock, 6, 2, month, sizeof month);

    const LabelRow labels[23] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {32, 1, 16, 1, " Plan  Schedule "},
        {2, 2, 76, 6,
         "Using Right/Left/Up/Down to select options as below.Press Enter to change.  "},
        {2, 3, 76, 6, "Esc:Back to Schedule list."},
        {18, 8, 5, 3, "Date:"},
        {44, 8, 5, 3, "Time:"},
        {18, 9, 6, 3, "Event:"},
        {18, 10, 7, 3, "Repeat:"},
        {18, 11, 8, 3, "Restore:"},
        {44, 11, 5, 3, "Time:"},
        {30, 8, 5, 3, "/  /"},
        {51, 8, 5, 3, ":"},
        {51, 11, 5, 3, ":"},
        {26, 8, 4, 3, year},
        {31, 8, 2, 3, month},
        {34, 8, 2, 3, "01"},
        {49, 8, 2, 3, "00"},
        {52, 8, 2, 3, "00"},
        {26, 9, 2, 3, event_items[0]},
        {26, 10, 2, 3, repeat_items[0]},
        {26, 11, 2, 3, ""},
        {49, 11, 2, 3, ""},
        {52, 11, 2, 3, ""},
    };
    screen_add_labels(&edit, labels, 23);
    edit.widgets.push_back(new_button(25, 13, "[ Save ]"));
    edit.widgets.push_back(new_button(41, 13, "[Cancel]"));
    edit.widgets.push_back(new_label(60, 0, "", 20, 1));
    edit.widgets.push_back(new_label(28, 20, "", 20, 8));

    struct Neighbours {
        int widget, up, down, left, right;
    };
    const Neighbours neighbours[12] = {
        {YEAR, SAVE, EVENT, MINUTE, MONTH},
        {MONTH, SAVE, EVENT, YEAR, DAY},
        {DAY, SAVE, EVENT, MONTH, HOUR},
        {HOUR, SAVE, EVENT, DAY, MINUTE},
        {MINUTE, SAVE, EVENT, HOUR, YEAR},
        {EVENT, YEAR, REPEAT, EVENT, HOUR},
        {REPEAT, EVENT, RESTORE_DAY, REPEAT, RESTART_HOUR},
        {RESTORE_DAY, REPEAT, SAVE, RESTORE_DAY, RESTART_HOUR},
        {RESTART_HOUR, REPEAT, CANCEL, RESTORE_DAY, RESTART_MINUTE},
        {RESTART_MINUTE, REPEAT, CANCEL, RESTART_HOUR, RESTORE_DAY},
        {SAVE, RESTORE_DAY, YEAR, CANCEL, CANCEL},
        {CANCEL, RESTART_HOUR, YEAR, SAVE, SAVE},
    };
    for (const Neighbours &n : neighbours)
        set_neighbours(edit.widgets[n.widget], n.up, n.down, n.left, n.right);

    event_index = 0;
    restore_days = 0;
    month_days = days_in_month(field_number(YEAR), field_number(MONTH));
    weekday = weekday_of(field_number(YEAR), field_number(MONTH), 1);
    edit.focus_index = YEAR;
    set_focus(edit.widgets[YEAR], 1);

    edit.on_enter = on_enter;
    edit.on_key = on_key;
    edit.on_tick = on_tick;
    edit.on_list_choice = on_list_choice;
    edit.on_input_text = nullptr;
    screen_add(SCREEN_SCHEDULE_EDIT, &edit);
}

int schedule_edit_focus()
{
    return edit.focus_index;
}

const char *schedule_edit_text(int index)
{
    return widget_text(edit.widgets[index]);
}

int schedule_edit_weekday()
{
    return weekday;
}

int schedule_edit_month_days()
{
    return month_days;
}
