#include "agent/agent.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "agent/actions.h"
#include "agent/events.h"
#include "agent/history.h"
#include "agent/runner.h"
#include "agent/server.h"
#include "store/mail.h"
#include "store/paths.h"
#include "store/schedule.h"
#include "store/settings.h"
#include "store/sms.h"
#include "store/spawn.h"

using Guard = std::lock_guard<std::mutex>;

static const int PASS_MS = 500;
static const int RECEIVE_BUFFER = 1024;

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

int agent_machine_count()
{
    Guard g(pass_lock);
    return machine_count;
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

// Unit count, link and unit contexts from the settings record. Shared by
// start-up and the "RefreshSet" reload; called with the pass lock held.
// Unknown words leave the link or the contexts as they were, and are
// reported (an empty word is just "not configured yet").
static void configure()
{
    SettingsRecord s = settings_get();
    machine_count = s.machine_number;
    if (machine_count < 1 || machine_count > 4) {
        machine_count = machine_count < 1 ? 1 : 4;
        printf("upsagent: machine number %d is outside 1..4, using %d\n", s.machine_number,
               machine_count);
    }
    current_unit = 0;

    if (strcmp(s.link_kind, "RS232") == 0) {
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

    int kind = machine_kind_of(s.machine_mode);
    if (kind < 0) {
        if (s.machine_mode[0] != '\0')
            printf("upsagent: unknown machine mode \"%s\"\n", s.machine_mode);
        return;
    }
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], kind, i + 1);
}

void agent_start(const char *program_path)
{
    program_dir_set(program_dir_from(program_path));
    MachineOptions options = {true, false};
    machine_configure(options);
    link_init(&ups_link);
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_NONE, i + 1);

    actions_init(&units[0]);
    runner_init(&units[0]);

    settings_load(program_dir());
    mail_init(program_dir());
    usleep(100 * 1000);
    sms_init(program_dir());
    usleep(100 * 1000);
    {
        Guard g(pass_lock);
        configure();
    }
    bool serving = server_start(SERVER_PORT, units) == 0;
    history_create_files(agent_machine_count());
    schedule_load();
    runner_reset_dates();
    if (serving)
        server_accept_start();
    runner_start();
}

void settings_apply()
{
    Guard g(pass_lock);
    link_close(&ups_link);
    settings_load(program_dir());
    configure();
}

static void advance_turn()
{
    current_unit += 1;
    if (current_unit >= machine_count)
        current_unit = 0;
}

void agent_pass()
{
    Guard g(pass_lock);
    MachineContext *u = &units[current_unit];
    if (link_is_up(&ups_link)) {
        if (debug_level == 1)
            printf("已經連線 %d\n", ups_link.link_up);
        int action = machine_next_action(u);
        if (debug_level == 1)
            printf("現在進度是機器號碼 %d 進度為%d\n", current_unit, machine_step(u));
        if (action == ACTION_SEND) {
            unsigned char request[MACHINE_PENDING_SIZE];
            int count = 0;
            machine_build_request(u, request, &count);
            link_write(&ups_link, request, count);
            machine_next_step(u, 1);
        } else if (action == ACTION_RECEIVE) {
            unsigned char reply[RECEIVE_BUFFER];
            memset(reply, 0, sizeof reply);
            int n = link_read(&ups_link, reply, sizeof reply);
            machine_next_step(u, machine_parse_reply(u, reply, n));
            check_status_events(u);
            bool done = machine_take_turn_done(u);
            if (!machine_connected(u)) {
                // Closed and reopened at the next pass, which hands the turn
                // on. Handing it on here as well would skip the next unit at
                // every reopen: one absent unit on a shared line would starve
                // the unit after it.
                link_set_up(&ups_link, 0);
            } else if (done) {
                advance_turn();
            }
        }
    } else {
        link_close(&ups_link);
        link_open(&ups_link);
        check_status_events(u);
        advance_turn();
    }
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
        agent_pass();
        usleep(PASS_MS * 1000);
    }
}
