// "Set/SMSGateway.ang" as `sms` reads it, each template expanded with the
// values the daemon passes and its host name taken as the console shows it.
#include "store/sms_gateway.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write("Set/SMSGateway.ang", data, size);
    std::string templates[SMS_GATEWAY_COUNT];
    if (!sms_gateway_load(fuzz_program_dir(), templates))
        __builtin_trap(); // the file is there and readable
    SmsValues values = {"acct", "p&ss w", "3141", "+49 170 1234", "Machine1 AC Failed",
                        "2026/12/07 10:00:05"};
    for (const std::string &t : templates) {
        sms_gateway_host(t);
        SmsRequest request;
        if (sms_gateway_expand(t, values, &request) == 0) {
            for (unsigned char c : request.url + request.body)
                if (c < 0x20 || c == 0x7f)
                    __builtin_trap(); // nothing sent carries a control byte
        }
    }
    return 0;
}
