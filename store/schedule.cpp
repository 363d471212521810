#include "store/schedule.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "store/paths.h"
#include "store/textfile.h"

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::string path;
static std::vector<ScheduleEntry> table;
static std::vector<int> selection; // indexes into table, file order
static int last_entry_id = 0;

// The file holds at most this much (about 18000 entries).
static const int READ_LIMIT = 1 << 20;

int days_in_month(int year, int month)
{
    if (month < 1 || month > 12)
        return 0;
    std::chrono::year_month_day_last last{std::chrono::year{year} / month / std::chrono::last};
    return static_cast<int>(static_cast<unsigned>(last.day()));
}

int weekday_of(int y, int m, int d)
{
    using namespace std::chrono;
    if (m < 1 || m > 12)
        return 0;
    // A day past the month's end counts on into the next month.
    sys_days date = sys_days{year{y} / m / 1} + days{d - 1};
    return static_cast<int>((weekday{date}.c_encoding() + 1) % 7); // 0 Saturday
}

static void entry_date(const ScheduleEntry &e, int *y, int *m, int *d)
{
    *y = parse_int_field(e.start_date, 1, 4);
    *m = parse_int_field(e.start_date, 6, 2);
    *d = parse_int_field(e.start_date, 9, 2);
}

bool schedule_is_due(const ScheduleEntry &e, int year, int month, int day)
{
    int y, m, d;
    entry_date(e, &y, &m, &d);
    if (y > year)
        return false;
    if (y == year) {
        switch (e.repeat) {
        case 'O': return m == month && d == day;
        case 'D': return m <= month;
        case 'M': return m <= month && d == day;
        case 'W': return m <= month && weekday_of(year, month, day) == e.start_weekday;
        default: return false;
        }
    }
    switch (e.repeat) {
    case 'D': return true;
    case 'M': return d == day;
    case 'W': return weekday_of(year, month, day) == e.start_weekday;
    default: return false;
    }
}

int schedule_in_month(const ScheduleEntry &e, int year, int month)
{
    int y, m, d;
    entry_date(e, &y, &m, &d);
    if (y < year)
        return 2;
    if (y > year)
        return 0;
    if (m == month)
        return 1;
    return m > month ? 0 : 2;
}

std::string schedule_list_line(const ScheduleEntry &e)
{
    static const char *const weekdays[7] = {"Saturday", "Sunday",   "Monday", "Tuesday",
                                            "Wednesday", "Thursday", "Friday"};
    char date[16] = "";
    switch (e.repeat) {
    case 'O': copy_field(e.start_date, 6, 5, date, sizeof date); break;
    case 'D': snprintf(date, sizeof date, "Daily"); break;
    case 'W':
        if (e.start_weekday >= 0 && e.start_weekday <= 6)
            snprintf(date, sizeof date, "%.3s", weekdays[e.start_weekday]);
        break;
    case 'M': {
        char day[4];
        copy_field(e.start_date, 9, 2, day, sizeof day);
        snprintf(date, sizeof date, "%sth", day);
        break;
    }
    }
    const char *action = "";
    switch (e.action[0]) {
    case 'T': action = "Self Test"; break;
    case 'L': action = "Test to Battery Low"; break;
    case 'C': action = "Cancel Test"; break;
    case 'S': action = "Shutdown"; break;
    case 'R': action = "Shutdown and restore"; break;
    }
    const char *repeat = "";
    switch (e.repeat) {
    case 'O': repeat = "Once"; break;
    case 'D': repeat = "Daily"; break;
    case 'W': repeat = "Weekly"; break;
    case 'M': repeat = "Monthly"; break;
    }
    std::string note;
    if (e.action[0] == 'R') {
        if (e.restore_text[0] == '0') { // restart the same day
            char rest[16];
            copy_field(e.restore_text, 13, 13, rest, sizeof rest);
            note = std::string("Today ") + rest;
        } else {
            note = e.restore_text;
        }
    }
    char line[128];
    snprintf(line, sizeof line, "%-5s %-5s %-20s %-7s %-25s", date, e.start_time, action, repeat,
             note.c_str());
    return line;
}

static void parse_line(const char *line, ScheduleEntry *e)
{
    memset(e, 0, sizeof *e);
    copy_field(line, 1, 4, e->entry_id, sizeof e->entry_id);
    e->start_weekday = static_cast<int8_t>(parse_int_field(line, 6, 1));
    copy_field(line, 8, 10, e->start_date, sizeof e->start_date);
    copy_field(line, 19, 5, e->start_time, sizeof e->start_time);
    copy_field(line, 25, 5, e->action, sizeof e->action);
    e->repeat = line[30];
    copy_field(line, 33, 25, e->restore_text, sizeof e->restore_text);
}

static void reload_locked()
{
    int count = count_records(path, SCHEDULE_LINE_LEN);
    std::vector<ScheduleEntry> loaded;
    if (count > 0) {
        for (const std::string &line : read_fixed_lines(path, READ_LIMIT, SCHEDULE_LINE_LEN,
                                                        static_cast<size_t>(count))) {
            ScheduleEntry e;
            parse_line(line.c_str(), &e);
            last_entry_id = parse_int_text(e.entry_id);
            loaded.push_back(e);
        }
    }
    table.swap(loaded);
    selection.clear();
}

void schedule_load()
{
    ensure_database_dir();
    Guard g(lock);
    std::string new_path = database_path("Schedule.ang");
    if (new_path != path) // ids belong to their file
        last_entry_id = 0;
    path = new_path;
    reload_locked();
}

void schedule_reload()
{
    Guard g(lock);
    reload_locked();
}

static bool append_line(const std::string &line)
{
    int fd = open_or_create(path, O_RDWR | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = append_line_whole(fd, line.data(), static_cast<int>(line.size())) == 0;
    return close(fd) == 0 && ok;
}

int schedule_add(int start_weekday, const char *start_date, int hour, int minute, char action,
                 char repeat, int restore_days, int restore_hour, int restore_minute,
                 const char *restore_text)
{
    Guard g(lock);
    if (path.empty())
        path = database_path("Schedule.ang");
    char line[160];
    int id = last_entry_id + 1;
    if (action == 'R') {
        int minutes = restore_days * 1440 + restore_hour * 60 + restore_minute -
                      (hour * 60 + minute);
        if (minutes < 0 || minutes > 9999)
            return -1;
        snprintf(line, sizeof line, "%04d %d %.10s %02d:%02d %c%04d %c %25.25s\n", id,
                 start_weekday, start_date, hour, minute, 'R', minutes, repeat, restore_text);
    } else {
        snprintf(line, sizeof line, "%04d %d %.10s %02d:%02d %-5c %c %25s\n", id, start_weekday,
                 start_date, hour, minute, action, repeat, "");
    }
    // Only a well-formed line goes into the file: anything else would be
    // skipped when read back.
    if (strlen(line) != static_cast<size_t>(SCHEDULE_LINE_LEN) || id > 9999 ||
        !append_line(line))
        return -1;
    reload_locked();
    return 0;
}

int schedule_delete(int id)
{
    Guard g(lock);
    int deleted = 0;
    std::string data;
    for (ScheduleEntry &e : table) {
        if (parse_int_text(e.entry_id) == id) {
            e.deleted = true;
            deleted++;
        }
        if (e.deleted)
            continue;
        char line[160];
        snprintf(line, sizeof line, "%s %d %s %s %s %c %s\n", e.entry_id, e.start_weekday,
                 e.start_date, e.start_time, e.action, e.repeat, e.restore_text);
        data += line;
    }
    write_file(path, data.data(), static_cast<int>(data.size()), 0644);
    reload_locked();
    return deleted;
}

// Rebuilds the selection list from the entries `wanted` accepts.
template <typename Pred> static int select_locked(Pred wanted)
{
    selection.clear();
    for (size_t i = 0; i < table.size(); i++) {
        ScheduleEntry &e = table[i];
        e.list_line[0] = '\0';
        e.listed = false;
        if (e.deleted || !wanted(e))
            continue;
        snprintf(e.list_line, sizeof e.list_line, "%s", schedule_list_line(e).c_str());
        e.listed = true;
        selection.push_back(static_cast<int>(i));
    }
    return static_cast<int>(selection.size());
}

int schedule_select_today(int year, int month, int day)
{
    Guard g(lock);
    return select_locked(
        [&](const ScheduleEntry &e) { return schedule_is_due(e, year, month, day); });
}

int schedule_select_month(int year, int month)
{
    Guard g(lock);
    return select_locked([&](const ScheduleEntry &e) {
        int in = schedule_in_month(e, year, month);
        return in == 1 || (in == 2 && e.repeat != 'O');
    });
}

std::vector<ScheduleEntry> schedule_selected()
{
    Guard g(lock);
    std::vector<ScheduleEntry> out;
    for (int i : selection)
        out.push_back(table[i]);
    return out;
}

int schedule_count()
{
    Guard g(lock);
    return static_cast<int>(table.size());
}

int schedule_next_id()
{
    Guard g(lock);
    return last_entry_id + 1;
}
