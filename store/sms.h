// The SMS store: the account at an SMS gateway, the phone numbers to notify
// and which UPS events are sent, in "Set/SMS.ang" (six lines: gateway index,
// ID, API id, password, phone numbers separated by ";", nine event flags),
// and the notifier that starts the `sms` sender program of the program
// directory once per phone number. One record per process, guarded by the
// store's lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct SmsSettings {
    int8_t sms_gateway;     // 0 or 1: which of the two gateways (passed to the sender 1-based)
    char sms_id[256];       // account name at the gateway
    char sms_api_id[256];   // API identifier, used with gateway 1
    char sms_password[256]; // account password, stored in clear text (the file is 0600)
    char sms_phones[256];   // phone numbers separated by ";"
    char sms_events[10];    // character k '1': a change of status character k is sent
};

// Remembers program_dir + "sms" as the program, ensures "Set/" and reads
// program_dir + "Set/SMS.ang".
void sms_init(const std::string &program_dir);

// Reads the file into the record; a missing or empty file is replaced by
// the defaults (mode 0600). Line 1 is the gateway index (no digits gives 0);
// missing lines keep their defaults; over-long lines are cut.
void sms_settings_read(const std::string &path);

// Writes the record as the six lines of "Set/SMS.ang" (mode 0600). Returns
// false when the file could not be written.
bool sms_settings_write();

// A copy of the record.
SmsSettings sms_settings_get();

// Replaces the record (the console's edits). Texts are cut to the widths.
void sms_settings_set(const SmsSettings &settings);

// Starts the sender once per non-empty number of the ";"-separated list, in
// list order, with the message "Machine<unit> <text>" stamped with the local
// time of `when`. The password is not passed: the sender reads it from
// line 4 of "Set/SMS.ang" (the saved one), so it is on no command line.
// Returns 1 when the list held no number (nothing sent), -1 when a sender
// could not be started (its command line too long, or the program
// missing), else 0.
int sms_notify(int gateway, const char *id, const char *api_id, const char *phones,
               const char *text, int unit, time_t when);

// Starts the sender for one phone number. Returns true when it was started.
bool sms_send_one(int gateway, const char *id, const char *api_id, const char *phone,
                  const char *text, int unit, time_t when);
