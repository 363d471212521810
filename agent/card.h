// upsagent's unit behind a UPS network card (link kind "SNMP"): one
// reading a second into unit 1 over the SNMP link, and the next UPS command
// of unit 1's queue (one a poll) sent as SETs before it, as the serial link
// sends one after each status reply. Everything above (events, decision, history, server)
// sees the unit as it sees any other. The polling loop's thread only.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"

// The card at `device` ("A.B.C.D" or "A.B.C.D:PORT") with `community`
// (empty: "public"). Returns false after one line saying why the device
// cannot be used (then no card is polled).
bool card_configure(const std::string &device, const std::string &community);

// No card is polled any more; its session is closed.
void card_close();

// True while a card is configured.
bool card_active();

// One poll of the card into `unit` at `now`: the next queued command first,
// then the reading (a missing one counts toward losing the unit), then
// `check(unit, now)`.
void card_poll(MachineContext *unit, time_t now, void (*check)(MachineContext *unit, time_t now));
