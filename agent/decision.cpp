#include "agent/decision.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "base/worker.h"
#include "protocol/ups_command.h"
#include "store/paths.h"
#include "store/spawn.h"
#include "store/textfile.h"
#include "store/write_report.h"

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static MachineContext *unit1 = nullptr;
static DecisionDelays delays = {10, 1, 2};
static bool ups_commands = true;

static bool held[4][2];      // conditions that hold, per unit index
static bool seen[4];         // the unit's state is known to this process
static time_t host_deadline; // the host shutdown in force; 0 none
static time_t ups_deadline;  // the UPS turn-off in force; 0 none
static bool host_reissue;    // restored host deadline not yet issued by this process
static bool ups_reissue;     // restored UPS turn-off not yet queued by this process
static bool ups_held_back;   // the UPS turn-off is beyond its command's reach; queued later
static bool ups_told;        // a turn-off may be in force at the UPS (queued, or before a restart)
static time_t confirmed_at;  // when a restored condition was first seen to hold; 0 not yet

static const char *const STATE_FILE = "Shutdown.ang";

// The furthest a deadline lies ahead: a full delay to the host shutdown and
// a full one from there to the UPS turn-off.
static const int DEADLINE_REACH_MINUTES = 2 * DECISION_DELAY_MAX;

static int clamp_delay(const char *name, int minutes)
{
    if (minutes >= 0 && minutes <= DECISION_DELAY_MAX)
        return minutes;
    int to = minutes < 0 ? 0 : DECISION_DELAY_MAX;
    log_warning("upsagent: %s of %d minutes is outside 0..%d, using %d", name, minutes,
                DECISION_DELAY_MAX, to);
    return to;
}

DecisionDelays decision_delays_from(const SettingsRecord &s)
{
    return {clamp_delay("mains failure delay", s.ac_fail_delay),
            clamp_delay("battery low delay", s.battery_low_delay),
            clamp_delay("UPS shutdown delay", s.ups_shutdown_delay)};
}

static Worker *writer = nullptr;

void decision_set_worker(Worker *worker)
{
    Guard g(lock);
    writer = worker;
}

void decision_init(MachineContext *unit)
{
    Guard g(lock);
    unit1 = unit;
}

void decision_configure(const DecisionDelays &d, bool commands)
{
    Guard g(lock);
    delays = d;
    ups_commands = commands;
}

std::string decision_boot_id()
{
    char buf[64];
    int n = read_file("/proc/sys/kernel/random/boot_id", buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    buf[n] = '\0';
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

// ---- the state file ------------------------------------------------------

static std::string boot_id_now; // the boot the state file belongs to

static char last_status[4][10]; // per unit: the status characters last reported; "" unknown

// Whole-file rewrite. The file stays, with nothing in it to remember, from
// the start on: on a disk that fills up later, the deadlines still fit in
// its own block.
static void save()
{
    std::string path = database_path(STATE_FILE);
    char flags[9];
    for (int i = 0; i < 4; i++) {
        flags[2 * i] = held[i][DECISION_MAINS] ? '1' : '0';
        flags[2 * i + 1] = held[i][DECISION_BATTERY] ? '1' : '0';
    }
    flags[8] = '\0';
    char text[512];
    int n = snprintf(text, sizeof text, "boot %s\nhost %lld\nups %lld\nheld %s\n",
                     boot_id_now.c_str(), static_cast<long long>(host_deadline),
                     static_cast<long long>(ups_deadline), flags);
    for (int i = 0; i < 4; i++)
        if (last_status[i][0])
            n += snprintf(text + n, sizeof text - n, "unit%d %s\n", i + 1, last_status[i]);
    std::string contents(text, n);
    worker_submit(writer, [path, contents] {
        ensure_database_dir();
        bool ok = write_file(path, contents.data(), static_cast<int>(contents.size()), 0600);
        // A full disk must not cost the deadline a restart needs: the file
        // is there whenever a unit has reported, and fits in its own block.
        int err = errno;
        if (!ok && (err == ENOSPC || err == EDQUOT || err == EFBIG))
            ok = write_file_in_place(path, contents.data(), static_cast<int>(contents.size()));
        write_report(path, ok, err, "a restart would not know the shutdown in force");
    });
}

static bool status_text(const char *s)
{
    return strlen(s) == 9 && strspn(s, "01") == 9;
}

// Reads the file into the state. False when it is missing, of another boot
// or damaged (then removed, so it is never taken later either; the caller
// writes this boot's empty one).
static bool load()
{
    std::string path = database_path(STATE_FILE);
    char data[1024];
    int size = read_file(path, data, sizeof data - 1);
    if (size <= 0)
        return false;
    data[size] = '\0';
    char boot[80] = "", flags[16] = "";
    long long host = 0, ups = 0;
    int got = sscanf(data, "boot %79s host %lld ups %lld held %15s", boot, &host, &ups, flags);
    // The file is rewritten at every change, and no deadline lies further
    // than two full delays after the change that set it.
    struct stat st;
    long long latest = stat(path.c_str(), &st) == 0
                           ? static_cast<long long>(st.st_mtime) + DEADLINE_REACH_MINUTES * 60 + 60
                           : 0;
    if (got != 4 || boot_id_now != boot || strlen(flags) != 8 || host < 0 || ups < 0 ||
        host > latest || ups > latest) {
        unlink(path.c_str()); // an earlier boot's, or damaged
        return false;
    }
    for (int i = 0; i < 4; i++) {
        held[i][DECISION_MAINS] = flags[2 * i] == '1';
        held[i][DECISION_BATTERY] = flags[2 * i + 1] == '1';
    }
    host_deadline = static_cast<time_t>(host);
    ups_deadline = static_cast<time_t>(ups);
    for (const char *line = data; (line = strstr(line, "\nunit")) != nullptr; line++) {
        int unit = 0;
        char text[16] = "";
        if (sscanf(line, "\nunit%d %15s", &unit, text) == 2 && unit >= 1 && unit <= 4 &&
            status_text(text))
            memcpy(last_status[unit - 1], text, 10);
    }
    return true;
}

// ---- the commands --------------------------------------------------------

// Whole minutes from `now` to `when`, rounded down: the host goes down at or
// before its deadline, never after it. "+0" means now.
static int minutes_until(time_t when, time_t now)
{
    if (when <= now)
        return 0;
    time_t minutes = (when - now) / 60;
    return minutes < DEADLINE_REACH_MINUTES ? static_cast<int>(minutes) : DEADLINE_REACH_MINUTES;
}

// Tells the platform the host deadline in force; what it was told becomes
// the deadline (the platform counts whole minutes).
static void issue_host(time_t now)
{
    int minutes = minutes_until(host_deadline, now);
    host_deadline = now + minutes * 60;
    char when[16], message[64], line[160];
    snprintf(when, sizeof when, "+%d", minutes);
    snprintf(message, sizeof message, "System will shut down after %d mins.", minutes);
    snprintf(line, sizeof line, "shutdown -h %s '%s' &", when, message);
    spawn_command(line, {"shutdown", "-h", when, message});
    host_reissue = false;
}

// Into unit 1's control lane, in place of the decision's command not yet sent.
static void queue_ups_command(const UpsCommand &c)
{
    std::string command = ups_command_format(c);
    if (unit1)
        machine_queue_control(unit1, command.data(), static_cast<int>(command.size()));
}

// The turn-off with restore, "S<minutes>R0001\r": the UPS turns off after
// `minutes` and restarts one minute after the mains returns. Rounded up
// while a host shutdown is in force: the UPS must never turn off before the
// host is down. A turn-off further away than the command's longest delay is
// held back and queued by decision_tick once it is in reach: a shorter
// delay would cut the host before its deadline.

static void queue_ups(time_t now)
{
    ups_reissue = false;
    if (ups_deadline - now > UPS_COMMAND_MINUTES_MAX * 60) {
        // An earlier turn-off the UPS was told would now come first.
        if (ups_told)
            queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL));
        ups_told = false;
        ups_held_back = true;
        return;
    }
    ups_held_back = false;
    int minutes = minutes_until(ups_deadline, now);
    if (host_deadline && now + minutes * 60 < ups_deadline)
        minutes += 1;
    UpsCommand c = ups_command_turn_off_restore(minutes, 1);
    ups_deadline = now + c.minutes * 60; // what the UPS was told
    queue_ups_command(c);
    ups_told = true;
}

static void cancel_all()
{
    if (host_deadline)
        spawn_command("shutdown -c 'Cancel shut down command' &",
                      {"shutdown", "-c", "Cancel shut down command"});
    if (ups_deadline && ups_commands)
        queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL));
    host_deadline = ups_deadline = 0;
    host_reissue = ups_reissue = ups_held_back = ups_told = false;
    confirmed_at = 0;
}

// ---- the rules -----------------------------------------------------------

// Whether a condition holds at all with the delays in force: a low battery
// is not acted on with a delay of 0; a mains failure always holds, even
// where it starts nothing, so it keeps a shutdown started by a low battery.
static bool counts(int c)
{
    return c == DECISION_MAINS || delays.battery_low > 0;
}

// Whether the condition asks for a UPS turn-off: a mains failure only with a
// UPS shutdown delay, a low battery always (at the host deadline, when that
// delay is 0).
static bool queues_ups(int c)
{
    if (!ups_commands)
        return false;
    return c == DECISION_BATTERY ? delays.battery_low > 0 : delays.ups_shutdown > 0;
}

static bool any_held()
{
    for (int i = 0; i < 4; i++)
        if (held[i][0] || held[i][1])
            return true;
    return false;
}

static bool ups_wanted()
{
    for (int i = 0; i < 4; i++)
        for (int c = 0; c < 2; c++)
            if (held[i][c] && queues_ups(c))
                return true;
    return false;
}

// Puts the UPS turn-off `ups_shutdown` minutes after the host deadline in
// force (or at `own` when no host shutdown was started), when that is
// earlier than the one queued or the queued one would come first.
static void follow_with_ups(time_t now, time_t own)
{
    if (!ups_wanted())
        return;
    time_t target = host_deadline ? host_deadline + delays.ups_shutdown * 60 : own;
    bool before_host = host_deadline && ups_deadline && ups_deadline < host_deadline;
    if (ups_deadline && ups_deadline <= target && !before_host)
        return;
    ups_deadline = target;
    queue_ups(now);
}

// Conditions that start in one status check are acted on together: one
// host shutdown and one UPS command for the earliest of them, never one per
// condition (a later command would replace an earlier one).
static void start_conditions(time_t now, const bool fresh[2])
{
    time_t host_target = 0, ups_own = 0;
    bool ups = false;
    for (int c = 0; c < 2; c++) {
        if (!fresh[c])
            continue;
        int minutes = c == DECISION_MAINS ? delays.ac_fail : delays.battery_low;
        time_t own = now + minutes * 60;
        if (minutes > 0 && (!host_target || own < host_target))
            host_target = own;
        if (queues_ups(c)) {
            time_t own_ups = own + delays.ups_shutdown * 60;
            if (!ups || own_ups < ups_own)
                ups_own = own_ups;
            ups = true;
        }
    }
    if (host_target && (!host_deadline || host_target < host_deadline)) {
        host_deadline = host_target;
        issue_host(now);
    }
    if (ups || host_deadline)
        follow_with_ups(now, ups ? ups_own : 0);
}

// Restored deadlines go out again once a restored condition was seen to
// hold, when the minutes left are (nearly) whole: the platform counts whole
// minutes, and the deadline must not move.
static void reissue_restored(time_t now)
{
    if (!(host_reissue || ups_reissue) || !confirmed_at)
        return;
    time_t ref = host_deadline ? host_deadline : ups_deadline;
    long left = static_cast<long>(ref - now);
    bool lined_up = left < 60 || left % 60 <= DECISION_ALIGN_SECONDS;
    if (!lined_up && now - confirmed_at < DECISION_ALIGN_WAIT)
        return;
    time_t host_before = host_deadline;
    if (host_reissue && host_deadline)
        issue_host(now);
    if (ups_reissue && ups_deadline && ups_commands) {
        // The host deadline moved up to whole minutes from now; the UPS
        // keeps its distance from it.
        ups_deadline -= host_before - host_deadline;
        if (ups_deadline < host_deadline)
            ups_deadline = host_deadline;
        queue_ups(now);
    }
    host_reissue = ups_reissue = false;
    save();
}

bool decision_start(const std::string &boot_id)
{
    Guard g(lock);
    memset(held, 0, sizeof held);
    memset(seen, 0, sizeof seen);
    host_deadline = ups_deadline = 0;
    host_reissue = ups_reissue = ups_held_back = ups_told = false;
    confirmed_at = 0;
    memset(last_status, 0, sizeof last_status);
    boot_id_now = boot_id.empty() ? "unknown" : boot_id;
    if (!load()) {
        save(); // this boot's file, empty
        return false;
    }
    host_reissue = host_deadline != 0;
    ups_reissue = ups_deadline != 0;
    ups_told = ups_deadline != 0; // the process before may have told the UPS
    if (host_deadline || ups_deadline)
        log_notice("upsagent: shutdown in force from before the restart: host %s, UPS %s",
               host_deadline ? time_stamp_text(host_deadline).c_str() : "none",
               ups_deadline ? time_stamp_text(ups_deadline).c_str() : "none");
    return true;
}

void decision_observe(time_t now, int index, const DecisionSight &sight)
{
    if (index < 0 || index > 3 || (!sight.taken && !sight.lost))
        return;
    Guard g(lock);
    bool was_seen = seen[index];
    seen[index] = true;
    bool restored = !was_seen && (held[index][0] || held[index][1]);
    if (!sight.taken) {
        // Lost before it reported: its conditions stand as last known.
        if (restored && !confirmed_at)
            confirmed_at = now;
        reissue_restored(now);
        return;
    }
    bool want[2] = {sight.mains_failed && counts(DECISION_MAINS),
                    sight.battery_low && counts(DECISION_BATTERY)};
    bool changed = false, fresh[2] = {false, false};
    for (int c = 0; c < 2; c++) {
        if (want[c] == held[index][c]) {
            if (want[c] && restored && !confirmed_at)
                confirmed_at = now;
            continue;
        }
        held[index][c] = want[c];
        changed = true;
        fresh[c] = want[c];
    }
    if (fresh[0] || fresh[1])
        start_conditions(now, fresh);
    if (!any_held()) {
        if (host_deadline || ups_deadline)
            cancel_all();
    } else {
        reissue_restored(now);
    }
    if (changed)
        save();
}

void decision_tick(time_t now)
{
    Guard g(lock);
    reissue_restored(now);
    bool in_reach = ups_deadline - now <= UPS_COMMAND_MINUTES_MAX * 60;
    if (ups_held_back && ups_deadline && ups_commands && in_reach)
        queue_ups(now);
}

void decision_watch(int count)
{
    Guard g(lock);
    bool changed = false;
    for (int i = count < 0 ? 0 : count; i < 4; i++) {
        changed = changed || held[i][0] || held[i][1];
        held[i][0] = held[i][1] = false;
    }
    if (!changed)
        return;
    if (!any_held())
        cancel_all();
    save();
}

void decision_note_status(int index, const char status[9])
{
    if (index < 0 || index > 3)
        return;
    Guard g(lock);
    if (memcmp(last_status[index], status, 9) == 0)
        return;
    memcpy(last_status[index], status, 9);
    last_status[index][9] = '\0';
    if (!status_text(last_status[index]))
        last_status[index][0] = '\0';
    save();
}

bool decision_last_status(int index, char out[9])
{
    if (index < 0 || index > 3)
        return false;
    Guard g(lock);
    if (!last_status[index][0])
        return false;
    memcpy(out, last_status[index], 9);
    return true;
}

bool decision_holds(int index, int condition)
{
    if (index < 0 || index > 3 || condition < 0 || condition > 1)
        return false;
    Guard g(lock);
    return held[index][condition];
}

DecisionState decision_state()
{
    Guard g(lock);
    DecisionState s;
    memcpy(s.held, held, sizeof held);
    s.host_deadline = host_deadline;
    s.ups_deadline = ups_deadline;
    s.reissue_due = host_reissue || ups_reissue;
    return s;
}

bool decision_forced(int index, time_t now)
{
    if (index < 0 || index > 3)
        return false;
    Guard g(lock);
    if (!held[index][DECISION_MAINS] && !held[index][DECISION_BATTERY])
        return false;
    if (host_deadline)
        return host_deadline - now <= DECISION_FORCED_AHEAD;
    return ups_deadline && ups_deadline - now <= DECISION_FORCED_UPS_AHEAD;
}

DecisionDelays decision_delays()
{
    Guard g(lock);
    return delays;
}
