// The protocol engine: one MachineContext per UPS unit, and the operations a
// polling loop drives over it. It builds the request for the unit's poll step,
// takes replies apart, steps the unit through its query cycle, counts failed
// receives, and queues the commands waiting to go to the unit (see the
// command queue below). It does no I/O itself.
//
// Three dialects, chosen per context by its machine kind: kind 0 asks one
// local unit ("Q1\r"), kind 1 puts the unit address byte after the command
// letters for several units on one line ("Q1" 0x02 "\r"), kind 3 asks another
// upsagent for a whole StatusRecord ("ALL" 0x02 0x00).
//
// Locking: every operation below takes the context's own lock, so a command
// queued by another thread is handed over whole, and other threads may read
// the values while the polling loop stores a reply.
#pragma once

#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/filter.h"
#include "protocol/reply.h"

enum {
    KIND_LOCAL_SINGLE = 0,   // "Local-Single"
    KIND_LOCAL_MULTIPLE = 1, // "Local-Multiple"
    KIND_REMOTE = 3,         // "Remote-Single" and "Remote-Multiple"
    KIND_NONE = 255,         // no machine mode configured: the unit is never polled
};

// Results of machine_next_action.
enum { ACTION_RECEIVE = 0, ACTION_SEND = 1, ACTION_NOTHING = 2 };

constexpr int MACHINE_PENDING_SIZE = 64;  // bytes of the longest queued command (and any request)
constexpr int MACHINE_QUEUE_DEPTH = 8;    // commands the ordinary lane holds
constexpr int IDENTITY_REPLY_LEN = 39;
constexpr int RATING_REPLY_LEN = 22;
constexpr int STATUS_RECORD_LEN = 108;    // 107 characters and a NUL

// Failed identity (or rating) receives in a row after which a unit is polled
// for its status without that information.
constexpr int MACHINE_INFO_TRIES = 3;

// One queued command: its bytes as they go on the line.
struct MachineCommand {
    char bytes[MACHINE_PENDING_SIZE]; // not NUL-terminated
    int32_t len;                      // 0: empty
};

// Conditions a unit reports beyond the eight status characters (a USB HID
// Power Device names each on its own), bits of MachineValues::unit_flags.
enum : uint32_t {
    MACHINE_FLAG_OVERLOAD = 1u << 0,        // output overloaded
    MACHINE_FLAG_REPLACE_BATTERY = 1u << 1, // the battery needs replacing
    MACHINE_FLAG_BOOST = 1u << 2,           // raising a low input voltage
    MACHINE_FLAG_BUCK = 1u << 3,            // lowering a high input voltage
    MACHINE_FLAG_CHARGING = 1u << 4,
    MACHINE_FLAG_DISCHARGING = 1u << 5,
};

// Readings only some units give (a USB HID Power Device), indexes of
// MachineValues::extra; NaN where the unit does not give one.
enum {
    MACHINE_X_OUTPUT_FREQUENCY = 0, // Hz
    MACHINE_X_CHARGE_LOW,           // %: the unit's low-battery limit
    MACHINE_X_DELAY_SHUTDOWN,       // s until the unit turns off; -1 none counting down
    MACHINE_X_DELAY_START,          // s until the unit turns back on; -1 none counting down
    MACHINE_X_TRANSFER_LOW,         // V: input below it goes to battery
    MACHINE_X_TRANSFER_HIGH,        // V: input above it goes to battery
    MACHINE_X_POWER_NOMINAL,        // VA: the unit's apparent power rating
    MACHINE_X_TEST_RESULT,          // the unit's last test: 1 passed, 2 warning, 3 error,
                                    // 4 aborted, 5 in progress, 6 none run
    MACHINE_X_COUNT
};

// A unit's command queue, in two lanes. The control lane holds the shutdown
// decision's one command (a turn-off or its cancel); a newer one replaces
// it, and nothing else can. The ordinary lane is a FIFO of every other
// producer's commands (clients of ports 2027 and 3493, the schedule, the
// console's pages), MACHINE_QUEUE_DEPTH deep; a command that finds it full
// is refused, never dropped and never put in another's place. The control
// lane goes out first.
struct MachineQueue {
    MachineCommand control;                     // len 0: none
    MachineCommand ordinary[MACHINE_QUEUE_DEPTH]; // a ring
    int32_t head;                               // index of the oldest ordinary command
    int32_t count;                              // ordinary commands queued
};

// The values of one unit. MachineContext adds the lock; a MachineValues copy
// taken with machine_values is a consistent snapshot for other threads.
struct MachineValues {
    float input_voltage;       // V
    float input_fault_voltage; // V
    float output_voltage;      // V
    float load_percent;        // %, an integer in the reply
    float input_frequency;     // Hz
    float battery_voltage;     // V (per cell on an on-line unit)
    float temperature;         // degrees C
    char status[9];            // '0'/'1' at index i = bit bi; index 8 is the connection character
    char status_prev[9];       // the same as of the last status-change check; index 8 is '?'
                               // after set-up, until the connection was first reported
    float rated_voltage;       // V
    float rated_current;       // A, an integer in the reply
    float rated_battery_voltage; // V; 0 while the ratings are not known
    float rated_frequency;     // Hz
    char company[16];          // identity, 15 characters; empty while not known
    char model[11];            // identity, 10 characters
    char version[11];          // identity, 10 characters
    MachineQueue queue;        // commands waiting to be sent (machine_queue_command and kin)
    uint8_t connected;         // 1 after a good reply; 0 at start and after the fourth failed receive in a row
    uint8_t kind;              // KIND_LOCAL_SINGLE, KIND_LOCAL_MULTIPLE or KIND_REMOTE
    uint8_t address;           // unit address 1..4, sent as a raw byte
    int32_t step;              // poll step (kinds 0/1: 0..6; kind 3: 0..2); 6 and 2 send a command
    int32_t fail_count;        // failed receives in a row, held at 4 once the unit is lost
    int32_t fresh_status;      // 1 after a status reply was taken, until the loop moves on
    uint8_t status_taken;      // 1 once status characters from the unit were stored since set-up
    int32_t last_reply_len;    // the length given to the last machine_parse_reply
    int32_t info_failures;     // failed identity or rating receives in a row
    uint8_t identity_skipped;  // 1: identity given up until the unit is lost and found again
    uint8_t ratings_skipped;   // 1: ratings given up until the unit is lost and found again
    int32_t battery_charge = -1; // % as the unit itself reports it (a network card); -1 unknown
    int32_t battery_runtime = -1; // s to empty as the unit itself reports it; -1 unknown
    char serial[33];           // the unit's serial number (a HID unit's string); empty unknown
    char maker[33];            // the maker and model as the unit names them in full (a HID
    char product[33];          // unit's strings; `company` and `model` keep their widths); empty unknown
    uint16_t usb_vendor_id;    // the USB ids of a unit found on USB; 0 unknown
    uint16_t usb_product_id;
    uint32_t unit_flags;       // MACHINE_FLAG_* the unit reports; 0 also when it reports none
    float extra[MACHINE_X_COUNT]; // MACHINE_X_* readings; NaN unknown
    FilterState filter;        // kind 0 in the daemon: the last three status replies
};

struct MachineContext : MachineValues {
    std::mutex lock; // guards every value against other threads
};

// Process-wide choices that differ between the two programs.
struct MachineOptions {
    bool use_filter;      // kind 0 replies pass the plausibility filter (the daemon)
    bool report_bad_kind; // machine_next_step prints a line for an unknown kind (the console)
    bool remote_needs_connection; // kind 3: a record whose connection character is not '1'
                                  // is a failed receive and changes nothing (the daemon)
};

// Sets the process-wide options; call once before polling starts. The
// default is no filter and no kind report.
void machine_configure(const MachineOptions &options);

// One reading taken whole from a unit that is not polled step by step (a
// network card answers every object in one request).
struct MachineReading {
    float input_voltage, input_fault_voltage, output_voltage, load_percent;
    float input_frequency, battery_voltage, temperature; // units as in MachineValues; 0 unknown
    char status[8];      // b0..b7; a character other than '0'/'1' leaves that position as it was
    float rated_voltage, rated_current, rated_battery_voltage, rated_frequency; // 0 unknown
    char company[16];    // identity, cut to the widths of MachineValues; empty unknown
    char model[11];
    char version[11];
    int battery_charge;  // %; -1 unknown
    int battery_runtime = -1; // s to empty; -1 unknown
    char serial[33] = "";     // empty unknown
    char maker[33] = "";      // full texts (MachineValues::maker, product); empty unknown
    char product[33] = "";
    uint16_t usb_vendor_id = 0, usb_product_id = 0; // 0 unknown
    uint32_t unit_flags = 0;             // MACHINE_FLAG_*
    float extra[MACHINE_X_COUNT] = {NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN}; // MACHINE_X_*; NaN unknown
};
static_assert(MACHINE_X_COUNT == 8, "MachineReading::extra's initialiser names every reading");

// Copies `len` bytes of a text from a unit (identity, model, firmware: from
// a status reply, a remote record or a card) into `out` of `size` bytes
// (cut to size - 1, NUL-terminated), each byte outside 0x20..0x7E made '?'.
// These texts are shown and served to other programs, where a quote or a
// line end of the device's would be read as the program's own.
void machine_printable(char *out, size_t size, const unsigned char *bytes, size_t len);

// Sets kind and address, clears values, the command queue, failures, step
// and the filter's history; not connected, no status taken.
void machine_setup(MachineContext *ctx, int kind, int address);

// Stores a whole reading as a good status reply: connected, no failures,
// status taken and fresh; its texts made printable (machine_printable). The command queue is left as it is.
void machine_take_reading(MachineContext *ctx, const MachineReading &r);

// A reading that did not come: counts as a failed receive; the fourth in a
// row loses the unit (not connected, readings cleared, status kept).
void machine_miss_reading(MachineContext *ctx);

// Sets the charge the unit reports (%, -1 unknown), for a reader that
// learns it elsewhere than from the unit's record.
void machine_set_charge(MachineContext *ctx, int percent);

// Sets the runtime the unit reports (s, -1 unknown), for a reader that
// learns it elsewhere than from the unit's record.
void machine_set_runtime(MachineContext *ctx, int seconds);

// Takes the next command off the queue into *command (the control lane
// first, then the oldest ordinary one), for a poller that sends it itself
// (an SNMP card): one call, one command. False (and `*command` empty) when
// the queue is empty.
bool machine_take_pending(MachineContext *ctx, std::string *command);

// Returns ACTION_SEND, ACTION_RECEIVE or ACTION_NOTHING for the current step.
int machine_next_action(MachineContext *ctx);

// Writes the request of a send step into `out` (room for MACHINE_PENDING_SIZE
// bytes) and its length into `count`. The command step takes the next
// command off the queue, as machine_take_pending. Other steps write nothing
// and leave `count` as it was.
void machine_build_request(MachineContext *ctx, unsigned char *out, int *count);

// Takes a reply of `len` bytes (the result of link_read). Returns 1 for a
// good reply (taken, or for kind 0 held back by the plausibility filter),
// 0 for a bad or missing one. A status character other than '0' or '1'
// leaves that position as it was.
int machine_parse_reply(MachineContext *ctx, const unsigned char *bytes, int len);

// The step transition: ok = 1 after every send and a good receive, 0 after a
// failed receive. A cycle is the status query, its reply, and then at most
// one queued command: a command goes out only after the cycle's status reply
// was taken, never in place of reading it, so a unit is read every cycle
// however often commands come. A new unit is asked for identity and ratings
// once, after its status (and after the command, when one was waiting). A
// malformed identity or rating reply (some bytes, wrong length) does not
// count toward losing the unit; after MACHINE_INFO_TRIES failed ones in a
// row that information is given up and the unit goes on with its status
// query.
void machine_next_step(MachineContext *ctx, int ok);

// Queues `len` bytes on the ordinary lane, behind the commands already there.
// Returns 1 when queued, 0 when refused with one line: the lane is full, or
// the command is longer than MACHINE_PENDING_SIZE (never cut: a cut shutdown
// command is a different command); an empty one is refused silently.
int machine_queue_command(MachineContext *ctx, const char *bytes, int len);

// Puts `len` bytes in the control lane, replacing the control command not
// yet sent: the shutdown decision's only, which always wants its latest
// command out. Returns 1 when queued, 0 when refused (empty, or too long,
// with one line).
int machine_queue_control(MachineContext *ctx, const char *bytes, int len);

// True while the control lane holds a command not yet sent.
bool machine_control_pending(MachineContext *ctx);

// The queued commands in the order they will go out (control lane first),
// for tests and pages that show what waits.
std::vector<std::string> machine_queued(MachineContext *ctx);

// The whole queue, copied out and put back: a settings reload sets a unit up
// anew and keeps what was waiting for it.
MachineQueue machine_queue_get(MachineContext *ctx);
void machine_queue_set(MachineContext *ctx, const MachineQueue &queue);

// When the unit is not connected or has a fresh status, clears fresh_status
// and returns 1 (the loop moves on to the next unit); otherwise 0.
int machine_take_turn_done(MachineContext *ctx);

// status_prev = status, all nine positions.
void machine_commit_status(MachineContext *ctx);

// Sets the connection character (status[8]) from the connected flag.
void machine_sync_connection(MachineContext *ctx);

// Sets status_prev[index] (0..8) to `c`: a condition known from before a
// restart is then not reported again when the unit's first status shows it.
void machine_preset_status_prev(MachineContext *ctx, int index, char c);

// Writes the unit's StatusRecord: exactly 107 characters and a NUL into `out`
// (STATUS_RECORD_LEN bytes); a number wider than its field is held at the
// field's edge (999.9, -9.9, ...), so every column stays in place.
// The connection character is 1 only once the unit's status was taken, so a
// peer never reads the zeros of a unit that has not reported yet as status.
void machine_status_record(MachineContext *ctx, char out[STATUS_RECORD_LEN]);

// A unit's last formatted StatusRecord and the values it showed, for a
// reader that asks often (the server): one record formatted per change.
constexpr int MACHINE_RECORD_KEY_SIZE = 128;
struct MachineRecordCache {
    unsigned char key[MACHINE_RECORD_KEY_SIZE]; // the values shown, as bytes
    int key_len = 0;                            // 0: empty
    char record[STATUS_RECORD_LEN];             // the record formatted from them
};

// machine_status_record through `cache`: the same bytes, formatted anew
// only when a value the record shows changed since the cache was filled.
// The cache belongs to one thread.
void machine_status_record_cached(MachineContext *ctx, MachineRecordCache *cache,
                                  char out[STATUS_RECORD_LEN]);

// Copies every value under the lock.
void machine_values(MachineContext *ctx, MachineValues *out);

// Read accessors, each under the lock.
char machine_status(MachineContext *ctx, int index);
int machine_connected(MachineContext *ctx);
int machine_step(MachineContext *ctx);
int machine_address(MachineContext *ctx);
int machine_fail_count(MachineContext *ctx);
int machine_kind(MachineContext *ctx);

// The kind a settings machine mode stands for: KIND_LOCAL_SINGLE,
// KIND_LOCAL_MULTIPLE, KIND_REMOTE for both remote modes; -1 for another
// text (the words are exact).
int machine_kind_of_mode(const char *mode);

// The battery charge estimate in percent. `ups_type` is the type status
// character: '0' on-line (`battery_voltage` per cell), '1' off-line
// (`battery_voltage` of the whole string, `rated_battery_voltage` counting
// 12 V batteries). Sets *empty to true and returns 0 when there is no
// estimate: a voltage below the bottom of the range, an unknown type, fewer
// than one 12 V battery rated (off-line), or any non-finite result.
// Otherwise *empty is false and the result is 0..100.
int machine_battery_percent(char ups_type, double battery_voltage, double rated_battery_voltage,
                            bool *empty);

// The charge to show for a unit: what the unit itself reports (a network
// card) when it does, else machine_battery_percent of its values; *empty
// as there. A unit that reports a charge has no per-cell voltage to
// estimate from, so the estimate is never used for it.
int machine_charge(const MachineValues &v, bool *empty);

// A reading as a whole number, truncated toward zero (bounded, so the
// conversion is defined for any float).
int machine_truncate(float value);
