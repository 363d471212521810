// model.h: the simulated UPS units on one serial line.
//
// Holds the state of up to four units, answers the daemon's requests with
// the exact reply bytes, applies the text control commands, runs the
// self-test timer and writes the request log. It does no I/O on the line:
// a front end (the pty program, or a stand-in USB library on another
// thread) moves the bytes. Every function is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int MODEL_UNITS_MAX = 4;
constexpr int MODEL_REPLY_MAX = 256;  // longest reply, also the largest `length N`
constexpr int MODEL_LINE_MAX = 256;   // longest request or control line accepted

// Reply lengths as sent by an undisturbed unit.
constexpr int MODEL_STATUS_LEN = 47;
constexpr int MODEL_IDENTITY_LEN = 39;
constexpr int MODEL_RATING_LEN = 22;

// Widths of the identity texts.
constexpr int MODEL_COMPANY_WIDTH = 15;
constexpr int MODEL_MODEL_WIDTH = 10;
constexpr int MODEL_VERSION_WIDTH = 10;

// Unit type, chosen at set-up; bit b3 of the status reply.
constexpr int MODEL_ONLINE = 0;
constexpr int MODEL_OFFLINE = 1;

// Status bits, b7..b0 as printed left to right in the status reply.
constexpr uint8_t MODEL_BIT_MAINS_FAILED = 0x80;  // b7
constexpr uint8_t MODEL_BIT_BATTERY_LOW = 0x40;   // b6
constexpr uint8_t MODEL_BIT_BYPASS = 0x20;        // b5: bypass (on-line) / AVR (off-line)
constexpr uint8_t MODEL_BIT_FAILED = 0x10;        // b4: UPS failed
constexpr uint8_t MODEL_BIT_OFFLINE = 0x08;       // b3: 1 off-line type, 0 on-line type
constexpr uint8_t MODEL_BIT_TEST = 0x04;          // b2: self test in progress
constexpr uint8_t MODEL_BIT_SHUTDOWN = 0x02;      // b1: shutdown active
constexpr uint8_t MODEL_BIT_BEEPER = 0x01;        // b0: beeper on

// Garbage modes of a unit.
constexpr int MODEL_GARBAGE_OFF = 0;
constexpr int MODEL_GARBAGE_ON = 1;    // every reply garbled
constexpr int MODEL_GARBAGE_ONCE = 2;  // only the next reply garbled, then off
constexpr int MODEL_GARBAGE_BITS = 3;  // only the next status reply: 'x' for its b7, then off

// The whole state of one unit. Readings hold what was set; clamping to the
// field widths happens only when a reply is formatted.
struct ModelUnit {
  double input_voltage;          // volts; 0.0 while the mains has failed
  double fault_voltage;          // input fault voltage, volts
  double output_voltage;         // volts
  int load;                      // percent of rated load
  double frequency;              // input frequency, Hz
  double battery_voltage;        // per cell (on-line, e.g. 2.25) or total (off-line, e.g. 27.0)
  double temperature;            // degrees Celsius
  double rated_voltage;          // volts
  int rated_current;             // amperes
  double rated_battery_voltage;  // volts
  double rated_frequency;        // Hz
  char company[MODEL_COMPANY_WIDTH + 1];  // NUL-terminated, at most 15 characters
  char model[MODEL_MODEL_WIDTH + 1];      // NUL-terminated, at most 10 characters
  char version[MODEL_VERSION_WIDTH + 1];  // NUL-terminated, at most 10 characters
  uint8_t bits;                  // status bits, MODEL_BIT_*
  bool test_timed;               // b2 was set by a 10-second self test that ends by itself
  double test_ends;              // monotonic seconds when that timed test ends
  bool mains_saved;              // `mains fail` remembered the input voltage
  double mains_voltage;          // input voltage to restore on `mains restore`
  bool silent;                   // the unit does not answer
  int garbage;                   // MODEL_GARBAGE_*
  int length;                    // replies forced to this many bytes (CR kept last); 0 off
  int identity_length;           // identity replies forced to this many bytes; 0 off
  int rating_length;             // rating replies forced to this many bytes; 0 off
  int noise_field;               // reading that alternates on status replies (set field id); -1 none
  double noise_amount;           // its swing: +amount and -amount on successive replies
  bool noise_up;                 // the next status reply carries +amount
  double flap_period;            // `mains flap`: seconds between mains changes; 0 not flapping
  double flap_start;             // monotonic seconds the flapping started (with a failure)
  bool commands_ignored;         // `commands ignore`: the UPS commands change nothing
};

// One reply to put on the line, with the pacing to use.
struct ModelReply {
  unsigned char bytes[MODEL_REPLY_MAX];  // reply bytes, normally ending in CR
  int len;         // number of bytes in `bytes`; 0 when nothing is to be sent
  int unit;        // answering unit 1..4; 0 when nothing is to be sent
  long gap_us;     // time each byte takes on the line (send byte k at (k+1)*gap); 0: all at once
  long delay_ms;   // wait this long after the request before the first byte
};

// Puts `units` (1..4) units of `type` (MODEL_ONLINE/MODEL_OFFLINE) on the
// line with their defaults, all fault modes and pacing off, and seeds the
// garbage generator. Returns false (and changes nothing) on a bad argument.
bool model_setup(int units, int type, uint64_t seed);

// Handles one request: the bytes up to and including its CR. `now` is
// monotonic seconds (model_clock()). UPS commands are applied to every unit.
// Fills *out and returns out->len: the number of reply bytes to send, 0 when
// the request gets no reply (command, unknown request, absent or silent unit).
int model_request(const unsigned char* bytes, size_t len, double now, ModelReply* out);

// Applies one control command (a text line without its newline; a trailing
// CR is ignored). Returns true when it was understood and applied, false
// when it was not understood (nothing is changed then).
//   [unit N|unit all] COMMAND [for N]
// A `for N` saves the selected units' whole state first and restores it
// after N status requests of that unit were answered with the changed state
// (ignored ones count while the unit is silent). One pending restore per
// unit: a new `for` replaces it, and anything changed meanwhile is undone
// by the restore too.
// `mains flap SECONDS` (0.1..86400, a real number): the mains fails now,
// returns SECONDS later, fails again SECONDS after that and so on, by the
// `now` of the requests and ticks, until `mains fail`, `mains restore` or
// `mains flap off` (which leaves the mains as it is at that moment).
// `set company|model|version TEXT`: TEXT is the rest of the line, printable
// bytes only, `\xHH` standing for any byte but 00 (a quote or a line end
// in an identity, as a hostile unit would send it).
// `commands ignore`: the unit takes the UPS commands (T, TL, CT, C, S...)
// off the line and does nothing with them; `commands take` (the default)
// undoes it.
bool model_control(const char* line);

// model_control with the time it is applied at (monotonic seconds, as for
// model_request): the start of a `mains flap`. model_control uses
// model_clock().
bool model_control_at(const char* line, double now);

// Ends timed self tests whose 10 seconds are over at `now` (monotonic
// seconds) and moves flapping mains to where they are at `now` (failed in
// the even periods since the flapping started, back in the odd ones).
// model_request does this by itself too.
void model_tick(double now);

// Copies the state of unit `unit` (1..units) into *out. Returns false when
// there is no such unit.
bool model_snapshot(int unit, ModelUnit* out);

// Monotonic clock in seconds, the time base for `now` above.
double model_clock();

// Opens (creating, appending) the log file; closes any log open before.
// Returns false when the file cannot be opened (no log is open then).
bool model_log_open(const char* path);

// Closes the log file, if one is open.
void model_log_close();

// Writes one log line "<unix seconds.micro> <tag> <escaped bytes>" with one
// write, so it is on disk at once. Does nothing when no log is open. Bytes
// past what one line holds (1024) are left out.
void model_log(const char* tag, const void* bytes, size_t len);

// Escapes `len` bytes for a log line into `out` (capacity `cap`, always
// NUL-terminated when cap > 0): 0x20..0x7E as is but '\' as "\\", CR as
// "\r", LF as "\n", others as "\xhh". Stops before an escape that does not
// fit. Returns the number of characters written, without the NUL.
int model_log_escape(const void* bytes, size_t len, char* out, size_t cap);
