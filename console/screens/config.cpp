#include "console/screens/config.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "link/hid.h"
#include "protocol/snmp_map.h"
#include "store/paths.h"

static Screen page;
static ConfigForm form;

enum {
    CAPTION_DEVICE = 6,
    CAPTION_COMMUNITY = 7,
    CLOCK = 26,
    MESSAGE = 29,
};

static const char *const SAVE_FAIL_TEXT = "Save fail, can not write Set/Setting.ang.";

static const char *const modes[4] = {"Local-Single", "Local-Multiple", "Remote-Single",
                                     "Remote-Multiple"};
static const char *const links[4] = {"RS232", "USB", "SNMP", "HID"};

// What a link choice puts into the device and community rows, per link_index.
struct LinkDefaults {
    const char *device_caption;
    const char *device_text;
    const char *community_caption;
    const char *community_text;
};
static const LinkDefaults link_defaults[4] = {
    {"Connect device :", "/dev/ttyS0", "", ""},
    {"Connect device :", "", "", ""},
    {"Connect IP :", "", "SNMP Community Name :", CONFIG_DEFAULT_COMMUNITY},
    {"Connect device :", "", "", ""}, // empty: the first HID Power Device found
};
static const char *const unit_counts[4] = {"1", "2", "3", "4"};
static const char *const baud_rates[3] = {"2400", "4800", "9600"};

// "0" .. "99", made once.
static const char *const *delay_options()
{
    static char texts[100][3];
    static const char *list[100];
    if (list[0] == nullptr) {
        for (int i = 0; i < 100; i++) {
            snprintf(texts[i], sizeof texts[i], "%d", i);
            list[i] = texts[i];
        }
    }
    return list;
}

static bool is_multiple(int mode_index)
{
    return mode_index == 1 || mode_index == 3;
}

static bool is_remote(int mode_index)
{
    return mode_index == 2 || mode_index == 3;
}

void config_fill(ConfigForm *f, const SettingsRecord &s)
{
    f->mode = s.machine_mode;
    f->link = s.link_kind;
    f->device_text = s.link_device;
    f->community_text = s.snmp_community;
    f->ac_fail_delay = std::to_string(s.ac_fail_delay);
    f->battery_low_delay = std::to_string(s.battery_low_delay);
    f->ups_shutdown_delay = std::to_string(s.ups_shutdown_delay);
    f->machine_number = std::to_string(s.machine_number);
    // A rate the lists do not hold is shown too, so a save keeps it rather
    // than writing an empty line over it.
    f->baud_rate = s.baud_rate;
    for (int i = 0; i < 4; i++) {
        if (strcmp(s.machine_mode, modes[i]) == 0) {
            f->mode_index = i;
            f->device_caption = is_remote(i) ? "Connect IP :" : "Connect device :";
        }
    }
    f->link_index = 0;
    f->community_caption = "";
    if (strcmp(s.link_kind, "USB") == 0) {
        f->link_index = 1;
    } else if (strcmp(s.link_kind, links[CONFIG_LINK_HID]) == 0) {
        f->link_index = CONFIG_LINK_HID;
    } else if (strcmp(s.link_kind, links[CONFIG_LINK_SNMP]) == 0) {
        f->link_index = CONFIG_LINK_SNMP;
        f->device_caption = link_defaults[CONFIG_LINK_SNMP].device_caption;
        f->community_caption = link_defaults[CONFIG_LINK_SNMP].community_caption;
    }
}

const char *const *config_options(int field, int *count)
{
    switch (field) {
    case CONFIG_FIELD_MODE:
        *count = 4;
        return modes;
    case CONFIG_FIELD_LINK:
        *count = 4;
        return links;
    case CONFIG_FIELD_AC_FAIL:
    case CONFIG_FIELD_BATTERY_LOW:
    case CONFIG_FIELD_UPS_SHUTDOWN:
        *count = 100;
        return delay_options();
    case CONFIG_FIELD_UNITS:
        *count = 4;
        return unit_counts;
    case CONFIG_FIELD_BAUD:
        *count = 3;
        return baud_rates;
    }
    *count = 0;
    return nullptr;
}

int config_enter_action(const ConfigForm &f, int focus)
{
    switch (focus) {
    case CONFIG_FIELD_MODE:
    case CONFIG_FIELD_AC_FAIL:
    case CONFIG_FIELD_BATTERY_LOW:
    case CONFIG_FIELD_UPS_SHUTDOWN:
    case CONFIG_FIELD_BAUD:
        return CONFIG_LIST;
    case CONFIG_FIELD_LINK: // a remote daemon is always reached over TCP/IP
        return is_remote(f.mode_index) ? CONFIG_NOTHING : CONFIG_LIST;
    case CONFIG_FIELD_DEVICE:
        if (is_remote(f.mode_index) || f.link_index == CONFIG_LINK_SNMP)
            return CONFIG_ASK_IP;
        // USB needs no device; a HID unit may be named by its ids.
        return f.link_index == 0 || f.link_index == CONFIG_LINK_HID ? CONFIG_ASK_DEVICE
                                                                    : CONFIG_NOTHING;
    case CONFIG_FIELD_COMMUNITY: // only an SNMP card has a community
        return f.link_index == CONFIG_LINK_SNMP ? CONFIG_ASK_COMMUNITY : CONFIG_NOTHING;
    case CONFIG_FIELD_UNITS: // a single mode has one unit
        return is_multiple(f.mode_index) ? CONFIG_LIST : CONFIG_NOTHING;
    case CONFIG_BUTTON_SAVE:
        return CONFIG_SAVE;
    case CONFIG_BUTTON_CANCEL:
        return CONFIG_CANCEL;
    }
    return CONFIG_NOTHING;
}

void config_choose(ConfigForm *f, int focus, int index, const char *text)
{
    if (text == nullptr)
        return;
    switch (focus) {
    case CONFIG_FIELD_MODE:
        if (index < 0 || index > 3)
            return;
        f->mode_index = index;
        f->link_index = 0;
        if (is_remote(index)) {
            f->link = "TCP/IP";
            f->device_caption = "Connect IP :";
            f->device_text = "";
        } else {
            f->link = "RS232";
            f->device_caption = "Connect device :";
            f->device_text = "/dev/ttyS0";
        }
        f->community_caption = "";
        f->community_text = "";
        if (!is_multiple(index))
            f->machine_number = "1";
        f->mode = text;
        break;
    case CONFIG_FIELD_LINK:
        if (index < 0 || index > CONFIG_LINK_HID)
            return;
        f->link_index = index;
        f->device_caption = link_defaults[index].device_caption;
        f->device_text = link_defaults[index].device_text;
        f->community_caption = link_defaults[index].community_caption;
        f->community_text = link_defaults[index].community_text;
        f->link = text;
        break;
    // The other choices leave the device and community texts whole: the
    // fields show only their first 35 characters.
    case CONFIG_FIELD_AC_FAIL: f->ac_fail_delay = text; break;
    case CONFIG_FIELD_BATTERY_LOW: f->battery_low_delay = text; break;
    case CONFIG_FIELD_UPS_SHUTDOWN: f->ups_shutdown_delay = text; break;
    case CONFIG_FIELD_UNITS: f->machine_number = text; break;
    case CONFIG_FIELD_BAUD: f->baud_rate = text; break;
    }
}

bool config_snmp_address(const std::string &text)
{
    std::string host;
    int port = 0;
    return snmp_map_address(text, 0, &host, &port) == SNMP_ADDRESS_OK;
}

const char *config_input(ConfigForm *f, int focus, const char *text)
{
    if (text == nullptr)
        return nullptr;
    bool snmp = f->link_index == CONFIG_LINK_SNMP;
    std::string clean = input_box_printable(text);
    if (focus == CONFIG_FIELD_DEVICE) {
        // The daemon would poll a card that is not there: the address is
        // refused here, where it can still be typed again.
        if (snmp && !config_snmp_address(clean))
            return CONFIG_BAD_IP_TEXT;
        HidMatch match;
        std::string why;
        if (f->link_index == CONFIG_LINK_HID && !hid_match_parse(clean, &match, &why))
            return CONFIG_BAD_HID_TEXT;
        f->device_text = clean;
    } else if (focus == CONFIG_FIELD_COMMUNITY && snmp) {
        f->community_text = clean;
    }
    return nullptr;
}

std::vector<std::string> config_save_texts(const ConfigForm &f)
{
    return {f.mode,
            f.link,
            f.device_text,
            f.community_text,
            f.ac_fail_delay,
            f.battery_low_delay,
            f.ups_shutdown_delay,
            f.machine_number,
            f.baud_rate};
}

// The form into the widgets, then the page redraw.
static void redraw()
{
    std::vector<Widget *> &w = page.widgets;
    set_text(w[CONFIG_FIELD_MODE], form.mode.c_str());
    set_text(w[CONFIG_FIELD_LINK], form.link.c_str());
    set_text(w[CAPTION_DEVICE], form.device_caption.c_str());
    set_text(w[CAPTION_COMMUNITY], form.community_caption.c_str());
    set_text(w[CONFIG_FIELD_DEVICE], form.device_text.substr(0, CONFIG_SHOWN_CHARS).c_str());
    set_text(w[CONFIG_FIELD_COMMUNITY],
             form.community_text.substr(0, CONFIG_SHOWN_CHARS).c_str());
    set_text(w[CONFIG_FIELD_AC_FAIL], form.ac_fail_delay.c_str());
    set_text(w[CONFIG_FIELD_BATTERY_LOW], form.battery_low_delay.c_str());
    set_text(w[CONFIG_FIELD_UPS_SHUTDOWN], form.ups_shutdown_delay.c_str());
    set_text(w[CONFIG_FIELD_UNITS], form.machine_number.c_str());
    set_text(w[CONFIG_FIELD_BAUD], form.baud_rate.c_str());

    WINDOW *win = page.window;
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 2, 5, 74, 17, 3);
    fill_rect(win, 4, 22, 73, 1, 5);
    fill_rect(win, 76, 6, 1, 17, 5);
    draw_frame3d(win, 2, 5, 74, 17, 3, 4, "|", "-", "-", "-", "-", "-");
    screen_finish(&page);
}

// Back to the saved values: Esc and Cancel.
static void config_discard()
{
    set_text(page.widgets[MESSAGE], "");
    config_fill(&form, settings_get());
}

static void config_save()
{
    animate_press(page.widgets[CONFIG_BUTTON_SAVE], redraw);
    std::vector<std::string> t = config_save_texts(form);
    if (settings_save(t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str(), t[4].c_str(),
                      t[5].c_str(), t[6].c_str(), t[7].c_str(), t[8].c_str()) != 0) {
        // Nothing was written: keep the edits on show so the save can be
        // tried again, and leave the daemon on its file as it is.
        set_text(page.widgets[MESSAGE], SAVE_FAIL_TEXT);
        redraw();
        return;
    }
    set_text(page.widgets[MESSAGE], "");
    client_queue("RefreshSet", 10);
    settings_load(program_dir());
    client_set_machine_count(settings_machine_number());
    switch_screen(SCREEN_MENU);
}

static void ask(const char *question, const std::string &preset)
{
    input_box_prompt(question, "Press Enter to confirm and exit.", "");
    input_box_preset(preset.c_str());
    switch_screen(SCREEN_INPUT_BOX);
}

static void config_enter()
{
    int focus = page.focus_index;
    int action = config_enter_action(form, focus);
    switch (action) {
    case CONFIG_LIST: {
        int count = 0;
        const char *const *items = config_options(focus, &count);
        list_popup_open(items, count, 0);
        switch_screen(SCREEN_LIST_POPUP);
        break;
    }
    case CONFIG_ASK_IP:
        ask("Please input connect IP.", form.device_text);
        break;
    case CONFIG_ASK_DEVICE:
        ask("Please input connect device name.", form.device_text);
        break;
    case CONFIG_ASK_COMMUNITY:
        ask("Please input SNMP Community Name.", form.community_text);
        break;
    case CONFIG_SAVE:
        config_save();
        break;
    case CONFIG_CANCEL:
        animate_press(page.widgets[CONFIG_BUTTON_CANCEL], redraw, false);
        config_discard();
        switch_screen(SCREEN_MENU);
        break;
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

void config_key(int key)
{
    if (screen_move_focus(&page, key)) {
        redraw();
        return;
    }
    switch (key) {
    case KEY_BYTE_ENTER:
        config_enter();
        break;
    case KEY_BYTE_ESC:
        config_discard();
        switch_screen(SCREEN_MENU);
        break;
    case KEY_BYTE_REPAINT:
    case KEY_BYTE_REPAINT_LOWER:
        screen_repaint(&page);
        redraw();
        break;
    }
}

// The popups report here; the popup's return redraws the page. A refused
// address stays on the message line until the next popup result.
static void on_list_choice(int index, const char *text)
{
    set_text(page.widgets[MESSAGE], "");
    config_choose(&form, page.focus_index, index, text);
}

static void on_input_text(const char *text)
{
    const char *refused = config_input(&form, page.focus_index, text);
    set_text(page.widgets[MESSAGE], refused != nullptr ? refused : "");
}

void config_build(int col, int row, int width, int height)
{
    page.window = newwin(height, width, row, col);
    const LabelRow table[29] = {
        {2, 0, 20, 1, "Tarvo Mains Sentinel", false},
        {28, 1, 21, 1, "Configuration Setting", false},
        {2, 2, 76, 6, "Using Up/Down/Right/Left key to select items. Press Enter to change.",
         false},
        {2, 3, 76, 6, "ESC:Back to menu.  ", false},
        {4, 6, 35, 3, "UPS type :", true},
        {4, 7, 35, 3, "UPS connect type :", true},
        {4, 8, 35, 3, "Connect device :", true},
        {4, 9, 35, 3, "", true},
        {4, 10, 35, 3, "    OS shutdown delay time when AC Fail :", true},
        {4, 11, 35, 3, "OS shutdown delay time when battery low :", true},
        {4, 13, 35, 3, "                UPS shutdown delay time :", true},
        {4, 14, 35, 3, "                         Machine Number :", true},
        {50, 10, 17, 3, "Min(0 is Disable)", false},
        {50, 11, 17, 3, "Min(0 is Disable)", false},
        {50, 13, 17, 3, "Min(0 is Disable)", false},
        {50, 14, 17, 3, "", false},
        {40, 6, 21, 3, "", false},
        {40, 7, 21, 3, "", false},
        {40, 8, 21, 3, "", false},
        {40, 9, 21, 3, "", false},
        {46, 10, 2, 3, "", true},
        {46, 11, 2, 3, "", true},
        {46, 13, 2, 3, "", true},
        {46, 14, 2, 3, "", true},
        {26, 18, 0, 0, "[ Save ]", false},
        {43, 18, 0, 0, "[Cancel]", false},
        {60, 0, 20, 1, "", false},
        {4, 15, 35, 3, "                              Baud Rate :", true},
        {46, 15, 5, 3, "", false},
    };
    for (int i = 0; i < 29; i++) {
        if (i == CONFIG_BUTTON_SAVE || i == CONFIG_BUTTON_CANCEL)
            page.widgets.push_back(new_button(table[i].col, table[i].row, table[i].text.c_str()));
        else
            screen_add_label(&page, table[i]);
    }
    // Index 29: why a save failed or an address was refused, red on the
    // panel; the whole text shows.
    page.widgets.push_back(new_label(20, 16, "", 1, 9));

    // Up, down; Left always goes to "[ Save ]" and Right to "[Cancel]".
    const int order[][3] = {
        {CONFIG_FIELD_MODE, CONFIG_BUTTON_SAVE, CONFIG_FIELD_LINK},
        {CONFIG_FIELD_LINK, CONFIG_FIELD_MODE, CONFIG_FIELD_DEVICE},
        {CONFIG_FIELD_DEVICE, CONFIG_FIELD_LINK, CONFIG_FIELD_COMMUNITY},
        {CONFIG_FIELD_COMMUNITY, CONFIG_FIELD_DEVICE, CONFIG_FIELD_AC_FAIL},
        {CONFIG_FIELD_AC_FAIL, CONFIG_FIELD_COMMUNITY, CONFIG_FIELD_BATTERY_LOW},
        {CONFIG_FIELD_BATTERY_LOW, CONFIG_FIELD_AC_FAIL, CONFIG_FIELD_UPS_SHUTDOWN},
        {CONFIG_FIELD_UPS_SHUTDOWN, CONFIG_FIELD_BATTERY_LOW, CONFIG_FIELD_UNITS},
        {CONFIG_FIELD_UNITS, CONFIG_FIELD_UPS_SHUTDOWN, CONFIG_FIELD_BAUD},
        {CONFIG_FIELD_BAUD, CONFIG_FIELD_UNITS, CONFIG_BUTTON_SAVE},
        {CONFIG_BUTTON_SAVE, CONFIG_FIELD_BAUD, CONFIG_BUTTON_CANCEL},
        {CONFIG_BUTTON_CANCEL, CONFIG_FIELD_BAUD, CONFIG_FIELD_MODE},
    };
    for (const auto &n : order)
        set_neighbours(page.widgets[n[0]], n[1], n[2], CONFIG_BUTTON_SAVE, CONFIG_BUTTON_CANCEL);

    page.focus_index = CONFIG_FIELD_MODE;
    set_focus(page.widgets[CONFIG_FIELD_MODE], 1);
    page.on_enter = on_enter;
    page.on_key = config_key;
    page.on_tick = on_tick;
    page.on_list_choice = on_list_choice;
    page.on_input_text = on_input_text;

    settings_load(program_dir());
    config_fill(&form, settings_get());
    screen_add(SCREEN_CONFIG, &page);
}
