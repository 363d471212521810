// The actions on a mains failure or a low battery: a timed shutdown of the
// host (the platform's shutdown command, started in the background) and the
// UPS turn-off command queued into unit 1, and their cancels when the
// condition ends. The daemon keeps no timer: the host's shutdown command and
// the UPS hold the delays.
#pragma once

#include "protocol/machine.h"

// Sets the unit whose pending slot takes every UPS command (unit 1).
void actions_init(MachineContext *unit1);

// Acts on a change of status position 6 (battery low) or 7 (mains failed)
// to `state` ('1' set, anything else cleared); other positions do nothing.
// Reads the three delays from the settings at every call.
void status_action(int position, char state);
