// The console's one record for every screen element: a label, a scroll bar,
// a button or a progress bar. Pages make their widgets once at start-up and
// keep them for the life of the process; drawing allocates nothing. A
// widget made outside a page's table is given back with free_widget.
#pragma once

#include <curses.h>

#include <cstdint>

enum { WIDGET_LABEL = 0, WIDGET_SCROLL_BAR = 1, WIDGET_BUTTON = 2, WIDGET_PROGRESS_BAR = 3 };

constexpr int WIDGET_TEXT_SIZE = 255; // text bytes, NUL included

struct Widget {
    int32_t col;         // column of the first cell in its window
    int32_t row;         // row of the first cell
    int32_t width;       // label: field width; button: text length; progress bar: cells
    int32_t height;      // scroll bar: rows, both arrow cells included
    char align[2];       // label: "-" left-justified, "" right-justified
    int32_t colour;      // colour pair of a label's text or a progress bar's filled cells
    char text[WIDGET_TEXT_SIZE]; // label or button text, at most 254 characters
    uint8_t focused;     // 1 while the widget has the focus
    uint8_t widget_kind; // WIDGET_LABEL, WIDGET_SCROLL_BAR, WIDGET_BUTTON, WIDGET_PROGRESS_BAR
    int32_t up_index;    // widget table index focused by Up
    int32_t down_index;  // ... by Down
    int32_t left_index;  // ... by Left
    int32_t right_index; // ... by Right
    int32_t total;       // scroll bar: items in the list it tracks
    int32_t value;       // scroll bar: first visible item; progress bar: filled percentage
    int32_t page;        // scroll bar: items visible at once
    int32_t pressed;     // button: 0 raised, 1 pressed
    int32_t rest_colour; // progress bar: colour pair of the unfilled cells
};

// Constructors: each returns a new widget with every field it does not set
// at zero (no focus, neighbours 0).
Widget *new_label(int col, int row, const char *text, int width, int colour);
Widget *new_scroll_bar(int col, int row, int height, int total, int value, int page);
Widget *new_button(int col, int row, const char *text);
Widget *new_progress_bar(int col, int row, int width, int colour, int rest_colour);

// Gives back a widget a constructor made; nullptr does nothing.
void free_widget(Widget *w);

// Clears the whole text field, then copies `text` in (cut at 254 characters).
void set_text(Widget *w, const char *text);

// The widget's text field.
const char *widget_text(const Widget *w);

// 0 left-justified, 1 right-justified; another value prints "Debug Error In
// NewLabel Align" and changes nothing.
void set_align(Widget *w, int a);

void set_colour(Widget *w, int pair);
void set_focus(Widget *w, int focused);
void set_value(Widget *w, int value);
void set_total(Widget *w, int total);
void set_pressed(Widget *w, int pressed);
void set_neighbours(Widget *w, int up, int down, int left, int right);
int up_of(const Widget *w);
int down_of(const Widget *w);
int left_of(const Widget *w);
int right_of(const Widget *w);

// Draws one widget into `win`.
void draw_widget(const Widget *w, WINDOW *win);

// A scroll bar's thumb: its length in rows and its offset from the top of
// the track.
void scroll_bar_thumb(const Widget *w, int *thumb, int *offset);

// A progress bar's filled cells: width x value / 100 (not limited to width).
int progress_filled(const Widget *w);
