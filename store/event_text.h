// The words for the events: an event is a change of one status character
// of a unit, its code the character's position (0..8), or one of the
// shutdown decision's reports on the protection itself (9: the host's
// shutdown command failed or timed out / works again; 10: the UPS ignored a
// command / took one; set and cleared like a status). One table holds every
// text an event has: the event log page's set and cleared texts, the
// notices' (mail, SMS, event hook), which differ from the page's in one word
// and leave out the beeper and the UPS type, and the names of the event
// choices on the mail and SMS setting pages.
#pragma once

#include <string>

constexpr int EVENT_CODES = 12; // status positions 0..8, then the decision's reports 9 to 11
constexpr int EVENT_SHUTDOWN_CALL = 9; // the host's shutdown command failed (set) / works (cleared)
constexpr int EVENT_UPS_COMMAND = 10;  // the UPS ignored a command (set) / took one (cleared)
constexpr int EVENT_PLANNED = 11;      // a planned shutdown started (set) / was cancelled (cleared)

// The event log page's text for a code, a new state and the type flag: the
// set or the cleared text of the code ("In AVR mode" or "Bypass" for a set
// code 5 by the type flag: 1 off-line type). nullptr for a code outside
// 0..10 or a state other than 0 and 1. At most 38 characters: the event log
// page's row after date, time and unit.
const char *event_text(int code, int new_state, int type_flag);

// The notice text of a change of status position `code` to `state` ('1' set,
// anything else cleared), given the unit's status character 3 (`type`, '1'
// off-line type). nullptr for codes 0 and 3 (beeper and UPS type, never
// notified) and a code outside 0..10.
const char *event_notice_text(int code, char state, char type);

// The event choices of the mail and SMS setting pages: seven rows, top to
// bottom, each switching the flag of one code of the nine-character flag
// text. Codes 9 and 10 have no row and no flag: they are always notified.
constexpr int EVENT_CHOICE_ROWS = 7;

// The code (the index into the flag text) choice row `row` (0..6) switches;
// -1 for another row.
int event_choice_code(int row);

// The 70-character text of choice row `row` for the flag text `flags`: the
// row's name, then "[ Enable  ]" when its flag is '1', else "[ Disable ]"
// (also when `flags` is shorter or nullptr). Empty for a row outside 0..6.
std::string event_choice_text(int row, const char *flags);

// Enter on choice row `row`: its flag '0' becomes '1', anything else '0'.
// Rows outside 0..6, and flags past the end of `flags`, are left alone; so
// flags 0 and 3 never change.
void event_choice_toggle(char *flags, int row);
