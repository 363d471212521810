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
