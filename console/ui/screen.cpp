#include "console/ui/screen.h"

#include <sys/ioctl.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <thread>

#include "console/ui/draw.h"

static std::recursive_mutex ui_lock;
static std::map<int, Screen *> screens;
static int current = SCREEN_MENU;
static int previous = SCREEN_MENU;

// The handler slots.
static int (*slot_enter)(int) = nullptr;
static void (*slot_key)(int) = nullptr;
static void (*slot_tick)() = nullptr;
static void (*slot_list_choice)(int, const char *) = nullptr;
static void (*slot_input_text)(const char *) = nullptr;

static const int TICK_MS = 500;

std::recursive_mutex &screen_lock()
{
    return ui_lock;
}

Widget *screen_add_label(Screen *s, const LabelRow &row)
{
    Widget *w = new_label(row.col, row.row, row.text.c_str(), row.width, row.pair);
    if (row.right)
        set_align(w, 1);
    s->widgets.push_back(w);
    return w;
}

void screen_add_labels(Screen *s, const LabelRow *rows, int count)
{
    for (int i = 0; i < count; i++)
        screen_add_label(s, rows[i]);
}

void screen_set_clock(Widget *clock_label)
{
    char clock[21];
    format_clock(clock);
    set_text(clock_label, clock);
}

void screen_add(int id, Screen *screen)
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    screens[id] = screen;
}

void screen_free_all()
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    for (auto &entry : screens) {
        for (Widget *w : entry.second->widgets)
            free_widget(w);
        entry.second->widgets.clear();
    }
    screens.clear();
    current = previous = SCREEN_MENU;
    slot_enter = nullptr;
    slot_key = nullptr;
    slot_tick = nullptr;
    slot_list_choice = nullptr;
    slot_input_text = nullptr;
}

static bool is_popup(int id)
{
    return id == SCREEN_INPUT_BOX || id == SCREEN_LIST_POPUP;
}

int switch_screen(int id)
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    auto found = screens.find(id);
    if (found == screens.end())
        return 0;
    // A popup keeps the receivers of the page that opened it.
    if (!is_popup(current)) {
        Screen *opener = screens.count(current) ? screens[current] : nullptr;
        slot_list_choice = opener ? opener->on_list_choice : nullptr;
        slot_input_text = opener ? opener->on_input_text : nullptr;
    }
    Screen *s = found->second;
    slot_enter = s->on_enter;
    slot_key = s->on_key;
    slot_tick = s->on_tick;
    previous = current;
    current = id;
    return slot_enter ? slot_enter(id) : 0;
}

int return_to_previous()
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    return switch_screen(previous);
}

int current_screen()
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    return current;
}

void screen_list_choice(int index, const char *text)
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    if (slot_list_choice)
        slot_list_choice(index, text);
}

void screen_input_text(const char *text)
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    if (slot_input_text)
        slot_input_text(text);
}

void screen_key(int key_byte)
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    if (slot_key)
        slot_key(key_byte);
}

bool screen_move_focus(Screen *s, int key_byte)
{
    Widget *w = s->widgets[s->focus_index];
    int next;
    switch (key_byte) {
    case KEY_BYTE_DOWN: next = down_of(w); break;
    case KEY_BYTE_UP: next = up_of(w); break;
    case KEY_BYTE_LEFT: next = left_of(w); break;
    case KEY_BYTE_RIGHT: next = right_of(w); break;
    default: return false;
    }
    set_focus(w, 0);
    if (next < 0 || next >= static_cast<int>(s->widgets.size()))
        next = s->focus_index; // a table naming a missing widget keeps the focus
    s->focus_index = next;
    set_focus(s->widgets[next], 1);
    return true;
}

void screen_link_column(Screen *s, int first, int last)
{
    for (int i = first; i <= last; i++) {
        int above = i == first ? last : i - 1;
        int below = i == last ? first : i + 1;
        set_neighbours(s->widgets[i], above, below, above, below);
    }
}

void screen_finish(Screen *s)
{
    // Bars first: one filled past its width (a load over 100 %) must not
    // cover the number drawn beside it.
    for (Widget *w : s->widgets)
        if (w->widget_kind == WIDGET_PROGRESS_BAR)
            draw_widget(w, s->window);
    for (Widget *w : s->widgets)
        if (w->widget_kind != WIDGET_PROGRESS_BAR)
            draw_widget(w, s->window);
    mvwaddstr(s->window, 23, 79, "");
    wtouchln(s->window, 0, getmaxy(s->window), 1);
    wrefresh(s->window);
}

void screen_repaint(Screen *s)
{
    wclear(stdscr);
    wrefresh(s->window);
}

void animate_press(Widget *button, void (*redraw)(), bool redraw_after)
{
    set_pressed(button, 1);
    redraw();
    usleep(100 * 1000);
    set_pressed(button, 0);
    if (redraw_after)
        redraw();
}

void screen_exit(int status)
{
    curs_set(1); // the cursor the shell had
    endwin();
    fflush(stdout);
    _exit(status);
}

static bool too_small = false; // the terminal is below 80 x 24; under the UI lock

// The terminal changed size (ncurses has resized stdscr). Below 80 x 24 the
// pages would garble it: a message stands in for them, and keys and ticks
// wait, until it is large enough again and the page is shown anew.
static void on_resize()
{
    too_small = LINES < 24 || COLS < 80;
    wclear(stdscr);
    if (too_small)
        mvwaddstr(stdscr, 0, 0, "upsconsole needs a terminal of at least 80 x 24");
    wrefresh(stdscr);
    if (too_small)
        return;
    int shown[] = {is_popup(current) ? previous : current, current};
    for (int id : shown) {
        auto found = screens.find(id);
        if (found != screens.end() && found->second->window) {
            touchwin(found->second->window);
            wrefresh(found->second->window);
        }
    }
}

void screen_resized()
{
    std::lock_guard<std::recursive_mutex> g(ui_lock);
    struct winsize size;
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        resizeterm(size.ws_row, size.ws_col);
    on_resize();
}

// Keys are read with the UI lock held, but only once the terminal has
// input: wgetch also refreshes stdscr, so it must not run beside a redraw.
static void key_thread()
{
    for (;;) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, -1) < 0)
            continue;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
            screen_exit(0); // the terminal went away
        std::lock_guard<std::recursive_mutex> g(ui_lock);
        int ch;
        while ((ch = wgetch(stdscr)) != ERR) {
            if (ch == KEY_RESIZE)
                on_resize();
            else if (!too_small)
                screen_key(static_cast<signed char>(ch & 0xFF));
        }
    }
}

static void refresh_thread()
{
    for (;;) {
        if (ui_lock.try_lock()) {
            if (slot_tick && !too_small)
                slot_tick();
            ui_lock.unlock();
        }
        usleep(TICK_MS * 1000);
    }
}

void screen_start_threads()
{
    {
        std::lock_guard<std::recursive_mutex> g(ui_lock);
        nodelay(stdscr, TRUE); // the key thread polls first, then reads what came
    }
    std::thread(key_thread).detach();
    std::thread(refresh_thread).detach();
}
