#include "console/screens/test_page.h"

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/screen.h"
#include "protocol/ups_command.h"

static Screen page;

enum { FIRST_BUTTON = 4, LAST_BUTTON = 6, CLOCK = 7, TEST_STATUS = 9 };

// The buttons' UPS commands, in button order.
static const int commands[3] = {UPS_COMMAND_TEST_QUICK, UPS_COMMAND_TEST_DEEP,
                                UPS_COMMAND_TEST_CANCEL};

std::string test_command(int index)
{
    if (index < FIRST_BUTTON || index > LAST_BUTTON)
        return "";
    return ups_command_format(ups_command_of(commands[index - FIRST_BUTTON]));
}

const char *test_status_text(char test_status, int *pair)
{
    // Only '1' is a test in progress; any other character reads as none.
    bool on = test_status == '1';
    *pair = on ? 9 : 3;
    return on ? "Test in progress" : "No Test";
}

static void redraw()
{
    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 19, 5, 46, 16, 3);
    fill_rect(win, 22, 21, 44, 1, 5);
    fill_rect(win, 65, 6, 1, 16, 5);
    draw_frame3d(win, 19, 5, 46, 16, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
}

// The clock and unit 1's test status.
static void refresh_values()
{
    screen_set_clock(page.widgets[CLOCK]);
    int pair;
    const char *text = test_status_text(machine_status(client_unit(0), STATUS_TEST), &pair);
    set_text(page.widgets[TEST_STATUS], text);
    set_colour(page.widgets[TEST_STATUS], pair);
}

// Entering shows the current status at once rather than the last visit's.
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

void test_key(int key)
{
    if (screen_move_focus(&page, key)) {
        redraw();
        return;
    }
    switch (key) {
    case KEY_BYTE_ENTER: {
        Widget *button = page.widgets[page.focus_index];
        animate_press(button, redraw);
        std::string bytes = test_command(page.focus_index);
        if (!bytes.empty())
            client_queue(bytes.data(), static_cast<int>(bytes.size()));
        break;
    }
    case KEY_BYTE_ESC:
        switch_screen(SCREEN_MENU);
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        redraw();
        break;
    }
}

int test_focus()
{
    return page.focus_index;
}

void test_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    page.widgets = {
        new_label(2, 0, "Tarvo Mains Sentinel", 20, 1),
        new_label(30, 1, "     UPS Test    ", 20, 1),
        new_label(2, 2, "Select an option below using Up/Down key.Press Enter to start testing the",
                  74, 6),
        new_label(2, 3, "selected option.ESC:Back to menu.  ", 74, 6),
        new_button(26, 8, "        1.Self Test            "),
        new_button(26, 12, "        2.Test to battery low  "),
        new_button(26, 16, "        3.Cancel Test            "),
        new_label(60, 0, "", 20, 1),
        new_label(26, 6, "Test status:", 18, 3),
        new_label(39, 6, "", 18, 3),
    };
    screen_link_column(&page, FIRST_BUTTON, LAST_BUTTON);
    page.focus_index = FIRST_BUTTON;
    set_focus(page.widgets[FIRST_BUTTON], 1);
    page.on_enter = on_enter;
    page.on_key = test_key;
    page.on_tick = on_tick;
    screen_add(SCREEN_TEST, &page);
}
