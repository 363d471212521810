#include "agent/agent.h"

#include <csignal>
#include <cstring>
#include <string>

#include "agent/card.h"
#include "agent/decision.h"
#include "agent/events.h"
#include "agent/hid_unit.h"
#include "agent/history.h"
#include "agent/host.h"
#include "agent/metrics.h"
#include "agent/runner.h"
#include "base/log.h"
#include "base/worker.h"
#include "poll/poll.h"
#include "store/event_log.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/settings.h"
#include "store/sms.h"
#include "store/spawn.h"

static const double PASS_SECONDS = 0.5;
// The schedule's tick comes this long after the minute starts, so a wall
// clock read in whole seconds is already in the new minute.
static const double MINUTE_TICK_DELAY = 0.5;
// Writes the worker may have waiting before the history and the metrics are
// left out: a disk that does not keep up must not pile them up in memory.
// The decision's state is always handed over.
static const int WORKER_BACKLOG_MAX = 64;

// The daemon: everything its loop's handlers work on.
struct Agent {
    Loop *loop = nullptr;
    Worker *worker = nullptr;
    LinkPort link;
    PollState poll;
    MachineContext units[4];
    int machine_count = 1;
    int current_unit = 0;
    bool history_flag = false;
    bool card_link = false;  // the link is an SNMP card (even one that cannot be used)
    bool hid_link = false;   // the link is a USB HID Power Device (even one that cannot be used)
    std::string link_words;  // the link words in force, to tell a changed link on reload
    LoopTimer pass_timer;
    double pass_due = 0;     // monotonic time of the next pass
    LoopTimer minute_timer;
    bool disk_behind = false; // the history and metrics are being left out
    PollSilence silence[4];   // per unit: the lines while it has not answered since set up
    std::string card_name;    // the card as those lines name it
};

static Agent agent;

MachineContext *agent_unit(int index)
{
    return &agent.units[index];
}

static bool snmp_link_kind(const SettingsRecord &s)
{
    return strcmp(s.link_kind, "SNMP") == 0;
}

static bool hid_link_kind(const SettingsRecord &s)
{
    return strcmp(s.link_kind, "HID") == 0;
}

// A unit of its own kind (a card, a HID unit): one per daemon.
static bool single_unit_kind(const SettingsRecord &s)
{
    return snmp_link_kind(s) || hid_link_kind(s);
}

static void set_link(Agent *a, const SettingsRecord &s)
{
    card_close();
    hid_unit_close();
    a->card_link = snmp_link_kind(s);
    a->hid_link = hid_link_kind(s);
    if (a->card_link) {
        card_configure(s.link_device, s.snmp_community);
        a->card_name = std::string("SNMP card ") + s.link_device;
    } else if (a->hid_link) {
        hid_unit_configure(s.link_device);
    } else if (!s.link_device[0] && strcmp(s.link_kind, "USB") != 0) {
        return; // no device or address: nothing to open (said by configure)
    } else if (strcmp(s.link_kind, "RS232") == 0) {
        if (!link_baud_known(s.baud_rate))
            log_warning("upsagent: baud rate \"%s\" is not 2400, 4800 or 9600, using 2400",
                        s.baud_rate);
        link_set_serial(&a->link, s.link_device, s.baud_rate);
    } else if (strcmp(s.link_kind, "USB") == 0) {
        link_set_usb(&a->link, 0xFFFF, 0x0000, false);
    } else if (strcmp(s.link_kind, "TCP/IP") == 0) {
        link_set_tcp(&a->link, s.link_device, LINK_TCP_PORT);
    }
}

// Why the settings cannot poll a unit; empty when they can, as far as the
// words go (a card's own address is the card's to judge).
static std::string unusable(const SettingsRecord &s)
{
    const char *file = "Set/Setting.ang";
    const char *kind = s.link_kind;
    bool serial = strcmp(kind, "RS232") == 0, tcp = strcmp(kind, "TCP/IP") == 0;
    std::string why;
    if (!s.machine_mode[0] && !kind[0] && !s.link_device[0])
        why = std::string(file) + " is empty";
    else if (!s.machine_mode[0])
        why = std::string(file) + " names no machine mode (line 1)";
    else if (machine_kind_of_mode(s.machine_mode) < 0)
        why = "unknown machine mode \"" + std::string(s.machine_mode) + "\" on line 1 of " + file;
    else if (!kind[0])
        why = std::string(file) + " names no link kind (line 2)";
    else if (!serial && !tcp && strcmp(kind, "USB") != 0 && strcmp(kind, "SNMP") != 0 &&
             strcmp(kind, "HID") != 0)
        why = "unknown link kind \"" + std::string(kind) + "\" on line 2 of " + file;
    else if ((serial || tcp) && !s.link_device[0])
        why = std::string(file) + " names no " + (serial ? "device" : "address") + " for " +
              kind + " (line 3)";
    return why;
}

// Unit count, link and unit contexts from the settings record. Shared by
// start-up and the "RefreshSet" reload. Unknown words leave the link or the
// contexts as they were, and are reported (an empty word is just "not
// configured yet").
//
// A reload keeps what did not change: the open link, and each polled unit
// whose kind is the same keeps its status, the status last seen and its
// filter samples, so nothing is replayed and a failure in the middle of
// being taken is still taken. Unit 1's command queue is always kept.
static void configure(Agent *a, bool reload)
{
    SettingsRecord s = settings_get();
    int old_count = a->machine_count;
    a->machine_count = s.machine_number;
    if (a->machine_count < 1 || a->machine_count > 4) {
        a->machine_count = a->machine_count < 1 ? 1 : 4;
        log_warning("upsagent: machine number %d is outside 1..4, using %d", s.machine_number,
                    a->machine_count);
    }
    int kind = machine_kind_of_mode(s.machine_mode);
    bool snmp = snmp_link_kind(s), single = single_unit_kind(s);
    if (single && a->machine_count > 1) {
        log_warning("upsagent: %s is one unit; machine number %d ignored",
                    snmp ? "an SNMP card" : "a USB HID unit", a->machine_count);
        a->machine_count = 1;
    }
    if (single && kind == KIND_REMOTE) {
        log_error("upsagent: link kind %s does not combine with \"%s\"; no unit is polled",
                  s.link_kind, s.machine_mode);
        kind = -1;
    }

    // A card's community and a single unit's mode are part of its link: a
    // change opens it anew.
    std::string words = std::string(s.link_kind) + '\n' + s.link_device + '\n' + s.baud_rate;
    if (single)
        words += std::string("\n") + s.snmp_community + '\n' + s.machine_mode;
    bool link_changed = !reload || words != a->link_words;
    if (link_changed) {
        link_close(&a->link);
        set_link(a, s);
        a->link_words = words;
    }
    if (link_changed || a->current_unit >= a->machine_count)
        a->current_unit = 0;

    if (single && kind < 0) {
        card_close();
        hid_unit_close();
    }
    for (int i = 0; kind >= 0 && i < 4; i++) {
        MachineContext *u = &a->units[i];
        bool keep = reload && !link_changed && i < old_count && i < a->machine_count &&
                    machine_kind(u) == kind;
        if (keep)
            continue;
        a->silence[i] = PollSilence{};
        MachineQueue queue{};
        if (i == 0)
            queue = machine_queue_get(u);
        machine_setup(u, kind, i + 1);
        if (i == 0)
            machine_queue_set(u, queue);
        // After a restart, the status reported before it is no news; after
        // a reload, a condition the decision holds is none either.
        char last[9];
        if (!reload && decision_last_status(i, last)) {
            for (int p = 0; p < 9; p++)
                machine_preset_status_prev(u, p, last[p]);
        } else {
            if (decision_holds(i, DECISION_MAINS))
                machine_preset_status_prev(u, STATUS_AC_FAILED, '1');
            if (decision_holds(i, DECISION_BATTERY))
                machine_preset_status_prev(u, STATUS_BATTERY_LOW, '1');
        }
    }
    decision_configure(decision_delays_from(s), kind != KIND_REMOTE);
    decision_watch(a->machine_count);

    // Unknown words leave what they name as it was: say what that polls.
    std::string why = unusable(s);
    bool polled = machine_kind(&a->units[0]) != KIND_NONE &&
                  (a->card_link  ? card_active()
                   : a->hid_link ? hid_unit_active()
                                 : a->link.link_type != LINK_NONE);
    std::string where = a->card_link  ? a->card_name
                        : a->hid_link ? hid_unit_name()
                                      : poll_link_name(&a->link);
    if (!why.empty() && polled)
        log_error("upsagent: %s; the previous setting is kept, units are polled on %s",
                  why.c_str(), where.c_str());
    else if (!why.empty())
        log_error("upsagent: no unit is polled: %s", why.c_str());
}

void agent_reload(LoopTime now)
{
    settings_load(program_dir());
    configure(&agent, true);
    history_create_files(agent.machine_count, now.wall);
}

static void advance_turn(Agent *a)
{
    a->current_unit += 1;
    if (a->current_unit >= a->machine_count)
        a->current_unit = 0;
}

static void check_unit(MachineContext *u, void *ctx)
{
    check_status_events(u, static_cast<const LoopTime *>(ctx)->wall);
}

static void check_card(MachineContext *u, time_t now)
{
    bool answered = machine_connected(u) != 0;
    poll_silence_note(&agent.silence[0], 1, agent.card_name, answered,
                      answered ? nullptr : "no reply", loop_now(agent.loop).mono);
    check_status_events(u, now);
}

// One move over the byte link for the unit whose turn it is.
static void poll_units(Agent *a, LoopTime now)
{
    int index = a->current_unit;
    int move = poll_move(&a->link, &a->poll, &a->units[index], now.mono, check_unit, &now);
    poll_silence_after_move(&a->silence[index], &a->link, &a->units[index], move, now.mono);
    if (move == POLL_LOST) {
        // Closed and reopened at the next pass, which hands the turn on.
        // Handing it on here as well would skip the next unit at every
        // reopen: one absent unit on a shared line would starve the unit
        // after it.
        link_set_up(&a->link, 0);
    } else if (move == POLL_TURN_DONE || move == POLL_REOPENED) {
        advance_turn(a);
    }
}

static void pass(Loop *loop, void *ctx, LoopTime now)
{
    Agent *a = static_cast<Agent *>(ctx);
    if (a->card_link) {
        if (card_active() && a->history_flag) // a reading a second, at every second pass
            card_poll(&a->units[0], check_card);
    } else if (a->hid_link) {
        hid_unit_poll(now);
    } else {
        poll_units(a, now);
    }
    decision_tick(now.wall);
    event_log_flush(); // the lines a full disk held back, once it has room
    bool behind = worker_pending(a->worker) > WORKER_BACKLOG_MAX;
    if (behind != a->disk_behind)
        log_line(behind ? LOG_LEVEL_ERROR : LOG_LEVEL_NOTICE,
                 behind ? "upsagent: the disk does not keep up: history and metrics are left out "
                          "until it does"
                        : "upsagent: the disk keeps up again: history and metrics are written");
    a->disk_behind = behind;
    if (!behind)
        metrics_write(a->units, a->machine_count, now.wall, a->worker);
    if (a->history_flag) {
        for (int i = 0; i < a->machine_count && !behind; i++)
            if (machine_connected(&a->units[i]))
                history_append_at(&a->units[i], now.wall, a->worker);
        a->history_flag = false;
    } else {
        a->history_flag = true;
    }
    // Passes keep their rhythm; one that comes late does not bring a burst.
    a->pass_due += PASS_SECONDS;
    if (a->pass_due <= now.mono)
        a->pass_due = now.mono + PASS_SECONDS;
    loop_timer_at(loop, &a->pass_timer, a->pass_due, pass, a);
}

static void arm_minute(Agent *a, LoopTime now)
{
    double wait = 60 - static_cast<double>(now.wall % 60) + MINUTE_TICK_DELAY;
    loop_timer_at(a->loop, &a->minute_timer, now.mono + wait,
                  [](Loop *, void *ctx, LoopTime t) {
                      Agent *ag = static_cast<Agent *>(ctx);
                      runner_tick(t.wall);
                      arm_minute(ag, t);
                  },
                  a);
}

static void on_end(Loop *loop, int signo, void *, LoopTime)
{
    log_notice("upsagent: ending on %s", strsignal(signo));
    loop_stop(loop, 0);
}

// Every file anew, as "RefreshSet", "RefreshMail", "RefreshSMS" and
// "RefreshPlan" together.
static void on_hangup(Loop *, int, void *, LoopTime now)
{
    log_notice("upsagent: rereading every file (SIGHUP)");
    server_reload_all(now);
}

static void on_child(Loop *, int, void *, LoopTime)
{
    spawn_reap();
}

static void reload_hook(void *)
{
    agent_reload(loop_now(agent.loop));
}

static int count_hook(void *)
{
    return agent.machine_count;
}

bool agent_start(const char *program_path, Loop *loop, const AgentOptions &options)
{
    Agent *a = &agent;
    a->loop = loop;
    // Before any other thread or child: the signals are the loop's.
    if (!loop_signal(loop, SIGTERM, on_end, a) || !loop_signal(loop, SIGINT, on_end, a) ||
        !loop_signal(loop, SIGHUP, on_hangup, a) || !loop_signal(loop, SIGCHLD, on_child, a))
        return false;
    program_dir_set(program_dir_from(program_path));
    MachineOptions machine_options = {true, false, true};
    machine_configure(machine_options);
    link_init(&a->link);
    a->poll = PollState{};
    for (int i = 0; i < 4; i++)
        machine_setup(&a->units[i], KIND_NONE, i + 1);
    a->machine_count = 1;
    a->current_unit = 0;
    a->history_flag = false;
    a->link_words.clear();
    if (options.worker)
        a->worker = worker_start(loop);

    decision_init(&a->units[0]);
    decision_set_worker(a->worker);
    decision_set_return_hold(options.return_hold);
    decision_set_reporter(event_report);
    host_set_worker(a->worker);
    // A failing shutdown call is the protection itself failing: an event
    // of unit 1, and notices to everyone.
    host_set_reporter([](bool failed, time_t when) { event_report(1, 9, failed ? '1' : '0', when); });
    runner_init(&a->units[0]);

    LoopTime now = loop_now(loop);
    settings_load(program_dir());
    mail_init(program_dir());
    sms_init(program_dir());
    decision_start(decision_boot_id());
    card_attach(loop);
    hid_unit_attach(loop, &a->units[0], check_status_events);
    configure(a, false);
    ServerHooks hooks;
    hooks.reload_settings = reload_hook;
    hooks.unit_count = count_hook;
    hooks.ctx = a;
    server_start(loop, options.ports, a->units, hooks);
    history_create_files(a->machine_count, now.wall);
    schedule_load();
    runner_reset_dates();
    a->pass_due = now.mono;
    loop_timer_at(loop, &a->pass_timer, a->pass_due, pass, a);
    arm_minute(a, now);
    return true;
}

void agent_stop()
{
    Agent *a = &agent;
    server_stop();
    loop_timer_cancel(a->loop, &a->pass_timer);
    loop_timer_cancel(a->loop, &a->minute_timer);
    card_close();
    hid_unit_close();
    link_close(&a->link);
    decision_set_worker(nullptr);
    worker_stop(a->worker); // a host call under way ends first (bounded)
    host_set_worker(nullptr);
    a->worker = nullptr;
}
