// One move of a polling loop: the daemon's loop and the console's
// connection loop both drive the unit whose turn it is through the engine
// over the one link with it. The move never waits and never advances the
// turn itself; it says what happened and the loop decides. Time comes from
// the caller (monotonic seconds), for the connect and reply limits of TCP.
#pragma once

#include "link/link.h"
#include "protocol/machine.h"

// What a move did.
enum {
    POLL_SENT = 0,      // a request went out; the unit keeps the turn
    POLL_KEPT = 1,      // a reply was received; the unit keeps the turn
    POLL_TURN_DONE = 2, // a reply was received and the unit's turn is over
    POLL_LOST = 3,      // a receive found the unit not connected (its turn is over too)
    POLL_REOPENED = 4,  // the link was down: one close-and-reopen attempt was made (or a
                        // connect under way ended, made or failed)
    POLL_IDLE = 5,      // the unit had nothing to do
    POLL_WAITING = 6,   // a TCP connect or reply is still within its time: move again later
};

// Called after every receive and every reopen attempt, for the unit.
using PollCheck = void (*)(MachineContext *unit, void *ctx);

// The state of the moves over one link: when the last connect began and
// the last request went out.
struct PollState {
    double connect_started = 0; // monotonic seconds
    double sent_at = 0;         // monotonic seconds
};

// One move for `unit` over `link` at `now`: a reopen attempt when the link
// is down (or a look at the connect under way), else the unit's next send
// or receive. A TCP receive that finds nothing within LINK_REPLY_SECONDS of
// its request waits (POLL_WAITING); later it is a failed receive. Returns
// one of the POLL_ values; `check(unit, check_ctx)` runs after each receive
// and each finished reopen attempt.
int poll_move(LinkPort *link, PollState *state, MachineContext *unit, double now, PollCheck check,
              void *check_ctx);
