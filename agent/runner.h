// The schedule runner: once a minute (the daemon's loop calls runner_tick
// from a timer at the start of each minute), queues the UPS commands of the
// schedule entries due at that minute to the shutdown decision (a turn-off
// is a planned shutdown; a test joins unit 1's ordinary lane), and keeps
// the schedule's selection equal to today's due entries across midnight. No
// minute is passed over by a late tick and none is seen twice.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"

// Sets the unit whose command queue takes the commands (unit 1).
void runner_init(MachineContext *unit1);

// Forgets the date of the last pass, so the next pass selects today anew.
void runner_reset_dates();

// Returns 1 when the local date (year, month 1..12, day) differs from the
// one remembered, and remembers it; else 0. The first call returns 1.
int date_changed(int year, int month, int day);

// 1 when the "hh:mm" text names hour:minute, else 0.
int time_matches(const char *entry_time, int hour, int minute);

// The command bytes (ups_command) for an entry's action ("T    ", "R0480",
// ...) and the UPS shutdown delay in minutes, clamped as ups_command
// clamps (0 gives one minute, over 99 gives 99); "R" and four digits restores
// that many minutes after the turn-off. Empty for an action letter without
// a command, or an "R" without its four digits.
std::string runner_command(const char *action, int ups_shutdown_delay);

// The work of the minute that contains `now` (local time): a new date
// selects today's entries; every selected entry whose time matches gives
// its command to the decision (decision_command at `actual`, the time of
// the tick; 0: `now`): a turn-off ("S", "R") starts a planned shutdown,
// a test joins unit 1's ordinary lane. Returns the number of commands
// taken or queued.
int runner_pass(time_t now, time_t actual = 0);

// The tick at `now`: one pass for each minute since the last pass (at most
// ten, when the loop was held up), none when this minute had its pass
// already. Returns the number of commands queued.
int runner_tick(time_t now);
