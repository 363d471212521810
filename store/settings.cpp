#include "store/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "store/paths.h"
#include "store/textfile.h"

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static SettingsRecord record;
static std::string path;

// The file is read whole up to this size: an over-long line early in it
// must not push the later lines (the delays) out of the read.
static const int FILE_LIMIT = 1 << 20;

static void reset_locked()
{
    memset(&record, 0, sizeof record);
    record.ac_fail_delay = 10;
    record.battery_low_delay = 1;
    record.ups_shutdown_delay = 2;
    record.machine_number = 1;
    snprintf(record.baud_rate, sizeof record.baud_rate, "2400");
}

static void read_locked()
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return;
    int room = st.st_size < FILE_LIMIT ? static_cast<int>(st.st_size) + 1 : FILE_LIMIT;
    std::vector<char> data(room);
    int size = read_file(path, data.data(), room);
    if (size <= 0)
        return;
    char numbers[4][22]; // integer lines: up to 21 characters, then converted
    char *fields[] = {record.machine_mode, record.link_kind, record.link_device,
                      record.snmp_community, numbers[0], numbers[1], numbers[2], numbers[3],
                      record.baud_rate};
    const int sizes[] = {sizeof record.machine_mode, sizeof record.link_kind,
                         sizeof record.link_device, sizeof record.snmp_community,
                         22, 22, 22, 22, sizeof record.baud_rate};
    int32_t *values[] = {&record.ac_fail_delay, &record.battery_low_delay,
                         &record.ups_shutdown_delay, &record.machine_number};
    int taken = read_lines_whole(path, data.data(), size, fields, sizes, 9, LONG_LINE_CUT);
    for (int i = 0; i < 4 && 4 + i < taken; i++)
        *values[i] = parse_int_text(numbers[i]);
}

void settings_load(const std::string &dir)
{
    std::string set_dir = dir + "Set/";
    ensure_dir(set_dir);
    Guard g(lock);
    path = join_path(set_dir, "Setting.ang");
    int fd = open_or_create(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    reset_locked();
    read_locked();
}

// The text up to its first newline: a newline inside a value would shift
// every later line of the file.
static std::string one_line(const char *text)
{
    std::string s = text ? text : "";
    size_t nl = s.find('\n');
    return nl == std::string::npos ? s : s.substr(0, nl);
}

int settings_save(const char *machine_mode, const char *link_kind, const char *link_device,
                  const char *snmp_community, const char *ac_fail_delay,
                  const char *battery_low_delay, const char *ups_shutdown_delay,
                  const char *machine_number, const char *baud_rate)
{
    const char *texts[] = {machine_mode,      link_kind,          link_device,
                           snmp_community,    ac_fail_delay,      battery_low_delay,
                           ups_shutdown_delay, machine_number,    baud_rate};
    std::string data;
    for (const char *t : texts)
        data += one_line(t) + "\n";
    Guard g(lock);
    path = join_path(program_dir() + "Set/", "Setting.ang");
    if (!write_file(path, data.data(), static_cast<int>(data.size()), 0600))
        return -1;
    read_locked();
    return 0;
}

SettingsRecord settings_get()
{
    Guard g(lock);
    return record;
}

std::string settings_link_kind() { return settings_get().link_kind; }
std::string settings_link_device() { return settings_get().link_device; }
std::string settings_snmp_community() { return settings_get().snmp_community; }

int settings_ac_fail_delay()
{
    Guard g(lock);
    return record.ac_fail_delay;
}

int settings_ups_shutdown_delay()
{
    Guard g(lock);
    return record.ups_shutdown_delay;
}

int settings_machine_number()
{
    Guard g(lock);
    return record.machine_number;
}
