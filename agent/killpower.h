// The final power-off: `upsagent --killpower [STAGE]`, which the platform's
// last shutdown stage runs (systemd's system-shutdown directory, with the
// stage as its argument). When the host goes down because this daemon
// started a host shutdown, the UPS is told to turn off now instead of
// waiting for the timed turn-off the daemon queued: "S01R0001\r", off after
// one minute, on again one minute after the mains returns.
//
// It acts only when all of these hold, and otherwise says in one line why
// it did nothing:
// - "DataBase/Shutdown.ang" was written during this boot (its "boot" line is
//   /proc/sys/kernel/random/boot_id) and holds a host deadline ("host" not
//   0); a missing or damaged file does nothing;
// - the stage, when given, is "poweroff" or "halt" (not "reboot", "kexec");
// - "Set/Setting.ang" names a local unit ("Local-Single", "Local-Multiple")
//   on link kind "RS232", "USB" or "HID" (a USB HID Power Device: its
//   DelayBeforeShutdown 60 s and DelayBeforeStartup 120 s, written into its
//   Feature reports as read just before); an SNMP card, and a daemon that
//   polls another daemon, keep the timed turn-off.
// It reads those two files of the program directory (that of argv[0], as
// the daemon finds it) and writes nothing: by then the file systems are
// read-only or gone. Bounded: the open and the write take a few seconds at
// most.
#pragma once

#include <string>

// What "DataBase/Shutdown.ang" says of the host shutdown.
struct KillpowerState {
    std::string boot; // the "boot" line's id: the boot the file was written in
    long long host;   // the "host" line: the host deadline, Unix time; 0 none
};

// Takes the lines it needs by their first word ("boot <id>", "host
// <seconds>"), each ended by a newline (a CR before it is dropped), and
// ignores every other line. False (a damaged file) when either is missing
// or given twice, when it is not of its form (one word; decimal digits that
// fit a long long), or when the data holds a NUL byte.
bool killpower_read_state(const char *data, int size, KillpowerState *out);

// True when the stage lets the UPS turn off: none given (nullptr),
// "poweroff" or "halt".
bool killpower_stage_acts(const char *stage);

// The bytes of the turn-off with restore for unit 1 of a local line of
// machine kind `kind` (KIND_LOCAL_SINGLE or KIND_LOCAL_MULTIPLE), exactly as
// the machine's command step sends a command queued for unit 1.
std::string killpower_request(int kind);

// Milliseconds the write may take until the bytes have left the host.
constexpr int KILLPOWER_WRITE_MS = 3000;

// The whole run for `program_path` (argv[0]) and `stage` (nullptr: none
// given): one line on standard output. Returns the exit status: 0 when the
// turn-off was sent or there was nothing to do, 1 when it was due and could
// not be sent (no usable settings, the link did not open, the write failed).
int killpower_run(const char *program_path, const char *stage);
