// Starting the external programs (the host's shutdown command and the mail
// and SMS senders) in the background without a shell: each gets exactly the
// argument vector its command line stands for, so no value can ever run as
// shell code. The starting process reaps its own children (spawn_reap).
#pragma once

#include <functional>
#include <string>
#include <vector>

// The longest command line the senders and actions may stand for.
constexpr int SPAWN_LINE_MAX = 511;

// Starts argv[0] (a path, or a name looked up in PATH as the shell would)
// with `argv`, and does not wait for it. `line` is the shell command line
// this start stands for; one longer than SPAWN_LINE_MAX characters is
// refused with one line on standard output and nothing is started. Returns
// true when the program was started.
bool spawn_command(const std::string &line, const std::vector<std::string> &argv);

// How a program run to its end went (spawn_run).
struct SpawnRun {
    bool started;     // the program was started
    bool timed_out;   // it ran past the limit and was killed
    int status;       // its exit status; 128 + the signal that ended it; -1 not known
    std::string error; // why it was not started (strerror text); empty otherwise
};

// Starts `argv` as spawn_command does (no shell, PATH lookup) and waits for
// its end, at most `limit_seconds`; one that runs longer is killed
// (SIGKILL) and reaped. Blocks: for a worker thread, never the loop. The
// child is not in spawn_reap's list, so nothing else can reap it first.
// With the observer set, it is called with `argv` instead, and the run
// counts as ended with status 0.
SpawnRun spawn_run(const std::vector<std::string> &argv, int limit_seconds);

// The notifiers' loop: calls `start` once per entry of the ";"-separated
// `list` that `plausible` accepts (empty entries and the others are
// skipped), in list order. Returns 1 when no entry was taken (nothing
// started), -1 when a start returned false, else 0.
int spawn_per_entry(const char *list, bool (*plausible)(const std::string &entry),
                    const std::function<bool(const std::string &entry)> &start);

// Collects the exit status of every child that has ended, so none stays a
// zombie. Called at every start and by the programs' loops.
void spawn_reap();

// Number of started children not yet reaped.
int spawn_pending();

// Test seam: when set, spawn_command hands the argument vector to it instead
// of starting anything (the length rule still applies). nullptr restores
// real starts.
using SpawnObserver = void (*)(const std::vector<std::string> &argv);
void spawn_set_observer(SpawnObserver observer);
