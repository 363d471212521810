// The link to a UPS network card: SNMP v2c or v1 over UDP with Net-SNMP's
// single-session library, numeric object identifiers only and no
// configuration or MIB files (the daemon stays small). Asynchronous, on the
// caller's event loop (base/loop.h): a poll or a send is started, its
// requests go out and their answers come in as the loop finds the session's
// socket readable, the library's time-outs and retries run from a loop
// timer, and the result comes back as a completion on the loop's thread.
// The loop never waits for the card.
//
// One operation (a poll or a send) at a time, each request with a 2 s
// time-out and one retry, the whole operation bounded by
// SNMP_LINK_LIMIT_S on the loop's clock and a walk by SNMP_LINK_WALK_MAX
// rows, whatever the card does. What the objects mean is the caller's
// (protocol/snmp_map); the values are link/snmp_types.h's.
//
// The version: v2c first; a request v2c gets no answer to makes the next
// operation try v1, and so on in turn until the card answers once; the
// version it answered is kept until snmp_link_set.
//
// The loop's thread only.
#pragma once

#include <string>
#include <vector>

#include "base/loop.h"
#include "link/snmp_types.h"

struct variable_list; // Net-SNMP's varbind
struct snmp_pdu;      // Net-SNMP's PDU

constexpr int SNMP_LINK_PORT = 161;
constexpr long SNMP_LINK_TIMEOUT_US = 2000000;
constexpr int SNMP_LINK_RETRIES = 1;
constexpr double SNMP_LINK_LIMIT_S = 6.0; // a whole poll (GET and walk) or send
constexpr int SNMP_LINK_WALK_MAX = 32;    // rows a walk reads at most
// Answers from another address or port than the card's are dropped before
// the library reads them (they would be taken by their request id alone):
// at most this many each time the socket is readable, one line about them
// a minute.
constexpr int SNMP_LINK_FOREIGN_MAX = 16;
constexpr double SNMP_LINK_FOREIGN_REPEAT = 60.0;

struct SnmpLink;

// A poll's completion: `answered` false when the card did not answer (a
// time-out, the operation's limit, an error reply, a refused community),
// and then `result` holds nothing. A missing object is no failure (its
// value is missing).
using SnmpPollDone = void (*)(SnmpLink *link, bool answered, const SnmpPollResult &result,
                              void *ctx, LoopTime now);
// A send's completion: `ok` when the card took every SET (a line on
// standard output said what went wrong otherwise).
using SnmpSendDone = void (*)(SnmpLink *link, bool ok, void *ctx, LoopTime now);

struct SnmpLink {
    // Settings (snmp_link_set) and limits (defaults; the tests lower them).
    std::string host;      // IPv4 address of the card
    int port = SNMP_LINK_PORT;
    std::string community; // read and write community; "public" when none was given
    long timeout_us = SNMP_LINK_TIMEOUT_US; // per request and per retry
    int retries = SNMP_LINK_RETRIES;
    double limit_s = SNMP_LINK_LIMIT_S;     // per operation, on the loop's clock
    int walk_max = SNMP_LINK_WALK_MAX;

    // Session.
    Loop *loop = nullptr;    // snmp_link_attach's
    void *session = nullptr; // Net-SNMP single session; nullptr: not open
    int fd = -1;             // the session's socket while the loop watches it
    long version = -1;       // the SNMP version the card answered (Net-SNMP's constant); -1 not yet
    bool trying_v1 = false;  // the next operation goes out as v1 (v2c got no answer)

    // The operation in flight (the link's own; see snmp_link_busy).
    int op = 0;              // none, poll or send
    int stage = 0;           // the request the operation waits for (GET, walk, lock, SET)
    int reqid = 0;           // the request waited for; 0 when none is out
    snmp_pdu *reply = nullptr; // its answer once it came (a copy; the link frees it)
    bool replied = false;    // the request waited for ended (reply, or nullptr: no answer)
    int rounds = 0;          // GET: requests sent (v1 leaves refused objects out and asks again);
                             // walk: rows read
    std::vector<unsigned long> at; // walk: the identifier reached
    SnmpPollPlan poll_plan;
    SnmpPollResult poll_result;
    SnmpSendPlan send_plan;
    SnmpPollDone poll_done = nullptr;
    SnmpSendDone send_done = nullptr;
    void *ctx = nullptr;
    // Datagrams from anyone but the card (see SNMP_LINK_FOREIGN_MAX).
    long long foreign_dropped = 0;   // since the link was made
    int foreign_unreported = 0;      // dropped since the last line about them
    bool foreign_reported = false;   // a line about them was printed
    double foreign_reported_at = 0;  // monotonic seconds of that line
    LoopTimer retry_timer;   // the library's next time-out or retry
    LoopTimer limit_timer;   // the operation's limit (also: a failure to report from the loop)
};

// Takes "A.B.C.D" or "A.B.C.D:PORT" and the community (empty: "public").
// Returns false (and says why in *why) for a device that is no IPv4
// address and port; the link is then not set. A set link is closed first
// (what is in flight is dropped, see snmp_link_close) and forgets the
// version the card answered.
bool snmp_link_set(SnmpLink *link, const std::string &device, const std::string &community,
                   std::string *why);

// The loop the link works on; once, before the first operation.
void snmp_link_attach(SnmpLink *link, Loop *loop);

// True while an operation is in flight (started, its completion not yet
// run). A completion runs with the link no longer busy, so it may start
// the next operation.
bool snmp_link_busy(const SnmpLink *link);

// Starts a poll: one GET of the plan's objects (SNMP v1 refuses a whole GET
// for one missing object: it is left out and the rest asked again), then,
// when the object at walk_if came as a number above 0, a GETNEXT walk of the
// column to its end or SNMP_LINK_WALK_MAX rows. `done` runs exactly once,
// later, from the loop (never inside this call), unless snmp_link_close
// or snmp_link_set drops the poll first. Returns false, and `done` never
// runs, when the link is busy, not set or not attached.
bool snmp_link_poll_start(SnmpLink *link, const SnmpPollPlan &plan, SnmpPollDone done,
                          void *ctx);

// Starts a send: the plan's SETs in one SET request, the lock (when the plan
// names one) read first and set with them (the SETs go out without it when
// it cannot be read). `done` and the return value as for
// snmp_link_poll_start.
bool snmp_link_send_start(SnmpLink *link, const SnmpSendPlan &plan, SnmpSendDone done,
                          void *ctx);

// Drops what is in flight without running its completion (a late answer is
// never taken), stops watching the socket and closes the session (the next
// operation opens it again); the settings and the loop stay. May be called
// from a completion.
void snmp_link_close(SnmpLink *link);

// A varbind's value: numbers of the integer types (Counter32, Gauge32 and
// TimeTicks never negative), octet strings as text, object identifiers
// dotted; anything else (no such object or instance, end of view, other
// types) missing.
SnmpValue snmp_link_value(const variable_list *var);

// "1.3.6..." into `out` (at most MAX_OID_LEN parts; Net-SNMP's `oid` is
// unsigned long); false for anything that is not dotted numbers.
bool snmp_link_oid_parse(const std::string &text, std::vector<unsigned long> *out);

// An object identifier as dotted numbers.
std::string snmp_link_oid_text(const unsigned long *name, size_t len);
