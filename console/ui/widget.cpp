#include "console/ui/widget.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "console/ui/draw.h"

static Widget *new_widget(int kind, int col, int row)
{
    Widget *w = new Widget();
    w->widget_kind = static_cast<uint8_t>(kind);
    w->col = col;
    w->row = row;
    return w;
}

Widget *new_label(int col, int row, const char *text, int width, int colour)
{
    Widget *w = new_widget(WIDGET_LABEL, col, row);
    set_text(w, text);
    w->width = width;
    w->colour = colour;
    w->align[0] = '-';
    return w;
}

Widget *new_scroll_bar(int col, int row, int height, int total, int value, int page)
{
    Widget *w = new_widget(WIDGET_SCROLL_BAR, col, row);
    w->height = height;
    w->total = total;
    w->value = value;
    w->page = page;
    return w;
}

Widget *new_button(int col, int row, const char *text)
{
    Widget *w = new_widget(WIDGET_BUTTON, col, row);
    set_text(w, text);
    w->width = static_cast<int32_t>(strlen(w->text));
    return w;
}

Widget *new_progress_bar(int col, int row, int width, int colour, int rest_colour)
{
    Widget *w = new_widget(WIDGET_PROGRESS_BAR, col, row);
    w->width = width;
    w->colour = colour;
    w->rest_colour = rest_colour;
    return w;
}

void free_widget(Widget *w)
{
    delete w;
}

void set_text(Widget *w, const char *text)
{
    memset(w->text, 0, sizeof w->text);
    snprintf(w->text, sizeof w->text, "%s", text ? text : "");
}

const char *widget_text(const Widget *w)
{
    return w->text;
}

void set_align(Widget *w, int a)
{
    if (a == 0)
        snprintf(w->align, sizeof w->align, "-");
    else if (a == 1)
        w->align[0] = '\0';
    else
        log_warning("console: alignment %d of a label is neither 0 nor 1", a);
}

void set_colour(Widget *w, int pair) { w->colour = pair; }
void set_focus(Widget *w, int focused) { w->focused = static_cast<uint8_t>(focused); }
void set_value(Widget *w, int value) { w->value = value; }
void set_total(Widget *w, int total) { w->total = total; }
void set_pressed(Widget *w, int pressed) { w->pressed = pressed; }

void set_neighbours(Widget *w, int up, int down, int left, int right)
{
    w->up_index = up;
    w->down_index = down;
    w->left_index = left;
    w->right_index = right;
}

int up_of(const Widget *w) { return w->up_index; }
int down_of(const Widget *w) { return w->down_index; }
int left_of(const Widget *w) { return w->left_index; }
int right_of(const Widget *w) { return w->right_index; }

void scroll_bar_thumb(const Widget *w, int *thumb, int *offset)
{
    int track = w->height - 2;
    *thumb = track;
    *offset = 0;
    if (w->total <= 0)
        return;
    *thumb = track * w->page / w->total;
    if (*thumb == 0)
        *thumb = 1;
    if (w->total > w->page + 1) {
        *offset = (track + 1 - *thumb) * w->value / (w->total + 1 - w->page);
    } else {
        *thumb = track;
        *offset = 0;
    }
}

int progress_filled(const Widget *w)
{
    return w->width * w->value / 100;
}

static void draw_label(const Widget *w, WINDOW *win)
{
    select_pair(win, w->focused == 1 ? 2 : w->colour);
    if (w->align[0] == '-')
        mvwprintw(win, w->row, w->col, "%-*s", w->width, w->text);
    else
        mvwprintw(win, w->row, w->col, "%*s", w->width, w->text);
}

static void draw_scroll_bar(const Widget *w, WINDOW *win)
{
    int thumb, offset;
    scroll_bar_thumb(w, &thumb, &offset);
    int track = w->height - 2;
    select_pair(win, 7);
    mvwaddstr(win, w->row, w->col, "^");
    mvwaddstr(win, w->row + w->height - 1, w->col, "v");
    draw_vline(win, w->col, w->row + 1, track, 5, " ");
    draw_vline(win, w->col, w->row + 1 + offset, thumb, 7, " ");
}

static void draw_button(const Widget *w, WINDOW *win)
{
    if (w->pressed == 0 && (w->focused == 0 || w->focused == 1)) {
        int face = w->focused == 1 ? 2 : 7;
        select_pair(win, face);
        mvwaddstr(win, w->row, w->col, w->text);
        draw_hline(win, w->col, w->row + 1, w->width, face, " ");
        draw_hline(win, w->col + 1, w->row + 2, w->width, 5, " ");
        draw_hline(win, w->col + w->width, w->row + 1, 1, 5, " ");
    } else if (w->pressed == 1 && w->focused == 1) {
        select_pair(win, 2);
        mvwaddstr(win, w->row + 1, w->col + 1, w->text);
        draw_hline(win, w->col + 1, w->row + 2, w->width, 2, " ");
    } else {
        log_warning("console: button \"%s\" is in no state it can be drawn in", w->text);
    }
}

static void draw_progress_bar(const Widget *w, WINDOW *win)
{
    int filled = progress_filled(w);
    select_pair(win, w->colour);
    for (int i = 0; i < filled; i++)
        mvwaddstr(win, w->row, w->col + i, "_");
    select_pair(win, w->rest_colour);
    for (int i = filled < 0 ? 0 : filled; i < w->width; i++)
        mvwaddstr(win, w->row, w->col + i, "_");
}

void draw_widget(const Widget *w, WINDOW *win)
{
    switch (w->widget_kind) {
    case WIDGET_LABEL: draw_label(w, win); break;
    case WIDGET_SCROLL_BAR: draw_scroll_bar(w, win); break;
    case WIDGET_BUTTON: draw_button(w, win); break;
    case WIDGET_PROGRESS_BAR: draw_progress_bar(w, win); break;
    }
}
