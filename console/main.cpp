// upsconsole: the text console of the UPS daemon on this host. It takes no
// options; its files live below the directory of its executable.
#include <curses.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "console/client.h"
#include "console/screens/config.h"
#include "console/screens/event_page.h"
#include "console/screens/mail_page.h"
#include "console/screens/menu.h"
#include "console/screens/monitor.h"
#include "console/screens/schedule_page.h"
#include "console/screens/sms_page.h"
#include "console/screens/test_page.h"
#include "console/ui/draw.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/sms.h"

// Ctrl-C, a hang-up or a kill: the terminal is restored before the end.
// The signals are blocked in every thread and taken here, outside any
// handler, so that leaving can take the UI lock like a key does.
static void signal_thread(sigset_t set)
{
    int sig = 0;
    sigwait(&set, &sig);
    std::lock_guard<std::recursive_mutex> g(screen_lock());
    screen_exit(128 + sig);
}

static void resize_thread(sigset_t set)
{
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0)
            screen_resized();
    }
}

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN); // a daemon that went away is a failed read, not an end
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigset_t winch;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    // Blocked in every thread and taken by one: a size change is handled
    // under the UI lock, whichever thread the kernel would have picked.
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    pthread_sigmask(SIG_BLOCK, &winch, nullptr);
    std::thread(signal_thread, ending).detach();
    program_dir_set(program_dir_from(argc > 0 ? argv[0] : nullptr));
    machine_configure({false, true, false});

    // The shared store prints its diagnostics (a bad phone number in
    // SMS.ang, ...) on stdout, and the senders a Send Test starts print
    // theirs on stderr; on this screen they would land at the curses cursor
    // and stay there. Curses gets the terminal on a descriptor of its own,
    // stdout goes to /dev/null and so does stderr when it is a terminal: the
    // daemon prints the same lines when it reads the same files, and each
    // page says on its message line what failed there. A stderr sent to a
    // file is left alone.
    int terminal_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3); // not for the senders it starts
    FILE *terminal = terminal_fd >= 0 ? fdopen(terminal_fd, "w") : nullptr;
    if (!terminal || !newterm(nullptr, terminal, stdin)) {
        fprintf(stderr, "upsconsole: cannot use the terminal (TERM=%s)\n",
                getenv("TERM") ? getenv("TERM") : "");
        return 1;
    }
    if (LINES < 24 || COLS < 80) {
        endwin();
        printf("upsconsole needs a terminal of at least 80 x 24\n");
        return 1;
    }
    fflush(stdout);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        if (isatty(STDERR_FILENO))
            dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
    {
        std::lock_guard<std::recursive_mutex> g(screen_lock());
        keypad(stdscr, TRUE);
        noecho();
        cbreak();       // keys one at a time
        set_escdelay(25); // Esc acts at once
        curs_set(0);      // no cursor in a corner; screen_exit shows it again
        start_color();
        init_colours();

        new_input_box(10, 10, 60, 8);
        new_list_popup(10, 12, 60, 8);
        menu_build(0, 0, 80, 24);
        monitor_build(0, 0, 80, 24);
        mail_page_build(0, 0, 80, 24);
        sms_page_build(0, 0, 80, 24);
        schedule_page_build(0, 0, 80, 24);
        schedule_edit_build(0, 0, 80, 24);
        event_page_build(0, 0, 80, 24);
        config_build(0, 0, 80, 24);
        test_build(0, 0, 80, 24);

        mail_init(program_dir());
        usleep(100 * 1000);
        sms_init(program_dir());
        usleep(100 * 1000);
        switch_screen(SCREEN_MENU);
    }
    screen_start_threads();
    std::thread(resize_thread, winch).detach(); // after initscr: a size change waits till now
    switch_screen(SCREEN_MENU);
    client_run();
}
