#include "senders/sender.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

// What the watchdog prints and exits with; prepared before it is armed, as
// a signal handler may only write and exit.
static char watchdog_line[128];
static size_t watchdog_length;
static int watchdog_code = 1;

int sender_fail(const char *program, const std::string &reason, int code)
{
    std::string line = reason;
    for (char &c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    fprintf(stderr, "%s: %s\n", program, line.c_str());
    return code;
}

bool sender_has_line_break(const char *text)
{
    return strpbrk(text, "\r\n") != nullptr;
}

static void sender_watchdog(int)
{
    ssize_t ignored = write(STDERR_FILENO, watchdog_line, watchdog_length);
    (void)ignored;
    _exit(watchdog_code);
}

bool sender_start(const char *program, int code)
{
    signal(SIGPIPE, SIG_IGN);
    int n = snprintf(watchdog_line, sizeof watchdog_line, "%s: gave up after %ld s\n", program,
                     SENDER_TIMEOUT_SECONDS);
    watchdog_length = n > 0 && n < static_cast<int>(sizeof watchdog_line) ? n : 0;
    watchdog_code = code;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = sender_watchdog;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm(SENDER_WATCHDOG_SECONDS);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

void sender_limit(CURL *curl, char *error)
{
    error[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, SENDER_TIMEOUT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, SENDER_CONNECT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, SENDER_TIMEOUT_SECONDS);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // time-outs without SIGALRM
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
}

std::string sender_reason(CURLcode code, const char *error)
{
    if (error && error[0])
        return error;
    return curl_easy_strerror(code);
}
