// The Event Log page (SCREEN_EVENT_LOG): the daemon's event log, one month
// at a time, oldest first, in an eleven-row list with a scroll bar. Year and
// month are picked from list popups; the page only reads.
#pragma once

#include "console/ui/list_window.h"

constexpr int EVENT_PAGE_YEARS = 8; // the years the year field offers

// Builds the page in a window of width x height at (col, row), registers it
// as SCREEN_EVENT_LOG, selects the current year and month and puts the
// focus on the year field. Needs curses.
void event_page_build(int col, int row, int width, int height);

// The page's key handler, as the key thread calls it while the page is
// current (key bytes of screen.h). Needs event_page_build first.
void event_page_key(int key_byte);

// The year field's choices as 4-digit texts: `current_year` first (the item
// the popup opens on), then the seven years before it.
void event_page_years(int current_year, char years[EVENT_PAGE_YEARS][5]);

// Places the list on arrival at a month of `count` events: the cursor is
// kept but clamped to the list, and the window is placed so that it ends at
// the cursor when the cursor is past the first eleven entries.
void event_page_arrive(ListWindow *w, int count);

// Down (key byte 2) or Up (3) on the list. `focused_row` is the focused row
// (0..10), or -1 when the focus is on the year or month field: the focus
// then enters the list at the cursor without moving it. On a row, Down on
// the last entry wraps to the first and Up on the first to the last. Other
// key bytes change nothing.
void event_page_list_key(ListWindow *w, int key_byte, int focused_row);
