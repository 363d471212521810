// The command line of the `sms` sender, taken apart: the gateway number and
// the values the gateway's URL template gets. Kept apart from the transfer
// so every check runs without a network.
#pragma once

#include <string>

#include "store/sms_gateway.h"

// What the six arguments say.
struct SmsArgs {
    int gateway;       // 1-based gateway line, 0..999999999 (checked against the file later)
    SmsValues values;  // the placeholders' values; the text without the daemon's leading
                       // blank; the password empty (the program reads it from its file)
};

// Exit status of a command line that is refused.
constexpr int SMS_EXIT_USAGE = 2;

// The gateway number: 1 to 9 decimal digits; -1 for anything else.
int sms_gateway_number(const char *text);

// Takes the arguments `sms` was started with (argv[0] is the program).
// Returns 0 with `out` filled, or SMS_EXIT_USAGE after one line on standard
// error: not exactly six arguments, a bad gateway number, an empty phone
// number.
int sms_args_parse(int argc, const char *const *argv, SmsArgs *out);
