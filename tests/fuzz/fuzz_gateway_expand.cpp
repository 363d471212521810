// The gateway template expansion: a template from the input (up to its
// first NUL), then the six values (each up to the next NUL). Whatever the
// template, a request made of it carries no control byte, and a value never
// brings a byte of its own that is not encoded.
#include "store/sms_gateway.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    std::string url_template = in.until_nul();
    SmsValues values;
    std::string *fields[] = {&values.id,   &values.password, &values.api_id,
                             &values.phone, &values.text,    &values.time};
    for (std::string *f : fields)
        *f = in.until_nul();
    sms_gateway_host(url_template);
    SmsRequest request = {true, "untouched", "untouched"};
    if (sms_gateway_expand(url_template, values, &request) != 0) {
        if (request.url != "untouched" || request.body != "untouched")
            __builtin_trap(); // a refusal leaves the request alone
        return 0;
    }
    for (unsigned char c : request.url + request.body)
        if (c < 0x20 || c == 0x7f)
            __builtin_trap();
    return 0;
}
