// Plausibility filter for a single local unit: one noisy reply never reaches
// the history, the console or the shutdown decision.
//
// The status characters are filtered position by position, so one flapping
// position never holds another back: a position sets ('1': mains failed,
// battery low, ...) when at least two of the last three replies carry '1' (a
// mains that is out in most replies is out), and clears when the last three
// all carry '0'; otherwise it keeps its value. The readings pass when
// consecutive samples of each tested reading lie within its tolerance,
// whatever the status characters do.
//
// Each unit context carries its own history (FilterState); only the polling
// loop's thread touches it, under the context's lock.
#pragma once

#include <cstdint>

constexpr int FILTER_READINGS = 7;
constexpr int FILTER_POSITIONS = 8; // status bits b0..b7 (the connection character is not filtered)

// The three-sample history of one unit and the status it gave.
struct FilterState {
    float samples[FILTER_READINGS][3];          // per reading: newest, middle, oldest; 0 at start
    char status_samples[3][FILTER_POSITIONS];   // newest, middle, oldest status, index i = bit bi; '0' at start
    char status[FILTER_POSITIONS];              // the filtered status, index i = bit bi; '0' at start
    int32_t count;                              // replies entered since the reset, held at 3
};

// Back to the all-zero history of a new unit.
void filter_reset(FilterState *f);

// Enters a well-formed 47-byte status reply into the history and, from the
// third reply on, steps the filtered status by the rule above. A status
// character other than '0' or '1' carries no information: that position
// repeats its previous sample.
void filter_push(FilterState *f, const unsigned char *reply);

// True when the readings of the newest reply may be taken: consecutive
// samples of input and output voltage, load, frequency, battery voltage and
// temperature each within its tolerance (the battery's by the newest
// sample's UPS type, status character 3: '0' on-line, per cell). The input
// fault voltage and the status characters are not tested.
bool filter_accept(const FilterState *f);

// Copies the filtered status (index i = bit bi) into `out` and returns true
// once three replies were entered since the reset; before that returns false
// and leaves `out` alone: the start-up zeros of the history are no status.
bool filter_status(const FilterState *f, char out[FILTER_POSITIONS]);
