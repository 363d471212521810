// upsconsole's link to its local daemon: four unit contexts (kind 3, unit
// addresses 1..4) kept current from the daemon's StatusRecords over one TCP
// connection to 127.0.0.1 port 2027, and the commands the pages queue into
// unit 1's context, carried to the daemon by the same loop.
#pragma once

#include "protocol/machine.h"

// Unit context by index 0..3. The pages read it through the engine's
// accessors (each takes the context's lock).
MachineContext *client_unit(int index);

// Units polled, 1..4: the machine_number setting when the loop starts; the
// configuration page sets it again after a save. Taken at the next advance
// of the turn.
int client_machine_count();
void client_set_machine_count(int count);

// Queues a command for the daemon on unit 1's context, behind those not yet
// sent (machine_queue_command). Returns 1 when queued, 0 when refused (the
// queue is full).
int client_queue(const char *bytes, int len);

// The daemon connection loop: one move every 100 ms, forever. A connection
// whose units are all found lost is closed and made again on a later pass,
// so a restarted daemon is picked up.
[[noreturn]] void client_run();
