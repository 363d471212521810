// Who may send commands to port 2027. Reads ("ALL") are open to every
// peer. UPS commands and reloads: from loopback, by who the client process
// is (root, or a member of a group a `group NAME` line of "Set/Clients.ang"
// names); from other hosts, by the IPv4 addresses or networks the file
// lists and what they may do. The file travels nowhere: it is read at
// start-up and on "RefreshSet".
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/address.h"

// The file's name below the program directory.
constexpr const char *ACCESS_FILE = "Set/Clients.ang";

// Reads the rules from `path`, creating it (mode 0600, a comment line and no
// rules) when missing. A line that is neither "ADDRESS[/BITS] read|command"
// nor "group NAME" is reported with one line and skipped; comments start
// with '#'. A group is looked up (getgrnam) here, once per load: one the
// system does not know is one line and grants nothing. Returns the number of
// rules and groups taken; -1 when the file can be neither read nor created
// (then no remote peer may command, and only root of the local ones).
int access_load(const std::string &path);

// The uid of a loopback client whose owner could not be learnt.
constexpr int64_t ACCESS_OWNER_UNKNOWN = -1;

// True when the peer at IPv4 `address` (host byte order), whose client
// process runs as `uid` (ACCESS_OWNER_UNKNOWN: not known), may send
// commands. From 127.0.0.0/8: uid 0, or a member of a configured group
// (access_uid_in_groups); an unknown owner never. From other addresses: as
// the most specific address line covering it says, whatever `uid`; no line:
// read only.
bool access_may_command(uint32_t address, int64_t uid);

// One configured group as access_load found it.
struct AccessGroup {
    std::string name;
    uint32_t gid;
    std::vector<std::string> members; // the group's member list (user names)
};

// Whether the user (`uid`, its primary group `primary_gid`, its name `user`)
// belongs to one of `groups`: its primary group is one, or one lists its
// name. No lookups: the records are handed in.
bool access_user_in_groups(const std::vector<AccessGroup> &groups, uint32_t primary_gid,
                           const char *user);

// Whether `uid` belongs to a configured group: its passwd entry (getpwuid_r,
// at each call) held against the groups of the last load. False for a uid
// the system does not know.
bool access_uid_in_groups(uint32_t uid);

// The configured groups' names, ", "-separated ("" for none), for lines.
std::string access_group_names();

// The dotted form of an IPv4 address in host byte order (the server's and
// mgmt's name for ipv4_text).
inline std::string access_address_text(uint32_t address)
{
    return ipv4_text(address);
}

// Seconds between two lines of one kind for one peer.
constexpr int ACCESS_REPORT_SPACING = 60;

// The last line of one kind printed for one peer.
struct AccessReport {
    double at;   // when it was printed, in the caller's seconds
    int count;   // occurrences since then, not yet in a line
    double last; // when the latest occurrence was, printed or not
};

// Lines of one kind, by key (a peer address in host byte order, or a
// kind). Not locked: each table belongs to one thread or to its caller's
// lock.
using AccessReports = std::unordered_map<uint32_t, AccessReport>;

// Most keys a per-peer table holds: a new one beyond it forgets the one
// whose latest occurrence is the oldest (rotating sources must not grow
// the daemon).
constexpr size_t ACCESS_TABLE_LIMIT = 1024;

// Makes room for one more key in a per-peer table (a map from a key to a
// record) that holds ACCESS_TABLE_LIMIT: the entry whose `when(record)` is
// the oldest is forgotten. The one bound of every per-peer table.
template <class Table, class When> void access_table_make_room(Table *table, When when)
{
    if (table->size() < ACCESS_TABLE_LIMIT)
        return;
    auto oldest = table->begin();
    for (auto it = table->begin(); it != table->end(); ++it)
        if (when(it->second) < when(oldest->second))
            oldest = it;
    if (oldest != table->end())
        table->erase(oldest);
}

// Whether a line for `key` is due at `now`: 0 when one was printed less
// than ACCESS_REPORT_SPACING ago (this occurrence is counted for the next
// line), else the number of occurrences the line stands for, this one
// included. A `now` before the last line's (another clock) makes it due.
// The table stays within ACCESS_TABLE_LIMIT keys.
int access_report_due(AccessReports *table, uint32_t key, double now);

// The kinds of refusal and error lines of the ports, each throttled on its
// own whichever peer caused it.
enum AccessLine {
    ACCESS_LINE_REFUSED_COMMAND,    // port 2027: a command the peer may not send
    ACCESS_LINE_WRONG_COMMAND,      // port 2027: no command of the table
    ACCESS_LINE_SPACED_COMMAND,     // port 2027: a UPS command too soon after the last
    ACCESS_LINE_REFUSED_CONNECTION, // both ports: no session for the peer
    ACCESS_LINE_REFUSED_LOGIN,      // port 3493: unknown user or wrong password
    ACCESS_LINE_GUESSING,           // port 3493: a source over its guessing limit
    ACCESS_LINE_HANDSHAKES,         // port 3493: a peer over its TLS handshakes
    ACCESS_LINE_ENDED_LOGIN,        // port 3493: a login its user's reload ended
    ACCESS_LINE_KINDS
};

// The one throttle of those lines: whether a line of `kind` (AccessLine)
// is due at `now`, as access_report_due says it (0: counted, not due; else
// the occurrences the line stands for). Locked: any thread.
int access_line_due(int kind, double now);

// The one key per-peer limits use for `address`: all of 127.0.0.0/8 is one
// peer (any local process can take any of its addresses).
inline uint32_t access_peer_key(uint32_t address)
{
    return (address >> 24) == 127 ? 0x7f000000u : address;
}
