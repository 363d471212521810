// The shutdown decision of upsagent, one per process, and the only path to
// the UPS turn-off and its cancel. It knows which conditions hold (the mains
// failed on a unit, a unit's battery is low), whether a planned shutdown is
// under way (a schedule entry, or a turn-off a client sent), the host
// shutdown it wants (an absolute deadline, carried out by the host module)
// and the UPS turn-off that follows it, and keeps them consistent whatever
// order the status checks and commands come in:
// - the host deadline is the earliest of the conditions' and the planned
//   shutdown's; nothing moves it later (repeated sightings, flaps, reloads
//   and restarts included);
// - a condition starts at the first status that shows it; it ends only
//   when its status stayed clear for the return hold time (default 30 s),
//   and a failure within that time keeps the first deadline;
// - the cancels ("shutdown -c", "C\r") go out only when no condition holds
//   (hold time included) and no planned shutdown is under way;
// - a UPS turn-off is queued only behind a host shutdown, at least
//   max(ups_shutdown, 1) minutes after the host deadline in force, queued
//   again (minutes from now) when that deadline moves earlier; one further
//   than the command's longest delay (99 minutes) is queued by
//   decision_tick once it comes within reach;
// - the UPS is watched: a turn-off it does not show ("shutdown active", b1)
//   a few status replies after it was sent is sent again with the minutes
//   left, a cancel it does not take is sent again, each at most three times,
//   then reported (event 10); a UPS that counts down to a turn-off the
//   decision did not give (its state was lost) gets a cancel, and the
//   decision's own turn-off when one is due;
// - the state lives in "DataBase/Shutdown.ang" too, so a restarted daemon
//   keeps the deadline instead of starting a new full delay, and reports
//   only the status changes it did not see; without a usable file, a
//   shutdown the platform holds is adopted, never replaced by a later one.
//
// Every step is one line on standard output. The UPS commands
// (ups_command) go into unit 1's control lane, where each replaces the one
// not yet sent and nothing else can. Time is always given by the caller.
#pragma once

#include <ctime>
#include <string>

#include "protocol/machine.h"
#include "protocol/ups_command.h"
#include "store/settings.h"

constexpr int DECISION_DELAY_MAX = 99;  // minutes; delays are clamped into 0..99
constexpr int DECISION_ALIGN_SECONDS = 10;
constexpr int DECISION_ALIGN_WAIT = 120; // seconds a restored deadline waits at most to line up

constexpr int DECISION_RETURN_HOLD = 30; // seconds a condition's end must hold, by default
constexpr int DECISION_CONFIRM_CHECKS = 4; // status replies of unit 1 before a command counts as not taken
constexpr int DECISION_RESENDS = 3;        // times a command the UPS did not take is sent again

enum { DECISION_MAINS = 0, DECISION_BATTERY = 1 };

struct DecisionDelays {
    int ac_fail;      // minutes from a mains failure to the host shutdown; 0: no host shutdown
    int battery_low;  // minutes from a low battery to the host shutdown; 0: low battery is not acted on
    int ups_shutdown; // minutes from the host shutdown to the UPS turn-off
};

// What one status check saw of a unit.
struct DecisionSight {
    bool taken;        // the unit's status was taken since it was set up
    bool lost;         // the unit is lost (its last status stands, unconfirmed)
    bool mains_failed; // status b7
    bool battery_low;  // status b6
    bool shutdown_active; // status b1: the UPS counts down to a turn-off
};

// The state, for tests and diagnostics.
struct DecisionState {
    bool held[4][2];     // per unit index: DECISION_MAINS, DECISION_BATTERY
    time_t host_deadline; // the host shutdown in force; 0 none
    time_t ups_deadline;  // the UPS turn-off in force; 0 none
    bool reissue_due;     // restored deadlines not yet issued again by this process
    bool planned;         // a planned shutdown is under way
    bool ups_gave_up;     // the UPS did not take a command after every resend
    bool ups_told;        // a turn-off of this decision may be in force at the UPS
};

// The delays of a settings record, each clamped into 0..DECISION_DELAY_MAX;
// one line on standard output for each delay that was outside.
DecisionDelays decision_delays_from(const SettingsRecord &s);

// The unit whose control lane takes the UPS commands (unit 1); nullptr: none.
void decision_init(MachineContext *unit1);

// Seconds a condition's end must hold before it is taken (0: at once).
void decision_set_return_hold(int seconds);

// Told of the decision's own events, of unit `address` at `when`: code 10
// (the UPS did not take a command: state '1'; it took one again: '0') and
// code 11 (a planned shutdown started: '1'; it was cancelled: '0').
using DecisionReporter = void (*)(int address, int code, char state, time_t when);
void decision_set_reporter(DecisionReporter reporter);

struct Worker;
// The worker that writes "DataBase/Shutdown.ang" (its fsync must not hold
// the loop); nullptr: written at once by the caller (the default, tests).
// Writes go out in the order they were made.
void decision_set_worker(Worker *worker);

// The delays, and whether this daemon commands the UPS (a remote daemon does
// not: the UPS belongs to the daemon it polls, which turns it off after its
// own host). Held conditions and deadlines stay; delays apply to conditions
// that start later. One exception, the operator's way to stop a shutdown
// on purpose: when the delays changed and no held condition has a delay
// above 0 any more (and no planned shutdown is under way), the next
// decision_tick cancels the shutdown.
void decision_configure(const DecisionDelays &delays, bool ups_commands);

// Process start: forgets all state, then takes "DataBase/Shutdown.ang" when
// it was written during this boot (`boot_id`, empty when unknown; a file of
// an earlier boot is replaced by this boot's empty one, and so is a damaged
// one or one with a deadline further than two full delays after the file
// was written). Restored conditions wait for their unit's first status, and
// restored deadlines are issued again with the minutes that remain, at a
// moment when those are whole (so the deadline stays where it was, within
// DECISION_ALIGN_SECONDS earlier). Returns true when a state was restored.
bool decision_start(const std::string &boot_id);

// One status check of unit `index` (0..3) at `now`: starts and ends the
// unit's conditions, and acts.
void decision_observe(time_t now, int index, const DecisionSight &sight);

// What a command from outside the decision became.
enum DecisionVerdict {
    DECISION_PASS,    // not the decision's (a test; any command of a remote daemon, which
                      // forwards it): the caller queues it as it is
    DECISION_TAKEN,   // carried out by the decision (a planned shutdown, a cancel)
    DECISION_REFUSED, // refused with a line: a cancel while a condition holds
};

// A UPS command from `source` (for the lines: "the schedule", "127.0.0.1",
// "admin@127.0.0.1"): a turn-off ("S..." with or without restore) starts a
// planned shutdown: the host shutdown at once, the UPS turn-off
// max(ups_shutdown, the command's delay, 1) minutes later with the
// command's restore (or none); a cancel ("C") ends a planned shutdown
// (host and UPS), or passes to the UPS when nothing is under way, and is
// refused while a condition holds (its hold time included). Tests pass.
DecisionVerdict decision_command(time_t now, const UpsCommand &command, const char *source);

// Every loop pass: ends conditions whose hold time is over, issues restored deadlines when their time has come, and
// queues a held-back UPS turn-off once it is within the command's reach.
void decision_tick(time_t now);

// Units from `count` on are no longer watched: their conditions end (and the
// cancels go out when no other condition holds).
void decision_watch(int count);

// The status characters (9, laid out like MachineContext.status) the events
// last reported for unit `index`; kept in the state file too, so a restarted
// daemon reports only what changed while it was away.
void decision_note_status(int index, const char status[9]);

// The status noted for unit `index` before a restart (this boot only);
// false when none is known.
bool decision_last_status(int index, char out[9]);

// True when the condition (DECISION_MAINS or DECISION_BATTERY) of unit
// `index` holds.
bool decision_holds(int index, int condition);

DecisionState decision_state();

// Seconds before the host deadline at which the other hosts behind the same
// UPS are told to go down (FSD on port 3493); where no host shutdown is set
// but the UPS turn-off is, DECISION_FORCED_UPS_AHEAD before that.
constexpr int DECISION_FORCED_AHEAD = 60;
constexpr int DECISION_FORCED_UPS_AHEAD = 120;

// True when unit `index` holds a condition and this daemon's host shutdown
// (or, with none, the UPS turn-off) is that close at `now`: the secondaries
// go down before this host and well before the UPS turns off. False again
// once the shutdown is cancelled.
bool decision_forced(int index, time_t now);

// The delays in force (as decision_configure took them).
DecisionDelays decision_delays();

// The running system's boot id (/proc/sys/kernel/random/boot_id); empty
// when it cannot be read.
std::string decision_boot_id();
