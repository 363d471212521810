// Drawing primitives of the console, the ten colour pairs, and two text
// helpers. All take a curses window; row and column are inside it.
#pragma once

#include <curses.h>

#include <ctime>

// The colour pairs, fixed at start-up and used by number on every page:
// 1 white on blue (background, titles, popups), 2 white on magenta (focus),
// 3 black on white (panels), 4 black on white (dark frame edge), 5 white on
// black (shadows), 6 white on yellow (help lines), 7 black on cyan (raised
// buttons, scroll-bar arrows and thumb), 8 red on blue, 9 red on white,
// 10 white on red (monitor bar over 100 percent).
void init_colours();

// Makes pair `pair` the window's current colour pair.
void select_pair(WINDOW *win, int pair);

// One blank at every cell of the rectangle, in `pair`.
void fill_rect(WINDOW *win, int col, int row, int width, int height, int pair);

// `text` written at (row, col + i) for i = 0 .. length - 1, in `pair`.
void draw_hline(WINDOW *win, int col, int row, int length, int pair, const char *text);

// `text` written at (row + i, col) for i = 0 .. length - 1, in `pair`.
void draw_vline(WINDOW *win, int col, int row, int length, int pair, const char *text);

// A one-colour rectangle outline with the corner texts.
void draw_frame(WINDOW *win, int col, int row, int width, int height, int pair, const char *vert,
                const char *horiz, const char *tl, const char *tr, const char *bl,
                const char *br);

// The same with the top and left edges in `light`, bottom and right in
// `dark`.
void draw_frame3d(WINDOW *win, int col, int row, int width, int height, int light, int dark,
                  const char *vert, const char *horiz, const char *tl, const char *tr,
                  const char *bl, const char *br);

// `text` if it is shorter than n characters, else its first n characters,
// in a static buffer that the next call overwrites (n at most 69).
const char *clip_text(const char *text, int n);

// The local time as "YYYY/MM/DD hh:mm Www" (20 characters) into `buf`
// (room for 21 bytes).
void format_clock(char *buf);

// The same for a given time.
void format_clock_at(char *buf, time_t when);
