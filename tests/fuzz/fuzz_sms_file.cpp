// "Set/SMS.ang" as the daemon reads it at start and on "RefreshSMS".
#include "store/sms.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_write("Set/SMS.ang", data, size);
    sms_settings_read(path);
    SmsSettings s = sms_settings_get();
    if (strnlen(s.sms_phones, sizeof s.sms_phones) == sizeof s.sms_phones)
        __builtin_trap();
    return 0;
}
