// What the engine and the plausibility filter both read of a unit's reply:
// the status reply's length, the status character positions and the
// fixed-width number reader. No state, no I/O.
#pragma once

constexpr int STATUS_REPLY_LEN = 47; // status reply; also every USB report

// Status character positions (index into MachineContext.status).
enum {
    STATUS_BEEPER = 0,
    STATUS_SHUTDOWN = 1,
    STATUS_TEST = 2,
    STATUS_TYPE = 3,      // '1' off-line type, '0' on-line type
    STATUS_FAILED = 4,
    STATUS_BYPASS = 5,    // bypass (on-line type) or AVR (off-line type)
    STATUS_BATTERY_LOW = 6,
    STATUS_AC_FAILED = 7,
    STATUS_CONNECTION = 8,
};

// Converts the `width` characters at `offset` with strtod (leading blanks
// skipped, stops at the first character that is not part of a number);
// no number, or a value that is not finite, gives 0.
float reply_number(const unsigned char *bytes, int offset, int width);
