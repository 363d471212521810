// upsagent's start-up and the handlers of its event loop. A timer every
// 500 ms runs the pass: one move over the link for the unit whose turn it
// is (one request or one reply; the units 1 to machine_count take turns),
// the decision's tick, the metrics, and every second pass a history line
// for each connected unit. A timer at the start of every minute runs the
// schedule. The server's sockets, the signals (SIGTERM and SIGINT end the
// daemon, SIGHUP rereads every file, SIGCHLD reaps children) and the
// worker's results are events of the same loop: everything runs on its one
// thread, and blocking work goes to the worker.
#pragma once

#include <ctime>

#include "agent/server.h"
#include "base/loop.h"
#include "protocol/machine.h"

struct AgentOptions {
    ServerPorts ports;  // where the server listens
    bool worker = true; // start the worker thread (false: blocking work runs inline)
    int return_hold = 30; // seconds a condition's end must hold before the decision takes it
};

// Start-up on `loop`: program directory, settings, link and unit contexts,
// the decision's state, the DataBase files, the server, the timers and the
// signals. Returns false, after one line, when the loop cannot take the
// signals. Call once, before any other thread starts.
bool agent_start(const char *program_path, Loop *loop, const AgentOptions &options);

// The orderly end: the server's sockets and the link closed, the worker's
// jobs done (the decision's state is on disk). Call after the loop stopped.
void agent_stop();

// The "RefreshSet" reload at `now`: the settings are read again; a changed
// link is closed (and reopened by the next pass) and its units start fresh,
// and so does a unit whose kind changed; the others keep their state, and
// unit 1 keeps its command queue. Runs between two passes, as every
// handler does.
void agent_reload(LoopTime now);

// Unit context by index 0..3 (unit address = index + 1).
MachineContext *agent_unit(int index);
