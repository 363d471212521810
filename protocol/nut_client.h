// The client side of the RFC 9271 protocol (port 3493), for a unit another
// server owns and the daemon watches as a secondary: where that server is,
// the request lines it takes, its reply lines taken apart, and the reading
// a set of its variables gives. No sockets and no clock here: the link
// sends the lines and hands back the replies.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protocol/machine.h"

constexpr int NUT_DEFAULT_PORT = 3493;
constexpr size_t NUT_UPS_NAME_MAX = 64;    // characters of a UPS name
constexpr size_t NUT_REPLY_LINE_MAX = 1024; // bytes of one reply line, without its "\n"

// Where a watched unit is: its name on the server and the server.
struct NutTarget {
    std::string ups;  // letters, digits, '-', '_', '.'; starts with a letter or digit
    std::string host; // an IPv4 address, an IPv6 address (without its brackets) or a host name
    int port = NUT_DEFAULT_PORT; // 1..65535
    bool ipv6 = false; // host is an IPv6 address
};

// Takes "UPSNAME@HOST[:PORT]": HOST is an IPv4 address, an IPv6 address in
// brackets ("ups@[::1]:3493") or a host name (labels of letters, digits and
// '-', 1..63 characters, not starting or ending with '-', joined by '.',
// 253 characters at most; a name of digits and dots only must be an IPv4
// address); PORT digits only, no leading zero, 1..65535, NUT_DEFAULT_PORT
// without one. False with a reason in *why (and *target untouched) for
// anything else.
bool nut_target_parse(const std::string &text, NutTarget *target, std::string *why);

// One value as it goes in a request: bare when it is a plain word, else in
// double quotes with '"' and '\' escaped by a '\' (a value with a space, a
// tab, a quote or a backslash, or an empty one). False (and *out untouched) for a
// value holding a line end ('\r', '\n') or a NUL: it is never sent.
bool nut_quote(const std::string &value, std::string *out);

// The request lines, each ended by "\n". A function with values returns
// false (and leaves *line untouched) when one of them is refused by
// nut_quote.
bool nut_request_username(const std::string &user, std::string *line);     // USERNAME user
bool nut_request_password(const std::string &password, std::string *line); // PASSWORD password
bool nut_request_login(const std::string &ups, std::string *line);         // LOGIN ups
bool nut_request_list_var(const std::string &ups, std::string *line);      // LIST VAR ups
bool nut_request_get_var(const std::string &ups, const std::string &name,
                         std::string *line);                               // GET VAR ups name
std::string nut_request_starttls();                                        // STARTTLS
std::string nut_request_logout();                                          // LOGOUT

// The kinds of reply line.
enum {
    NUT_REPLY_BAD = 0,   // refused: too long, a broken quote or escape, a control character
    NUT_REPLY_OK,        // "OK" or "OK <words>"
    NUT_REPLY_ERR,       // "ERR CODE [extra]"
    NUT_REPLY_VAR,       // "VAR ups name value"
    NUT_REPLY_BEGIN_LIST_VAR, // "BEGIN LIST VAR ups"
    NUT_REPLY_END_LIST_VAR,   // "END LIST VAR ups"
    NUT_REPLY_UNKNOWN,   // well formed, but none of the above
};

// One reply line taken apart. Words are separated by one or more spaces; a
// word is bare (no quote or backslash in it) or in double quotes, where a
// backslash escapes only a quote or a backslash; a space or the end follows it.
struct NutReply {
    int kind = NUT_REPLY_BAD;
    std::string ups;   // VAR, BEGIN / END LIST VAR
    std::string name;  // VAR: the variable's name; ERR: the code
    std::string value; // VAR: the value, unescaped; ERR: the extra words; OK: the words after OK
    std::string why;   // BAD: the reason
};

// Takes one line without its "\n". Returns false (kind NUT_REPLY_BAD, a
// reason in `why`) for a line over NUT_REPLY_LINE_MAX bytes, an empty one,
// an unterminated quote, a '\' not followed by '"' or '\' inside quotes,
// a quote or backslash inside a bare word, text right after a closing
// quote, or any byte below 0x20 or 0x7F. Otherwise true with the kind (an
// "ERR" without a code, or a VAR or LIST line with the wrong word count,
// is NUT_REPLY_UNKNOWN). Never reads past the line.
bool nut_reply_parse(const std::string &line, NutReply *reply);

// The reading a server's variables give (name, value pairs as GET VAR or
// LIST VAR brought them; a name given twice: the last counts).
// `ups.status` words: OL / OB onto b7 (mains failed '0' / '1'; OB wins;
// '?' without either), LB onto b6, BYPASS, BOOST or TRIM onto b5, CAL onto
// b2, OVER or ALARM onto b4 ('1' with the word, '0' without), b3 '1', b0
// and b1 '?' (the words never say). unit_flags from OVER, RB, BOOST, TRIM
// (buck), CHRG, DISCHRG; FSD sets *fsd (false otherwise). The standard
// variables fill the readings, ratings, identity texts (ups.* before
// device.*), battery_charge, battery_runtime and extra[MACHINE_X_*];
// ups.test.result's words become 1..6. A value that is no number where one
// is expected, or out of its plain range (a negative voltage, frequency,
// load or runtime, a charge outside 0..100, ...), or test words not known,
// is taken as not given and adds one line to *lines. Returns false (and
// adds one line) when ups.status is missing or empty: then *out is no
// reading.
bool nut_client_reading(const std::vector<std::pair<std::string, std::string>> &vars,
                        MachineReading *out, bool *fsd, std::vector<std::string> *lines);
