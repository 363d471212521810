#include "agent/policy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "store/textfile.h"

namespace {

// One rule of the file: its word, the value's range and where it goes.
struct PolicyRule {
    const char *word;
    const char *unit; // for the reason a value is refused
    int max;
    int PolicySettings::*field;
};

const PolicyRule RULES[] = {
    {"charge-below", "a percentage", POLICY_PERCENT_MAX, &PolicySettings::charge_below},
    {"runtime-below", "minutes", POLICY_MINUTES_MAX, &PolicySettings::runtime_below},
    {"on-battery-for", "minutes", POLICY_MINUTES_MAX, &PolicySettings::on_battery_for},
    {"min-units", "a number of units", POLICY_UNITS_MAX, &PolicySettings::min_units},
};

// Decimal digits within 1..max; false for anything else.
bool number_in(const std::string &value, int max, int *out)
{
    if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != value.npos)
        return false;
    long n = strtol(value.c_str(), nullptr, 10);
    if (n < 1 || n > max)
        return false;
    *out = static_cast<int>(n);
    return true;
}

// The reason a line is no rule; empty when it was taken into *s.
std::string take_line(const std::string &word, const std::string &value, PolicySettings *s)
{
    for (const PolicyRule &r : RULES) {
        if (word != r.word)
            continue;
        int n = 0;
        if (!number_in(value, r.max, &n)) {
            char why[96];
            snprintf(why, sizeof why, "%s takes %s of 1 to %d", r.word, r.unit, r.max);
            return why;
        }
        s->*r.field = n;
        return "";
    }
    return "not \"charge-below PERCENT\", \"runtime-below MINUTES\", \"on-battery-for MINUTES\" "
           "or \"min-units N\"";
}

} // namespace

int policy_read(const std::string &path, PolicySettings *settings)
{
    *settings = PolicySettings{};
    int taken = read_word_lines(path, [settings](const std::string &word, const std::string &value) {
        return take_line(word, value, settings);
    });
    if (taken < 0)
        log_warning("upsagent: cannot read %s: %s; no shutdown rule beyond the delays",
                    path.c_str(), strerror(errno));
    return taken;
}

int policy_min_units(const PolicySettings &settings, int unit_count)
{
    if (settings.min_units <= unit_count)
        return settings.min_units;
    log_warning("upsagent: %s: min-units %d is more than the %d unit(s) watched; held at %d",
                POLICY_FILE, settings.min_units, unit_count, unit_count);
    return unit_count;
}
