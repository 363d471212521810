#include "senders/mail_args.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "senders/sender.h"

static const char PROGRAM[] = "mail";

const char MAIL_USAGE[] = "usage: mail SERVER[:PORT] \"MAIL FROM:<sender>\" "
                          "\"RCPT TO:<receiver>\" TIMESTAMP \"Subject:TEXT\" \" EVENT\"";

// `text` without its leading blanks.
static std::string mail_skip_blanks(const std::string &text)
{
    size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first);
}

static bool mail_host_char(char c, bool bracketed)
{
    if (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')
        return true;
    return bracketed && c == ':';
}

MailTls mail_tls_rule(const char *line, bool login)
{
    if (strcmp(line, "tls=off") == 0)
        return MAIL_TLS_OFF;
    if (strcmp(line, "starttls=required") == 0 || login)
        return MAIL_TLS_REQUIRED;
    return MAIL_TLS_TRY;
}

bool mail_parse_server(const std::string &given, MailServer *out)
{
    static const char SMTPS[] = "smtps://", SMTP[] = "smtp://";
    std::string text = given;
    bool implicit_tls = false;
    if (text.compare(0, sizeof SMTPS - 1, SMTPS) == 0) {
        implicit_tls = true;
        text = text.substr(sizeof SMTPS - 1);
    } else if (text.compare(0, sizeof SMTP - 1, SMTP) == 0) {
        text = text.substr(sizeof SMTP - 1);
    }
    size_t host_end;
    bool bracketed = !text.empty() && text[0] == '[';
    if (bracketed) {
        size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host_end = close + 1;
    } else {
        host_end = text.find(':');
        if (host_end == std::string::npos)
            host_end = text.size();
    }
    std::string host = text.substr(0, host_end);
    std::string inner = bracketed ? host.substr(1, host.size() - 2) : host;
    if (inner.empty())
        return false;
    for (char c : inner) {
        if (!mail_host_char(c, bracketed))
            return false;
    }
    int port = implicit_tls ? 465 : 25;
    if (host_end < text.size()) {
        if (text[host_end] != ':' || host_end + 1 == text.size())
            return false;
        port = 0;
        for (size_t i = host_end + 1; i < text.size(); i++) {
            if (!isdigit(static_cast<unsigned char>(text[i])) || port > 65535)
                return false;
            port = port * 10 + (text[i] - '0');
        }
        if (port < 1 || port > 65535)
            return false;
    }
    out->host = host;
    out->port = port;
    out->implicit_tls = implicit_tls;
    return true;
}

// The address after `prefix` ("MAIL FROM:" or "RCPT TO:", any case), blanks
// and one pair of angle brackets removed. Returns 0, or the exit status
// after printing why the argument is refused.
static int mail_address(const char *arg, const char *prefix, const char *role, std::string *out)
{
    size_t prefix_length = strlen(prefix);
    if (strncasecmp(arg, prefix, prefix_length) != 0)
        return sender_fail(PROGRAM, MAIL_USAGE, MAIL_EXIT_USAGE);
    std::string address = arg + prefix_length;
    size_t first = address.find_first_not_of(' ');
    size_t last = address.find_last_not_of(' ');
    address = first == std::string::npos ? "" : address.substr(first, last + 1 - first);
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
        address = address.substr(1, address.size() - 2);
    if (address.empty())
        return sender_fail(PROGRAM, std::string("empty ") + role + " address", MAIL_EXIT_USAGE);
    if (address.find_first_of("<>") != std::string::npos)
        return sender_fail(PROGRAM, std::string("bad ") + role + " address", MAIL_EXIT_USAGE);
    *out = address;
    return 0;
}

int mail_args_parse(int argc, const char *const *argv, MailArgs *out)
{
    if (argc != 7)
        return sender_fail(PROGRAM, MAIL_USAGE, MAIL_EXIT_USAGE);
    for (int i = 1; i < argc; i++) {
        // A line break would let an argument add headers or SMTP commands.
        if (sender_has_line_break(argv[i]))
            return sender_fail(PROGRAM, "argument " + std::to_string(i) + " contains a line break",
                               MAIL_EXIT_USAGE);
    }
    if (!mail_parse_server(argv[1], &out->server))
        return sender_fail(PROGRAM, std::string("bad server \"") + argv[1] + "\"",
                           MAIL_EXIT_USAGE);
    int status = mail_address(argv[2], "MAIL FROM:", "sender", &out->sender);
    if (status != 0)
        return status;
    status = mail_address(argv[3], "RCPT TO:", "receiver", &out->receiver);
    if (status != 0)
        return status;
    static const char SUBJECT_PREFIX[] = "Subject:";
    if (strncasecmp(argv[5], SUBJECT_PREFIX, sizeof SUBJECT_PREFIX - 1) != 0)
        return sender_fail(PROGRAM, MAIL_USAGE, MAIL_EXIT_USAGE);
    out->subject = mail_skip_blanks(argv[5] + (sizeof SUBJECT_PREFIX - 1)) + argv[6];
    if (out->subject.size() > MAIL_SUBJECT_LIMIT)
        return sender_fail(PROGRAM, "subject longer than " + std::to_string(MAIL_SUBJECT_LIMIT) +
                                        " characters", MAIL_EXIT_USAGE);
    out->timestamp = argv[4];
    out->event = mail_skip_blanks(argv[6]);
    return 0;
}
