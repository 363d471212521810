// The eleven-row list window of the schedule list and the event log pages:
// which entry is highlighted, which entry the first row shows, and how both
// follow the cursor as it moves; and the page background both pages share.
#pragma once

#include <curses.h>

#include "console/ui/widget.h"

constexpr int LIST_WINDOW_ROWS = 11;

struct ListWindow {
    int entry_cursor;  // index of the highlighted entry
    int first_visible; // index of the entry shown in the first row
    int count;         // number of entries in the list
    int row;           // the highlighted row, 0..10, after a move
};

// Moves the cursor by `delta` (0 only places the window), clamped to the
// list. `focused_row` is the row that had the focus before (0..10), or -1
// when the focus was on a field above the list: moving down from the last
// row or up from the first scrolls the window with the cursor. `pull_back`
// pulls a window that ends past the list back by one (after deletes).
void list_window_move(ListWindow *w, int delta, int focused_row, bool pull_back);

// Places the window over a list of `count` entries as a page does on
// arrival: the cursor kept but clamped to the list, the window started so
// that the cursor is on its last row when it lies beyond the first eleven
// entries; then list_window_move(w, 0, -1, pull_back).
void list_window_place(ListWindow *w, int count, bool pull_back);

// The cursor delta of one step down (`down`) or up on a list row: one entry,
// wrapping from the last entry to the first and from the first to the last.
int list_window_step(const ListWindow *w, bool down);

// The month field's choices on both list pages: "1".."12".
extern const char *const LIST_WINDOW_MONTHS[12];

// The neighbours on a list page of the year and month fields and of the
// eleven rows from widget `first_row`: Up and Down lead from a field to the
// first row and along the rows, wrapping; Left and Right always lead to the
// year and the month field.
void list_window_neighbours(Widget *const *widgets, int year_field, int month_field,
                            int first_row);

// The entry shown in `row` (0..10), or -1 when the row is empty.
int list_window_entry(const ListWindow *w, int row);

// The background of a list page: blue page, outer frame from row 1, the
// white list panel at (2, 7) of 74 x 15 with its frame and shadow.
void list_window_draw_page(WINDOW *win);
