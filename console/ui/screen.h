// Pages and the screen switcher of the console. Every page is a Screen: a
// full-size window, a widget table, the focused widget's index, and its
// handlers. The switcher sends key presses (key thread) and a 500 ms tick
// (refresh thread) to the page on show; the two shared popups report their
// result to the page that opened them.
//
// Locking: every curses call happens under the console's one UI lock. The
// key thread holds it while a key is handled; the refresh thread only
// tries it, so a tick that finds a redraw running is skipped, not queued.
#pragma once

#include <curses.h>

#include <mutex>
#include <string>
#include <vector>

#include "console/ui/widget.h"

enum {
    SCREEN_MENU = 0,
    SCREEN_MONITOR = 1,
    SCREEN_TEST = 2,
    SCREEN_MAIL = 3,
    SCREEN_SMS = 4,
    SCREEN_SCHEDULE = 5,
    SCREEN_EVENT_LOG = 6,
    SCREEN_CONFIG = 7,
    SCREEN_SCHEDULE_EDIT = 20,
    SCREEN_INPUT_BOX = 99,
    SCREEN_LIST_POPUP = 100,
};

// Key bytes: the curses key code cut to its low 8 bits.
enum {
    KEY_BYTE_DOWN = 2,
    KEY_BYTE_UP = 3,
    KEY_BYTE_LEFT = 4,
    KEY_BYTE_RIGHT = 5,
    KEY_BYTE_BACKSPACE = 7,
    KEY_BYTE_ENTER = 10,
    KEY_BYTE_ESC = 27,
    KEY_BYTE_DELETE = 74,
    KEY_BYTE_INSERT = 75,
    KEY_BYTE_REPAINT = 82,
    KEY_BYTE_REPAINT_LOWER = 114,
};

struct Screen {
    WINDOW *window;                // 80 x 24 at the top-left corner (popups: their own size)
    std::vector<Widget *> widgets; // drawn in table order; neighbour indices point into it
    int focus_index;               // index of the focused widget
    int (*on_enter)(int id);       // draws the page when it becomes current; result of switch_screen
    void (*on_key)(int key_byte);  // one key press
    void (*on_tick)();             // every 500 ms; nullptr for none
    void (*on_list_choice)(int index, const char *text); // list popup result; nullptr for none
    void (*on_input_text)(const char *text);             // input box result; nullptr for none
};

// One label of a page's widget table.
struct LabelRow {
    int col, row, width, pair; // position, field width, colour pair
    std::string text;          // initial text
    bool right = false;        // right-justified
};

// Makes the label of a row and appends it to the page's widget table.
// Returns the new widget.
Widget *screen_add_label(Screen *s, const LabelRow &row);

// screen_add_label for each row, in order.
void screen_add_labels(Screen *s, const LabelRow *rows, int count);

// Puts the current local time (format_clock) into a page's clock label.
void screen_set_clock(Widget *clock_label);

// Registers a page (or popup) under its screen id.
void screen_add(int id, Screen *screen);

// Frees the widgets of every registered page and popup, empties their
// tables and forgets them all (no screen is current then): what the
// console, or a test, does before its terminal ends, so that building the
// pages again under a new terminal leaks nothing. The windows stay: they
// belong to the terminal and go with it.
void screen_free_all();

// Makes page `id` current and calls its on_enter; returns the handler's
// result. A popup reports to the page that was current when it opened.
int switch_screen(int id);

// switch_screen(previous screen): how a popup returns to its opener.
int return_to_previous();

// The current and the previous screen ids.
int current_screen();

// Delivers a list popup choice or an input box text to the receiver of the
// page that opened the popup.
void screen_list_choice(int index, const char *text);
void screen_input_text(const char *text);

// Hands a key byte to the current page's on_key, as the key thread does.
void screen_key(int key_byte);

// Moves the focus of a page for key bytes 2, 3, 4, 5 to the focused
// widget's down, up, left or right neighbour. Returns true when the key was
// one of those.
bool screen_move_focus(Screen *s, int key_byte);

// Links widgets `first`..`last` of a page as one column: Up and Left lead
// to the widget above, Down and Right to the one below, wrapping at both
// ends (the menu's entries, the test page's buttons).
void screen_link_column(Screen *s, int first, int last);

// The end of every page redraw: the widgets in table order, the cursor to
// (23, 79), every line touched and the window refreshed.
void screen_finish(Screen *s);

// The repaint key: clears the terminal so the next redraw sends every cell.
void screen_repaint(Screen *s);

// Makes the key thread and the refresh thread; they run until the process
// ends.
void screen_start_threads();

// The UI lock, for code that draws outside the two threads (start-up).
std::recursive_mutex &screen_lock();

// A button press: pressed and redrawn, 100 ms, raised and (unless
// `redraw_after` is false) redrawn again.
void animate_press(Widget *button, void (*redraw)(), bool redraw_after = true);

// Restores the terminal and ends the process with `status`.
[[noreturn]] void screen_exit(int status);

// The terminal changed size (SIGWINCH): takes the new size and shows the
// page again, or, below 80 x 24, a message instead of it. Any thread.
void screen_resized();
