// The monitor page (SCREEN_MONITOR): the live readings, ratings, identity
// and status of one unit at a time, taken from the console's four unit
// contexts. Four tabs choose the unit; the page refreshes every 500 ms and
// sends nothing to the daemon.
#pragma once

#include "console/ui/widget.h"
#include "protocol/machine.h"

// Makes the page's window and its 50 widgets and registers the page as
// SCREEN_MONITOR, "Machine1" focused. Call once at start-up, with curses up.
void monitor_build(int col, int row, int width, int height);

// The load bar: its filled percentage (the load truncated toward zero, held
// in 0..999 so that the bar never draws backwards or overflows) and its
// colour pair (10 above 100 percent, else 7).
void monitor_load_bar(double load_percent, int *value, int *colour);

// Fills the value labels, the two bars, the five status lines and the
// runtime (48 its caption, 49 its value; both empty for a unit that does
// not report one) from one unit's values. Draws nothing. Needs monitor_build first.
void monitor_show(const MachineValues *values);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs monitor_build first.
void monitor_key(int key_byte);

// The unit shown, 0..3 (the index of the focused tab).
int monitor_shown_unit();

// Entry `index` (0..49) of the page's widget table, for reading what the
// page shows. Needs monitor_build first.
const Widget *monitor_widget(int index);
