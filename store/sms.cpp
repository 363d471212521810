#include "store/sms.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "base/log.h"
#include "store/paths.h"
#include "store/spawn.h"
#include "store/textfile.h"

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static SmsSettings record;
static std::string program;   // program_dir + "sms"
static std::string file_path; // program_dir + "Set/SMS.ang"

static const int FILE_BUFFER = 2048; // six lines of up to 255 characters

static void reset_locked()
{
    memset(&record, 0, sizeof record);
    memset(record.sms_events, '0', 9);
}

static std::string contents_locked()
{
    char gateway[8];
    snprintf(gateway, sizeof gateway, "%d", record.sms_gateway);
    return std::string(gateway) + "\n" + record.sms_id + "\n" + record.sms_api_id + "\n" +
           record.sms_password + "\n" + record.sms_phones + "\n" + record.sms_events + "\n";
}

void sms_init(const std::string &dir)
{
    ensure_dir(dir + "Set/");
    {
        Guard g(lock);
        program = dir + "sms";
        file_path = dir + "Set/SMS.ang";
    }
    sms_settings_read(dir + "Set/SMS.ang");
}

void sms_settings_read(const std::string &path)
{
    char data[FILE_BUFFER];
    int size = read_file(path, data, sizeof data);
    bool missing = size == 0 || (size < 0 && errno == ENOENT); // a refused file stays as it is
    Guard g(lock);
    reset_locked();
    if (missing) {
        std::string text = contents_locked();
        write_file(path, text.data(), static_cast<int>(text.size()), 0600);
        return;
    }
    char gateway[22];
    char *fields[] = {gateway,           record.sms_id,     record.sms_api_id,
                      record.sms_password, record.sms_phones, record.sms_events};
    int sizes[] = {sizeof gateway,             sizeof record.sms_id,
                   sizeof record.sms_api_id,   sizeof record.sms_password,
                   sizeof record.sms_phones,   sizeof record.sms_events};
    gateway[0] = '\0';
    read_lines_whole(path, data, size, fields, sizes, 6);
    int index = parse_int_text(gateway);
    record.sms_gateway = static_cast<int8_t>(index < -128 || index > 127 ? 0 : index);
    // Kept as written (the console shows it), but the sender knows two.
    if (record.sms_gateway != 0 && record.sms_gateway != 1)
        log_warning("%s: line 1, gateway %d, is neither 0 nor 1: no SMS can be sent", path.c_str(),
                    record.sms_gateway);
    pad_flags(record.sms_events, 9);
    for (const std::string &phone : split_fields(record.sms_phones, ';'))
        if (!phone.empty() && !plausible_phone(phone))
            log_warning("%s: phone \"%.40s\" is no phone number and is skipped", path.c_str(),
                        phone.c_str());
}

bool sms_settings_write()
{
    Guard g(lock);
    std::string text = contents_locked();
    return write_file(file_path, text.data(), static_cast<int>(text.size()), 0600);
}

SmsSettings sms_settings_get()
{
    Guard g(lock);
    return record;
}

void sms_settings_set(const SmsSettings &s)
{
    Guard g(lock);
    record.sms_gateway = s.sms_gateway;
    copy_one_line(record.sms_id, sizeof record.sms_id, s.sms_id);
    copy_one_line(record.sms_api_id, sizeof record.sms_api_id, s.sms_api_id);
    copy_one_line(record.sms_password, sizeof record.sms_password, s.sms_password);
    copy_one_line(record.sms_phones, sizeof record.sms_phones, s.sms_phones);
    copy_one_line(record.sms_events, sizeof record.sms_events, s.sms_events);
    pad_flags(record.sms_events, 9);
}

bool sms_send_one(int gateway, const char *id, const char *api_id, const char *phone,
                  const char *text, int unit, time_t when)
{
    std::string prog;
    {
        Guard g(lock);
        prog = program.empty() ? program_dir() + "sms" : program;
    }
    char message[320];
    snprintf(message, sizeof message, "Machine%d %s", unit, text);
    char number[16];
    snprintf(number, sizeof number, "%d", gateway + 1);
    std::string stamp = time_stamp_text(when);
    // No password here: every user may read a command line, so the sender
    // takes it from "Set/SMS.ang" itself.
    std::vector<std::string> argv = {prog, number, id, phone, api_id, stamp,
                                     std::string(" ") + message};
    // The shell command line this start stands for, for the length rule.
    std::string line = prog + "  \"" + number + "\" \"" + id + "\" \"" + phone + "\" \"" +
                       api_id + "\" \"" + stamp + "\" \" " + message + "\" &";
    return spawn_command(line, argv);
}

int sms_notify(int gateway, const char *id, const char *api_id, const char *phones,
               const char *text, int unit, time_t when)
{
    return spawn_per_entry(phones, plausible_phone, [&](const std::string &phone) {
        return sms_send_one(gateway, id, api_id, phone.c_str(), text, unit, when);
    });
}
