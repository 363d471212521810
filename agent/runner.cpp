#include "agent/runner.h"

#include <cstdio>
#include <vector>

#include "agent/decision.h"
#include "protocol/ups_command.h"
#include "store/schedule.h"
#include "store/settings.h"
#include "store/textfile.h"

// Runner state, the loop's thread only.
static MachineContext *unit1 = nullptr;
static int last_year, last_month, last_day;
static long last_minute = -1;

// A thread held up for longer than this many minutes does not catch up.
static const long CATCH_UP_MINUTES = 10;

void runner_init(MachineContext *unit)
{
    unit1 = unit;
}

void runner_reset_dates()
{
    last_year = last_month = last_day = 0;
    last_minute = -1;
}

int date_changed(int year, int month, int day)
{
    if (year == last_year && month == last_month && day == last_day)
        return 0;
    last_year = year;
    last_month = month;
    last_day = day;
    return 1;
}

int time_matches(const char *entry_time, int hour, int minute)
{
    return parse_int_field(entry_time, 1, 2) == hour && parse_int_field(entry_time, 4, 2) == minute
               ? 1
               : 0;
}

std::string runner_command(const char *action, int delay)
{
    switch (action[0]) {
    case 'C': return ups_command_format(ups_command_of(UPS_COMMAND_TEST_CANCEL));
    case 'L': return ups_command_format(ups_command_of(UPS_COMMAND_TEST_DEEP));
    case 'T': return ups_command_format(ups_command_of(UPS_COMMAND_TEST_QUICK));
    case 'S': return ups_command_format(ups_command_turn_off(delay));
    case 'R': {
        // "R0480": back on 480 minutes after the turn-off.
        int restore = 0;
        for (int i = 1; i <= 4; i++) {
            if (action[i] < '0' || action[i] > '9')
                return "";
            restore = restore * 10 + (action[i] - '0');
        }
        return ups_command_format(ups_command_turn_off_restore(delay, restore));
    }
    }
    return "";
}

int runner_pass(time_t now, time_t actual)
{
    if (!actual)
        actual = now;
    struct tm t;
    localtime_r(&now, &t);
    if (date_changed(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday))
        schedule_select_today(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    int delay = settings_ups_shutdown_delay();
    int queued = 0;
    for (const ScheduleEntry &e : schedule_selected()) {
        if (!time_matches(e.start_time, t.tm_hour, t.tm_min))
            continue;
        std::string command = runner_command(e.action, delay);
        UpsCommand c;
        if (command.empty() || !ups_command_parse(command, &c))
            continue;
        // A turn-off is a planned shutdown: the decision starts the host's
        // first and turns the UPS off after it.
        DecisionVerdict verdict = decision_command(actual, c, "the schedule");
        if (verdict == DECISION_TAKEN)
            queued++;
        else if (verdict == DECISION_PASS && unit1 &&
                 machine_queue_command(unit1, command.data(), static_cast<int>(command.size())))
            queued++;
    }
    return queued;
}

int runner_tick(time_t now)
{
    long minute = static_cast<long>(now / 60);
    if (minute == last_minute)
        return 0;
    long from = minute;
    if (last_minute >= 0 && minute > last_minute && minute - last_minute <= CATCH_UP_MINUTES)
        from = last_minute + 1;
    int queued = 0;
    for (long m = from; m <= minute; m++)
        queued += runner_pass(static_cast<time_t>(m) * 60, now);
    last_minute = minute;
    return queued;
}
