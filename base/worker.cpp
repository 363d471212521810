#include "base/worker.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "base/log.h"
#include "base/loop.h"

namespace {
struct Job {
    std::function<void()> job;
    std::function<void()> done;
};
} // namespace

struct Worker {
    Loop *loop;
    int wake_fd;
    std::thread thread;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Job> queue;    // to run, under lock
    std::deque<Job> finished; // run, completion due on the loop's thread, under lock
    bool ending = false;      // under lock
    int pending = 0;          // the loop's thread only
};

static void run(Worker *w)
{
    for (;;) {
        Job j;
        {
            std::unique_lock<std::mutex> g(w->lock);
            w->ready.wait(g, [w] { return w->ending || !w->queue.empty(); });
            if (w->queue.empty())
                return; // ending, and all given jobs ran
            j = std::move(w->queue.front());
            w->queue.pop_front();
        }
        j.job();
        j.job = nullptr;
        {
            std::lock_guard<std::mutex> g(w->lock);
            w->finished.push_back(std::move(j));
        }
        uint64_t one = 1;
        ssize_t n = write(w->wake_fd, &one, sizeof one);
        (void)n; // a full counter still wakes the loop
    }
}

static void complete(Loop *, void *ctx, LoopTime)
{
    Worker *w = static_cast<Worker *>(ctx);
    std::deque<Job> done;
    {
        std::lock_guard<std::mutex> g(w->lock);
        done.swap(w->finished);
    }
    for (Job &j : done) {
        w->pending--;
        if (j.done)
            j.done();
    }
}

Worker *worker_start(Loop *loop)
{
    Worker *w = new Worker;
    w->loop = loop;
    w->wake_fd = loop_wake_fd(loop);
    loop_on_wake(loop, complete, w);
    try {
        w->thread = std::thread(run, w);
    } catch (const std::exception &e) {
        log_error("worker: cannot start its thread: %s", e.what());
        loop_on_wake(loop, nullptr, nullptr);
        delete w;
        return nullptr;
    }
    return w;
}

void worker_stop(Worker *w)
{
    if (!w)
        return;
    {
        std::lock_guard<std::mutex> g(w->lock);
        w->ending = true;
    }
    w->ready.notify_one();
    w->thread.join();
    loop_on_wake(w->loop, nullptr, nullptr);
    delete w;
}

void worker_submit(Worker *w, std::function<void()> job, std::function<void()> done)
{
    if (!w) {
        job();
        if (done)
            done();
        return;
    }
    w->pending++;
    {
        std::lock_guard<std::mutex> g(w->lock);
        w->queue.push_back({std::move(job), std::move(done)});
    }
    w->ready.notify_one();
}

int worker_pending(const Worker *w)
{
    return w ? w->pending : 0;
}
