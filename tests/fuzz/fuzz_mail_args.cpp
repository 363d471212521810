// The `mail` sender's command line: the input cut at NUL bytes into the
// arguments (any number of them), taken as the program takes its argv.
#include "senders/mail_args.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    std::vector<std::string> args = {"mail"};
    while (!in.done() && args.size() < 9)
        args.push_back(in.until_nul());
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    MailArgs parsed;
    int status = mail_args_parse(static_cast<int>(args.size()), argv.data(), &parsed);
    if (status == 0) {
        std::string all = parsed.server.host + parsed.sender + parsed.receiver + parsed.subject +
                          parsed.timestamp + parsed.event;
        if (all.find_first_of("\r\n") != std::string::npos || parsed.server.port < 1 ||
            parsed.server.port > 65535 || parsed.subject.size() > MAIL_SUBJECT_LIMIT)
            __builtin_trap(); // nothing taken could add a header or an SMTP command
    } else if (status != MAIL_EXIT_USAGE) {
        __builtin_trap();
    }
    return 0;
}
