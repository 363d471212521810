// The UPS command language: the few commands the daemon, its clients and
// the schedule give a UPS, as a record, and their bytes on the line. Every
// place that writes or recognises a command text goes through here, so a
// delay is clamped in one place and a command the UPS would not take is
// never built. No I/O.
//
// The forms, each ended by one carriage return:
//   "T\r"              quick self test
//   "TL\r"             test until the battery is low
//   "CT\r"             cancel a test
//   "C\r"              cancel a turn-off (and the restore that follows it)
//   "S<mm>\r"          turn off after mm minutes (01..99) and stay off
//   "S.<d>\r"          the same after d tenths of a minute (2..9)
//   "S<mm>R<rrrr>\r"   turn off after the delay (either form), on again
//                      rrrr minutes (0000..9999) later, as the UPS counts
#pragma once

#include <string>

enum UpsCommandKind {
    UPS_COMMAND_TEST_QUICK = 0,   // "T\r"
    UPS_COMMAND_TEST_DEEP = 1,    // "TL\r"
    UPS_COMMAND_TEST_CANCEL = 2,  // "CT\r"
    UPS_COMMAND_SHUTDOWN_CANCEL = 3, // "C\r"
    UPS_COMMAND_TURN_OFF = 4,     // "S<mm>\r" / "S.<d>\r"
    UPS_COMMAND_TURN_OFF_RESTORE = 5, // "S<mm>R<rrrr>\r" / "S.<d>R<rrrr>\r"
};

constexpr int UPS_COMMAND_MINUTES_MAX = 99;   // the longest turn-off delay the UPS takes
constexpr int UPS_COMMAND_TENTHS_MIN = 2;     // the shortest sub-minute delay, tenths
constexpr int UPS_COMMAND_TENTHS_MAX = 9;
constexpr int UPS_COMMAND_RESTORE_MAX = 9999; // minutes
constexpr int UPS_COMMAND_MAX_LEN = 9;        // bytes of the longest form, "S99R9999\r"

// One command. Fields that do not apply to the kind are 0.
struct UpsCommand {
    int kind = UPS_COMMAND_TEST_QUICK; // UPS_COMMAND_*
    int minutes = 0;         // turn-offs: whole minutes of delay, 1..99; 0 with `tenths`
    int tenths = 0;          // turn-offs with minutes 0: the delay in tenths of a minute, 2..9
    int restore_minutes = 0; // UPS_COMMAND_TURN_OFF_RESTORE: 0..9999
};

// The command with its delays brought into what the UPS takes, the one
// place that does so: a turn-off of `minutes` over 99 waits 99 (the longest
// it can say), one of 0 or less waits one minute (never less than asked,
// unless `tenths` says 2..9 tenths, which stays; other tenths with minutes 0
// also give one minute); a restore below 0 is 0, above 9999 is 9999. Fields
// that do not apply to the kind become 0. An unknown kind is kept as it is
// (ups_command_format refuses it).
UpsCommand ups_command_clamped(const UpsCommand &c);

// A command of a kind without delays (tests and the cancels).
UpsCommand ups_command_of(int kind);

// A turn-off after `minutes` that stays off, clamped as above.
UpsCommand ups_command_turn_off(int minutes);

// A turn-off after `minutes`, on again `restore_minutes` later, clamped as
// above.
UpsCommand ups_command_turn_off_restore(int minutes, int restore_minutes);

// The bytes of the command, clamped first, carriage return included; empty
// for an unknown kind.
std::string ups_command_format(const UpsCommand &c);

// Takes `len` bytes that must be exactly one command of the forms above,
// ended by its carriage return; anything else (another letter, a missing or
// extra byte, "S00", "S.1", "S100", a restore of other than four digits) is
// refused. Fills *out and returns true, or returns false and leaves *out.
// What it accepts, ups_command_format gives back byte for byte.
bool ups_command_parse(const char *bytes, int len, UpsCommand *out);
bool ups_command_parse(const std::string &bytes, UpsCommand *out);

// True for the tests: quick, deep and their cancel.
bool ups_command_is_test(const UpsCommand &c);

// True for what controls the UPS's output: a turn-off or its cancel.
bool ups_command_is_control(const UpsCommand &c);

// A turn-off's delay in seconds (after clamping); 0 for other kinds.
int ups_command_delay_seconds(const UpsCommand &c);
