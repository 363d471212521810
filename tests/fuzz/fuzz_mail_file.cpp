// "Set/Mail.ang" as the daemon reads it at start and on "RefreshMail".
#include "store/mail.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_write("Set/Mail.ang", data, size);
    mail_settings_read(path);
    MailSettings m = mail_settings_get();
    if (strnlen(m.mail_receivers, sizeof m.mail_receivers) == sizeof m.mail_receivers ||
        strnlen(m.mail_events, sizeof m.mail_events) == sizeof m.mail_events)
        __builtin_trap();
    return 0;
}
