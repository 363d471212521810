#include "console/screens/menu.h"

#include <string>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/screen.h"

static Screen page;
static bool drawing = false;

enum { DESCRIPTION = 9, FIRST_ENTRY = 12, EXIT_ENTRY = 19, SERVER_LINE = 20 };

static const char *const descriptions[8] = {
    "UPS Real time information and status monitoring.",
    "Execute or cancel UPS Test Command.",
    "E-mail address and UPS return status Setting.",
    "SMS information and UPS return status Setting.",
    "Refer to UPS Schedule and add/delete schedule.",
    "Refer to list of UPS event record.",
    "Setting UPS communication and shutdown time.",
    "Exit UPS Monitor Software.",
};

// Entries 12..18 open these pages; 19 is the exit.
static const int targets[7] = {SCREEN_MONITOR, SCREEN_TEST,      SCREEN_MAIL,  SCREEN_SMS,
                               SCREEN_SCHEDULE, SCREEN_EVENT_LOG, SCREEN_CONFIG};

static void redraw()
{
    if (drawing)
        return;
    drawing = true;
    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 0, 80, 24, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 19, 4, 46, 13, 3);
    fill_rect(win, 65, 6, 1, 12, 5);
    fill_rect(win, 22, 17, 44, 1, 5);
    draw_frame3d(win, 19, 4, 46, 13, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
    drawing = false;
}

static int on_enter(int)
{
    redraw();
    return 0;
}

static void on_tick()
{
    bool any = false;
    for (int i = 0; i < 4; i++)
        any = any || machine_connected(client_unit(i));
    set_text(page.widgets[SERVER_LINE], any ? "" : "=====Server is not start yet!=====");
    redraw();
}

static void on_key(int key)
{
    if (screen_move_focus(&page, key)) {
        set_text(page.widgets[DESCRIPTION], descriptions[page.focus_index - FIRST_ENTRY]);
        redraw();
        return;
    }
    switch (key) {
    case KEY_BYTE_ENTER:
        if (page.focus_index == EXIT_ENTRY)
            screen_exit(0);
        switch_screen(targets[page.focus_index - FIRST_ENTRY]);
        break;
    case KEY_BYTE_ESC:
        screen_exit(0);
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        redraw();
        break;
    }
}

void menu_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    const LabelRow table[21] = {
        {32, 1, 20, 1, "Tarvo Mains Sentinel"},
        {71, 1, 5, 1, "V 1.0"},
        {2, 2, 76, 1, std::string(76, '=')},
        {22, 5, 41, 6, "Select an option below using Up/Down key."},
        {22, 6, 41, 6, "Press Enter to start the selected option."},
        {22, 6, 41, 6, "Press Enter to start the selected option."},
        {21, 7, 42, 3, std::string(42, '-')},
        {19, 18, 47, 1, std::string(47, '*')},
        {19, 19, 47, 1, "Description:"},
        {19, 20, 47, 1, descriptions[0]},
        {19, 21, 47, 1, ""},
        {19, 22, 47, 1, ""},
        {22, 8, 41, 3, "        1.Monitor UPS Information"},
        {22, 9, 41, 3, "        2.UPS Test"},
        {22, 10, 41, 3, "        3.Mail Setting"},
        {22, 11, 41, 3, "        4.SMS Setting"},
        {22, 12, 41, 3, "        5.Plan UPS Schedule"},
        {22, 13, 41, 3, "        6.View Event Log"},
        {22, 14, 41, 3, "        7.Configuration Setting"},
        {22, 15, 41, 3, "        8.Exit"},
        {23, 22, 30, 8, ""},
    };
    screen_add_labels(&page, table, 21);
    screen_link_column(&page, FIRST_ENTRY, EXIT_ENTRY);
    page.focus_index = FIRST_ENTRY;
    set_focus(page.widgets[FIRST_ENTRY], 1);
    page.on_enter = on_enter;
    page.on_key = on_key;
    page.on_tick = on_tick;
    screen_add(SCREEN_MENU, &page);
}
