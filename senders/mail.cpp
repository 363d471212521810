// mail: sends one event message by SMTP. The daemon starts it with exactly
// six arguments:
//
//   mail SERVER "MAIL FROM:<sender>" "RCPT TO:<receiver>" TIMESTAMP
//        "Subject:<subject>" " <event>"
//
// SERVER is "host" or "host:port" (port 25 by default; "[v6-address]:port"
// too), or "smtps://host[:port]" for TLS from the start (port 465). The
// subject line is <subject> followed by the last argument; the body tells
// the time stamp and the event. STARTTLS is used whenever the server offers
// it, with the certificate checked. Lines 5 to 8 of "Set/Mail.ang" beside
// the program give the SMTP login (user, password), the TLS rule and a file
// of certificate authorities. With a login, nothing goes out in clear: the
// server must offer STARTTLS (or be "smtps://") unless line 7 says
// "tls=off"; "starttls=required" asks the same without a login.
//
// Exit status: 0 the server accepted the message; 1 it was not delivered;
// 2 bad arguments. Every failure prints exactly one line on standard error.
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "senders/mail_args.h"
#include "senders/sender.h"
#include "store/paths.h"
#include "store/textfile.h"

static const char PROGRAM[] = "mail";

static const int EXIT_SENT = 0;
static const int EXIT_FAILED = 1;

// Lines 5 to 8 of "Set/Mail.ang" in the program directory: read here, so
// the password never appears on a command line.
struct MailLogin {
    std::string user;     // empty: no login
    std::string password;
    MailTls tls;          // line 7 (mail_tls_rule)
    std::string ca_file;  // empty: the system's certificate authorities
};

// The message being handed to libcurl.
struct MailUpload {
    const std::string *text; // the whole message, CRLF line ends
    size_t sent;             // bytes already handed over
};

// This host's name, reduced to the characters a domain may hold; used in the
// greeting and the Message-ID.
static std::string mail_host_name()
{
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    std::string clean;
    for (const char *p = name; *p; p++) {
        if (isalnum(static_cast<unsigned char>(*p)) || *p == '-' || *p == '.')
            clean += *p;
    }
    return clean.empty() ? "localhost" : clean;
}

// RFC 5322 date of the current local time, e.g. "Mon, 07 Dec 2026 10:00:05 +0100".
static std::string mail_date()
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local); // C locale: English names
    return text;
}

// A Message-ID no other message has: time, process, 64 random bits, host.
static std::string mail_message_id(const std::string &host)
{
    unsigned long long random = 0;
    if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        random = static_cast<unsigned long long>(clock()) ^ reinterpret_cast<uintptr_t>(&random);
    char text[512];
    snprintf(text, sizeof text, "<%lld.%ld.%016llx@%s>", static_cast<long long>(time(nullptr)),
             static_cast<long>(getpid()), random, host.c_str());
    return text;
}

static bool mail_is_ascii(const std::string &text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// The whole message, headers and body, with CRLF line ends.
static std::string mail_message(const std::string &sender, const std::string &receiver,
                                const std::string &subject, const std::string &timestamp,
                                const std::string &event, const std::string &host)
{
    std::string body = "Time: " + timestamp + "\r\nEvent: " + event + "\r\n";
    bool ascii = mail_is_ascii(body);
    std::string text;
    text += "Date: " + mail_date() + "\r\n";
    text += "From: <" + sender + ">\r\n";
    text += "To: <" + receiver + ">\r\n";
    text += "Message-ID: " + mail_message_id(host) + "\r\n";
    text += "Subject: " + subject + "\r\n";
    text += "MIME-Version: 1.0\r\n";
    text += ascii ? "Content-Type: text/plain; charset=us-ascii\r\n"
                  : "Content-Type: text/plain; charset=utf-8\r\n";
    text += ascii ? "Content-Transfer-Encoding: 7bit\r\n" : "Content-Transfer-Encoding: 8bit\r\n";
    text += "\r\n";
    text += body;
    return text;
}

static size_t mail_read(char *buffer, size_t size, size_t count, void *data)
{
    MailUpload *upload = static_cast<MailUpload *>(data);
    size_t room = size * count;
    size_t left = upload->text->size() - upload->sent;
    size_t n = left < room ? left : room;
    memcpy(buffer, upload->text->data() + upload->sent, n);
    upload->sent += n;
    return n;
}

// Lines 5 to 8 of the mail file below `dir`; a missing file or line: none.
static MailLogin mail_login(const std::string &dir)
{
    char data[4096];
    int size = read_file(dir + "Set/Mail.ang", data, sizeof data);
    char skip[4][512], user[512] = "", password[512] = "", tls[64] = "", ca[1024] = "";
    char *fields[] = {skip[0], skip[1], skip[2], skip[3], user, password, tls, ca};
    int sizes[] = {512, 512, 512, 512, sizeof user, sizeof password, sizeof tls, sizeof ca};
    if (size > 0)
        read_lines(data, size, fields, sizes, 8);
    return {user, password, mail_tls_rule(tls, user[0] || password[0]), ca};
}

// Hands the message to the server. Returns the exit status.
static int mail_send(const MailServer &server, const MailLogin &login, const std::string &sender,
                     const std::string &receiver, const std::string &message,
                     const std::string &host)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        return sender_fail(PROGRAM, "cannot start a transfer", EXIT_FAILED);
    char error[CURL_ERROR_SIZE];
    sender_limit(curl, error);
    // The path of an SMTP URL is the name we greet the server with.
    std::string url = std::string(server.implicit_tls ? "smtps://" : "smtp://") + server.host +
                      ":" + std::to_string(server.port) + "/" + host;
    std::string from = "<" + sender + ">";
    std::string to = "<" + receiver + ">";
    curl_slist *receivers = curl_slist_append(nullptr, to.c_str());
    MailUpload upload = {&message, 0};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, server.implicit_tls ? "smtps" : "smtp");
    // With TLS required a server that offers no STARTTLS gets nothing, not
    // the message or the login in clear: libcurl asks for STARTTLS before
    // any AUTH and gives up when it is not offered.
    static const long USE_SSL[] = {CURLUSESSL_TRY, CURLUSESSL_ALL, CURLUSESSL_NONE};
    curl_easy_setopt(curl, CURLOPT_USE_SSL, USE_SSL[login.tls]);
    if (!login.user.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, login.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, login.password.c_str());
    }
    if (!login.ca_file.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, login.ca_file.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, receivers);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, mail_read);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    CURLcode result = receivers ? curl_easy_perform(curl) : CURLE_OUT_OF_MEMORY;
    curl_slist_free_all(receivers);
    curl_easy_cleanup(curl);
    if (result == CURLE_USE_SSL_FAILED && login.tls == MAIL_TLS_REQUIRED && !server.implicit_tls)
        return sender_fail(PROGRAM, server.host + " offers no STARTTLS: nothing sent" +
                                        (login.user.empty() && login.password.empty()
                                             ? " (\"starttls=required\" on line 7 of Set/Mail.ang)"
                                             : ", the login is never sent in clear (\"tls=off\" "
                                               "on line 7 of Set/Mail.ang allows it)"),
                           EXIT_FAILED);
    if (result != CURLE_OK)
        return sender_fail(PROGRAM, sender_reason(result, error), EXIT_FAILED);
    return EXIT_SENT;
}

int main(int argc, char **argv)
{
    MailArgs args;
    int status = mail_args_parse(argc, argv, &args);
    if (status != 0)
        return status;

    if (!sender_start(PROGRAM, EXIT_FAILED))
        return sender_fail(PROGRAM, "cannot initialise libcurl", EXIT_FAILED);
    std::string host = mail_host_name();
    std::string message =
        mail_message(args.sender, args.receiver, args.subject, args.timestamp, args.event, host);
    MailLogin login = mail_login(program_dir_from(argv[0]));
    status = mail_send(args.server, login, args.sender, args.receiver, message, host);
    curl_global_cleanup();
    return status;
}
