// "Set/Policy.ang": the shutdown rules beyond the fixed delays, each off
// unless its line is there. Read at start and on "RefreshSet".
//
// One rule per line, blank lines and lines starting with '#' skipped:
//     charge-below PERCENT     mains failed and the unit's charge under
//                              PERCENT (1..100): shut the host down now
//     runtime-below MINUTES    mains failed and the unit's runtime under
//                              MINUTES (1..1440): shut the host down now
//     on-battery-for MINUTES   mains failed for MINUTES (1..1440) without a
//                              return that held: shut the host down now
//     min-units N              with several units: the host stays up while
//                              at least N units (1..4) are in no condition;
//                              without the line any one unit's condition
//                              counts, as with the fixed delays
#pragma once

#include <string>

// The file's name below the program directory.
constexpr const char *POLICY_FILE = "Set/Policy.ang";

constexpr int POLICY_PERCENT_MAX = 100;
constexpr int POLICY_MINUTES_MAX = 1440; // a day
constexpr int POLICY_UNITS_MAX = 4;

struct PolicySettings {
    int charge_below = 0;   // percent; 0: no such rule
    int runtime_below = 0;  // minutes; 0: no such rule
    int on_battery_for = 0; // minutes; 0: no such rule
    int min_units = 0;      // units that must be fine to keep the host up; 0: any
                            // unit's condition counts (the rule without the line)
};

// Resets *settings to the defaults above (every rule off), then reads
// `path` into it. A line that is no rule (an unknown word, a missing, extra
// or non-numeric value, a number outside its range) is skipped after one
// line on standard output naming the file, the line's number and why, and
// its rule stays off: a rule mistyped never shuts a host down by surprise.
// A rule given twice keeps the last. Returns the number of rules taken; 0
// for a missing file (no line printed); -1, after one line, for a file that
// exists but cannot be read (every rule off).
int policy_read(const std::string &path, PolicySettings *settings);

// `min_units` for a daemon of `unit_count` units: one above the count is
// held at the count, with one line (the host would otherwise go down at
// the first condition of any unit, as if the line were not there).
int policy_min_units(const PolicySettings &settings, int unit_count);
