#include "base/loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <set>
#include <tuple>
#include <unordered_map>

#include "base/log.h"

namespace {

struct Watch {
    LoopIoHandler handler;
    void *ctx;
};

struct SignalWatch {
    LoopSignalHandler handler;
    void *ctx;
};

using TimerKey = std::tuple<double, uint64_t, LoopTimer *>;

} // namespace

struct Loop {
    LoopClock clock;
    void *clock_ctx;
    int epoll_fd = -1;
    int timer_fd = -1;
    int signal_fd = -1;
    int wake_fd = -1;
    sigset_t signals;
    std::unordered_map<int, Watch> watches;
    std::unordered_map<int, SignalWatch> signal_handlers;
    std::set<TimerKey> timers;
    uint64_t next_order = 1;
    double armed_for = -1; // the due time the timerfd is set to; -1 none
    void (*wake_handler)(Loop *, void *, LoopTime) = nullptr;
    void *wake_ctx = nullptr;
    bool in_event = false; // `now` is the time of the event being handled
    LoopTime now{};
    bool stopped = false;
    int status = 0;
};

LoopTime loop_real_time(void *)
{
    struct timespec m;
    clock_gettime(CLOCK_MONOTONIC, &m);
    return {static_cast<double>(m.tv_sec) + static_cast<double>(m.tv_nsec) / 1e9, time(nullptr)};
}

static LoopTime read_clock(Loop *loop)
{
    return loop->clock(loop->clock_ctx);
}

static bool add_fd(int epoll_fd, int fd, uint32_t events)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

Loop *loop_new(LoopClock clock, void *clock_ctx)
{
    Loop *loop = new Loop;
    loop->clock = clock ? clock : loop_real_time;
    loop->clock_ctx = clock_ctx;
    sigemptyset(&loop->signals);
    loop->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    loop->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    loop->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (loop->epoll_fd < 0 || loop->timer_fd < 0 || loop->wake_fd < 0 ||
        !add_fd(loop->epoll_fd, loop->timer_fd, EPOLLIN) ||
        !add_fd(loop->epoll_fd, loop->wake_fd, EPOLLIN)) {
        log_error("loop: cannot set up epoll, its timer or its wake-up: %s", strerror(errno));
        loop_free(loop);
        return nullptr;
    }
    return loop;
}

void loop_free(Loop *loop)
{
    if (!loop)
        return;
    for (int fd : {loop->epoll_fd, loop->timer_fd, loop->signal_fd, loop->wake_fd})
        if (fd >= 0)
            close(fd);
    for (const TimerKey &k : loop->timers)
        std::get<2>(k)->armed = false;
    delete loop;
}

LoopTime loop_now(Loop *loop)
{
    return loop->in_event ? loop->now : read_clock(loop);
}

bool loop_watch(Loop *loop, int fd, uint32_t events, LoopIoHandler handler, void *ctx)
{
    if (fd < 0 || loop->watches.count(fd) || !add_fd(loop->epoll_fd, fd, events))
        return false;
    loop->watches[fd] = {handler, ctx};
    return true;
}

bool loop_rewatch(Loop *loop, int fd, uint32_t events)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(loop->epoll_fd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void loop_unwatch(Loop *loop, int fd)
{
    if (loop->watches.erase(fd))
        epoll_ctl(loop->epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
}

// The timerfd follows the earliest timer.
static void arm_timerfd(Loop *loop)
{
    double due = loop->timers.empty() ? -1 : std::get<0>(*loop->timers.begin());
    if (due == loop->armed_for)
        return;
    loop->armed_for = due;
    struct itimerspec value;
    memset(&value, 0, sizeof value);
    if (due >= 0) {
        double wait = due - read_clock(loop).mono;
        if (wait < 1e-6)
            wait = 1e-6; // zero would disarm it
        value.it_value.tv_sec = static_cast<time_t>(wait);
        value.it_value.tv_nsec = static_cast<long>((wait - std::floor(wait)) * 1e9);
    }
    timerfd_settime(loop->timer_fd, 0, &value, nullptr);
}

void loop_timer_at(Loop *loop, LoopTimer *timer, double due, LoopTimerHandler handler, void *ctx)
{
    loop_timer_cancel(loop, timer);
    timer->due = due;
    timer->handler = handler;
    timer->ctx = ctx;
    timer->order = loop->next_order++;
    timer->armed = true;
    loop->timers.insert({due, timer->order, timer});
    arm_timerfd(loop);
}

void loop_timer_cancel(Loop *loop, LoopTimer *timer)
{
    if (!timer->armed)
        return;
    loop->timers.erase({timer->due, timer->order, timer});
    timer->armed = false;
    arm_timerfd(loop);
}

bool loop_signal(Loop *loop, int signo, LoopSignalHandler handler, void *ctx)
{
    sigaddset(&loop->signals, signo);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signo);
    sigprocmask(SIG_BLOCK, &one, nullptr);
    int fd = signalfd(loop->signal_fd, &loop->signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        log_error("loop: cannot take signal %d through a signalfd: %s", signo, strerror(errno));
        return false;
    }
    if (loop->signal_fd < 0) {
        loop->signal_fd = fd;
        add_fd(loop->epoll_fd, fd, EPOLLIN);
    }
    loop->signal_handlers[signo] = {handler, ctx};
    return true;
}

int loop_wake_fd(Loop *loop)
{
    return loop->wake_fd;
}

void loop_on_wake(Loop *loop, void (*handler)(Loop *, void *, LoopTime), void *ctx)
{
    loop->wake_handler = handler;
    loop->wake_ctx = ctx;
}

static int run_signals(Loop *loop)
{
    int ran = 0;
    struct signalfd_siginfo info;
    while (read(loop->signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        auto it = loop->signal_handlers.find(static_cast<int>(info.ssi_signo));
        if (it != loop->signal_handlers.end()) {
            it->second.handler(loop, static_cast<int>(info.ssi_signo), it->second.ctx, loop->now);
            ran++;
        }
    }
    return ran;
}

// A timer this close to due counts as due: the timerfd wakes the loop at
// its time, and the clock read after the wake must not find it a hair early.
static const double DUE_SLACK = 1e-4;

// Every timer due by now that was armed before this round began: one armed
// again for "now" by its own handler waits for the next round.
static int run_timers(Loop *loop)
{
    int ran = 0;
    uint64_t limit = loop->next_order;
    double until = loop->now.mono + DUE_SLACK;
    for (;;) {
        auto it = loop->timers.begin();
        while (it != loop->timers.end() && std::get<1>(*it) >= limit && std::get<0>(*it) <= until)
            ++it;
        if (it == loop->timers.end() || std::get<0>(*it) > until)
            break;
        LoopTimer *t = std::get<2>(*it);
        loop->timers.erase(it);
        t->armed = false;
        t->handler(loop, t->ctx, loop->now);
        ran++;
    }
    arm_timerfd(loop);
    return ran;
}

int loop_run_once(Loop *loop, int max_wait_ms)
{
    struct epoll_event events[64];
    int n = epoll_wait(loop->epoll_fd, events, 64, max_wait_ms);
    if (n < 0)
        n = 0; // EINTR: a signal that is not ours; the timers still run
    loop->now = read_clock(loop);
    loop->in_event = true;
    int ran = 0;
    for (int i = 0; i < n; i++) {
        int fd = events[i].data.fd;
        if (fd == loop->timer_fd) {
            uint64_t expirations;
            while (read(fd, &expirations, sizeof expirations) > 0) {
            }
            loop->armed_for = -1; // fired: set it again for what is left
        } else if (fd == loop->signal_fd) {
            ran += run_signals(loop);
        } else if (fd == loop->wake_fd) {
            uint64_t count;
            while (read(fd, &count, sizeof count) > 0) {
            }
            if (loop->wake_handler) {
                loop->wake_handler(loop, loop->wake_ctx, loop->now);
                ran++;
            }
        } else {
            // A handler earlier in this round may have stopped watching it.
            auto it = loop->watches.find(fd);
            if (it == loop->watches.end())
                continue;
            Watch w = it->second;
            w.handler(loop, fd, events[i].events, w.ctx, loop->now);
            ran++;
        }
    }
    ran += run_timers(loop);
    loop->in_event = false;
    return ran;
}

int loop_run(Loop *loop)
{
    while (!loop->stopped)
        loop_run_once(loop, -1);
    return loop->status;
}

void loop_stop(Loop *loop, int status)
{
    loop->stopped = true;
    loop->status = status;
}
