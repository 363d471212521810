// The event loop of a program: one thread, one epoll set over the
// descriptors the program watches, one timerfd armed for the earliest of
// its timers, one signalfd for the signals it takes, and an eventfd on
// which the worker (base/worker.h) hands finished jobs back. Handlers run
// on the loop's thread, one at a time, each with the context it was
// registered with and the time of its event.
//
// Time: the loop reads its clock once per event (a wake of epoll_wait) and
// hands that reading to every handler it runs for it; modules take time
// from their callers, never from a clock of their own. A test gives the
// loop a clock of its own (LoopClock) and steps it with loop_run_once(loop,
// 0): timers then fire by that clock, not by the wall.
#pragma once

#include <cstdint>
#include <ctime>

// One reading of the clock: monotonic seconds for durations and spacing,
// and the wall clock for what is dated (the decision's deadlines, the
// schedule, file names).
struct LoopTime {
    double mono; // CLOCK_MONOTONIC, seconds
    time_t wall; // CLOCK_REALTIME, seconds
};

// A clock: returns the time now. `ctx` is the pointer given with it.
using LoopClock = LoopTime (*)(void *ctx);

// The real clocks.
LoopTime loop_real_time(void *ctx = nullptr);

struct Loop;

// A descriptor became ready: `events` are epoll's (EPOLLIN, EPOLLOUT,
// EPOLLHUP, EPOLLERR).
using LoopIoHandler = void (*)(Loop *loop, int fd, uint32_t events, void *ctx, LoopTime now);
// A timer is due (it is no longer armed when this runs; re-arm to repeat).
using LoopTimerHandler = void (*)(Loop *loop, void *ctx, LoopTime now);
// A signal arrived (taken through the signalfd, never as an interruption).
using LoopSignalHandler = void (*)(Loop *loop, int signo, void *ctx, LoopTime now);

// A new loop on `clock` (nullptr: the real clocks). nullptr, with one line
// saying why, when epoll, the timerfd or the eventfd cannot be had.
Loop *loop_new(LoopClock clock = nullptr, void *clock_ctx = nullptr);

// Closes the loop's descriptors (not the watched ones) and frees it.
void loop_free(Loop *loop);

// The time of the event being handled; outside a handler, a new reading.
LoopTime loop_now(Loop *loop);

// Watches `fd` for `events` (EPOLLIN and/or EPOLLOUT; level-triggered).
// One handler per descriptor. Returns false when epoll refuses it.
bool loop_watch(Loop *loop, int fd, uint32_t events, LoopIoHandler handler, void *ctx);
// Changes the events watched for `fd`.
bool loop_rewatch(Loop *loop, int fd, uint32_t events);
// Stops watching `fd` (before the caller closes it). Unknown fds: nothing.
void loop_unwatch(Loop *loop, int fd);

// A timer: an id that stays the caller's (a plain record; zero-initialised
// it is not armed). Arming an armed timer moves it.
struct LoopTimer {
    double due = 0;               // monotonic seconds, while armed
    bool armed = false;
    LoopTimerHandler handler = nullptr;
    void *ctx = nullptr;
    uint64_t order = 0;           // ties between timers due at once: earlier armed first
};

// Arms `timer` to run `handler(ctx)` at monotonic time `due`. The timer
// record must outlive its arming (the loop keeps a pointer to it).
void loop_timer_at(Loop *loop, LoopTimer *timer, double due, LoopTimerHandler handler, void *ctx);
// Disarms `timer`; nothing when it is not armed.
void loop_timer_cancel(Loop *loop, LoopTimer *timer);

// Takes `signo` through the loop: blocks it for the whole process (call
// before any other thread starts, so they inherit the mask) and runs
// `handler` when it arrives. One handler per signal. False when the
// signalfd cannot be had.
bool loop_signal(Loop *loop, int signo, LoopSignalHandler handler, void *ctx);

// The descriptor the worker writes to wake the loop, and the handler the
// loop runs then (base/worker sets this up; one per loop).
int loop_wake_fd(Loop *loop);
void loop_on_wake(Loop *loop, void (*handler)(Loop *loop, void *ctx, LoopTime now), void *ctx);

// Waits at most `max_wait_ms` (-1: until something happens; 0: not at all)
// for descriptors, signals and the next timer, then runs the handlers of
// what is ready and of every timer due by the loop's clock. Returns the
// number of handlers run.
int loop_run_once(Loop *loop, int max_wait_ms);

// Runs until loop_stop; returns its status.
int loop_run(Loop *loop);

// Makes loop_run return `status` after the handler that calls it.
void loop_stop(Loop *loop, int status);
