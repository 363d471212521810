// A real curses screen for the unit tests of the console's toolkit and pages:
// an xterm whose output goes to /dev/null, read back cell by cell, either
// from a window or from curscr (what curses last sent to the terminal).
#pragma once

#include <curses.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "console/client.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"

// The terminal, open with the console's colour pairs for as long as the
// object lives; at its end it frees the pages and popups built under it. `term` stays null when no terminal could be made; the
// fixtures assert on it, so a missing terminfo entry fails the tests
// instead of crashing them.
struct CursesScreen {
    FILE *out = nullptr;
    FILE *in = nullptr;
    SCREEN *term = nullptr;

    CursesScreen()
    {
        out = fopen("/dev/null", "w");
        in = fopen("/dev/null", "r");
        term = newterm("xterm", out, in);
        if (term == nullptr)
            return;
        start_color();
        init_colours();
    }
    ~CursesScreen()
    {
        screen_free_all();
        if (term != nullptr) {
            endwin();
            delscreen(term);
        }
        if (out != nullptr)
            fclose(out);
        if (in != nullptr)
            fclose(in);
    }
    CursesScreen(const CursesScreen &) = delete;
    CursesScreen &operator=(const CursesScreen &) = delete;
};

// The input box and the list popup, where the console's start-up puts them.
inline void build_popups()
{
    new_input_box(10, 10, 60, 8);
    new_list_popup(10, 12, 60, 8);
}

// The characters of `n` cells of a row of `win` from `col`, without their
// attributes.
inline std::string cells_of(WINDOW *win, int row, int col, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += static_cast<char>(mvwinch(win, row, col + i) & A_CHARTEXT);
    return s;
}

// The colour pair of one cell of `win`.
inline int pair_of(WINDOW *win, int row, int col)
{
    return PAIR_NUMBER(mvwinch(win, row, col) & A_COLOR);
}

// What the terminal shows: `n` cells of a row from `col`. curscr rather than
// a page's window, so that only what was really refreshed counts. (Not
// named screen: that would hide curses' struct screen.)
inline std::string screen_cells(int row, int col, int n)
{
    return cells_of(curscr, row, col, n);
}

// The colour pair the terminal shows at one cell.
inline int pair_at(int row, int col)
{
    return pair_of(curscr, row, col);
}

// The commands the pages queued on unit 1 and the daemon has not yet taken,
// in the order they go out, joined as they would reach it; empty when there
// is none.
inline std::string pending()
{
    std::string all;
    for (const std::string &c : machine_queued(client_unit(0)))
        all += c;
    return all;
}

// The whole of a file the pages write, empty when it cannot be read.
inline std::string file_contents(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
