// The `sms` sender's command line: the input cut at NUL bytes into the
// arguments, taken as the program takes its argv; what it takes is then
// expanded into the request of the default gateway templates (with a
// password of odd bytes, as the program reads it from its file).
#include "senders/sms_args.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    std::vector<std::string> args = {"sms"};
    while (!in.done() && args.size() < 10)
        args.push_back(in.until_nul());
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    SmsArgs parsed;
    int status = sms_args_parse(static_cast<int>(args.size()), argv.data(), &parsed);
    if (status != 0) {
        if (status != SMS_EXIT_USAGE)
            __builtin_trap();
        return 0;
    }
    parsed.values.password = "p&ss w=%\x01";
    for (int g = 0; g < SMS_GATEWAY_COUNT; g++) {
        SmsRequest request;
        if (sms_gateway_expand(sms_gateway_default(g), parsed.values, &request) != 0)
            __builtin_trap(); // the defaults take any values
        for (unsigned char c : request.url + request.body)
            if (c < 0x21 || c >= 0x7f)
                __builtin_trap(); // every value arrives encoded
    }
    return 0;
}
