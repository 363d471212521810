// The status-change check, run by the polling loop after every receive and
// every reopen attempt for the unit whose turn it is. Each status character
// that differs from the last check is one event: a line in the event log, a
// mail and an SMS when enabled for that position, and for mains failure and
// low battery the shutdown actions. Beeper (0) and UPS type (3) changes are
// not reported.
#pragma once

#include "protocol/machine.h"

// The whole check for one unit: refreshes its connection character from its
// connected flag, reports every change, then remembers the status as seen.
void check_status_events(MachineContext *ctx);

// The notice text of a change of `position` to `state`, given the unit's
// status character 3 (UPS type); nullptr for positions 0 and 3.
const char *events_text(int position, char state, char type);
