// The UPS management protocol of RFC 9271 (the one port 3493 speaks): its
// request lines, the units as "ups1".."ups4" (unit 1 also as "ups"), their
// variables under the protocol's standard names, and the replies. No
// socket here: the server hands in one line at a time and sends what comes
// back. Reads are open to every client; LOGIN, PRIMARY, FSD and INSTCMD
// need a user of "Set/Users.ang" with the role for it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "base/loop.h"
#include "protocol/machine.h"

// Longest request line taken, newline excluded; a longer one is answered
// "ERR TOO-LONG" without being parsed.
constexpr int MGMT_LINE_MAX = 512;

// The guessing limit of a source (one peer address, all of 127.0.0.0/8
// being one): a wrong password or unknown name takes one of its
// MGMT_GUESS_BURST checks, which come back at MGMT_GUESS_RATE a second;
// with none left a check is refused without crypt(3). A right password
// takes none, and a refusal binds only the session that had it.
constexpr double MGMT_GUESS_BURST = 10;
constexpr double MGMT_GUESS_RATE = 2;

// Seconds after an INSTCMD taken during which the session's next one is
// refused (ERR INSTCMD-FAILED).
constexpr double MGMT_INSTCMD_SPACING = 1.0;

// One client connection's protocol state.
struct MgmtSession {
    uint32_t peer = 0;        // IPv4 address, host byte order
    // The source the guessing limit counts this session's wrong passwords
    // against (the server's per-peer key: a local user of its own); 0: the
    // peer's address, 127.0.0.0/8 being one (access_peer_key).
    uint32_t source = 0;
    std::string username;     // given by USERNAME; empty: none yet
    std::string password;     // given by PASSWORD; empty: none yet
    bool ending = false;      // LOGOUT was answered: close after the reply
    bool tls_offered = false; // set by the server: STARTTLS can be granted
    bool tls_active = false;  // set by the server once the handshake is done
    bool tls_required = false; // set by the server: a password or a login
                               // before tls_active is ERR ACCESS-DENIED
    bool tls_start = false;   // STARTTLS was granted: the server sends the
                              // reply, then takes the rest of the connection
                              // as TLS (and clears this flag)
    int login = -1;           // unit index LOGIN was granted for; -1 none
    int primary = -1;         // unit index PRIMARY (or MASTER) was granted for; -1 none
    bool verified = false;    // username and password were checked...
    int roles = 0;            // ...and these USER_* roles came of it (-1: refused, for
                              // the rest of the session)...
    uint64_t generation = 0;  // ...for this stamp of the user (users_current): a reload
                              // that changed the user ends the login at the next
                              // privileged request, and LIST CLIENT no longer counts it
    double instcmd_at = -1;   // monotonic seconds of the last INSTCMD taken; < 0 none
};

// The unit contexts and how many of them are in use (`count(ctx)` is
// called at every request; the settings may change the number).
void mgmt_configure(MachineContext *units, int (*count)(void *ctx), void *ctx);

// Splits a request line into words: blanks separate, a double-quoted word
// may hold blanks, and a backslash takes the next character as it is.
// Returns false for an unterminated quote or a backslash at the end.
bool mgmt_split(const std::string &line, std::vector<std::string> *words);

// `text` in double quotes, with '"' and '\' escaped by a backslash and
// every byte outside 0x20..0x7E as '?' (never a line end in a reply).
std::string mgmt_quote(const std::string &text);

// The variables of unit `index` (0..3) in the order LIST VAR gives them,
// values as sent, at `now` (ups.status carries FSD by the decision's time);
// *stale is set when the unit is lost or has no status yet (then
// ups.status is empty).
std::vector<std::pair<std::string, std::string>> mgmt_variables(int index, bool *stale,
                                                                time_t now);

// The session is closed: its login no longer counts. Call once per session
// that was handed to mgmt_request.
void mgmt_session_end(MgmtSession *session);

// True when `command` (a request's first word) must wait for TLS in
// `session`: it carries or needs a password (USERNAME, PASSWORD, LOGIN,
// PRIMARY, MASTER, FSD, INSTCMD) and the session has tls_required set and
// no TLS yet. mgmt_request answers such a request ERR ACCESS-DENIED.
bool mgmt_needs_tls(const MgmtSession &session, const std::string &command);

// Answers one request line (without its newline) at `now` (the wall clock
// for FSD, the monotonic one for the spacing of password checks and the
// guessing limit). A password check is one crypt(3), some milliseconds on
// the caller's thread. The
// reply is one or more lines, each ending in "\n"; after LOGOUT
// `session->ending` is set.
std::string mgmt_request(MgmtSession *session, const std::string &line, LoopTime now);
