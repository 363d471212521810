// The eleven-row list window of the schedule list and the event log pages:
// which entry is highlighted, which entry the first row shows, and how both
// follow the cursor as it moves; and the page background both pages share.
#pragma once

#include <curses.h>

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

// The entry shown in `row` (0..10), or -1 when the row is empty.
int list_window_entry(const ListWindow *w, int row);

// The background of a list page: blue page, outer frame from row 1, the
// white list panel at (2, 7) of 74 x 15 with its frame and shadow.
void list_window_draw_page(WINDOW *win);
