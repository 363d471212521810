#include "console/screens/mail_page.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/event_text.h"
#include "store/paths.h"

static Screen page;

enum { CLOCK = 10, MESSAGE = 24 };

static const char *const SAVE_OK_TEXT = "      =====!!Save OK!!=====";
static const char *const SAVE_FAIL_TEXT = "      =====!!Save Fail!!=====";

// Rows 14..20 are the event choices, top to bottom.
static int choice_row(int widget)
{
    if (widget < MAIL_PAGE_FIRST_ROW || widget > MAIL_PAGE_LAST_ROW)
        return -1;
    return widget - MAIL_PAGE_FIRST_ROW;
}

int mail_page_flag_index(int widget)
{
    return event_choice_code(choice_row(widget));
}

std::string mail_page_row_text(int widget, const char *events)
{
    return event_choice_text(choice_row(widget), events);
}

void mail_page_toggle(char *events, int widget)
{
    event_choice_toggle(events, choice_row(widget));
}

void mail_page_input(MailSettings *m, int focus, const char *text)
{
    char *field;
    switch (focus) {
    case MAIL_PAGE_SERVER: field = m->mail_server; break;
    case MAIL_PAGE_SENDER: field = m->mail_sender; break;
    case MAIL_PAGE_RECEIVERS: field = m->mail_receivers; break;
    default: return;
    }
    snprintf(field, 256, "%s", input_box_printable(text).c_str()); // fields hold 256 bytes
}

const char *mail_page_send_test(const MailSettings &m)
{
    if (m.mail_server[0] == '\0' || m.mail_sender[0] == '\0' || m.mail_receivers[0] == '\0')
        return "Test Mail fail, check input data.";
    int result =
        mail_notify(m.mail_server, m.mail_sender, m.mail_receivers, "Test Mail", 1, time(nullptr));
    if (result == 1)
        return "Please input an receiver mailbox at least.";
    if (result < 0) // nothing may pass for sent that never left
        return "Test Mail fail, check input data.";
    return "Test Mail has send, check received.";
}

// The record into the widgets, then the page redraw.
static void redraw()
{
    MailSettings m = mail_settings_get();
    std::vector<Widget *> &w = page.widgets;
    for (int i = MAIL_PAGE_FIRST_ROW; i <= MAIL_PAGE_LAST_ROW; i++)
        set_text(w[i], mail_page_row_text(i, m.mail_events).c_str());
    set_text(w[MAIL_PAGE_SERVER], std::string(m.mail_server).substr(0, 58).c_str());
    set_text(w[MAIL_PAGE_SENDER], std::string(m.mail_sender).substr(0, 58).c_str());
    set_text(w[MAIL_PAGE_RECEIVERS], std::string(m.mail_receivers).substr(0, 62).c_str());

    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 3, 3, 74, 20, 3);
    fill_rect(win, 77, 5, 1, 18, 5);
    draw_frame3d(win, 3, 3, 74, 20, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
}

// Cancel and Esc: the edits go, the file's values come back.
static void mail_page_discard()
{
    set_text(page.widgets[MESSAGE], "");
    mail_settings_read(program_dir() + "Set/Mail.ang");
    switch_screen(SCREEN_MENU);
}

static void mail_page_save()
{
    animate_press(page.widgets[MAIL_PAGE_SAVE], redraw);
    if (!mail_settings_write()) {
        // The daemon keeps reading the file as it was: nothing to reload.
        set_text(page.widgets[MESSAGE], SAVE_FAIL_TEXT);
        redraw();
        return;
    }
    set_text(page.widgets[MESSAGE], SAVE_OK_TEXT);
    client_queue("RefreshMail", 11);
    redraw();
}

static void ask(const char *question, const char *preset)
{
    input_box_prompt(question, "Press Enter to finish input.", "");
    input_box_preset(preset);
    switch_screen(SCREEN_INPUT_BOX);
}

static void mail_page_enter()
{
    int focus = page.focus_index;
    MailSettings m = mail_settings_get();
    switch (focus) {
    case MAIL_PAGE_SERVER:
        ask("Please input mail server name.", m.mail_server);
        return;
    case MAIL_PAGE_SENDER:
        ask("Please input sender mail address.", m.mail_sender);
        return;
    case MAIL_PAGE_RECEIVERS:
        ask("Please input receiver mail address.", m.mail_receivers);
        return;
    case MAIL_PAGE_SEND_TEST:
        animate_press(page.widgets[MAIL_PAGE_SEND_TEST], redraw);
        set_text(page.widgets[MESSAGE], mail_page_send_test(m));
        redraw();
        return;
    case MAIL_PAGE_SAVE:
        mail_page_save();
        return;
    case MAIL_PAGE_CANCEL:
        animate_press(page.widgets[MAIL_PAGE_CANCEL], redraw);
        mail_page_discard();
        return;
    }
    if (mail_page_flag_index(focus) >= 0) {
        mail_page_toggle(m.mail_events, focus);
        mail_settings_set(m);
        redraw();
    }
}

static int on_enter(int)
{
    redraw();
    return 0;
}

static void on_tick()
{
    screen_set_clock(page.widgets[CLOCK]);
    redraw();
}

void mail_page_key(int key)
{
    if (screen_move_focus(&page, key)) {
        redraw();
        return;
    }
    switch (key) {
    case KEY_BYTE_ENTER:
        mail_page_enter();
        break;
    case KEY_BYTE_ESC:
        mail_page_discard();
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        redraw();
        break;
    }
}

// The input box reports here; its return redraws the page.
static void on_input_text(const char *text)
{
    MailSettings m = mail_settings_get();
    mail_page_input(&m, page.focus_index, text);
    mail_settings_set(m);
}

void mail_page_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    const LabelRow table[21] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {30, 1, 20, 1, "    Mail Setting    "},
        {2, 2, 76, 6, "Using Up/Down/Left/Right to select.Enter to change data.Esc:Back to menu."},
        {5, 4, 11, 3, "MAIL SERVER:"},
        {5, 5, 4, 3, "USER E-MAIL:"},
        {5, 6, 9, 3, "MAIL TO:"},
        {5, 7, 70, 3, std::string(70, '-')},
        {5, 8, 20, 3, "Enable event to send"},
        {37, 8, 14, 3, "Enable/Disable"},
        {60, 0, 20, 1, ""},
        {17, 4, 32, 3, ""},
        {17, 5, 32, 3, ""},
        {13, 6, 36, 3, ""},
        {5, 9, 70, 3, ""},
        {5, 10, 70, 3, ""},
        {5, 11, 70, 3, ""},
        {5, 12, 70, 3, ""},
        {5, 13, 70, 3, ""},
        {5, 14, 70, 3, ""},
        {5, 15, 70, 3, ""},
    };
    screen_add_labels(&page, table, 21);
    page.widgets.push_back(new_button(9, 19, "[Send Test]"));
    page.widgets.push_back(new_button(32, 19, "[ Save ]"));
    page.widgets.push_back(new_button(48, 19, "[Cancel]"));
    page.widgets.push_back(new_label(23, 17, "", 1, 9));

    // Up, down, left, right.
    const int neighbours[][5] = {
        {11, 21, 12, 11, 14}, {12, 11, 13, 12, 14}, {13, 12, 14, 13, 14},
        {14, 13, 15, 13, 22}, {15, 14, 16, 13, 22}, {16, 15, 17, 13, 22},
        {17, 16, 18, 13, 22}, {18, 17, 19, 13, 22}, {19, 18, 20, 13, 22},
        {20, 19, 21, 13, 22}, {21, 20, 11, 20, 22}, {22, 20, 11, 21, 23},
        {23, 20, 11, 22, 21},
    };
    for (const auto &n : neighbours)
        set_neighbours(page.widgets[n[0]], n[1], n[2], n[3], n[4]);

    page.focus_index = MAIL_PAGE_SERVER;
    set_focus(page.widgets[MAIL_PAGE_SERVER], 1);
    page.on_enter = on_enter;
    page.on_key = mail_page_key;
    page.on_tick = on_tick;
    page.on_input_text = on_input_text;
    screen_add(SCREEN_MAIL, &page);
}
