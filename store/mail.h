// The mail store: who is told by e-mail about which UPS events, in
// "Set/Mail.ang" (four lines: server, sender, receivers separated by ";",
// nine event flags; optionally four more for the SMTP login and TLS), and the notifier that starts the `mail` sender program
// of the program directory once per receiver. One record per process,
// guarded by the store's lock.
#pragma once

#include <ctime>
#include <string>

struct MailSettings {
    char mail_server[256];    // server to hand the message to: "host" or "host:port"
    char mail_sender[256];    // sender address
    char mail_receivers[256]; // receiver addresses separated by ";"
    char mail_events[10];     // character k '1': a change of status character k is mailed
    // Lines 5 to 8, for the `mail` program; the console keeps them as they are.
    char mail_user[256];      // SMTP login name; empty: no login
    char mail_password[256];  // SMTP password
    char mail_tls[32];        // "starttls=required": never send in clear; "tls=off": never
                              // STARTTLS, a login too in clear; empty: STARTTLS when offered,
                              // required with a login
    char mail_ca_file[256];   // certificate authorities to trust instead of the system's; empty: the system's
};

// Remembers program_dir + "mail " as the program, ensures "Set/" and reads
// program_dir + "Set/Mail.ang".
void mail_init(const std::string &program_dir);

// Reads the file into the record; a missing or empty file is replaced by
// the defaults (mode 0600). Lines missing from a short file keep their
// defaults; a line longer than its field is not used (one line says so), and
// each receiver that is no plausible address is named in one line and
// skipped when mailing.
void mail_settings_read(const std::string &path);

// Writes the record as the four lines of "Set/Mail.ang" (mode 0600).
// Returns false when the file could not be written.
bool mail_settings_write();

// A copy of the record.
MailSettings mail_settings_get();

// Replaces the record (the console's edits). Texts are cut to the widths.
void mail_settings_set(const MailSettings &settings);

// Starts the sender once per non-empty receiver of the ";"-separated list,
// in list order. Returns 1 when the list held no receiver (nothing sent),
// -1 when a sender could not be started (its command line too long, or the
// program missing), else 0.
int mail_notify(const char *server, const char *sender, const char *receivers,
                const char *text, int unit, time_t when);

// Starts the sender for one receiver, with the subject "Machine<unit>
// <text>" and the local time of `when`. Returns true when it was started.
bool mail_send_one(const char *server, const char *sender, const char *receiver,
                   const char *text, int unit, time_t when);
