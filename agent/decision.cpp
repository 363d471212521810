#include "agent/decision.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "agent/host.h"
#include "base/worker.h"
#include "protocol/ups_command.h"
#include "store/event_text.h"
#include "store/paths.h"
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
static time_t clear_since[4][2]; // a held condition's status first seen clear; 0 not clear
static int return_hold = DECISION_RETURN_HOLD;
static bool planned;         // a planned shutdown is under way
static int planned_restore;  // its restore minutes; -1 stays off
static time_t adopt_at;      // the platform's pending shutdown found at a start without state
static DecisionReporter reporter = nullptr;

// The UPS's answer to the decision's last command: what b1 should show.
enum { EXPECT_NONE, EXPECT_ON, EXPECT_OFF };
static int expect;           // EXPECT_*
static int expect_checks;    // unit 1's status replies since the command went out
static int expect_resends;   // times it was sent again
static bool ups_gave_up;     // reported as not taken
static bool platform_read;   // restored: the platform's pending shutdown was looked at
static bool platform_holds;  // ... and holds the restored host deadline
static time_t platform_at;   // ... at this time

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

void decision_set_return_hold(int seconds)
{
    Guard g(lock);
    return_hold = seconds < 0 ? 0 : seconds;
}

void decision_set_reporter(DecisionReporter r)
{
    Guard g(lock);
    reporter = r;
}

void decision_init(MachineContext *unit)
{
    Guard g(lock);
    unit1 = unit;
}

static bool reconsider; // the delays changed: does a held condition still ask for a shutdown?

void decision_configure(const DecisionDelays &d, bool commands)
{
    Guard g(lock);
    if ((d.ac_fail != delays.ac_fail || d.battery_low != delays.battery_low) &&
        (host_deadline || ups_deadline))
        reconsider = true;
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
    if (planned)
        n += snprintf(text + n, sizeof text - n, "planned %d\n", planned_restore);
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
    if (const char *line = strstr(data, "\nplanned ")) {
        int restore = -2;
        if (sscanf(line, "\nplanned %d", &restore) == 1 && restore >= -1 &&
            restore <= UPS_COMMAND_RESTORE_MAX) {
            planned = true;
            planned_restore = restore;
        }
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

// Tells the platform (through the host module) the host deadline in force;
// what it is told becomes the deadline (the platform counts whole minutes).
static void issue_host(time_t now)
{
    int minutes = minutes_until(host_deadline, now);
    host_deadline = now + minutes * 60;
    // The file first: the call and the file's write share the worker, and
    // a daemon killed between them must find the deadline the platform has.
    save();
    host_want(host_deadline, now);
    host_reissue = false;
}

// The turn-off the UPS gets after the host deadline: never less than a
// minute, whatever the delay says.
static int ups_gap_minutes()
{
    return delays.ups_shutdown > 0 ? delays.ups_shutdown : 1;
}

// Into unit 1's control lane, in place of the decision's command not yet
// sent; the answer the UPS should show is watched from then on.
static void queue_ups_command(const UpsCommand &c, bool resend = false)
{
    std::string command = ups_command_format(c);
    if (!unit1)
        return;
    machine_queue_control(unit1, command.data(), static_cast<int>(command.size()));
    expect = c.kind == UPS_COMMAND_SHUTDOWN_CANCEL ? EXPECT_OFF : EXPECT_ON;
    expect_checks = 0;
    if (!resend)
        expect_resends = 0;
}

// The turn-off, "S<minutes>R0001\r" (or the planned shutdown's restore, or
// none): the UPS turns off after `minutes`. Rounded up while a host
// shutdown is in force: the UPS must never turn off before the host is
// down. A turn-off further away than the command's longest delay is held
// back and queued by decision_tick once it is in reach: a shorter delay
// would cut the host before its deadline.
static void queue_ups(time_t now, bool resend = false)
{
    ups_reissue = false;
    if (ups_deadline - now > UPS_COMMAND_MINUTES_MAX * 60) {
        // A turn-off only ever moves earlier, so none the UPS was told can
        // come before this one: nothing to cancel.
        ups_held_back = true;
        log_notice("upsagent: UPS turn-off at %s is beyond the UPS's 99 minutes: queued once "
                   "in reach", time_stamp_text(ups_deadline).c_str());
        return;
    }
    ups_held_back = false;
    int minutes = minutes_until(ups_deadline, now);
    if (host_deadline && now + minutes * 60 < ups_deadline)
        minutes += 1;
    int restore = planned ? planned_restore : 1;
    UpsCommand c = restore < 0 ? ups_command_turn_off(minutes)
                               : ups_command_turn_off_restore(minutes, restore);
    ups_deadline = now + c.minutes * 60; // what the UPS was told
    queue_ups_command(c, resend);
    ups_told = true;
    std::string bytes = ups_command_format(c);
    bytes.pop_back();
    log_notice("upsagent: UPS turn-off %s queued: the UPS turns off at %s", bytes.c_str(),
               time_stamp_text(ups_deadline).c_str());
}

static void cancel_all(time_t now, const char *why)
{
    if (host_deadline || ups_deadline)
        log_notice("upsagent: %s: the shutdown is cancelled", why);
    if (planned && reporter)
        reporter(1, EVENT_PLANNED, '0', now); // the planned shutdown cancelled
    host_want(0, now);
    if (ups_deadline && ups_commands && ups_told)
        queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL));
    host_deadline = ups_deadline = 0;
    host_reissue = ups_reissue = ups_held_back = ups_told = false;
    confirmed_at = 0;
    planned = false;
}

// ---- the rules -----------------------------------------------------------

// Whether a condition holds at all with the delays in force: a low battery
// is not acted on with a delay of 0; a mains failure always holds, even
// where it starts nothing, so it keeps a shutdown started by a low battery.
static bool counts(int c)
{
    return c == DECISION_MAINS || delays.battery_low > 0;
}

// Whether the condition asks for a UPS turn-off (behind its host shutdown):
// a mains failure only with a UPS shutdown delay, a low battery always.
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
    if (planned && ups_commands)
        return true;
    for (int i = 0; i < 4; i++)
        for (int c = 0; c < 2; c++)
            if (held[i][c] && queues_ups(c))
                return true;
    return false;
}

// Puts the UPS turn-off max(ups_shutdown, 1) minutes after the host
// deadline in force (never without one), or at `at_least` when that is
// later, when it is earlier than the one queued or the queued one would
// come first.
static void follow_with_ups(time_t now, time_t at_least = 0)
{
    if (!ups_wanted() || !host_deadline)
        return;
    time_t target = host_deadline + ups_gap_minutes() * 60;
    if (at_least > target)
        target = at_least;
    bool before_host = ups_deadline && ups_deadline < host_deadline + 60;
    if (ups_deadline && ups_deadline <= target && !before_host)
        return;
    ups_deadline = target;
    queue_ups(now);
}

// Moves the host deadline to `target` when that is earlier than the one in
// force (a platform's pending shutdown found at a start without state is
// taken instead when it is earlier still: it is never replaced by a later
// one).
static void host_at_most(time_t now, time_t target, const char *why)
{
    if (adopt_at) {
        time_t adopted = adopt_at;
        adopt_at = 0;
        if (adopted > now && adopted <= target && (!host_deadline || adopted < host_deadline)) {
            host_deadline = adopted;
            save();
            host_want(host_deadline, now, true);
            log_notice("upsagent: %s: the platform's pending shutdown at %s stands (taken over "
                       "at start)", why, time_stamp_text(adopted).c_str());
            return;
        }
    }
    if (host_deadline && host_deadline <= target) {
        log_notice("upsagent: %s: the host deadline stays at %s", why,
                   time_stamp_text(host_deadline).c_str());
        return;
    }
    bool moved = host_deadline != 0;
    host_deadline = target;
    issue_host(now);
    log_notice("upsagent: %s: host deadline %s %s", why, moved ? "moved to" : "set at",
               time_stamp_text(host_deadline).c_str());
}

static const char *condition_name(int c)
{
    return c == DECISION_MAINS ? "mains failure" : "low battery";
}

// Conditions that start in one status check are acted on together: one
// host shutdown and one UPS command for the earliest of them, never one per
// condition (a later command would replace an earlier one).
static void start_conditions(time_t now, int index, const bool fresh[2])
{
    time_t host_target = 0;
    int first = -1;
    for (int c = 0; c < 2; c++) {
        if (!fresh[c])
            continue;
        int minutes = c == DECISION_MAINS ? delays.ac_fail : delays.battery_low;
        time_t own = now + minutes * 60;
        if (minutes > 0 && (!host_target || own < host_target)) {
            host_target = own;
            first = c;
        }
    }
    if (host_target) {
        char why[64];
        snprintf(why, sizeof why, "%s on unit %d", condition_name(first), index + 1);
        host_at_most(now, host_target, why);
    }
    follow_with_ups(now);
}

// Restored deadlines go out again once a restored condition was seen to
// hold. Where the platform shows its pending shutdown and holds the
// deadline, nothing is called; else when the minutes left are (nearly)
// whole: the platform counts whole minutes, and the deadline must not move.
static void reissue_restored(time_t now)
{
    if (!(host_reissue || ups_reissue) || !(confirmed_at || planned))
        return;
    // The platform is read once: while the minutes line up it changes
    // nothing the daemon did not do.
    if (!platform_read) {
        platform_read = true;
        platform_holds = host_deadline && host_platform_pending(&platform_at) && platform_at &&
                         platform_at <= host_deadline + HOST_LATE_SLACK;
    }
    time_t ref = host_deadline ? host_deadline : ups_deadline;
    long left = static_cast<long>(ref - now);
    bool lined_up = left < 60 || left % 60 <= DECISION_ALIGN_SECONDS;
    time_t since = confirmed_at ? confirmed_at : now;
    if (!platform_holds && !lined_up && now - since < DECISION_ALIGN_WAIT)
        return;
    time_t host_before = host_deadline;
    if (host_reissue && host_deadline) {
        if (platform_holds) {
            host_want(host_deadline, now, true);
            log_notice("upsagent: the platform holds the host shutdown at %s from before the "
                       "restart", time_stamp_text(platform_at).c_str());
        } else {
            issue_host(now);
            log_notice("upsagent: host deadline %s from before the restart issued again",
                       time_stamp_text(host_deadline).c_str());
        }
    }
    if (ups_reissue && ups_deadline && ups_commands) {
        // The host deadline moved up to whole minutes from now; the UPS
        // keeps its distance from it.
        ups_deadline -= host_before - host_deadline;
        if (host_deadline && ups_deadline < host_deadline + 60)
            ups_deadline = host_deadline + 60;
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
    memset(clear_since, 0, sizeof clear_since);
    host_deadline = ups_deadline = 0;
    host_reissue = ups_reissue = ups_held_back = ups_told = false;
    confirmed_at = 0;
    planned = false;
    planned_restore = 1;
    adopt_at = 0;
    expect = EXPECT_NONE;
    expect_checks = expect_resends = 0;
    ups_gave_up = false;
    memset(last_status, 0, sizeof last_status);
    reconsider = false;
    platform_read = platform_holds = false;
    host_reset();
    boot_id_now = boot_id.empty() ? "unknown" : boot_id;
    if (!load()) {
        save(); // this boot's file, empty
        time_t pending = 0;
        if (host_platform_pending(&pending) && pending) {
            adopt_at = pending;
            log_notice("upsagent: no state from before; the platform's pending shutdown at %s "
                       "will be kept if a condition starts",
                       time_stamp_text(pending).c_str());
        }
        return false;
    }
    host_reissue = host_deadline != 0;
    ups_reissue = ups_deadline != 0;
    ups_told = ups_deadline != 0; // the process before may have told the UPS
    if (host_deadline || ups_deadline)
        log_notice("upsagent: shutdown in force from before the restart: host %s, UPS %s%s",
                   host_deadline ? time_stamp_text(host_deadline).c_str() : "none",
                   ups_deadline ? time_stamp_text(ups_deadline).c_str() : "none",
                   planned ? " (planned)" : "");
    return true;
}

// The UPS's answer to the decision's command, seen in unit 1's status: a
// turn-off shows b1, a cancel clears it. One not shown after
// DECISION_CONFIRM_CHECKS replies is sent again (a turn-off with the
// minutes left), at most DECISION_RESENDS times, then reported.
static void watch_ups(time_t now, bool shutdown_active)
{
    if (!unit1 || !ups_commands)
        return;
    if (expect == EXPECT_NONE && shutdown_active && !ups_told && !ups_gave_up &&
        !machine_control_pending(unit1)) {
        // Not this decision's: left over from a state that was lost. It
        // could cut the host before its deadline; the decision's own
        // turn-off follows when one is due.
        log_warning("upsagent: the UPS counts down to a turn-off this daemon did not give: "
                    "cancelling it");
        queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL));
        return;
    }
    if (expect == EXPECT_NONE)
        return;
    if (machine_control_pending(unit1))
        return; // not sent yet
    bool want_on = expect == EXPECT_ON;
    if (shutdown_active == want_on) {
        log_notice("upsagent: the UPS shows the %s (status b1 %s)",
                   want_on ? "turn-off" : "cancel", want_on ? "set" : "clear");
        if (ups_gave_up && reporter)
            reporter(1, EVENT_UPS_COMMAND, '0', now);
        ups_gave_up = false;
        expect = EXPECT_NONE;
        return;
    }
    if (++expect_checks < DECISION_CONFIRM_CHECKS)
        return;
    if (expect_resends >= DECISION_RESENDS) {
        log_error("upsagent: the UPS did not take the %s after %d tries",
                  want_on ? "turn-off" : "cancel", DECISION_RESENDS + 1);
        if (!ups_gave_up && reporter)
            reporter(1, EVENT_UPS_COMMAND, '1', now);
        ups_gave_up = true;
        expect = EXPECT_NONE;
        return;
    }
    expect_resends++;
    log_warning("upsagent: the UPS does not show the %s: sending it again (%d of %d)",
                want_on ? "turn-off" : "cancel", expect_resends, DECISION_RESENDS);
    if (want_on && ups_deadline)
        queue_ups(now, true);
    else if (!want_on)
        queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL), true);
}

// Ends the conditions whose status stayed clear for the hold time, and
// cancels when nothing holds any more.
static bool end_conditions(time_t now)
{
    bool changed = false;
    for (int i = 0; i < 4; i++) {
        for (int c = 0; c < 2; c++) {
            if (!held[i][c] || !clear_since[i][c] || now - clear_since[i][c] < return_hold)
                continue;
            held[i][c] = false;
            clear_since[i][c] = 0;
            changed = true;
            log_notice("upsagent: %s on unit %d ended (clear for %d s)", condition_name(c),
                       i + 1, return_hold);
        }
    }
    if (changed && !any_held() && !planned)
        cancel_all(now, "no condition holds any more");
    return changed;
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
    if (index == 0 && !sight.lost)
        watch_ups(now, sight.shutdown_active);
    bool want[2] = {sight.mains_failed && counts(DECISION_MAINS),
                    sight.battery_low && counts(DECISION_BATTERY)};
    bool changed = false, fresh[2] = {false, false};
    for (int c = 0; c < 2; c++) {
        if (want[c]) {
            if (held[index][c]) {
                if (clear_since[index][c])
                    log_notice("upsagent: %s on unit %d again within the hold time: the "
                               "deadline stands", condition_name(c), index + 1);
                clear_since[index][c] = 0;
                if (restored && !confirmed_at)
                    confirmed_at = now;
                continue;
            }
            held[index][c] = true;
            clear_since[index][c] = 0;
            changed = true;
            fresh[c] = true;
            log_notice("upsagent: %s on unit %d", condition_name(c), index + 1);
        } else if (held[index][c] && !clear_since[index][c]) {
            // A condition counted no more (its delay went to 0) ends now.
            clear_since[index][c] = counts(c) ? now : now - return_hold;
            if (return_hold > 0 && counts(c))
                log_notice("upsagent: %s on unit %d clear: taken as ended after %d s",
                           condition_name(c), index + 1, return_hold);
        }
    }
    if (fresh[0] || fresh[1])
        start_conditions(now, index, fresh);
    changed = end_conditions(now) || changed;
    if (any_held() || planned)
        reissue_restored(now);
    if (changed)
        save();
}

// A planned shutdown: the host now, the UPS after it with the command's
// restore.
static void start_planned(time_t now, const UpsCommand &c, const char *source)
{
    int restore = c.kind == UPS_COMMAND_TURN_OFF_RESTORE ? c.restore_minutes : -1;
    bool again = planned;
    planned = true;
    planned_restore = restore;
    if (!again && reporter)
        reporter(1, EVENT_PLANNED, '1', now); // the event log and the notices say so
    char why[160];
    snprintf(why, sizeof why, "planned shutdown from %s%s", source, again ? " (again)" : "");
    host_at_most(now, now, why);
    if (!ups_commands)
        return;
    int minutes = c.minutes > 0 ? c.minutes : 1;
    if (minutes < ups_gap_minutes())
        minutes = ups_gap_minutes();
    time_t target = host_deadline + minutes * 60;
    // The planned turn-off replaces one queued for a condition: its restore
    // is the entry's, and it never comes before the host is down.
    ups_deadline = target;
    queue_ups(now);
}

DecisionVerdict decision_command(time_t now, const UpsCommand &c, const char *source)
{
    if (ups_command_is_test(c))
        return DECISION_PASS;
    Guard g(lock);
    if (c.kind == UPS_COMMAND_SHUTDOWN_CANCEL) {
        if (any_held()) {
            log_warning("upsagent: C from %s refused: a condition holds (mains or battery), the "
                        "host shuts down at %s; the shutdown ends when the condition has been "
                        "clear for %d s",
                        source, host_deadline ? time_stamp_text(host_deadline).c_str() : "no time set",
                        return_hold);
            return DECISION_REFUSED;
        }
        if (planned || host_deadline || ups_deadline) {
            char why[128];
            snprintf(why, sizeof why, "C from %s", source);
            cancel_all(now, why);
            save();
            return ups_commands ? DECISION_TAKEN : DECISION_PASS;
        }
        if (!ups_commands)
            return DECISION_PASS;
        log_notice("upsagent: C from %s: no shutdown is under way; the cancel goes to the UPS",
                   source);
        queue_ups_command(ups_command_of(UPS_COMMAND_SHUTDOWN_CANCEL));
        return DECISION_TAKEN;
    }
    if (c.kind != UPS_COMMAND_TURN_OFF && c.kind != UPS_COMMAND_TURN_OFF_RESTORE)
        return DECISION_REFUSED;
    start_planned(now, c, source);
    save();
    return ups_commands ? DECISION_TAKEN : DECISION_PASS;
}

// True when a held condition has a delay in force: an operator who set
// the delays of the conditions that hold to 0 stops their shutdown on
// purpose.
static bool conditions_ask()
{
    for (int i = 0; i < 4; i++)
        if ((held[i][DECISION_MAINS] && delays.ac_fail > 0) ||
            (held[i][DECISION_BATTERY] && delays.battery_low > 0))
            return true;
    return false;
}

void decision_tick(time_t now)
{
    Guard g(lock);
    if (end_conditions(now))
        save();
    if (reconsider) {
        reconsider = false;
        if (!planned && (host_deadline || ups_deadline) && !conditions_ask()) {
            cancel_all(now, "the delays now in force ask for no shutdown for the conditions "
                            "that hold");
            save();
        }
    }
    reissue_restored(now);
    bool in_reach = ups_deadline - now <= UPS_COMMAND_MINUTES_MAX * 60;
    if (ups_held_back && ups_deadline && ups_commands && in_reach)
        queue_ups(now);
    host_tick(now);
}

void decision_watch(int count)
{
    Guard g(lock);
    bool changed = false;
    for (int i = count < 0 ? 0 : count; i < 4; i++) {
        changed = changed || held[i][0] || held[i][1];
        held[i][0] = held[i][1] = false;
        clear_since[i][0] = clear_since[i][1] = 0;
    }
    if (!changed)
        return;
    if (!any_held() && !planned)
        cancel_all(0, "the units that held a condition are no longer watched");
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
    s.planned = planned;
    s.ups_gave_up = ups_gave_up;
    s.ups_told = ups_told;
    return s;
}

bool decision_forced(int index, time_t now)
{
    if (index < 0 || index > 3)
        return false;
    Guard g(lock);
    bool planned_here = planned && index == 0;
    if (!held[index][DECISION_MAINS] && !held[index][DECISION_BATTERY] && !planned_here)
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
