#include "base/loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/worker.h"

namespace {

struct FakeClock {
    LoopTime t{1000.0, 1700000000};
};

LoopTime fake_time(void *ctx)
{
    return static_cast<FakeClock *>(ctx)->t;
}

struct Fired {
    std::vector<std::pair<int, double>> log; // timer number, loop time it ran at
};

struct TimerCtx {
    Fired *fired;
    int number;
    double period; // > 0: arms itself again
    LoopTimer *timer;
};

void on_timer(Loop *loop, void *ctx, LoopTime now)
{
    auto *c = static_cast<TimerCtx *>(ctx);
    c->fired->log.push_back({c->number, now.mono});
    if (c->period > 0)
        loop_timer_at(loop, c->timer, now.mono + c->period, on_timer, c);
}

} // namespace

// Random timers on a fake clock: each runs once per arming, never before its
// time, in order of due time, and the loop's time is the clock's.
TEST(Loop, TimersRunByTheLoopsClockInOrder)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        FakeClock clock;
        Loop *loop = loop_new(fake_time, &clock);
        ASSERT_NE(loop, nullptr);
        Fired fired;
        std::vector<LoopTimer> timers(8);
        std::vector<TimerCtx> ctx(8);
        std::vector<double> due(8);
        for (int i = 0; i < 8; i++) {
            ctx[i] = {&fired, i, 0, &timers[i]};
            due[i] = clock.t.mono + std::uniform_int_distribution<int>(0, 40)(rng) * 0.25;
            loop_timer_at(loop, &timers[i], due[i], on_timer, &ctx[i]);
        }
        // One timer moved, one cancelled.
        due[3] += 1.0;
        loop_timer_at(loop, &timers[3], due[3], on_timer, &ctx[3]);
        loop_timer_cancel(loop, &timers[5]);
        for (int step = 0; step < 60; step++) {
            loop_run_once(loop, 0);
            clock.t.mono += 0.25;
        }
        ASSERT_EQ(fired.log.size(), 7u);
        for (size_t k = 0; k < fired.log.size(); k++) {
            auto [number, at] = fired.log[k];
            EXPECT_NE(number, 5);
            EXPECT_GE(at, due[number]);
            EXPECT_LT(at, due[number] + 0.25);
            if (k > 0) {
                EXPECT_LE(due[fired.log[k - 1].first], due[number]);
            }
        }
        loop_free(loop);
    }
}

// A timer that arms itself again for "now" waits for the next round.
TEST(Loop, ARepeatingTimerRunsOncePerRound)
{
    FakeClock clock;
    Loop *loop = loop_new(fake_time, &clock);
    Fired fired;
    LoopTimer t;
    TimerCtx c{&fired, 0, 1e-9, &t};
    loop_timer_at(loop, &t, clock.t.mono, on_timer, &c);
    loop_run_once(loop, 0);
    EXPECT_EQ(fired.log.size(), 1u);
    loop_free(loop);
}

namespace {
struct IoSeen {
    int calls = 0;
    double at = 0;
    int signals = 0;
};
void on_readable(Loop *loop, int fd, uint32_t, void *ctx, LoopTime now)
{
    char buf[16];
    if (read(fd, buf, sizeof buf) > 0) {
        auto *s = static_cast<IoSeen *>(ctx);
        s->calls++;
        s->at = now.mono;
    }
    (void)loop;
}
void on_signal(Loop *loop, int, void *ctx, LoopTime)
{
    static_cast<IoSeen *>(ctx)->signals++;
    loop_stop(loop, 3);
}
} // namespace

// Descriptors, signals and the worker's completions come back through one
// wait, on the loop's thread, with the time of their event.
TEST(Loop, DescriptorsSignalsAndWorkerResultsAreEvents)
{
    Loop *loop = loop_new(); // real clocks: the descriptors are real
    ASSERT_NE(loop, nullptr);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    IoSeen seen;
    ASSERT_TRUE(loop_watch(loop, p[0], EPOLLIN, on_readable, &seen));
    ASSERT_EQ(write(p[1], "x", 1), 1);
    EXPECT_EQ(loop_run_once(loop, 5000), 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_GT(seen.at, 0);
    loop_unwatch(loop, p[0]);
    ASSERT_EQ(write(p[1], "y", 1), 1);
    EXPECT_EQ(loop_run_once(loop, 0), 0) << "an unwatched descriptor runs nothing";

    Worker *w = worker_start(loop);
    ASSERT_NE(w, nullptr);
    std::thread::id loop_thread = std::this_thread::get_id(), job_thread, done_thread;
    std::vector<int> order;
    for (int i = 0; i < 5; i++)
        worker_submit(
            w, [&job_thread] { job_thread = std::this_thread::get_id(); },
            [&order, &done_thread, i] {
                order.push_back(i);
                done_thread = std::this_thread::get_id();
            });
    EXPECT_EQ(worker_pending(w), 5);
    for (int tries = 0; tries < 100 && worker_pending(w) > 0; tries++)
        loop_run_once(loop, 100);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_NE(job_thread, loop_thread);
    EXPECT_EQ(done_thread, loop_thread);
    worker_stop(w);

    ASSERT_TRUE(loop_signal(loop, SIGUSR1, on_signal, &seen));
    raise(SIGUSR1); // blocked: it waits in the signalfd
    EXPECT_EQ(loop_run(loop), 3);
    EXPECT_EQ(seen.signals, 1);
    close(p[0]);
    close(p[1]);
    loop_free(loop);
}
