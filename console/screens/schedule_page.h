// The two schedule pages. The list (SCREEN_SCHEDULE) shows the planned UPS
// actions of a chosen year and month, deletes the highlighted one with Del
// and opens the edit page with Ins. The edit page (SCREEN_SCHEDULE_EDIT)
// collects date, time, event, repeat and restart time and appends one entry
// to the schedule store. After every change the daemon is told to reload
// its schedule with "RefreshPlan".
#pragma once

#include "console/ui/list_window.h"

// Number of years the date fields offer: this year and the seven after it.
constexpr int SCHEDULE_YEARS = 8;

// Builds the list page (window, widgets, focus on the year field), loads the
// schedule store and registers the page as SCREEN_SCHEDULE. Call once at
// start-up, after the list popup exists.
void schedule_page_build(int col, int row, int width, int height);

// Builds the edit page (current year and month, day "01", 00:00, "Self
// Test", "Once") and registers it as SCREEN_SCHEDULE_EDIT. Call once at
// start-up.
void schedule_edit_build(int col, int row, int width, int height);

// The year list of both date fields: SCHEDULE_YEARS four-digit texts from
// `this_year` on, into `out` (room for 5 bytes each).
void schedule_page_year_list(int this_year, char out[SCHEDULE_YEARS][5]);

// The year list from the current local year. The texts belong to the page
// module and stay valid until the next call (a list popup shows them).
const char *const *schedule_page_years();

// The cursor move of Down or Up on a list row: one entry, wrapping from the
// last entry to the first and from the first to the last. Returns the delta
// for list_window_move; 0 for any other key byte.
int schedule_page_step(const ListWindow *w, int key_byte);

// Places the window over a month's list of `count` entries as the page
// does on entry: the cursor kept but clamped to the list, the window started
// so that the cursor is on its last row when it lies beyond the first
// eleven entries, and never running past the end of the list.
void schedule_page_place(ListWindow *w, int count);

// The list page's state, for tests: the list window, the focused widget's
// index and the text of widget `index`.
ListWindow schedule_page_window();
int schedule_page_focus();
const char *schedule_page_text(int index);

// The edit page's state, for tests: the focused widget's index, the text of
// widget `index`, the weekday of the shown date (0 Saturday .. 6 Friday) and
// the days of the shown month.
int schedule_edit_focus();
const char *schedule_edit_text(int index);
int schedule_edit_weekday();
int schedule_edit_month_days();
