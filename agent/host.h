// The host's own shutdown, kept as the decision wants it: a closed loop
// with the platform. The platform's `shutdown` is called one call at a time
// on the worker (the loop never waits for it), each awaited for at most
// HOST_CALL_LIMIT seconds and its exit status checked; a call that fails or
// times out gives a line and a report (the event and its notices), and is
// made again every HOST_RETRY_SECONDS while it is still wanted. A wish that
// changes while a call runs is carried out when that call has ended, so
// the platform ends with the newest wish whatever order the calls took.
//
// Where the platform shows its pending shutdown (systemd keeps it in
// /run/systemd/shutdown/scheduled while /run/systemd/system exists), it is
// read back after every call and every HOST_CHECK_SECONDS while a shutdown
// is wanted: one that is gone (a call that failed, an operator's
// "shutdown -c") or later than wanted is issued again with the minutes
// left, with a line saying why. Where it shows nothing, the exit status is
// all there is. Time is handed in by the caller.
#pragma once

#include <ctime>
#include <string>
#include <vector>

struct Worker;

constexpr int HOST_CALL_LIMIT = 20;     // seconds a call may take before it is killed
constexpr int HOST_RETRY_SECONDS = 30;  // between a failed call and the next try
constexpr int HOST_CHECK_SECONDS = 60;  // between read-backs while a shutdown is wanted
constexpr int HOST_LATE_SLACK = 60;     // seconds a pending shutdown may lie past the wanted one
constexpr int HOST_CALL_GRACE = 10;     // a call this late still says the whole minute

// What one call of `shutdown` gave.
struct HostCallResult {
    bool ok;         // ran and exited 0
    std::string why; // otherwise: "exit status 1", "timed out after 20 s", "cannot start: ..."
};

// Runs one call to its end (on the worker). The default runs the program
// with spawn_run and HOST_CALL_LIMIT; tests put in a model of the platform.
using HostRunner = HostCallResult (*)(const std::vector<std::string> &argv);

// Told when calls start failing (`failed` true, at the first failure of a
// run of them) and when one works again (`failed` false), at `when`.
using HostReporter = void (*)(bool failed, time_t when);

// What the module holds, for tests and diagnostics.
struct HostState {
    time_t wanted;     // the host deadline wanted; 0 none
    time_t issued;     // the deadline the platform took from a call that worked; 0 none
    bool in_flight;    // a call runs
    bool failing;      // the last call failed
    int calls;         // calls started since host_reset
};

// The worker the calls run on; nullptr: at once, on the caller's thread
// (unit tests).
void host_set_worker(Worker *worker);
void host_set_runner(HostRunner runner); // nullptr: the real `shutdown`
void host_set_reporter(HostReporter reporter);

// Where the platform shows its pending shutdown: the directory whose
// presence says the platform keeps one (default "/run/systemd/system") and
// the file that holds it (default "/run/systemd/shutdown/scheduled", lines
// "KEY=value", the deadline in "USEC=" microseconds since the epoch).
void host_set_platform(const std::string &present_dir, const std::string &scheduled_file);

// Forgets every wish, call and failure (process start; tests).
void host_reset();

// True when the platform shows its pending shutdown; then *deadline is it
// (seconds since the epoch, rounded down), 0 when none is pending.
bool host_platform_pending(time_t *deadline);

// The host deadline wanted from `now` on (0: none). A deadline is told to
// the platform as "shutdown -h +M" with M the whole minutes left, rounded
// down (never later than wanted) unless the call comes at most
// HOST_CALL_GRACE seconds after a whole minute (a call that waited for the
// one before it: a minute earlier would be the worse error); none as
// "shutdown -c" when a shutdown was told or adopted. `held` says the platform holds `deadline` already (a
// pending shutdown adopted at start-up, or one told before a restart and
// read back): nothing is called then.
void host_want(time_t deadline, time_t now, bool held = false);

// Every loop pass: starts the call a wish, a failure or a read-back asks
// for when its time has come, and reads the platform back every
// HOST_CHECK_SECONDS while a shutdown is wanted.
void host_tick(time_t now);

HostState host_state();
