#include "store/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "store/textfile.h"

extern char **environ;

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::vector<pid_t> children; // started, not yet reaped
static SpawnObserver observer = nullptr;

void spawn_set_observer(SpawnObserver fn)
{
    Guard g(lock);
    observer = fn;
}

static void reap_locked()
{
    for (size_t i = 0; i < children.size();) {
        int status;
        pid_t r = waitpid(children[i], &status, WNOHANG);
        if (r == children[i] || (r < 0 && errno == ECHILD)) {
            children[i] = children.back();
            children.pop_back();
        } else {
            i++;
        }
    }
}

void spawn_reap()
{
    Guard g(lock);
    reap_locked();
}

int spawn_pending()
{
    Guard g(lock);
    return static_cast<int>(children.size());
}

// posix_spawnp with default signal handling and nothing blocked in the
// child, whatever this process ignores (SIGPIPE) or its threads block.
static int start_child(const std::vector<std::string> &argv, pid_t *pid)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawnp(pid, args[0], nullptr, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc;
}

static int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

SpawnRun spawn_run(const std::vector<std::string> &argv, int limit_seconds)
{
    SpawnRun run{false, false, -1, ""};
    if (argv.empty()) {
        run.error = "no program";
        return run;
    }
    {
        Guard g(lock);
        if (observer) {
            observer(argv);
            run.started = true;
            run.status = 0;
            return run;
        }
    }
    pid_t pid;
    int rc = start_child(argv, &pid);
    if (rc != 0) {
        run.error = strerror(rc);
        return run;
    }
    run.started = true;
    // A pidfd tells the end without polling the wait; the limit is poll's.
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    if (fd >= 0) {
        struct pollfd p = {fd, POLLIN, 0};
        int r;
        do
            r = poll(&p, 1, limit_seconds * 1000);
        while (r < 0 && errno == EINTR);
        close(fd);
        if (r == 0) {
            kill(pid, SIGKILL);
            run.timed_out = true;
        }
    }
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!run.timed_out)
        run.status = exit_code(status);
    return run;
}

bool spawn_command(const std::string &line, const std::vector<std::string> &argv)
{
    if (argv.empty())
        return false;
    if (line.size() > static_cast<size_t>(SPAWN_LINE_MAX)) {
        // The line itself may carry a password: name the program only.
        log_error("%s: command line of %zu characters refused (at most %d)", argv[0].c_str(),
                  line.size(), SPAWN_LINE_MAX);
        return false;
    }
    Guard g(lock);
    reap_locked();
    if (observer) {
        observer(argv);
        return true;
    }
    pid_t pid;
    int rc = start_child(argv, &pid);
    if (rc != 0) {
        log_error("spawn: cannot start %s: %s", argv[0].c_str(), strerror(rc));
        return false;
    }
    children.push_back(pid);
    return true;
}

int spawn_per_entry(const char *list, bool (*plausible)(const std::string &entry),
                    const std::function<bool(const std::string &entry)> &start)
{
    bool any = false, failed = false;
    for (const std::string &entry : split_fields(list, ';')) {
        if (entry.empty() || !plausible(entry))
            continue;
        any = true;
        if (!start(entry))
            failed = true;
    }
    return !any ? 1 : (failed ? -1 : 0);
}
