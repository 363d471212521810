// What the two sender programs (`mail` and `sms`) share: how they report a
// failure and the limits every transfer runs under. Both are started by the
// daemon without a terminal and must end on their own.
#pragma once

#include <curl/curl.h>

#include <string>

// Every transfer gives up after this many seconds in all.
constexpr long SENDER_TIMEOUT_SECONDS = 30;

// Of these, at most this many for setting up the connection.
constexpr long SENDER_CONNECT_SECONDS = 10;

// The process ends itself this long after sender_start, whatever it waits
// for: libcurl's own limit does not cover every wait (an SMTP server silent
// after the end of the message is waited for much longer).
constexpr unsigned SENDER_WATCHDOG_SECONDS = SENDER_TIMEOUT_SECONDS + 2;

// Prints "<program>: <reason>" as exactly one line on standard error (line
// breaks and other control characters in `reason` become blanks) and returns
// `code`, so a caller can write `return sender_fail(...)`.
int sender_fail(const char *program, const std::string &reason, int code);

// True when `text` contains a CR or LF.
bool sender_has_line_break(const char *text);

// Prepares the process for its one transfer: a peer closing the connection
// must not kill it with SIGPIPE; the watchdog is set (when it fires, it prints
// "<program>: gave up after 30 s" and exits with `watchdog_code`); libcurl is
// initialised. `program` must stay valid. Returns false when libcurl cannot
// be initialised.
bool sender_start(const char *program, int watchdog_code);

// Sets the options every transfer shares on `curl`: the time-outs above, no
// signals, certificate and host name checks on, and `error` (room for
// CURL_ERROR_SIZE bytes) as the error buffer.
void sender_limit(CURL *curl, char *error);

// The reason of a failed transfer: the text of the error buffer, or
// libcurl's text for `code` when the buffer is empty.
std::string sender_reason(CURLcode code, const char *error);
