// The client socket server of upsagent on TCP port 2027: consoles and other
// daemons (remote units) read a unit's StatusRecord with "ALL" and the unit
// byte, pass UPS commands through to unit 1, and make the daemon reload a
// file ("RefreshSet", "RefreshMail", "RefreshSMS", "RefreshPlan"). No reply
// but the StatusRecord and no framing beyond the requests' own: each
// session's bytes are cut into requests as they come (server_stream_take),
// however the reads split or join them.
//
// Its sockets are non-blocking and watched by the daemon's event loop; its
// handlers take the time of their event from the loop. What one peer may
// hold is bounded: sessions per address, idle time, unsent output. Commands
// other than reads need the access rules' consent (access module: who the
// client process is on this host, by its socket's owner; the address
// rules for other hosts), and reloads are spaced so a flood of them cannot
// stall anything.
#pragma once

#include "base/peer_owner.h"

#include <cstdint>
#include <string>
#include <vector>

#include "base/loop.h"
#include "link/link.h"
#include "protocol/machine.h"

constexpr int SERVER_PORT = 2027;
constexpr int SERVER_MGMT_PORT = LINK_MGMT_PORT; // the RFC 9271 protocol, on 127.0.0.1 and Network.ang's addresses
constexpr int SERVER_MAX_SESSIONS = 256;
constexpr int SERVER_MAX_PER_ADDRESS = 16;   // sessions of one peer that is not privileged
constexpr int SERVER_LOOPBACK_RESERVE = 8;   // sessions only privileged local peers may take
constexpr int SERVER_IDLE_SECONDS = 60;      // a session that sends nothing this long is closed
constexpr int SERVER_REQUEST_SECONDS = 60;   // ...and one that sends no whole request this long
constexpr int SERVER_OUTPUT_LIMIT = 16 * STATUS_RECORD_LEN; // unsent bytes before a session is closed
constexpr int SERVER_RELOAD_SPACING = 5;     // seconds between two reloads of one kind
constexpr double SERVER_COMMAND_SPACING = 1; // seconds between two UPS commands of one address

constexpr double SERVER_BIND_RETRY = 10;       // seconds between tries of a port that could not be bound

// What the server needs of the daemon, handed in (the server knows no more
// of it): the "RefreshSet" reload of the settings and the units in use.
struct ServerHooks {
    void (*reload_settings)(void *ctx) = nullptr; // settings, link and units anew
    int (*unit_count)(void *ctx) = nullptr;       // units in use, 1..4
    // Whether the peer of a new session (`fd`, from IPv4 `address`) may
    // take the loopback reserve and is free of the per-peer limit; nullptr:
    // the owner of a loopback peer's socket decides (server_peer_privileged,
    // and each other local uid is a peer of its own).
    bool (*peer_privileged)(int fd, uint32_t address, void *ctx) = nullptr;
    void *ctx = nullptr;
};

// The default of ServerHooks::peer_privileged: a peer on 127.0.0.0/8 whose
// socket (`fd`, accepted) belongs to root or a member of a configured group
// (peer_owner_of_accepted, access_may_command); an owner not known is not.
bool server_peer_privileged(int fd, uint32_t address, void *ctx);

// The per-peer key of a local client that is not privileged: one per uid
// (within 127.0.0.0/8, never 127.0.0.0 itself), so one local user's
// sessions count against that user alone; an owner not known shares the
// key of loopback.
uint32_t server_local_peer_key(const PeerOwner &owner);

// Why a new session is turned away when `open` sessions are open and its
// peer (127.0.0.0/8 being one) holds `held` of them, `privileged` as the
// hook says; nullptr when it is taken. Privileged peers have the whole
// table, the others share all but SERVER_LOOPBACK_RESERVE sessions, at most
// SERVER_MAX_PER_ADDRESS each.
const char *server_refusal(int open, int held, bool privileged);

// Why a session is closed at `now` (monotonic seconds) when its last read
// that brought bytes was at `last_input` and its last whole request (a
// line on port 3493, a command of the table on port 2027) at
// `last_request`; nullptr while it stays. A peer that trickles bytes
// without ever ending a request is closed like an idle one.
const char *server_session_over(double now, double last_input, double last_request);

// Where the server listens; tests take other ports.
struct ServerPorts {
    int records = SERVER_PORT;    // port 2027, every local address
    int mgmt = SERVER_MGMT_PORT;  // port 3493, 127.0.0.1 and Network.ang's addresses
};

// Starts serving on `loop`: reads the access rules and the users, listens
// on port 2027 (all local addresses, SO_REUSEADDR) and for the RFC 9271
// protocol on port 3493 of 127.0.0.1 and of the addresses "Set/Network.ang"
// adds, and offers STARTTLS there when its certificate and key load. Each
// port and address is bound on its own: one that cannot be had is one line
// and is tried again every SERVER_BIND_RETRY seconds, while the others
// serve. `units` are the four unit contexts the records and variables are
// read from. Call once.
void server_start(Loop *loop, const ServerPorts &ports, MachineContext *units,
                  const ServerHooks &hooks);

// Closes every listener and session and stops the server's timers (the
// tests, and the daemon's orderly end).
void server_stop();

// The port a listener of `kind` (0: records, 1: mgmt) was bound to, for
// tests that ask for port 0; 0 while not bound.
int server_bound_port(int kind);

// Sets the four unit contexts server_command reads, as server_start does,
// without listening: for a caller of server_command that has no socket.
void server_set_units(MachineContext *units);

// What the command table knows of the peer that sent a command.
struct ServerPeer {
    uint32_t address; // IPv4, host byte order
    bool may_command; // the access rules let it send UPS commands and reloads
    std::string why;  // without `may_command`: why, for the refusal line; empty:
                      // the address rules (a host that may only read)
};

// Acts on one request (`len` bytes, as server_stream_take cut it) from
// `peer` at `now`; a StatusRecord asked for is appended to `reply`.
// Returns the number of the rule that matched: 1 ALL, 2 C, 3 CT, 4 T, 5 TL,
// 6 S... (a turn-off of the UPS command language), 7 RefreshMail,
// 8 RefreshSMS, 9 RefreshPlan, 10 RefreshSet, 11 anything else (an "S" that
// does not parse too), 12 a command the peer may not send (dropped), 13 a
// UPS command within SERVER_COMMAND_SPACING of the last one taken from the
// same address (dropped). A UPS command (2..6) is the whole request, exactly
// one command of the language with its carriage return (ups_command_parse),
// and joins unit 1's command queue. Rules 11, 12 and 13 print a line (with
// the count it stands for) at most once per kind per ACCESS_REPORT_SPACING,
// whichever peer caused them (the one line throttle of the access module).
// UPS commands are spaced per peer, 127.0.0.0/8 being one.
int server_command(const ServerPeer &peer, const unsigned char *data, int len, LoopTime now,
                   std::string *reply);

// True for a request the peer needs the command right for: the rules 2..10
// of server_command (the UPS commands and the reloads).
bool server_request_needs_right(const unsigned char *data, int len);

// The most bytes of one request kept (a wrong one is cut there for its line).
constexpr int SERVER_REQUEST_MAX = 1024;

// One session's requests on port 2027 as they come out of its byte stream.
struct ServerStream {
    std::string pending; // the start of a request the next read may complete:
                         // at most 10 bytes ("RefreshMai")
};

// Cuts one read (`len` bytes) into the requests it completes, appended in
// order to *requests; the start of one still incomplete stays in `stream`
// for the next read. No I/O. The requests:
//   "ALL" and the unit byte (any byte: server_command answers 1..4);
//   "RefreshMail", "RefreshSMS", "RefreshPlan": the rest of the read up to
//     and including a carriage return is dropped (trailing bytes have always
//     been allowed there);
//   "RefreshSet": only when the read ends or CR, LF or NUL follows; glued to
//     other bytes it is a wrong request;
//   a line ended by CR: T, TL, CT, C, S... (server_command judges it);
//     while its CR has not come it is shorter than UPS_COMMAND_MAX_LEN and
//     made of the language's bytes (S T L C R . digits), else it is wrong.
// CR, LF and NUL between requests are separators (the NUL after "ALL"'s
// unit byte, a CR LF's LF) and are dropped. A byte no request can continue
// with makes a wrong request that runs to the next CR or the end of the
// read, whichever comes first (at most SERVER_REQUEST_MAX bytes of it kept),
// so the next request is found again: "T\r\nCT\r" is T and CT,
// "S01\rQ\rT\r" is S01, a wrong "Q\r" and T, "S02R" then "0480\r" is
// S02R0480, "S02R" then "Q1\r" one wrong "S02RQ1\r".
void server_stream_take(ServerStream *stream, const unsigned char *data, int len,
                        std::vector<std::string> *requests);

// Carries out the reloads that were held back to keep them spaced, when
// their time has come. The server's own timer calls it every second.
void server_run_due_reloads(LoopTime now);

// Every file anew at `now`, as "RefreshMail", "RefreshSMS", "RefreshPlan"
// and "RefreshSet" together, without their spacing (SIGHUP).
void server_reload_all(LoopTime now);
