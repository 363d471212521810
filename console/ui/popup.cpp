#include "console/ui/popup.h"

#include <curses.h>

#include <cstdio>
#include <cstring>

#include "console/ui/draw.h"
#include "console/ui/screen.h"
#include "console/ui/widget.h"

// The input box.
static Screen input_screen;
static WINDOW *edit_window = nullptr;
static Widget *prompts[3];
static char edit_buffer[256];
static int edit_length = 0;
static int box_col, box_row, box_width, box_height;

// The list popup.
static Screen list_screen;
static Widget *rows[LIST_POPUP_ROWS];
static Widget *list_bar;
static const char *const *items = nullptr;
static int count = 0;
static int selected = 0;
static int top = 0;
static int highlighted = 0;
static int list_col, list_row, list_width, list_height;

// The shadow of a popup, drawn on stdscr below and right of it.
static void draw_shadow(int col, int row, int width, int height)
{
    draw_hline(stdscr, col + 4, row + height, width - 4, 5, " ");
    draw_vline(stdscr, col + width, row + 1, height, 5, " ");
}

static void input_box_draw()
{
    if (edit_length <= INPUT_BOX_MAX - 1) {
        if (edit_window)
            delwin(edit_window);
        edit_window = newwin(edit_length / 58 + 1, box_width - 2, box_row + 4, box_col + 1);
    }
    WINDOW *box = input_screen.window;
    fill_rect(box, 0, 0, box_width, box_height, 1);
    fill_rect(edit_window, 0, 0, box_width, box_height, 2);
    draw_frame(box, 0, 0, box_width, box_height, 1, "|", "-", "-", "-", "-", "-");
    draw_shadow(box_col, box_row, box_width, box_height);
    for (Widget *w : prompts)
        draw_widget(w, box);
    mvwaddstr(stdscr, 23, 79, "");
    wtouchln(box, 0, box_height, 1);
    wrefresh(box);
    select_pair(edit_window, 2);
    mvwprintw(edit_window, 0, 0, "%s", edit_buffer);
    wtouchln(edit_window, 0, getmaxy(edit_window), 1);
    wrefresh(edit_window);
}

static int input_box_enter(int)
{
    input_box_draw();
    return 0;
}

// The bytes a stored value may hold.
static bool stored_byte(unsigned char c)
{
    return c >= 0x20 && c != 0x7f;
}

bool input_box_key(int key)
{
    switch (key) {
    case KEY_BYTE_ENTER: {
        char text[sizeof edit_buffer];
        memcpy(text, edit_buffer, sizeof text); // the receiver may preset the box again
        screen_input_text(text);
        return_to_previous();
        return false;
    }
    case KEY_BYTE_ESC:
        return_to_previous();
        return false;
    case KEY_BYTE_BACKSPACE:
    case 8:
    case 127:
        if (edit_length == 0)
            return false;
        edit_buffer[--edit_length] = '\0';
        return true;
    default:
        // An arrow or another special key arrives as a control byte: it is
        // no part of any value, so the box neither holds nor shows it.
        if (!stored_byte(static_cast<unsigned char>(key)))
            return false;
        if (edit_length <= INPUT_BOX_MAX - 1) {
            edit_buffer[edit_length++] = static_cast<char>(key);
            edit_buffer[edit_length] = '\0';
        }
        return true;
    }
}

static void input_box_on_key(int key)
{
    if (input_box_key(key))
        input_box_draw();
}

void new_input_box(int col, int row, int width, int height)
{
    box_col = col;
    box_row = row;
    box_width = width;
    box_height = height;
    input_screen.window = newwin(height, width, row, col);
    edit_window = newwin(1, width - 2, row + 4, col + 1);
    for (int i = 0; i < 3; i++)
        prompts[i] = new_label(1, i + 1, "", 10, 1);
    input_screen.widgets.assign(prompts, prompts + 3);
    memset(edit_buffer, 0, sizeof edit_buffer);
    edit_length = 0;
    input_screen.on_enter = input_box_enter;
    input_screen.on_key = input_box_on_key;
    screen_add(SCREEN_INPUT_BOX, &input_screen);
}

void input_box_prompt(const char *line1, const char *line2, const char *line3)
{
    set_text(prompts[0], line1);
    set_text(prompts[1], line2);
    set_text(prompts[2], line3);
}

void input_box_preset(const char *text)
{
    memset(edit_buffer, 0, sizeof edit_buffer);
    snprintf(edit_buffer, sizeof edit_buffer, "%s", text ? text : "");
    edit_length = static_cast<int>(strlen(edit_buffer));
}

const char *input_box_text()
{
    return edit_buffer;
}

std::string input_box_printable(const char *text)
{
    std::string clean;
    for (const char *p = text ? text : ""; *p; p++) {
        if (stored_byte(static_cast<unsigned char>(*p)))
            clean += *p;
    }
    return clean;
}

int input_box_edit_rows()
{
    return edit_window ? getmaxy(edit_window) : 0;
}

void list_popup_open(const char *const *list, int n, int first)
{
    items = list;
    count = n < 1 ? 1 : n;
    selected = first < 0 ? 0 : (first >= count ? count - 1 : first);
    top = 0;
    highlighted = 0;
    set_total(list_bar, count);
}

void list_popup_move(int delta)
{
    int was_row = highlighted;
    selected += delta;
    if (selected >= count)
        selected = count - 1;
    if (selected < 0)
        selected = 0;
    if (delta > 0 && was_row == LIST_POPUP_ROWS - 1) {
        top = selected - (LIST_POPUP_ROWS - 1);
    } else if (delta < 0 && was_row == 0) {
        top = selected;
    } else {
        if (selected - top > LIST_POPUP_ROWS - 1)
            top = selected - (LIST_POPUP_ROWS - 1);
        if (selected < top)
            top = selected;
    }
    highlighted = selected - top;
    for (int i = 0; i < LIST_POPUP_ROWS; i++) {
        set_focus(rows[i], i == highlighted ? 1 : 0);
        const char *text = "";
        if (count <= LIST_POPUP_ROWS)
            text = i < count ? items[i] : "";
        else if (top + i < count)
            text = items[top + i];
        set_text(rows[i], text);
    }
    set_value(list_bar, top);
}

static void list_popup_draw()
{
    WINDOW *win = list_screen.window;
    fill_rect(win, 0, 0, list_width, list_height, 1);
    draw_frame(win, 0, 0, list_width, list_height, 1, "|", "-", "-", "-", "-", "-");
    draw_shadow(list_col, list_row, list_width, list_height);
    for (Widget *w : list_screen.widgets)
        draw_widget(w, win);
    mvwaddstr(stdscr, 23, 79, "");
    wtouchln(win, 0, list_height, 1);
    wrefresh(win);
}

static int list_popup_enter(int)
{
    list_popup_move(0);
    list_popup_draw();
    return 0;
}

static void list_popup_on_key(int key)
{
    switch (key) {
    case KEY_BYTE_DOWN:
        list_popup_move(selected == count - 1 ? 1 - count : 1);
        list_popup_draw();
        break;
    case KEY_BYTE_UP:
        list_popup_move(selected == 0 ? count - 1 : -1);
        list_popup_draw();
        break;
    case KEY_BYTE_ENTER: {
        int index = selected;
        screen_list_choice(index, items[index]);
        return_to_previous();
        break;
    }
    case KEY_BYTE_ESC:
        return_to_previous();
        break;
    }
}

void new_list_popup(int col, int row, int width, int height)
{
    list_col = col;
    list_row = row;
    list_width = width;
    list_height = height;
    list_screen.window = newwin(height, width, row, col);
    for (int i = 0; i < LIST_POPUP_ROWS; i++)
        rows[i] = new_label(1, i + 1, "", width - 3, 1);
    list_bar = new_scroll_bar(58, 1, LIST_POPUP_ROWS, 100, 0, LIST_POPUP_ROWS);
    list_screen.widgets.assign(rows, rows + LIST_POPUP_ROWS);
    list_screen.widgets.push_back(list_bar);
    list_screen.on_enter = list_popup_enter;
    list_screen.on_key = list_popup_on_key;
    screen_add(SCREEN_LIST_POPUP, &list_screen);
}

int list_popup_selected() { return selected; }
int list_popup_top() { return top; }
int list_popup_row() { return highlighted; }
const char *list_popup_row_text(int row) { return widget_text(rows[row]); }
