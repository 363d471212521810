// Who may send commands to port 2027: "Set/Clients.ang" lists IPv4
// addresses or networks and what they may do. Reads ("ALL") are open to
// every peer; UPS commands and reloads only to loopback and to the peers a
// `command` line covers. The file travels nowhere: it is read at start-up
// and on "RefreshSet".
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "base/address.h"

// The file's name below the program directory.
constexpr const char *ACCESS_FILE = "Set/Clients.ang";

// Reads the rules from `path`, creating it (mode 0600, a comment line and no
// rules) when missing. A line that is not "ADDRESS[/BITS] read|command" is
// reported with one line and skipped; comments start with '#'. Returns the
// number of rules taken; -1 when the file can be neither read nor created
// (then no remote peer may command).
int access_load(const std::string &path);

// True when the peer at IPv4 `address` (host byte order) may send commands:
// always for 127.0.0.0/8; else as the most specific line covering it says;
// no line: read only.
bool access_may_command(uint32_t address);

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

// Lines of one kind, by peer address (host byte order). Not locked: each
// table belongs to one thread or to its caller's lock.
using AccessReports = std::unordered_map<uint32_t, AccessReport>;

// Whether a line for `address` is due at `now`: 0 when one was printed less
// than ACCESS_REPORT_SPACING ago (this occurrence is counted for the next
// line), else the number of occurrences the line stands for, this one
// included.
int access_report_due(AccessReports *table, uint32_t address, double now);

// Forgets the peers whose last line is old and who did nothing since, so a
// table of many peers does not grow for ever.
void access_reports_forget(AccessReports *table, double now);
