// The status-change check, run by the polling loop after every receive and
// every reopen attempt for the unit whose turn it is. Each status character
// that differs from the last check is one event: a line in the event log, a
// mail and an SMS when enabled for that position, and a start of
// "Set/event-hook". Beeper (0) and UPS type (3) changes are not reported.
// Every check also tells the shutdown decision what the unit shows; the
// decision, not the events, acts on mains failure and low battery.
//
// A flapping mains does not flood the administrator: the notices (mail,
// SMS, hook) of position 7 go out at most once per unit per minute. A change
// within a minute of the unit's last position-7 notice is logged and
// counted but not notified; the first check after that minute, when changes
// were held back, sends one notice with the current state's text followed by
// " (N changes since the last notice)" ("1 change" for one).
//
// The decision's own reports (event codes 9 and 10) go through
// event_report, the same path as a change.
//
// The loop's thread only.
#pragma once

#include <ctime>

#include "protocol/machine.h"

// The whole check for one unit at `now`: refreshes its connection character
// from its connected flag, reports every change, sends a position-7 notice
// held back when its minute has passed, remembers the status as seen, and
// hands the sight to the decision. Positions 0..7 are compared only once the
// unit's status was taken: the zeros of a context that has not reported yet
// are no status.
void check_status_events(MachineContext *ctx, time_t now);

// One of the decision's reports for unit `address` (1..4) at `now`: `code`
// EVENT_SHUTDOWN_CALL, EVENT_UPS_COMMAND or EVENT_PLANNED (store/event_text.h), `state`
// '1' set (failed, ignored) or '0' cleared (works, taken). Writes the event
// log line (type flag from the unit's status as the checks last took it,
// '0' before), counts it in the metrics, mails and texts every configured
// receiver whatever the per-code flags (a failure of the protection itself
// is always told), and starts the event hook.
void event_report(int address, int code, char state, time_t now);

// Forgets every unit's notice times and held-back changes, and the types
// last taken (the start of a test).
void events_reset();
