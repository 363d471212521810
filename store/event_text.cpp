#include "store/event_text.h"

#include <cstdio>
#include <cstring>

namespace {

struct EventWords {
    const char *set;            // the log page's text when set
    const char *cleared;        // ... when cleared
    const char *notice_cleared; // the notices' own text when cleared; nullptr: `cleared`
    bool noticed;               // false: never a notice
    const char *choice;         // the name on the setting pages; nullptr: no choice row
};

const EventWords words[EVENT_CODES] = {
    {"Beeper On", "Beeper Off", nullptr, false, nullptr},
    {"Shutdown Active", "Cancel Shutdown", nullptr, true, "ShutDown Active"},
    {"Test in Progress", "Test done", nullptr, true, "Test in Progress"},
    {"Off-line", "On-line", nullptr, false, nullptr},
    {"UPS Failed", "UPS Recovery", nullptr, true, "UPS Failed"},
    {"Bypass", "Normal", nullptr, true, "ByPass"},
    {"Battery Low", "Battery capacity normal", "Battery Capacity normal", true, "Battery Low"},
    {"AC Failed", "AC Recovery", nullptr, true, "Utility Fail"},
    {"Connect", "Disconnect", nullptr, true, "Connect UPS"},
    {"Shutdown call failed", "Shutdown call works", nullptr, true, nullptr},
    {"UPS ignored a command", "UPS took the command", nullptr, true, nullptr},
    {"Planned shutdown", "Planned shutdown cancelled", nullptr, true, nullptr},
};

// An off-line unit's bypass is its AVR.
const char AVR_TEXT[] = "In AVR mode";
const int BYPASS_CODE = 5;

const int choice_codes[EVENT_CHOICE_ROWS] = {7, 6, 5, 4, 2, 1, 8};

} // namespace

const char *event_text(int code, int new_state, int type_flag)
{
    if (code < 0 || code >= EVENT_CODES)
        return nullptr;
    if (new_state == 0)
        return words[code].cleared;
    if (new_state != 1)
        return nullptr;
    if (code == BYPASS_CODE && type_flag == 1)
        return AVR_TEXT;
    return words[code].set;
}

const char *event_notice_text(int code, char state, char type)
{
    if (code < 0 || code >= EVENT_CODES || !words[code].noticed)
        return nullptr;
    if (state == '1')
        return event_text(code, 1, type == '1' ? 1 : 0);
    return words[code].notice_cleared ? words[code].notice_cleared : words[code].cleared;
}

int event_choice_code(int row)
{
    return row >= 0 && row < EVENT_CHOICE_ROWS ? choice_codes[row] : -1;
}

std::string event_choice_text(int row, const char *flags)
{
    int code = event_choice_code(row);
    if (code < 0)
        return "";
    bool enabled = flags != nullptr && strlen(flags) > static_cast<size_t>(code) &&
                   flags[code] == '1';
    char text[80];
    snprintf(text, sizeof text, "         %-23s%s%27s", words[code].choice,
             enabled ? "[ Enable  ]" : "[ Disable ]", "");
    return text;
}

void event_choice_toggle(char *flags, int row)
{
    int code = event_choice_code(row);
    if (code < 0 || strlen(flags) <= static_cast<size_t>(code))
        return;
    flags[code] = flags[code] == '0' ? '1' : '0';
}
