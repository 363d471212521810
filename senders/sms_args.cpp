#include "senders/sms_args.h"

#include <cctype>
#include <cstring>

#include "senders/sender.h"

static const char PROGRAM[] = "sms";

static const char USAGE[] = "usage: sms GATEWAY ID PHONE API_ID TIMESTAMP \" MESSAGE\"";

int sms_gateway_number(const char *text)
{
    size_t length = strlen(text);
    if (length == 0 || length > 9)
        return -1;
    int number = 0;
    for (size_t i = 0; i < length; i++) {
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return -1;
        number = number * 10 + (text[i] - '0');
    }
    return number;
}

int sms_args_parse(int argc, const char *const *argv, SmsArgs *out)
{
    if (argc != 7)
        return sender_fail(PROGRAM, USAGE, SMS_EXIT_USAGE);
    int gateway = sms_gateway_number(argv[1]);
    if (gateway < 0)
        return sender_fail(PROGRAM, std::string("bad gateway number \"") + argv[1] + "\"",
                           SMS_EXIT_USAGE);
    if (argv[3][0] == '\0')
        return sender_fail(PROGRAM, "empty phone number", SMS_EXIT_USAGE);
    out->gateway = gateway;
    out->values = SmsValues{};
    out->values.id = argv[2];
    out->values.phone = argv[3];
    out->values.api_id = argv[4];
    out->values.time = argv[5];
    // The daemon's text starts with a blank (" Machine1 AC Failed"); the
    // message itself starts with the event.
    out->values.text = argv[6][0] == ' ' ? argv[6] + 1 : argv[6];
    return 0;
}
