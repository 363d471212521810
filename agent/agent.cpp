#include "agent/agent.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <atomic>
#include <ctime>
#include <mutex>
#include <string>

#include "agent/card.h"
#include "agent/decision.h"
#include "agent/events.h"
#include "agent/history.h"
#include "agent/metrics.h"
#include "agent/runner.h"
#include "agent/server.h"
#include "store/event_log.h"
#include "store/mail.h"
#include "protocol/poll.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/settings.h"
#include "store/sms.h"
#include "store/spawn.h"

using Guard = std::lock_guard<std::mutex>;

static const int PASS_MS = 500;

// 5 at start and never changed: 1 would switch on the loop trace.
static const int debug_level = 5;

static std::mutex pass_lock;  // held for a whole pass and for a reconfiguration
static LinkPort ups_link;
static MachineContext units[4];
static int machine_count = 1;
static int current_unit = 0;
static bool history_flag = false;

MachineContext *agent_unit(int index)
{
    return &units[index];
}

// machine_count for other threads: they must not wait for a pass (a
// remote unit's read can take two seconds).
static std::atomic<int> count_shown{1};

int agent_machine_count()
{
    return count_shown.load();
}

static int machine_kind_of(const char *mode)
{
    if (strcmp(mode, "Local-Single") == 0)
        return KIND_LOCAL_SINGLE;
    if (strcmp(mode, "Local-Multiple") == 0)
        return KIND_LOCAL_MULTIPLE;
    if (strcmp(mode, "Remote-Single") == 0 || strcmp(mode, "Remote-Multiple") == 0)
        return KIND_REMOTE;
    return -1;
}

// The link words in force, to tell a reload that changes the link from one
// that does not.
static std::string link_words;

static bool snmp_link_kind(const SettingsRecord &s)
{
    return strcmp(s.link_kind, "SNMP") == 0;
}

static bool card_link = false; // the link is an SNMP card (even one that cannot be used)

static void set_link(const SettingsRecord &s)
{
    card_close();
    card_link = snmp_link_kind(s);
    if (card_link) {
        card_configure(s.link_device, s.snmp_community);
    } else if (strcmp(s.link_kind, "RS232") == 0) {
        if (!link_baud_known(s.baud_rate))
            printf("upsagent: baud rate \"%s\" is not 2400, 4800 or 9600, using 2400\n",
                   s.baud_rate);
        link_set_serial(&ups_link, s.link_device, s.baud_rate);
    } else if (strcmp(s.link_kind, "USB") == 0) {
        link_set_usb(&ups_link, 0xFFFF, 0x0000, false);
    } else if (strcmp(s.link_kind, "TCP/IP") == 0) {
        link_set_tcp(&ups_link, s.link_device, LINK_TCP_PORT);
    } else if (s.link_kind[0] != '\0') {
        printf("upsagent: unknown link kind \"%s\"\n", s.link_kind);
    }
}

// Unit count, link and unit contexts from the settings record. Shared by
// start-up and the "RefreshSet" reload; called with the pass lock held.
// Unknown words leave the link or the contexts as they were, and are
// reported (an empty word is just "not configured yet").
//
// A reload keeps what did not change: the open link, and each polled unit
// whose kind is the same keeps its status, the status last seen and its
// filter samples, so nothing is replayed and a failure in the middle of
// being taken is still taken. Unit 1's command queue is always kept.
static void configure(bool reload)
{
    SettingsRecord s = settings_get();
    int old_count = machine_count;
    machine_count = s.machine_number;
    if (machine_count < 1 || machine_count > 4) {
        machine_count = machine_count < 1 ? 1 : 4;
        printf("upsagent: machine number %d is outside 1..4, using %d\n", s.machine_number,
               machine_count);
    }
    int kind = machine_kind_of(s.machine_mode);
    bool snmp = snmp_link_kind(s);
    if (snmp && machine_count > 1) {
        printf("upsagent: an SNMP card is one unit; machine number %d ignored\n", machine_count);
        machine_count = 1;
    }
    if (snmp && kind == KIND_REMOTE) {
        printf("upsagent: link kind SNMP does not combine with \"%s\"; no unit is polled\n",
               s.machine_mode);
        kind = -1;
    }
    count_shown = machine_count;

    // A card's community and mode are part of its link: a change opens it anew.
    std::string words = std::string(s.link_kind) + '\n' + s.link_device + '\n' + s.baud_rate;
    if (snmp)
        words += std::string("\n") + s.snmp_community + '\n' + s.machine_mode;
    bool link_changed = !reload || words != link_words;
    if (link_changed) {
        link_close(&ups_link);
        set_link(s);
        link_words = words;
    }
    if (link_changed || current_unit >= machine_count)
        current_unit = 0;

    if (machine_kind_of(s.machine_mode) < 0 && s.machine_mode[0] != '\0')
        printf("upsagent: unknown machine mode \"%s\"\n", s.machine_mode);
    if (snmp && kind < 0)
        card_close();
    for (int i = 0; kind >= 0 && i < 4; i++) {
        MachineContext *u = &units[i];
        bool keep = reload && !link_changed && i < old_count && i < machine_count &&
                    machine_kind(u) == kind;
        if (keep)
            continue;
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
    decision_watch(machine_count);
}

void agent_start(const char *program_path)
{
    program_dir_set(program_dir_from(program_path));
    MachineOptions options = {true, false, true};
    machine_configure(options);
    link_init(&ups_link);
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_NONE, i + 1);

    decision_init(&units[0]);
    runner_init(&units[0]);

    settings_load(program_dir());
    mail_init(program_dir());
    usleep(100 * 1000);
    sms_init(program_dir());
    usleep(100 * 1000);
    decision_start(decision_boot_id());
    {
        Guard g(pass_lock);
        configure(false);
    }
    bool serving = server_start(SERVER_PORT, units) == 0;
    history_create_files(agent_machine_count());
    schedule_load();
    runner_reset_dates();
    if (serving)
        server_loop_start();
    runner_start();
}

static std::atomic<bool> reload_wanted{false};

void agent_request_reload()
{
    reload_wanted = true;
}

static void advance_turn()
{
    current_unit += 1;
    if (current_unit >= machine_count)
        current_unit = 0;
}

static time_t pass_now; // the time of the pass in progress, for the status check

static void check(MachineContext *u)
{
    check_status_events(u, pass_now);
}

// One move over the byte link for the unit whose turn it is.
static void poll_units()
{
    int move = poll_move(&ups_link, &units[current_unit], current_unit,
                         debug_level == 1 ? POLL_TRACE_STEPS : POLL_TRACE_OFF, check);
    if (move == POLL_LOST) {
        // Closed and reopened at the next pass, which hands the turn on.
        // Handing it on here as well would skip the next unit at every
        // reopen: one absent unit on a shared line would starve the unit
        // after it.
        link_set_up(&ups_link, 0);
    } else if (move == POLL_TURN_DONE || move == POLL_REOPENED) {
        advance_turn();
    }
}

void agent_pass(time_t now)
{
    Guard g(pass_lock);
    if (reload_wanted.exchange(false)) {
        settings_load(program_dir());
        configure(true);
        history_create_files(machine_count);
    }
    pass_now = now;
    if (card_link) {
        if (card_active() && history_flag) // a reading a second, at every second pass
            card_poll(&units[0], check);
    } else {
        poll_units();
    }
    decision_tick(now);
    event_log_flush(); // the lines a full disk held back, once it has room
    metrics_write(units, machine_count, now);
    spawn_reap();
    if (history_flag) {
        for (int i = 0; i < machine_count; i++)
            if (machine_connected(&units[i]))
                history_append(&units[i]);
        history_flag = false;
    } else {
        history_flag = true;
    }
}

void agent_run()
{
    for (;;) {
        agent_pass(time(nullptr));
        usleep(PASS_MS * 1000);
    }
}
