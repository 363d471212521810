// The status history: one file per unit and local calendar day,
// "DataBase/M<unit><YYYYMMDD>.ang", with one line of readings about every
// second while the unit answers. Written by the polling loop only; nothing in
// the system reads it back.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"

// The history file of `unit` (1..4) for the local day of `when`.
std::string history_path(int unit, time_t when);

// One history line for the values, stamped with the local time of day of
// `when`: "hh:mm:ss %05.1f %05.1f %05.1f %03d %04.1f %05.2f %04.1f\n".
std::string history_line(const MachineValues &v, time_t when);

struct Worker;

// Appends one line for the unit to the file of the day of `when`, stamped
// with its time: the line is made now, and written by `worker` (nullptr: at
// once), so a slow disk holds no pass up. A file that cannot be opened or
// written is reported through write_report (one line until it can be
// again); an append cut short is taken back.
void history_append_at(MachineContext *ctx, time_t when, Worker *worker = nullptr);

// Creates "DataBase/", the history files of units 1..count for the day of
// `now` and the event log, each empty when missing.
void history_create_files(int count, time_t now);
