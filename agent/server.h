// The client socket server of upsagent on TCP port 2027: consoles and other
// daemons (remote units) read a unit's StatusRecord with "ALL" and the unit
// byte, pass UPS commands through to unit 1, and make the daemon reload a
// file ("RefreshSet", "RefreshMail", "RefreshSMS", "RefreshPlan"). No reply
// but the StatusRecord, no framing: each read from a client is one command.
//
// One thread accepts; each client gets a thread of its own, at most
// SERVER_MAX_SESSIONS at once.
#pragma once

#include "protocol/machine.h"

constexpr int SERVER_PORT = 2027;
constexpr int SERVER_MAX_SESSIONS = 64;

// Creates the listening socket (all local addresses, SO_REUSEADDR, backlog
// 8) and remembers the four unit contexts. Returns 0 when listening; on any
// failure prints "server Fail" with the reason and returns -1 (the daemon
// goes on polling without clients).
int server_start(int port, MachineContext *units);

// Starts the accept thread, when server_start succeeded. It runs until the
// process ends.
void server_accept_start();

// Writes the StatusRecord of unit `index` (0..3) to the socket: exactly 108
// bytes in one write. Prints a line and writes nothing for another index.
// Returns true when all 108 bytes went out.
bool status_record_write(int fd, int index);

// Acts on one received command (`len` bytes). Returns the number of the rule
// that matched: 1 ALL, 2 C, 3 CT, 4 T, 5 TL, 6 S..., 7 RefreshMail,
// 8 RefreshSMS, 9 RefreshPlan, 10 RefreshSet, 11 anything else.
int server_command(int fd, const unsigned char *data, int len);

// Client sessions open now.
int server_sessions();
