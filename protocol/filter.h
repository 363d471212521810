// Plausibility filter for a single local unit: the readings of a status
// reply are taken only when the last three well-formed status replies agree,
// so one noisy reply never reaches the history or the console. The status
// characters have a rule of their own: a change is taken at the third reply
// in a row that carries it, whatever the readings do, so noisy readings
// never hold back a mains failure or a low battery.
//
// Each unit context carries its own history (FilterState); only the polling
// loop's thread touches it, under the context's lock.
#pragma once

#include <cstdint>

constexpr int FILTER_READINGS = 7;

// The three-sample history of one unit.
struct FilterState {
    float samples[FILTER_READINGS][3]; // per reading: newest, middle, oldest; 0 at start
    char status_samples[3][9];         // newest, middle, oldest status, laid out like MachineContext.status; '0' at start
    int32_t count;                     // replies entered since the reset, held at 3
};

// Back to the all-zero history of a new unit.
void filter_reset(FilterState *f);

// Enters a well-formed 47-byte status reply into the history. A status
// character other than '0' or '1' carries no information: that position
// repeats the previous sample, so a glitch byte neither reads as "cleared"
// nor breaks the agreement of the three samples.
void filter_push(FilterState *f, const unsigned char *reply);

// True when the readings may be taken: consecutive samples of each tested
// reading within its tolerance, and all nine status characters equal in the
// three samples.
bool filter_accept(const FilterState *f);

// True when the status characters may be taken: three replies entered and
// the three status samples equal.
bool filter_status_steady(const FilterState *f);

// The newest status sample (index i = bit bi), valid after a push.
const char *filter_newest_status(const FilterState *f);
