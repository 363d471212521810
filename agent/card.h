// upsagent's unit behind a UPS network card (link kind "SNMP"): a reading
// a second into unit 1 over the SNMP link, and the next UPS command of
// unit 1's queue (one a poll) sent as SETs before it, as the serial link
// sends one after each status reply. Everything above (events, decision,
// history, server) sees the unit as it sees any other.
//
// On the daemon's event loop: card_poll only starts the exchange, whose
// requests and answers the loop carries (link/snmp), so neither a silent
// nor a slow card holds the loop; the reading is taken when the exchange
// completes. The loop's thread only.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"

struct Loop;

// The card at `device` ("A.B.C.D" or "A.B.C.D:PORT") with `community`
// (empty: "public"). Returns false after one line saying why the device
// cannot be used (then no card is polled).
bool card_configure(const std::string &device, const std::string &community);

// The loop the card's link works on; once, at start, before the first poll.
void card_attach(Loop *loop);

// No card is polled any more; what is in flight is dropped (its reading is
// never taken, its check never runs) and the session is closed.
void card_close();

// True while a card is configured.
bool card_active();

// Called by the daemon every second pass. When nothing is in flight: takes
// the next command of unit 1's queue (machine_take_pending) and starts its
// SETs, then
// a poll of the card into `unit`. The poll's completion, later on the
// loop's thread, stores the reading (machine_take_reading, or
// machine_miss_reading toward losing the unit when the card did not answer
// or gave no reading) and runs `check(unit, now)` with the wall time of the
// completion. A call while an exchange is still in flight does nothing (no
// second poll, no miss): the one in flight is bounded (link/snmp's limit)
// and completes on its own. Nothing when no card is active or no loop is
// attached.
void card_poll(MachineContext *unit, void (*check)(MachineContext *unit, time_t now));
