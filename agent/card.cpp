#include "agent/card.h"

#include "base/log.h"
#include "base/loop.h"
#include "link/snmp.h"
#include "protocol/snmp_map.h"

static SnmpLink card_link;
static bool active = false;
static Loop *card_loop = nullptr;

// The unit and check of the exchange in flight.
static MachineContext *polled_unit = nullptr;
static void (*polled_check)(MachineContext *unit, time_t now) = nullptr;

bool card_configure(const std::string &device, const std::string &community)
{
    std::string why;
    active = snmp_link_set(&card_link, device, community, &why);
    if (!active)
        log_error("upsagent: SNMP link: %s; no unit is polled", why.c_str());
    return active;
}

void card_attach(Loop *loop)
{
    snmp_link_attach(&card_link, loop);
    card_loop = loop;
}

void card_close()
{
    snmp_link_close(&card_link);
    active = false;
}

bool card_active()
{
    return active;
}

static void read_done(SnmpLink *, bool answered, const SnmpPollResult &result, void *,
                      LoopTime now)
{
    MachineContext *unit = polled_unit;
    MachineReading reading;
    if (answered &&
        snmp_map_reading(snmp_map_answers(result), machine_status(unit, STATUS_TYPE), &reading))
        machine_take_reading(unit, reading);
    else
        machine_miss_reading(unit);
    polled_check(unit, now.wall);
}

static void start_reading(LoopTime now)
{
    if (!snmp_link_poll_start(&card_link, snmp_map_poll_plan(), read_done, nullptr)) {
        machine_miss_reading(polled_unit); // not reached: the link is idle and set here
        polled_check(polled_unit, now.wall);
    }
}

// The command went (or failed, said by the link): the reading follows.
static void sent(SnmpLink *, bool, void *, LoopTime now)
{
    start_reading(now);
}

void card_poll(MachineContext *unit, void (*check)(MachineContext *unit, time_t now))
{
    if (!active || !card_loop || snmp_link_busy(&card_link))
        return;
    polled_unit = unit;
    polled_check = check;
    std::string command;
    if (machine_take_pending(unit, &command)) {
        std::vector<SnmpSet> sets;
        if (!snmp_map_command(command, &sets))
            log_warning("upsagent: the command \"%.20s\" has no SNMP form; not sent",
                        command.substr(0, command.find('\r')).c_str());
        else if (snmp_link_send_start(&card_link, snmp_map_send_plan(sets), sent, nullptr))
            return;
    }
    start_reading(loop_now(card_loop));
}
