#include "store/mail.h"

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
static MailSettings record;
static std::string program;   // program_dir + "mail"
static std::string file_path; // program_dir + "Set/Mail.ang"

static const int FILE_BUFFER = 2048; // eight lines of up to 255 characters

static void reset_locked()
{
    memset(&record, 0, sizeof record);
    memset(record.mail_events, '0', 9);
}

// The four lines, and lines 5 to 8 when any of them holds something.
static std::string contents_locked()
{
    std::string text = std::string(record.mail_server) + "\n" + record.mail_sender + "\n" +
                       record.mail_receivers + "\n" + record.mail_events + "\n";
    if (record.mail_user[0] || record.mail_password[0] || record.mail_tls[0] ||
        record.mail_ca_file[0])
        text += std::string(record.mail_user) + "\n" + record.mail_password + "\n" +
                record.mail_tls + "\n" + record.mail_ca_file + "\n";
    return text;
}

void mail_init(const std::string &dir)
{
    ensure_dir(dir + "Set/");
    {
        Guard g(lock);
        program = dir + "mail";
        file_path = dir + "Set/Mail.ang";
    }
    mail_settings_read(dir + "Set/Mail.ang");
}

void mail_settings_read(const std::string &path)
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
    char *fields[] = {record.mail_server, record.mail_sender, record.mail_receivers,
                      record.mail_events, record.mail_user, record.mail_password,
                      record.mail_tls, record.mail_ca_file};
    int sizes[] = {sizeof record.mail_server,   sizeof record.mail_sender,
                   sizeof record.mail_receivers, sizeof record.mail_events,
                   sizeof record.mail_user,      sizeof record.mail_password,
                   sizeof record.mail_tls,       sizeof record.mail_ca_file};
    read_lines_whole(path, data, size, fields, sizes, 8);
    pad_flags(record.mail_events, 9);
    for (const std::string &receiver : split_fields(record.mail_receivers, ';'))
        if (!receiver.empty() && !plausible_address(receiver))
            log_warning("%s: receiver \"%.80s\" is no mail address and is skipped", path.c_str(),
                        receiver.c_str());
}

bool mail_settings_write()
{
    Guard g(lock);
    std::string text = contents_locked();
    return write_file(file_path, text.data(), static_cast<int>(text.size()), 0600);
}

MailSettings mail_settings_get()
{
    Guard g(lock);
    return record;
}

void mail_settings_set(const MailSettings &s)
{
    Guard g(lock);
    copy_one_line(record.mail_server, sizeof record.mail_server, s.mail_server);
    copy_one_line(record.mail_sender, sizeof record.mail_sender, s.mail_sender);
    copy_one_line(record.mail_receivers, sizeof record.mail_receivers, s.mail_receivers);
    copy_one_line(record.mail_events, sizeof record.mail_events, s.mail_events);
    pad_flags(record.mail_events, 9);
    copy_one_line(record.mail_user, sizeof record.mail_user, s.mail_user);
    copy_one_line(record.mail_password, sizeof record.mail_password, s.mail_password);
    copy_one_line(record.mail_tls, sizeof record.mail_tls, s.mail_tls);
    copy_one_line(record.mail_ca_file, sizeof record.mail_ca_file, s.mail_ca_file);
}

bool mail_send_one(const char *server, const char *sender, const char *receiver,
                   const char *text, int unit, time_t when)
{
    std::string prog;
    {
        Guard g(lock);
        prog = program.empty() ? program_dir() + "mail" : program;
    }
    char subject[320];
    snprintf(subject, sizeof subject, "Machine%d %s", unit, text);
    std::string stamp = time_stamp_text(when);
    std::vector<std::string> argv = {
        prog,
        server,
        std::string("MAIL FROM:") + sender,
        std::string("RCPT TO:") + receiver,
        stamp,
        "Subject:From SoftWare Reply Question-",
        std::string(" ") + subject,
    };
    // The shell command line this start stands for, for the length rule.
    std::string line = prog + "  \"" + server + "\" \"MAIL FROM:" + sender + "\" \"RCPT TO:" +
                       receiver + "\" \"" + stamp +
                       "\" \"Subject:From SoftWare Reply Question-\" \" " + subject + "\" &";
    return spawn_command(line, argv);
}

int mail_notify(const char *server, const char *sender, const char *receivers,
                const char *text, int unit, time_t when)
{
    return spawn_per_entry(receivers, plausible_address, [&](const std::string &receiver) {
        return mail_send_one(server, sender, receiver.c_str(), text, unit, when);
    });
}
