#include "console/screens/sms_page.h"

#include <cstdio>
#include <ctime>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/paths.h"

static Screen page;

enum {
    API_CAPTION = 6,
    CLOCK = 12,
    GATEWAY_FIELD = 13,
    ID_FIELD = 14,
    API_ID_FIELD = 15,
    PASSWORD_FIELD = 16,
    PHONES_FIELD = 17,
    FIRST_ROW = 18,
    LAST_ROW = 24,
    SEND_TEST = 25,
    SAVE = 26,
    CANCEL = 27,
    MESSAGE = 28,
};

static const char PASSWORD_MASK[] = "**************"; // 14, whatever the password
static const char UNKNOWN_GATEWAY[] = "(unknown gateway)";

// The gateway names of "Set/SMSGateway.ang", read again at every arrival;
// the list popup shows them through `gateway_items`.
static std::string gateway_names[SMS_GATEWAY_COUNT];
static const char *gateway_items[SMS_GATEWAY_COUNT];

std::string sms_page_gateway_name(const std::string &url_template, int index)
{
    std::string host = sms_gateway_host(url_template);
    if (!host.empty())
        return host;
    return "(no URL in SMSGateway.ang line " + std::to_string(index + 1) + ")";
}

SmsPageView sms_page_view(const SmsSettings &s, const std::string names[SMS_GATEWAY_COUNT])
{
    SmsPageView v;
    if (s.sms_gateway >= 0 && s.sms_gateway < SMS_GATEWAY_COUNT)
        v.gateway = names[s.sms_gateway];
    else
        v.gateway = UNKNOWN_GATEWAY;
    v.api_caption = s.sms_gateway == 0 ? "" : "api_id:";
    v.id = s.sms_id;
    v.api_id = s.sms_gateway == 0 ? "" : s.sms_api_id;
    v.password = PASSWORD_MASK;
    v.phones = s.sms_phones;
    for (int i = 0; i < SMS_PAGE_EVENT_ROWS; i++)
        v.rows[i] = event_choice_text(i, s.sms_events);
    return v;
}

const char *sms_page_test_refusal(const SmsSettings &s)
{
    // A hand-edited file may name a gateway the sender does not know.
    if (s.sms_gateway != 0 && s.sms_gateway != 1)
        return "Test SMS fail, choose the SMS server.";
    bool present = s.sms_id[0] && s.sms_password[0] && s.sms_phones[0];
    if (s.sms_gateway == 1)
        present = present && s.sms_api_id[0];
    return present ? nullptr : "Test SMS fail, check input data.";
}

void sms_page_toggle_row(SmsSettings *s, int row)
{
    event_choice_toggle(s->sms_events, row);
}

static void set_message(const char *text)
{
    set_text(page.widgets[MESSAGE], text);
}

static void paint()
{
    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 3, 3, 74, 20, 3);
    fill_rect(win, 77, 5, 1, 18, 5);
    draw_frame3d(win, 3, 3, 74, 20, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
}

// The screen refresh: fields from the record, then the whole page painted.
static void refresh_page()
{
    SmsSettings s = sms_settings_get();
    // Gateway 0 has no API id: choosing it drops the one typed for gateway 1.
    if (s.sms_gateway == 0 && s.sms_api_id[0]) {
        s.sms_api_id[0] = '\0';
        sms_settings_set(s);
    }
    SmsPageView v = sms_page_view(s, gateway_names);
    for (int i = 0; i < SMS_PAGE_EVENT_ROWS; i++)
        set_text(page.widgets[FIRST_ROW + i], v.rows[i].c_str());
    set_text(page.widgets[API_CAPTION], v.api_caption.c_str());
    set_text(page.widgets[GATEWAY_FIELD], clip_text(v.gateway.c_str(), 59));
    set_text(page.widgets[ID_FIELD], clip_text(v.id.c_str(), 25));
    set_text(page.widgets[API_ID_FIELD], clip_text(v.api_id.c_str(), 29));
    set_text(page.widgets[PASSWORD_FIELD], v.password.c_str());
    set_text(page.widgets[PHONES_FIELD], clip_text(v.phones.c_str(), 57));
    paint();
}

static void load_gateway_names()
{
    std::string templates[SMS_GATEWAY_COUNT];
    sms_gateway_load(program_dir(), templates);
    for (int i = 0; i < SMS_GATEWAY_COUNT; i++) {
        gateway_names[i] = sms_page_gateway_name(templates[i], i);
        gateway_items[i] = gateway_names[i].c_str();
    }
}

static int on_enter(int)
{
    load_gateway_names();
    refresh_page();
    return 0;
}

static void on_tick()
{
    screen_set_clock(page.widgets[CLOCK]);
    refresh_page();
}

static void open_input(const char *question, const char *preset)
{
    input_box_prompt(question, "Press Enter to finish input.", "");
    input_box_preset(preset);
    switch_screen(SCREEN_INPUT_BOX);
}

// Unsaved edits are dropped by reading the file back.
static void leave()
{
    set_message("");
    sms_settings_read(program_dir() + "Set/SMS.ang");
    switch_screen(SCREEN_MENU);
}

static void send_test()
{
    animate_press(page.widgets[SEND_TEST], refresh_page);
    SmsSettings s = sms_settings_get();
    const char *refusal = sms_page_test_refusal(s);
    if (refusal) {
        set_message(refusal);
    } else {
        // The sender reads the saved password itself (never on a command
        // line); the other values are the page's, saved or not.
        int result = sms_notify(s.sms_gateway, s.sms_id, s.sms_api_id, s.sms_phones,
                                "Test Message", 1, time(nullptr));
        if (result == 1)
            set_message("Please input a Mobile Phone number at least.");
        else if (result < 0) // nothing may pass for sent that never left
            set_message("Test SMS fail, check input data.");
        else
            set_message("Test SMS has Send,check received.");
    }
    refresh_page();
}

static void save()
{
    animate_press(page.widgets[SAVE], refresh_page);
    // The daemon is told to reload only a file that was written; a failed
    // write must not pass for a saved one.
    if (sms_settings_write()) {
        set_message("      =====!!Save OK!!=====");
        client_queue("RefreshSMS", 10);
    } else {
        set_message("Save fail, cannot write Set/SMS.ang.");
    }
    refresh_page();
}

static void on_enter_key()
{
    SmsSettings s = sms_settings_get();
    int focus = page.focus_index;
    switch (focus) {
    case GATEWAY_FIELD: {
        int first = s.sms_gateway == 1 ? 1 : 0;
        list_popup_open(gateway_items, SMS_GATEWAY_COUNT, first);
        switch_screen(SCREEN_LIST_POPUP);
        return;
    }
    case ID_FIELD:
        open_input("Please input SMS name(ID).", s.sms_id);
        return;
    case API_ID_FIELD:
        if (s.sms_gateway == 1)
            open_input("Please input SMS API-ID.", s.sms_api_id);
        return;
    case PASSWORD_FIELD:
        // The stored password is never shown: what is typed replaces it.
        open_input("Please input SMS Password.", "");
        return;
    case PHONES_FIELD:
        open_input("Please input phone number.", s.sms_phones);
        return;
    case SEND_TEST:
        send_test();
        return;
    case SAVE:
        save();
        return;
    case CANCEL:
        animate_press(page.widgets[CANCEL], refresh_page);
        leave();
        return;
    }
    if (focus >= FIRST_ROW && focus <= LAST_ROW) {
        sms_page_toggle_row(&s, focus - FIRST_ROW);
        sms_settings_set(s);
        refresh_page();
    }
}

void sms_page_key(int key)
{
    if (screen_move_focus(&page, key)) {
        refresh_page();
        return;
    }
    switch (key) {
    case KEY_BYTE_ESC:
        leave();
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        refresh_page();
        break;
    case KEY_BYTE_ENTER:
        on_enter_key();
        break;
    }
}

static void on_list_choice(int index, const char *)
{
    if (page.focus_index != GATEWAY_FIELD || index < 0 || index >= SMS_GATEWAY_COUNT)
        return;
    SmsSettings s = sms_settings_get();
    s.sms_gateway = static_cast<int8_t>(index);
    sms_settings_set(s);
}

static void on_input_text(const char *text)
{
    SmsSettings s = sms_settings_get();
    char *field;
    switch (page.focus_index) {
    case ID_FIELD: field = s.sms_id; break;
    case API_ID_FIELD: field = s.sms_api_id; break;
    case PASSWORD_FIELD: field = s.sms_password; break;
    case PHONES_FIELD: field = s.sms_phones; break;
    default: return;
    }
    // Each text field holds 256 bytes; sms_settings_set cuts it to one line.
    snprintf(field, sizeof s.sms_id, "%s", text);
    sms_settings_set(s);
}

void sms_page_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    const LabelRow labels[25] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {30, 1, 20, 1, "     SMS Setting    "},
        {2, 0, 20, 1, "Tarvo Mains Sentinel"},
        {2, 2, 76, 6,
         "Using Up/Down/Left/Right to select.Enter to change data. Esc:Back to menu "},
        {5, 4, 11, 3, "SMS SERVER:"},
        {5, 5, 4, 3, "ID :"},
        {39, 5, 7, 3, "api_id:"},
        {5, 6, 9, 3, "Password:"},
        {5, 7, 13, 3, "Phone Number:"},
        {5, 8, 70, 3, std::string(70, '-')},
        {5, 9, 20, 3, "Enable event to send"},
        {37, 9, 14, 3, "Enable/Disable"},
        {60, 0, 20, 1, ""},
        {16, 4, 27, 3, ""},
        {9, 5, 27, 3, ""},
        {46, 5, 19, 3, ""},
        {14, 6, 22, 3, "*********"},
        {18, 7, 18, 3, ""},
        {5, 10, 70, 3, event_choice_text(0, "")},
        {5, 11, 70, 3, event_choice_text(1, "")},
        {5, 12, 70, 3, event_choice_text(2, "")},
        {5, 13, 70, 3, event_choice_text(3, "")},
        {5, 14, 70, 3, event_choice_text(4, "")},
        {5, 15, 70, 3, event_choice_text(5, "")},
        {5, 16, 70, 3, event_choice_text(6, "")},
    };
    screen_add_labels(&page, labels, 25);
    page.widgets.push_back(new_button(9, 19, "[Send Test]"));
    page.widgets.push_back(new_button(32, 19, "[ Save ]"));
    page.widgets.push_back(new_button(48, 19, "[Cancel]"));
    page.widgets.push_back(new_label(23, 18, "", 1, 9));

    // up, down, left, right of widgets 13 .. 27
    static const int neighbours[15][4] = {
        {27, 14, 15, 15}, {13, 16, 15, 15}, {13, 16, 14, 14}, {14, 17, 15, 15},
        {16, 18, 15, 15}, {17, 19, 17, 25}, {18, 20, 17, 25}, {19, 21, 17, 25},
        {20, 22, 17, 25}, {21, 23, 17, 25}, {22, 24, 17, 25}, {23, 25, 17, 25},
        {24, 13, 27, 26}, {24, 13, 25, 27}, {24, 13, 26, 25},
    };
    for (int i = 0; i < 15; i++) {
        const int *n = neighbours[i];
        set_neighbours(page.widgets[GATEWAY_FIELD + i], n[0], n[1], n[2], n[3]);
    }
    page.focus_index = GATEWAY_FIELD;
    set_focus(page.widgets[GATEWAY_FIELD], 1);
    for (int i = 0; i < SMS_GATEWAY_COUNT; i++)
        gateway_items[i] = gateway_names[i].c_str();
    page.on_enter = on_enter;
    page.on_key = sms_page_key;
    page.on_tick = on_tick;
    page.on_list_choice = on_list_choice;
    page.on_input_text = on_input_text;
    screen_add(SCREEN_SMS, &page);
}
