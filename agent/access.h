// Who may send commands to port 2027: "Set/Clients.ang" lists IPv4
// addresses or networks and what they may do. Reads ("ALL") are open to
// every peer; UPS commands and reloads only to loopback and to the peers a
// `command` line covers. The file travels nowhere: it is read at start-up
// and on "RefreshSet".
#pragma once

#include <cstdint>
#include <string>

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

// The dotted form of an IPv4 address in host byte order.
std::string access_address_text(uint32_t address);
