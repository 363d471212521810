// One move of a polling loop: the daemon's loop and the console's
// connection loop both drive the unit whose turn it is through the engine
// over the one link with it. The move never advances the turn itself; it
// says what happened and the loop decides.
#pragma once

#include "link/link.h"
#include "protocol/machine.h"

// What a move did.
enum {
    POLL_SENT = 0,      // a request went out; the unit keeps the turn
    POLL_KEPT = 1,      // a reply was received; the unit keeps the turn
    POLL_TURN_DONE = 2, // a reply was received and the unit's turn is over
    POLL_LOST = 3,      // a receive found the unit not connected (its turn is over too)
    POLL_REOPENED = 4,  // the link was down: one close-and-reopen attempt was made
    POLL_IDLE = 5,      // the unit had nothing to do
};

// Trace levels (the loops' traces are off in a normal run).
enum {
    POLL_TRACE_OFF = 0,
    POLL_TRACE_STEPS = 1, // the link and step lines of every move
    POLL_TRACE_ALL = 2,   // also the bytes sent and received, the turn and the reopen
};

// Called after every receive and every reopen attempt, for the unit.
using PollCheck = void (*)(MachineContext *unit);

// One move for `unit` (index `index`, for the trace) over `link`: a reopen
// attempt when the link is down, else the unit's next send or receive.
// Returns one of the POLL_ values.
int poll_move(LinkPort *link, MachineContext *unit, int index, int trace, PollCheck check);
