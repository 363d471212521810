// upsagent's start-up and polling loop. The loop takes the units 1 to
// machine_count in turn over the one link, one request or one reply per
// pass, every 500 ms, and every second pass appends a history line for each
// connected unit.
//
// Threads: the loop runs on the main thread and holds the pass lock for the
// whole of a pass; a reload asked for by another thread is carried out by
// the loop itself between two passes.
#pragma once

#include <ctime>

#include "link/link.h"
#include "protocol/machine.h"

// Start-up: program directory, settings, link and unit contexts, the
// DataBase files. Call once, on the main thread.
void agent_start(const char *program_path);

// One pass of the polling loop at `now`, without its sleep.
void agent_pass(time_t now);

// The polling loop: a pass every 500 ms, forever.
[[noreturn]] void agent_run();

// Asks for the "RefreshSet" reload, which the loop carries out before its
// next pass: it reloads the settings; a changed link is closed (and reopened
// by that pass) and its units start fresh, and so does a unit whose kind
// changed; the others keep their state, and unit 1 keeps its command
// queue. Any thread.
void agent_request_reload();

// Unit context by index 0..3 (unit address = index + 1).
MachineContext *agent_unit(int index);

// Number of units polled, 1..4. Any thread; never waits for a pass.
int agent_machine_count();
