// The configuration page (SCREEN_CONFIG): the nine values of the settings
// file (machine mode, link kind, device or address, SNMP community, three
// shutdown delays, unit count, baud rate). The local modes offer three link
// kinds: "RS232", "USB" and "SNMP" (a UPS network card at an IPv4 address,
// whose community name is the page's fourth value). Fields change by a
// choice from the list popup or by typing into the input box; "[ Save ]"
// writes the file and tells the daemon to reload it, "[Cancel]" and Esc drop
// the edits.
//
// The page keeps what it shows in a ConfigForm; the functions below are the
// form's rules, free of curses, so they can be checked on their own.
#pragma once

#include <string>
#include <vector>

#include "store/settings.h"

// Makes the page's window (width x height at col, row), its widgets and
// their neighbours, focuses "UPS type", loads the settings file of the
// program directory and fills the fields from it; registers SCREEN_CONFIG.
// Call once at start-up, with curses running.
void config_build(int col, int row, int width, int height);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs config_build first.
void config_key(int key_byte);

// Widget table indices of the focusable fields and buttons.
enum {
    CONFIG_FIELD_MODE = 16,
    CONFIG_FIELD_LINK = 17,
    CONFIG_FIELD_DEVICE = 18,
    CONFIG_FIELD_COMMUNITY = 19,
    CONFIG_FIELD_AC_FAIL = 20,
    CONFIG_FIELD_BATTERY_LOW = 21,
    CONFIG_FIELD_UPS_SHUTDOWN = 22,
    CONFIG_FIELD_UNITS = 23,
    CONFIG_BUTTON_SAVE = 24,
    CONFIG_BUTTON_CANCEL = 25,
    CONFIG_FIELD_BAUD = 28,
};

// Field 18 and 19 show this many characters of their whole texts.
constexpr int CONFIG_SHOWN_CHARS = 35;

// What Enter on a widget does (config_enter_action).
enum {
    CONFIG_NOTHING = 0,    // the field cannot be changed in the current mode
    CONFIG_LIST = 1,       // list popup with config_options(focus)
    CONFIG_ASK_DEVICE = 2, // input box "Please input connect device name."
    CONFIG_ASK_IP = 3,     // input box "Please input connect IP."
    CONFIG_SAVE = 4,
    CONFIG_CANCEL = 5,
    CONFIG_ASK_COMMUNITY = 6, // input box "Please input SNMP Community Name."
};

// The link kind of a UPS network card (link_index 2).
constexpr int CONFIG_LINK_SNMP = 2;
// The link kind of a USB HID Power Device (link_index 3): its device row
// takes "vvvv:pppp" or "vvvv:pppp:SERIAL", or stays empty for the first one.
constexpr int CONFIG_LINK_HID = 3;

// The community a new SNMP link starts with.
constexpr const char *CONFIG_DEFAULT_COMMUNITY = "ngroup";

// What a refused SNMP address shows in the page's message line.
constexpr const char *CONFIG_BAD_IP_TEXT = "Invalid IP, input a.b.c.d or a.b.c.d:port.";
// A HID unit's device row that names no unit the daemon could look for.
constexpr const char *CONFIG_BAD_HID_TEXT = "Invalid device, input vvvv:pppp[:serial] or nothing.";

// The page's editable state: the texts of the fields and captions that
// change, the whole device and community texts, and the positions of the
// shown mode and link kind in their option lists.
struct ConfigForm {
    std::string mode;               // field 16
    std::string link;               // field 17
    std::string device_caption = "Connect device :"; // caption 6
    std::string community_caption;  // caption 7: "SNMP Community Name :" for SNMP, else empty
    std::string device_text;        // whole device path or address; field 18 shows 35 characters
    std::string community_text;     // whole SNMP community; field 19 shows 35 characters
    std::string ac_fail_delay;      // field 20
    std::string battery_low_delay;  // field 21
    std::string ups_shutdown_delay; // field 22
    std::string machine_number;     // field 23
    std::string baud_rate;          // field 28
    int mode_index = 0;             // 0..3 in the mode list
    int link_index = 0;             // 0 "RS232" (or a remote mode's "TCP/IP"), 1 "USB", 2 "SNMP", 3 "HID"
};

// Fills the form from a settings record. Numbers are shown as they are,
// even outside their lists, and so is the baud rate; a mode word that is not
// one of the four leaves mode_index and the device caption as they were.
// A link kind of "SNMP" gives link_index 2 and its two captions ("Connect
// IP :" and "SNMP Community Name :"); any other kind leaves caption 7 empty.
void config_fill(ConfigForm *form, const SettingsRecord &settings);

// The option list of a field (mode, link, the delays, unit count, baud rate)
// and its length in *count; nullptr and 0 for a field without a list. The
// texts are static.
const char *const *config_options(int field, int *count);

// What Enter on widget `focus` does with the form as it is.
int config_enter_action(const ConfigForm &form, int focus);

// A choice from the list popup opened on `focus`: item `index`, `text`.
// A mode or link choice also sets the link, the device default and the
// captions and empties the community (the SNMP link starts with an empty
// address and the community "ngroup"); other choices set only their field.
void config_choose(ConfigForm *form, int focus, int index, const char *text);

// The input box's text for `focus`: the device path or address (field 18),
// or with the SNMP link the community (field 19). Control characters (arrow
// keys pressed in the box) are dropped. With the SNMP link an address that
// config_snmp_address refuses is not taken, with the HID link a text that
// is neither empty nor "vvvv:pppp[:SERIAL]" (hid_match_parse). Other fields
// ignore the text. Returns nullptr when the text was taken or ignored,
// CONFIG_BAD_IP_TEXT or CONFIG_BAD_HID_TEXT when it was refused (the form
// is then unchanged).
const char *config_input(ConfigForm *form, int focus, const char *text);

// True when `text` is an SNMP card's address: a dotted IPv4 address
// "a.b.c.d" (each part 0..255, no leading zeros), optionally followed by
// ":port" with a port of 1..65535 (no leading zeros).
bool config_snmp_address(const std::string &text);

// The nine texts a save writes, in file order.
std::vector<std::string> config_save_texts(const ConfigForm &form);
