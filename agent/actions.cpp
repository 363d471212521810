#include "agent/actions.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "store/settings.h"
#include "store/spawn.h"

static MachineContext *unit1 = nullptr;

void actions_init(MachineContext *unit)
{
    unit1 = unit;
}

static void host_shutdown(int minutes)
{
    char when[16], message[64], line[160];
    snprintf(when, sizeof when, "+%d", minutes);
    snprintf(message, sizeof message, "System will shut down after %d mins.", minutes);
    snprintf(line, sizeof line, "shutdown -h %s '%s' &", when, message);
    spawn_command(line, {"shutdown", "-h", when, message});
}

static void host_cancel()
{
    spawn_command("shutdown -c 'Cancel shut down command' &",
                  {"shutdown", "-c", "Cancel shut down command"});
}

// "S<minutes>R0001\r": the UPS turns off after `minutes` and restarts one
// minute after the mains returns.
static void ups_turn_off(int minutes)
{
    char command[32];
    int len = snprintf(command, sizeof command, "S%02dR0001\r", minutes);
    if (unit1)
        machine_queue_command(unit1, command, len);
}

static void ups_cancel()
{
    if (unit1)
        machine_queue_command(unit1, "C\r", 2);
}

void status_action(int position, char state)
{
    SettingsRecord s = settings_get();
    bool set = state == '1';
    if (position == 7) {
        if (s.ac_fail_delay > 0) {
            if (set)
                host_shutdown(s.ac_fail_delay);
            else
                host_cancel();
        }
        if (s.ups_shutdown_delay <= 0)
            return;
        if (set)
            ups_turn_off(s.ac_fail_delay + s.ups_shutdown_delay);
        else
            ups_cancel();
    } else if (position == 6) {
        if (s.battery_low_delay <= 0)
            return;
        // The UPS command goes out even when ups_shutdown_delay is 0.
        if (set) {
            host_shutdown(s.battery_low_delay);
            ups_turn_off(s.battery_low_delay + s.ups_shutdown_delay);
        } else {
            host_cancel();
            ups_cancel();
        }
    }
}
