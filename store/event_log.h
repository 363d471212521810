// The event log "DataBase/Event.ang": one 30-byte line per change of a
// watched status character of any unit, newest last, capped at 1000 lines.
// The daemon appends; the console reads it and lists one month at a time.
//
// Line format, "%s %02d %02d %c %c\n": time stamp "YYYY/MM/DD hh:mm:ss"
// (columns 1-19), unit address (21-22), event code (24-25: the index of the
// status character that changed, or 9 and 10 for the shutdown decision's
// reports, see event_text.h), new state '1'/'0' (27), the unit's status
// character 3 at that moment (29: '1' off-line type, '0' on-line type).
#pragma once

#include <cstdint>
#include <ctime>

#include "store/event_text.h" // the entries' texts (event_text)

constexpr int EVENT_LINE_LEN = 30;     // bytes of one line, newline included
constexpr int EVENT_LOG_MAX_LINES = 1000;

// Formats one line for `when` (local time) into `out` (31 bytes with NUL).
void event_log_format(char out[EVENT_LINE_LEN + 1], time_t when, int address, int code,
                      char new_state, char type_char);

// Appends one line stamped with the local time of `when`, then trims the
// file to its newest 1000 lines. A log that cannot be opened or written is
// reported through write_report and the line is kept: with its stamp, it
// is written before the next one or by event_log_flush; at most 1000 are
// kept. Serialised by the module's lock.
void event_log_append_at(time_t when, int address, int code, char new_state, char type_char);

// Writes the lines kept since a failed append. Returns true when none is
// left (also when there were none).
bool event_log_flush();

// Creates the log (empty) when missing. Returns false when it cannot.
bool event_log_create();

// One event line as the console reads it.
struct EventEntry {
    char date[11];     // "YYYY/MM/DD", columns 1-10
    char time[9];      // "hh:mm:ss", columns 12-19
    char unit[3];      // unit address "01".."04", columns 21-22
    int32_t code;      // event code 0..10 (others show as "Unknown event"), columns 24-25
    int8_t new_state;  // 1 set, 0 cleared (column 27)
    int8_t type_flag;  // column 29: 1 off-line type, 0 on-line type
    char display[70];  // "%s  %s  %-7s  %s" with date, time, unit and the event text
    bool selected;     // in the current month's list
};

// Reads the log into the module's table: only whole 30-byte lines, never more
// entries than whole records counted at the start. A missing log is created
// empty. Returns the number of entries.
int event_log_load();

// Selects the entries of one month (year = columns 1-4, month = columns 6-7),
// building their display texts, in file order. Returns their number.
int event_log_select_month(int year, int month);

// Copies the i-th selected entry (0 = oldest). False when i is out of range.
bool event_log_selected(int i, EventEntry *out);
