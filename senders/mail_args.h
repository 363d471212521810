// The command line of the `mail` sender, taken apart: the server to hand
// the message to, the two addresses, the subject and the event. Kept apart
// from the transfer so every check runs without a network.
#pragma once

#include <string>

// Where to connect.
struct MailServer {
    std::string host;  // name or address as it goes into the URL (an IPv6 address in brackets)
    int port;          // 1..65535
    bool implicit_tls; // "smtps://": TLS from the first byte (port 465 by default)
};

// What the six arguments say.
struct MailArgs {
    MailServer server;
    std::string sender;    // the address of "MAIL FROM:", without blanks and angle brackets
    std::string receiver;  // the address of "RCPT TO:", the same way
    std::string subject;   // the text after "Subject:" (leading blanks dropped) and the event argument
    std::string timestamp; // argument 4 as given
    std::string event;     // the event argument without its leading blanks
};

// Exit status of a command line that is refused.
constexpr int MAIL_EXIT_USAGE = 2;

// A subject line stays well inside SMTP's 998-byte line limit.
constexpr size_t MAIL_SUBJECT_LIMIT = 900;

// The usage line printed for a command line of the wrong form.
extern const char MAIL_USAGE[];

// How line 7 of "Set/Mail.ang" has the message sent (an index into the
// program's table of libcurl's CURLOPT_USE_SSL values).
enum MailTls {
    MAIL_TLS_TRY = 0,      // STARTTLS when the server offers it, else in clear
    MAIL_TLS_REQUIRED = 1, // STARTTLS or nothing ("smtps://" is TLS anyway)
    MAIL_TLS_OFF = 2,      // never STARTTLS: login and message in clear
};

// The rule of line 7 (`line`, as read) for a file with (`login`) or
// without an SMTP user or password: "starttls=required" is REQUIRED;
// "tls=off" is OFF; anything else is REQUIRED with a login (a password
// never goes out in clear unless the file says "tls=off" itself) and TRY
// without one.
MailTls mail_tls_rule(const char *line, bool login);

// Parses "host", "host:port", "[addr]" or "[addr]:port", optionally after
// "smtp://" or "smtps://". Returns false on an empty host, a character that
// has no place in a host name, or a port that is not a number from 1 to
// 65535 (`out` is then left as it was).
bool mail_parse_server(const std::string &given, MailServer *out);

// Takes the arguments `mail` was started with (argv[0] is the program).
// Returns 0 with `out` filled, or MAIL_EXIT_USAGE after one line on
// standard error saying why: not exactly six arguments, a line break in one
// (it could add headers or SMTP commands), a bad server, a missing prefix,
// an empty address or one with angle brackets inside, a subject over
// MAIL_SUBJECT_LIMIT.
int mail_args_parse(int argc, const char *const *argv, MailArgs *out);
