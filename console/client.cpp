#include "console/client.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "store/settings.h"

static const int PASS_MS = 100;
static const int RECEIVE_BUFFER = 1024;

static MachineContext units[4];
static std::atomic<int> machine_count{1};
static LinkPort port;
static int current_unit = 0;
static int trace_on = 0; // nothing in the console switches the loop trace on

MachineContext *client_unit(int index)
{
    return &units[index];
}

static int clamp_count(int n)
{
    return n < 1 ? 1 : (n > 4 ? 4 : n);
}

int client_machine_count()
{
    return machine_count.load();
}

void client_set_machine_count(int count)
{
    machine_count.store(clamp_count(count));
}

int client_queue(const char *bytes, int len)
{
    return machine_queue_command(&units[0], bytes, len);
}

static void advance_turn()
{
    current_unit += 1;
    if (current_unit >= machine_count.load())
        current_unit = 0;
}

// No unit answers: the daemon has gone away (or its connection broke).
static bool all_lost()
{
    for (int i = 0; i < machine_count.load(); i++)
        if (machine_connected(&units[i]) || machine_fail_count(&units[i]) < 4)
            return false;
    return true;
}

static void pass()
{
    if (current_unit >= machine_count.load())
        current_unit = 0;
    MachineContext *u = &units[current_unit];
    if (link_is_up(&port)) {
        if (trace_on)
            printf("已經連線 %d\n", port.link_up);
        int action = machine_next_action(u);
        if (trace_on)
            printf("現在進度是機器號碼 %d 進度為%d\n", current_unit, machine_step(u));
        if (action == ACTION_SEND) {
            unsigned char request[MACHINE_PENDING_SIZE];
            int count = 0;
            machine_build_request(u, request, &count);
            link_write(&port, request, count);
            machine_next_step(u, 1);
        } else if (action == ACTION_RECEIVE) {
            unsigned char reply[RECEIVE_BUFFER];
            memset(reply, 0, sizeof reply);
            int n = link_read(&port, reply, sizeof reply);
            machine_next_step(u, machine_parse_reply(u, reply, n));
            machine_commit_status(u);
            if (machine_take_turn_done(u)) {
                if (trace_on)
                    puts("跳下一台機器了");
                advance_turn();
            }
            if (all_lost())
                link_set_up(&port, 0); // reconnect on a later pass
        }
    } else {
        if (trace_on)
            puts("沒有連線");
        link_close(&port);
        link_open(&port);
        if (trace_on)
            printf("連線後連線結果 %d\n", port.link_up);
        machine_commit_status(u);
        advance_turn();
    }
}

void client_run()
{
    machine_count.store(clamp_count(settings_machine_number()));
    current_unit = 0;
    link_init(&port);
    link_set_tcp(&port, "127.0.0.1", LINK_TCP_PORT);
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_REMOTE, i + 1);
    for (;;) {
        pass();
        usleep(PASS_MS * 1000);
    }
}
