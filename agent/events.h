// The status-change check, run by the polling loop after every receive and
// every reopen attempt for the unit whose turn it is. Each status character
// that differs from the last check is one event: a line in the event log, a
// mail and an SMS when enabled for that position. Beeper (0) and UPS type (3)
// changes are not reported. Every check also tells the shutdown decision
// what the unit shows; the decision, not the events, acts on mains failure
// and low battery.
#pragma once

#include <ctime>

#include "protocol/machine.h"

// The whole check for one unit at `now`: refreshes its connection character
// from its connected flag, reports every change, remembers the status as
// seen, and hands the sight to the decision. Positions 0..7 are compared
// only once the unit's status was taken: the zeros of a context that has not
// reported yet are no status.
void check_status_events(MachineContext *ctx, time_t now);
