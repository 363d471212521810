// upsagent's start-up and polling loop. The loop takes the units 1 to
// machine_count in turn over the one link, one request or one reply per
// pass, every 500 ms, and every second pass appends a history line for each
// connected unit.
//
// Threads: the loop runs on the main thread and holds the pass lock for the
// whole of a pass; a reconfiguration from another thread (settings_apply)
// takes the same lock, so it never lands in the middle of a pass.
#pragma once

#include "link/link.h"
#include "protocol/machine.h"

// Start-up: program directory, settings, link and unit contexts, the
// DataBase files. Call once, on the main thread.
void agent_start(const char *program_path);

// One pass of the polling loop, without its sleep.
void agent_pass();

// The polling loop: a pass every 500 ms, forever.
[[noreturn]] void agent_run();

// The "RefreshSet" reload: closes the link, reloads the settings and
// configures link, unit count and unit contexts anew, between two passes.
// The loop reopens the link at its next pass.
void settings_apply();

// Unit context by index 0..3 (unit address = index + 1).
MachineContext *agent_unit(int index);

// Number of units polled, 1..4.
int agent_machine_count();
