#include "agent/host.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "base/worker.h"
#include "store/spawn.h"
#include "store/textfile.h"

// The loop's thread only: the worker runs the call and nothing else.
struct Host {
    Worker *worker = nullptr;
    HostRunner runner = nullptr;
    HostReporter reporter = nullptr;
    std::string present_dir = "/run/systemd/system";
    std::string scheduled_file = "/run/systemd/shutdown/scheduled";
    time_t wanted = 0;
    time_t issued = 0;     // what the platform took from a call that worked
    bool told = false;     // a shutdown was told or adopted (so a cancel is owed)
    bool in_flight = false;
    bool failing = false;
    time_t retry_at = 0;   // no call before this
    time_t next_check = 0; // the next read-back
    time_t last_now = 0;   // the latest time the caller handed in
    int calls = 0;
};

// Made at its first use: a test's stand-in may set the runner before this
// file's statics would be.
static Host &the_host()
{
    static Host h;
    return h;
}

void host_set_worker(Worker *worker)
{
    Host &H = the_host();
    H.worker = worker;
}

void host_set_runner(HostRunner runner)
{
    Host &H = the_host();
    H.runner = runner;
}

void host_set_reporter(HostReporter reporter)
{
    Host &H = the_host();
    H.reporter = reporter;
}

void host_set_platform(const std::string &present_dir, const std::string &scheduled_file)
{
    Host &H = the_host();
    H.present_dir = present_dir;
    H.scheduled_file = scheduled_file;
}

void host_reset()
{
    Host &H = the_host();
    H.wanted = H.issued = 0;
    H.told = H.in_flight = H.failing = false;
    H.retry_at = H.next_check = H.last_now = 0;
    H.calls = 0;
}

HostState host_state()
{
    Host &H = the_host();
    return {H.wanted, H.issued, H.in_flight, H.failing, H.calls};
}

bool host_platform_pending(time_t *deadline)
{
    Host &H = the_host();
    *deadline = 0;
    if (access(H.present_dir.c_str(), F_OK) != 0)
        return false;
    char data[1024];
    int n = read_file(H.scheduled_file, data, sizeof data - 1);
    if (n <= 0)
        return true; // nothing pending
    data[n] = '\0';
    for (const char *line = data; line; line = strchr(line, '\n')) {
        if (*line == '\n')
            line++;
        unsigned long long usec = 0;
        if (sscanf(line, "USEC=%llu", &usec) == 1) {
            *deadline = static_cast<time_t>(usec / 1000000ULL);
            break;
        }
    }
    return true;
}

static HostCallResult run_shutdown(const std::vector<std::string> &argv)
{
    SpawnRun run = spawn_run(argv, HOST_CALL_LIMIT);
    if (!run.started)
        return {false, "cannot start: " + run.error};
    if (run.timed_out)
        return {false, "no end after " + std::to_string(HOST_CALL_LIMIT) + " s"};
    if (run.status != 0)
        return {false, "exit status " + std::to_string(run.status)};
    return {true, ""};
}

static std::string call_text(const std::vector<std::string> &argv)
{
    return argv[0] + " " + argv[1] + (argv[1] == "-h" ? " " + argv[2] : "");
}

// The call has ended (on the loop's thread, or at once without a worker);
// `at` is when it was started.
static void finish(const std::vector<std::string> &argv, time_t target, time_t at,
                   const HostCallResult &result)
{
    Host &H = the_host();
    H.in_flight = false;
    if (!result.ok) {
        log_error("upsagent: %s failed (%s); trying again in %d s", call_text(argv).c_str(),
                  result.why.c_str(), HOST_RETRY_SECONDS);
        if (!H.failing && H.reporter)
            H.reporter(true, at);
        H.failing = true;
        H.retry_at = at + HOST_RETRY_SECONDS;
        return;
    }
    if (H.failing) {
        log_notice("upsagent: %s worked; the host's shutdown calls work again",
                   call_text(argv).c_str());
        if (H.reporter)
            H.reporter(false, at);
    }
    H.failing = false;
    H.issued = target;
    H.told = target != 0;
    H.retry_at = 0;
    H.next_check = at + HOST_CHECK_SECONDS;
    time_t pending;
    if (target && host_platform_pending(&pending) &&
        (pending == 0 || pending > target + HOST_LATE_SLACK)) {
        // It worked by its exit status, yet the platform does not hold it.
        log_error("upsagent: %s ended well but the platform holds %s; trying again in %d s",
                  call_text(argv).c_str(),
                  pending ? ("a shutdown at " + time_stamp_text(pending)).c_str() : "none",
                  HOST_RETRY_SECONDS);
        H.issued = 0;
        H.retry_at = at + HOST_RETRY_SECONDS;
    }
}

// Starts the call the wish asks for, when one is owed and may go now.
static void pump(time_t now)
{
    Host &H = the_host();
    if (H.in_flight || now < H.retry_at)
        return;
    time_t target = H.wanted;
    if (target ? target == H.issued : !H.told)
        return;
    std::vector<std::string> argv;
    if (target) {
        long left = target > now ? static_cast<long>(target - now) : 0;
        long minutes = left / 60 + (left > 0 && left % 60 >= 60 - HOST_CALL_GRACE ? 1 : 0);
        char when[24], message[64];
        snprintf(when, sizeof when, "+%ld", minutes);
        snprintf(message, sizeof message, "System will shut down after %ld mins.", minutes);
        argv = {"shutdown", "-h", when, message};
        log_notice("upsagent: calling shutdown -h %s: the host goes down at %s", when,
                   time_stamp_text(now + minutes * 60).c_str());
    } else {
        argv = {"shutdown", "-c", "Cancel shut down command"};
        log_notice("upsagent: calling shutdown -c: no host shutdown is wanted any more");
    }
    H.in_flight = true;
    H.calls++;
    HostRunner runner = H.runner ? H.runner : run_shutdown;
    auto result = std::make_shared<HostCallResult>();
    worker_submit(
        H.worker, [runner, argv, result] { *result = runner(argv); },
        [argv, target, now, result] {
            finish(argv, target, now, *result);
            // A wish that came while this call ran goes out now, not at
            // the next tick: a mains failure right after a cancel.
            pump(the_host().last_now);
        });
}

void host_want(time_t deadline, time_t now, bool held)
{
    Host &H = the_host();
    H.last_now = now;
    if (deadline != H.wanted)
        H.retry_at = 0; // a new wish is tried at once, failures or not
    H.wanted = deadline;
    if (held && deadline) {
        H.issued = deadline;
        H.told = true;
        H.next_check = now + HOST_CHECK_SECONDS;
        return;
    }
    pump(now);
}

void host_tick(time_t now)
{
    Host &H = the_host();
    H.last_now = now;
    if (H.wanted && !H.in_flight && H.issued == H.wanted && now >= H.next_check) {
        H.next_check = now + HOST_CHECK_SECONDS;
        time_t pending;
        if (host_platform_pending(&pending)) {
            if (pending == 0) {
                log_warning("upsagent: the platform's pending shutdown is gone (a call that "
                            "failed, or a shutdown -c outside this daemon): calling it again "
                            "with the minutes left");
                H.issued = 0;
            } else if (pending > H.wanted + HOST_LATE_SLACK) {
                log_warning("upsagent: the platform's pending shutdown at %s is later than "
                            "this daemon's at %s: calling it again with the minutes left",
                            time_stamp_text(pending).c_str(),
                            time_stamp_text(H.wanted).c_str());
                H.issued = 0;
            }
        }
    }
    pump(now);
}
