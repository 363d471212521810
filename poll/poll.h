// One move of a polling loop: the daemon's loop and the console's
// connection loop both drive the unit whose turn it is through the engine
// over the one link with it. The move never waits and never advances the
// turn itself; it says what happened and the loop decides. Time comes from
// the caller (monotonic seconds), for the connect and reply limits of TCP.
#pragma once

#include <string>

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
// its request waits (POLL_WAITING); later it is a failed receive. A reopen
// attempt that fails (a connect given up after LINK_CONNECT_SECONDS too,
// with open_errno ETIMEDOUT) counts as a failed receive of the unit
// (machine_miss_reading), so a unit whose link never opens is lost after
// four of them as a silent one is; not for a link or unit that is not
// configured (LINK_NONE, KIND_NONE). Returns one of the POLL_ values;
// `check(unit, check_ctx)` runs after each receive and each finished reopen
// attempt.
int poll_move(LinkPort *link, PollState *state, MachineContext *unit, double now, PollCheck check,
              void *check_ctx);

// ---- a unit that has not answered since it was set up ----------------------

// Seconds between two lines about the same silent unit.
constexpr double POLL_SILENCE_REPEAT = 60;

// The daemon's watch over one unit that has not answered since it was set
// up (at start, or anew by a reload): one line at its first failed open or
// unanswered request, naming the device and why, then at most one every
// POLL_SILENCE_REPEAT seconds while it lasts, and one line when it answers
// at last. A unit that answered is watched no more: its loss is the
// Disconnect event's. A new watch (a unit set up anew) is a value-initialised one.
struct PollSilence {
    bool answered = false;  // the unit answered since the watch began
    bool reported = false;  // a line about its silence was printed
    double reported_at = 0; // monotonic seconds of the last such line
};

// Why an open failed, as the line says it: "no such device" (ENOENT,
// ENODEV, ENXIO), "permission denied" (EACCES, EPERM), else the errno's
// text, starting in lower case.
std::string poll_open_reason(int err);

// The device a line names for the link: the serial path, "A.B.C.D port
// 2027" for TCP, "USB vvvv:pppp" (the ids in hexadecimal) for USB.
std::string poll_link_name(const LinkPort *link);

// One look at a unit's watch at `now` (monotonic seconds): `answered` when
// the unit is connected now; else `reason` is why this try failed, nullptr
// when nothing failed in it (a send, a reopen that worked). Prints
// "upsagent: unit N on DEVICE has not answered since start: REASON" when
// one is due, and "upsagent: unit N on DEVICE answers now" once when a
// unit that was reported answers.
void poll_silence_note(PollSilence *silence, int address, const std::string &device, bool answered,
                       const char *reason, double now);

// poll_silence_note after poll_move's result `move` for `unit` over `link`:
// a failed reopen says the link's open_errno (poll_open_reason), a receive
// that lost a unit never connected says "no reply" (or "no usable reply"
// when bytes came that were not taken). Nothing for a link or unit that is
// not configured (LINK_NONE, KIND_NONE).
void poll_silence_after_move(PollSilence *silence, const LinkPort *link, MachineContext *unit,
                             int move, double now);
