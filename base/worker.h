// The one worker of a program: a thread that runs blocking jobs (a slow
// disk's write and fsync, a child that must be waited for) in the order
// they were given, so the event loop never stalls on them. Each job may
// have a completion, which runs on the loop's thread once the job is done:
// results come back as events, never as shared state.
//
// Without a worker (nullptr: the unit tests), worker_submit runs the job
// and its completion at once on the caller's thread.
#pragma once

#include <functional>

struct Loop;
struct Worker;

// Starts the worker thread for `loop` (which takes its completions through
// its wake descriptor). nullptr, with one line, when the thread cannot start.
Worker *worker_start(Loop *loop);

// Runs every job already given, then ends the thread and frees the worker;
// completions not yet run are dropped. Call on the loop's thread.
void worker_stop(Worker *worker);

// Queues `job` (run on the worker's thread) and `done` (run afterwards on
// the loop's thread; may be empty). Jobs run one at a time, in order.
void worker_submit(Worker *worker, std::function<void()> job, std::function<void()> done = {});

// Jobs given and not yet completed (their completion not yet run).
int worker_pending(const Worker *worker);
