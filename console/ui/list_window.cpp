#include "console/ui/list_window.h"

#include "console/ui/draw.h"

void list_window_move(ListWindow *w, int delta, int focused_row, bool pull_back)
{
    w->entry_cursor += delta;
    if (w->entry_cursor >= w->count)
        w->entry_cursor = w->count - 1;
    if (w->entry_cursor < 0)
        w->entry_cursor = 0;
    if (pull_back && w->count - w->first_visible < LIST_WINDOW_ROWS &&
        w->count >= LIST_WINDOW_ROWS)
        w->first_visible -= 1;
    if (delta > 0 && focused_row == LIST_WINDOW_ROWS - 1)
        w->first_visible = w->entry_cursor - (LIST_WINDOW_ROWS - 1);
    else if (delta < 0 && focused_row == 0)
        w->first_visible = w->entry_cursor;
    if (w->entry_cursor - w->first_visible >= LIST_WINDOW_ROWS)
        w->first_visible = w->entry_cursor - (LIST_WINDOW_ROWS - 1);
    if (w->entry_cursor < w->first_visible)
        w->first_visible = w->entry_cursor;
    w->row = w->entry_cursor - w->first_visible;
}

void list_window_place(ListWindow *w, int count, bool pull_back)
{
    // The cursor is clamped before the window is placed from it: a cursor
    // left over from a longer list would start the window past the end of
    // this one and hide its first entries.
    w->count = count;
    if (w->entry_cursor >= count)
        w->entry_cursor = count - 1;
    if (w->entry_cursor < 0)
        w->entry_cursor = 0;
    w->first_visible =
        w->entry_cursor > LIST_WINDOW_ROWS ? w->entry_cursor - (LIST_WINDOW_ROWS - 1) : 0;
    list_window_move(w, 0, -1, pull_back);
}

int list_window_step(const ListWindow *w, bool down)
{
    if (down)
        return w->entry_cursor == w->count - 1 ? 1 - w->count : 1;
    return w->entry_cursor == 0 ? w->count - 1 : -1;
}

const char *const LIST_WINDOW_MONTHS[12] = {"1", "2", "3", "4",  "5",  "6",
                                            "7", "8", "9", "10", "11", "12"};

void list_window_neighbours(Widget *const *widgets, int year_field, int month_field,
                            int first_row)
{
    int last_row = first_row + LIST_WINDOW_ROWS - 1;
    set_neighbours(widgets[year_field], first_row, first_row, year_field, month_field);
    set_neighbours(widgets[month_field], first_row, first_row, year_field, month_field);
    for (int i = first_row; i <= last_row; i++) {
        int up = i == first_row ? last_row : i - 1;
        int down = i == last_row ? first_row : i + 1;
        set_neighbours(widgets[i], up, down, year_field, month_field);
    }
}

int list_window_entry(const ListWindow *w, int row)
{
    if (row < 0 || row >= LIST_WINDOW_ROWS || (w->count <= LIST_WINDOW_ROWS && row >= w->count))
        return -1;
    int entry = w->first_visible + row;
    return entry >= 0 && entry < w->count ? entry : -1;
}

void list_window_draw_page(WINDOW *win)
{
    fill_rect(win, 0, 0, 80, 24, 1);
    draw_frame(win, 0, 1, 80, 23, 1, "|", "-", "-", "-", "-", "-");
    fill_rect(win, 2, 7, 74, 15, 3);
    draw_frame(win, 2, 7, 74, 15, 3, "|", "-", "-", "-", "-", "-");
    draw_hline(win, 3, 22, 74, 5, " ");
    draw_vline(win, 76, 8, 15, 5, " ");
}
