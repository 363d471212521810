#include "agent/card.h"

#include "base/log.h"

#include "link/snmp.h"
#include "protocol/snmp_map.h"

static SnmpLink link;
static bool active = false;

bool card_configure(const std::string &device, const std::string &community)
{
    std::string why;
    active = snmp_link_set(&link, device, community, &why);
    if (!active)
        log_error("upsagent: SNMP link: %s; no unit is polled", why.c_str());
    return active;
}

void card_close()
{
    snmp_link_close(&link);
    active = false;
}

bool card_active()
{
    return active;
}

void card_poll(MachineContext *unit, time_t now, void (*check)(MachineContext *unit, time_t now))
{
    std::string command;
    if (machine_take_pending(unit, &command)) {
        std::vector<SnmpSet> sets;
        if (snmp_map_command(command, &sets))
            snmp_link_send(&link, sets);
        else
            log_warning("upsagent: the command \"%.20s\" has no SNMP form; not sent",
                        command.substr(0, command.find('\r')).c_str());
    }
    SnmpAnswers answers;
    MachineReading reading;
    if (snmp_link_poll(&link, &answers) &&
        snmp_map_reading(answers, machine_status(unit, STATUS_TYPE), &reading))
        machine_take_reading(unit, reading);
    else
        machine_miss_reading(unit);
    check(unit, now);
}
