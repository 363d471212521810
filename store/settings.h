// The settings store: "Set/Setting.ang" below the program directory, nine
// lines that decide how a process reaches its UPS units. The daemon loads it
// at start-up and on "RefreshSet"; the console edits and saves it.
// One record per process, guarded by the store's lock: readers take copies.
#pragma once

#include <cstdint>
#include <string>

struct SettingsRecord {
    char machine_mode[20];    // "Local-Single", "Local-Multiple", "Remote-Single" or "Remote-Multiple"
    char link_kind[10];       // "RS232", "USB", "TCP/IP" or "SNMP"
    char link_device[256];    // serial device path (RS232) or IPv4 address of another daemon (TCP/IP)
    char snmp_community[256]; // the SNMP card's community (link kind "SNMP"); empty: "public"
    int32_t ac_fail_delay;      // minutes to host shutdown after a mains failure; 0 disables
    int32_t battery_low_delay;  // minutes to host shutdown on low battery; 0 disables
    int32_t ups_shutdown_delay; // minutes from host shutdown to UPS turn-off; 0 disables
    int32_t machine_number;     // units polled, 1..4
    char baud_rate[8];          // "2400", "4800" or "9600"
};

// The full load: ensures "Set/" (0700) and the file (created empty), resets
// the record to the defaults, then reads the file over them.
void settings_load(const std::string &program_dir);

// Writes the nine texts as nine lines (a text is cut at a newline) and reads
// them back into the record. Returns 0 on success, -1 when the file could not
// be written (the record and the file then stay as they were).
int settings_save(const char *machine_mode, const char *link_kind, const char *link_device,
                  const char *snmp_community, const char *ac_fail_delay,
                  const char *battery_low_delay, const char *ups_shutdown_delay,
                  const char *machine_number, const char *baud_rate);

// A copy of the whole record.
SettingsRecord settings_get();

std::string settings_link_kind();
std::string settings_link_device();
std::string settings_snmp_community();
int settings_ac_fail_delay();
int settings_ups_shutdown_delay();
int settings_machine_number();
