#include "console/client.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/loop.h"
#include "link/link.h"
#include "poll/poll.h"
#include "store/settings.h"

static const int PASS_MS = 100;

static MachineContext units[4];
static std::atomic<int> machine_count{1};
static LinkPort port;
static LinkPort charge_port; // the daemon's port 3493, for the units' charges
static const int CHARGE_PASSES = 10; // a second
static PollState poll_state;
static int current_unit = 0;

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

static void commit_status(MachineContext *u, void *)
{
    machine_commit_status(u);
}

static void pass()
{
    if (current_unit >= machine_count.load())
        current_unit = 0;
    MachineContext *u = &units[current_unit];
    int move = poll_move(&port, &poll_state, u, loop_real_time().mono, commit_status, nullptr);
    if (move == POLL_TURN_DONE || move == POLL_LOST || move == POLL_REOPENED)
        advance_turn();
    if ((move == POLL_KEPT || move == POLL_TURN_DONE || move == POLL_LOST) && all_lost())
        link_set_up(&port, 0); // reconnect on a later pass
}

// The record has no column for a charge or a runtime the unit reports
// itself (a network card's, a HID unit's): the daemon's port 3493 gives
// them, as battery.charge and battery.runtime. Where that port does not
// answer, the monitor estimates the charge from the voltage as before.
// The console asks and waits (2 s at most), as a person at it would.
static const int CHARGE_WAIT_MS = 2000;

// One variable of unit `index` from port 3493 into *value: 1 when the
// daemon gave it, 0 when the unit has none, -1 when the port failed (then
// closed).
static int ask_variable(int index, const char *name, int *value)
{
    char request[64];
    int len = snprintf(request, sizeof request, "GET VAR ups%d %s\n", index + 1, name);
    unsigned char reply[128];
    int n = link_write(&charge_port, reinterpret_cast<unsigned char *>(request), len) < 0 ||
                    !link_wait(&charge_port, CHARGE_WAIT_MS)
                ? -1
                : link_read(&charge_port, reply, sizeof reply - 1);
    if (n <= 0) {
        link_close(&charge_port);
        return -1;
    }
    reply[n] = '\0';
    char expect[64];
    snprintf(expect, sizeof expect, "VAR ups%d %s \"", index + 1, name);
    const char *text = reinterpret_cast<const char *>(reply);
    if (strncmp(text, expect, strlen(expect)) != 0)
        return 0;
    *value = atoi(text + strlen(expect));
    return 1;
}

// The charge and the runtime a unit reports itself (a card, a HID unit).
static void refresh_charges()
{
    if (!link_is_up(&charge_port) && link_open_wait(&charge_port, CHARGE_WAIT_MS) < 0)
        return;
    for (int i = 0; i < machine_count.load(); i++) {
        int charge = -1, runtime = -1;
        int got = ask_variable(i, "battery.charge", &charge);
        if (got < 0)
            return;
        machine_set_charge(&units[i], got ? charge : -1);
        got = ask_variable(i, "battery.runtime", &runtime);
        if (got < 0)
            return;
        machine_set_runtime(&units[i], got ? runtime : -1);
    }
}

void client_run()
{
    machine_count.store(clamp_count(settings_machine_number()));
    current_unit = 0;
    link_init(&port);
    link_set_tcp(&port, "127.0.0.1", LINK_TCP_PORT);
    link_init(&charge_port);
    link_set_tcp(&charge_port, "127.0.0.1", LINK_MGMT_PORT);
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_REMOTE, i + 1);
    for (int n = 0;; n++) {
        pass();
        if (n % CHARGE_PASSES == 0)
            refresh_charges();
        usleep(PASS_MS * 1000);
    }
}
