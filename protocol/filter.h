// Plausibility filter for a single local unit: a status reply is taken only
// when the last three well-formed status replies agree, so one noisy reply
// never reaches the event logic and a status change takes effect at the
// third reply that carries it. One history per process, used only by the
// polling loop's thread.
#pragma once

// Enters a well-formed 47-byte status reply into the three-sample history.
void filter_push(const unsigned char *reply);

// True when the history as it stands is plausible: consecutive samples of
// each tested reading within its tolerance, and all nine status characters
// equal in the three samples.
bool filter_accept();

// Back to the all-zero history of process start.
void filter_reset();
