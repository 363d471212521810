// The schedule store: planned UPS actions (self test, test to battery low,
// cancel test, shutdown, shutdown and restore) with a start date, a time of
// day and a repeat kind, in "DataBase/Schedule.ang", one 58-byte line per
// entry in the order they were added:
//   "%04d %d %s %s %s %c %25s\n": id, weekday of the start date (0 Saturday
//   .. 6 Friday), YYYY/MM/DD, hh:mm, action (letter and 4 blanks, or R and
//   the minutes from shutdown to restart), repeat (O, D, W, M), restart note.
// The daemon lists the entries due today for the schedule runner; the
// console adds and deletes entries and lists a month. One table and one
// selection list per process, guarded by the store's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int SCHEDULE_LINE_LEN = 58; // bytes of one line, newline included

struct ScheduleEntry {
    char entry_id[5];      // columns 1-4, "%04d"
    int8_t start_weekday;  // column 6: 0 Saturday, 1 Sunday, ... 6 Friday
    char start_date[11];   // columns 8-17, YYYY/MM/DD
    char start_time[6];    // columns 19-23, hh:mm
    char action[6];        // columns 25-29: "T    ", "L    ", "C    ", "S    " or "R%04d"
    char repeat;           // column 31: 'O' once, 'D' daily, 'W' weekly, 'M' monthly
    char restore_text[26]; // columns 33-57, blanks kept
    char list_line[70];    // the entry as a list row, built when it is selected
    bool deleted;          // marked by schedule_delete until the rewrite
    bool listed;           // in the current selection list
};

// Days in a month (1..12) of a Gregorian year; 0 for another month.
int days_in_month(int year, int month);

// Weekday of a date: 0 Saturday, 1 Sunday, ..., 6 Friday (proleptic
// Gregorian; a day outside the month counts on from its first). 0 for a
// month outside 1..12.
int weekday_of(int year, int month, int day);

// Whether an entry is due on the given date (recurring entries count from
// the first day of their start month).
bool schedule_is_due(const ScheduleEntry &entry, int year, int month, int day);

// 2 when the entry's year is before `year` or its month before `month` in
// the same year, 1 when the entry falls in that month, 0 when later.
int schedule_in_month(const ScheduleEntry &entry, int year, int month);

// The list row of an entry: "%-5s %-5s %-20s %-7s %-25s" with the date or
// repeat word, the time, the action name, the repeat name and the restart
// note.
std::string schedule_list_line(const ScheduleEntry &entry);

// Ensures "DataBase/", sets the path and reads the file (created empty when
// missing); the selection list becomes empty.
void schedule_load();

// Rereads the file into the table: only whole 58-byte lines.
void schedule_reload();

// Appends one entry with the next id. For action 'R' the restart lies
// `restore_days` days later at restore_hour:restore_minute; a restart before
// the shutdown time is refused. Returns 0 when added, -1 when refused or the
// file could not be written.
int schedule_add(int start_weekday, const char *start_date, int hour, int minute, char action,
                 char repeat, int restore_days, int restore_hour, int restore_minute,
                 const char *restore_text);

// Deletes every entry with this id: rewrites the file and rereads it; the
// selection list becomes empty. Returns the number of entries deleted.
int schedule_delete(int id);

// Selects the entries due on the given date (the daemon's list of today).
// Returns their number.
int schedule_select_today(int year, int month, int day);

// Selects the entries to show for a month (the console's list): entries of
// that month, and recurring entries that started before it. Returns their
// number.
int schedule_select_month(int year, int month);

// Copies the selection list, in file order.
std::vector<ScheduleEntry> schedule_selected();

// Number of entries in the table.
int schedule_count();

// The id the next entry gets (the id of the last line read, plus 1).
int schedule_next_id();
