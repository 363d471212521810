// STARTTLS on port 3493, with OpenSSL. One server context for the process,
// made at start-up from the certificate and key of "Set/Network.ang"; per
// session a TLS state between two memory buffers: the server's loop keeps
// reading and writing the socket itself (non-blocking, in its epoll loop),
// hands what it received to tls_input and sends what tls_output gives. So
// the bytes that follow a STARTTLS line in the same read reach the
// handshake, and OpenSSL never waits for the socket. The server's thread
// only.
#pragma once

#include <cstdint>
#include <string>

struct TlsSession;

// Most handshakes one peer may start in a minute: each costs the daemon
// milliseconds of CPU, so a peer past it is closed before any handshake work.
constexpr int TLS_HANDSHAKES_PER_MINUTE = 30;

// Whether `peer` (a per-peer key, host byte order) may start a handshake at
// `now` (monotonic seconds), counting it when so. The table of peers stays
// within 1024, the one whose minute began longest ago forgotten first.
bool tls_handshake_allowed(uint32_t peer, double now);

// Loads the certificate chain and the key (PEM, the key unencrypted) and
// checks that they belong together; TLS 1.2 at least. Returns true when
// STARTTLS may be offered; false after one line on standard output saying
// what did not load (then STARTTLS stays off).
bool tls_configure(const std::string &certificate, const std::string &key);

// A session's TLS state, or nullptr when there is no context (or no memory).
TlsSession *tls_session_new();

// Frees the state; nullptr is allowed.
void tls_session_free(TlsSession *tls);

// Hands `len` bytes received from the socket to OpenSSL.
void tls_input(TlsSession *tls, const unsigned char *data, int len);

// Takes the handshake as far as the input allows. Returns 1 when it is done,
// 0 when it waits for more input from the peer, -1 when it failed (an alert
// may be waiting in the output: send it, then close).
int tls_handshake(TlsSession *tls);

// Appends every request byte decrypted from the input so far to *plain.
// Returns false when the peer ended the TLS session (close_notify) or broke
// it: after handling *plain, close.
bool tls_read(TlsSession *tls, std::string *plain);

// Encrypts `plain` for sending (it goes out through tls_output). False when
// the session can no longer send.
bool tls_write(TlsSession *tls, const std::string &plain);

// Queues the close_notify of an orderly end.
void tls_end(TlsSession *tls);

// Moves the bytes OpenSSL has for the peer to the end of *out.
void tls_output(TlsSession *tls, std::string *out);
