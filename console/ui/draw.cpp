#include "console/ui/draw.h"

#include <cstdio>
#include <cstring>
#include <ctime>

void init_colours()
{
    init_pair(1, COLOR_WHITE, COLOR_BLUE);
    init_pair(2, COLOR_WHITE, COLOR_MAGENTA);
    init_pair(3, COLOR_BLACK, COLOR_WHITE);
    init_pair(4, COLOR_BLACK, COLOR_WHITE);
    init_pair(5, COLOR_WHITE, COLOR_BLACK);
    init_pair(6, COLOR_WHITE, COLOR_YELLOW);
    init_pair(7, COLOR_BLACK, COLOR_CYAN);
    init_pair(8, COLOR_RED, COLOR_BLUE);
    init_pair(9, COLOR_RED, COLOR_WHITE);
    init_pair(10, COLOR_WHITE, COLOR_RED);
}

void select_pair(WINDOW *win, int pair)
{
    // A colour pair given to wattr_on replaces the window's current one.
    wattr_on(win, COLOR_PAIR(pair), nullptr);
}

void fill_rect(WINDOW *win, int col, int row, int width, int height, int pair)
{
    select_pair(win, pair);
    for (int c = 0; c < width; c++)
        for (int r = 0; r < height; r++)
            mvwaddstr(win, row + r, col + c, " ");
}

void draw_hline(WINDOW *win, int col, int row, int length, int pair, const char *text)
{
    select_pair(win, pair);
    for (int i = 0; i < length; i++)
        mvwaddstr(win, row, col + i, text);
}

void draw_vline(WINDOW *win, int col, int row, int length, int pair, const char *text)
{
    select_pair(win, pair);
    for (int i = 0; i < length; i++)
        mvwaddstr(win, row + i, col, text);
}

// Writes `text` so that it ends in column `last`.
static void put_ending_at(WINDOW *win, int row, int last, const char *text)
{
    mvwaddstr(win, row, last - static_cast<int>(strlen(text)) + 1, text);
}

void draw_frame(WINDOW *win, int col, int row, int width, int height, int pair, const char *vert,
                const char *horiz, const char *tl, const char *tr, const char *bl,
                const char *br)
{
    draw_frame3d(win, col, row, width, height, pair, pair, vert, horiz, tl, tr, bl, br);
}

void draw_frame3d(WINDOW *win, int col, int row, int width, int height, int light, int dark,
                  const char *vert, const char *horiz, const char *tl, const char *tr,
                  const char *bl, const char *br)
{
    draw_hline(win, col, row, width, light, horiz);
    draw_vline(win, col, row, height, light, vert);
    draw_hline(win, col, row + height - 1, width, dark, horiz);
    draw_vline(win, col + width - 1, row, height, dark, vert);
    select_pair(win, light);
    mvwaddstr(win, row, col, tl);
    select_pair(win, dark);
    put_ending_at(win, row, col + width - 1, tr);
    mvwaddstr(win, row + height - 1, col, bl);
    put_ending_at(win, row + height - 1, col + width - 1, br);
}

const char *clip_text(const char *text, int n)
{
    static char buffer[70];
    if (n > 69)
        n = 69;
    if (n < 0)
        n = 0;
    snprintf(buffer, sizeof buffer, "%.*s", n, text ? text : "");
    return buffer;
}

void format_clock_at(char *buf, time_t when)
{
    static const char *const days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    struct tm t;
    localtime_r(&when, &t);
    char text[64];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d %s", (t.tm_year + 1900) % 10000,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, days[t.tm_wday % 7]);
    memcpy(buf, text, 20);
    buf[20] = '\0';
}

void format_clock(char *buf)
{
    format_clock_at(buf, time(nullptr));
}
