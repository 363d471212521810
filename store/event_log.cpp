#include "store/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"
#include "store/paths.h"
#include "store/textfile.h"
#include "store/write_report.h"

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;               // appends and the reader's table
static std::vector<EventEntry> entries;
static std::vector<int> selection;    // indexes into entries, file order

// The reader looks at most this far into the log (a full log is 30000 bytes).
static const int READ_LIMIT = 1 << 20;

static std::string log_path()
{
    return database_path("Event.ang");
}

void event_log_format(char out[EVENT_LINE_LEN + 1], time_t when, int address, int code,
                      char new_state, char type_char)
{
    // Out-of-range numbers would widen the line; the fields are two digits.
    address = address < 0 ? 0 : address % 100;
    code = code < 0 ? 0 : code % 100;
    char line[96];
    snprintf(line, sizeof line, "%s %02d %02d %c %c\n", time_stamp_text(when).c_str(), address,
             code, new_state, type_char);
    memcpy(out, line, EVENT_LINE_LEN);
    out[EVENT_LINE_LEN] = '\0';
}

// The whole file through `fd`; false when it cannot be read.
static bool read_all(int fd, std::string *out)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    out->assign(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < out->size()) {
        ssize_t n = pread(fd, out->data() + done, out->size() - done, static_cast<off_t>(done));
        if (n <= 0)
            return false; // the file changed under us
        done += static_cast<size_t>(n);
    }
    return true;
}

// Keeps the newest EVENT_LOG_MAX_LINES whole lines when there are more,
// counted by their line ends: a line of another width (a hand edit, an older
// program) must not shift the cut into the middle of a line.
static void trim(int fd)
{
    std::string data;
    if (!read_all(fd, &data))
        return;
    long lines = 0;
    for (char c : data)
        lines += c == '\n';
    if (lines <= EVENT_LOG_MAX_LINES)
        return;
    size_t from = 0;
    for (long drop = lines - EVENT_LOG_MAX_LINES; drop > 0; drop--)
        from = data.find('\n', from) + 1;
    // The trim that cannot write leaves the longer log and is tried again
    // at the next append; one line says so until one succeeds.
    bool ok = write_file(log_path(), data.data() + from, static_cast<int>(data.size() - from),
                         0644);
    write_report(log_path() + " (trim to the newest lines)", ok, errno,
                 "the log keeps its older lines until the trim is done at a later append");
}

// Lines that could not be written yet (a full disk, a file-size limit), in
// order; written before the next line, or by event_log_flush. Never more
// than a full log: the oldest go first, counted.
static std::vector<std::string> unwritten;
static long unwritten_dropped = 0;

static void keep_unwritten(const char *line)
{
    unwritten.emplace_back(line, EVENT_LINE_LEN);
    if (unwritten.size() > static_cast<size_t>(EVENT_LOG_MAX_LINES)) {
        unwritten.erase(unwritten.begin());
        unwritten_dropped++;
    }
}

// Writes the kept lines, then `line` when given, in one write. False (and
// everything kept) when it cannot; the module's lock is held.
static bool append_locked(const char *line)
{
    if (line)
        keep_unwritten(line);
    if (unwritten.empty())
        return true;
    ensure_database_dir();
    std::string path = log_path();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        write_report(path, false, errno, "its lines are kept until they can be written");
        return false;
    }
    std::string text;
    for (const std::string &l : unwritten)
        text += l;
    int err = append_line_whole(fd, text.data(), static_cast<int>(text.size()));
    if (write_report(path, err == 0, err, "its lines are kept until they can be written")) {
        if (unwritten_dropped > 0) {
            log_error("upsagent: %ld event lines were lost while %s could not be written",
                      unwritten_dropped, path.c_str());
            fflush(stdout);
        }
        unwritten.clear();
        unwritten_dropped = 0;
        trim(fd);
    }
    close(fd);
    return err == 0;
}

void event_log_append_at(time_t when, int address, int code, char new_state, char type_char)
{
    char line[EVENT_LINE_LEN + 1];
    event_log_format(line, when, address, code, new_state, type_char);
    Guard g(lock);
    append_locked(line);
}

bool event_log_flush()
{
    Guard g(lock);
    return append_locked(nullptr);
}


bool event_log_create()
{
    ensure_database_dir();
    int fd = open(log_path().c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        write_report(log_path(), false, errno);
        return false;
    }
    close(fd);
    return true;
}

static void parse_line(const char *line, EventEntry *e)
{
    memset(e, 0, sizeof *e);
    copy_field(line, 1, 10, e->date, sizeof e->date);
    copy_field(line, 12, 8, e->time, sizeof e->time);
    copy_field(line, 21, 2, e->unit, sizeof e->unit);
    e->code = parse_int_field(line, 24, 2);
    e->new_state = static_cast<int8_t>(parse_int_field(line, 27, 1));
    e->type_flag = static_cast<int8_t>(parse_int_field(line, 29, 1));
}

int event_log_load()
{
    ensure_database_dir();
    std::string path = log_path();
    // A missing log is created empty, as it always was by the reader.
    int fd = open_or_create(path, O_RDWR | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    std::vector<EventEntry> loaded;
    for (const std::string &line : read_fixed_lines(path, READ_LIMIT, EVENT_LINE_LEN, SIZE_MAX)) {
        EventEntry e;
        parse_line(line.c_str(), &e);
        loaded.push_back(e);
    }
    Guard g(lock);
    entries.swap(loaded);
    selection.clear();
    return static_cast<int>(entries.size());
}

int event_log_select_month(int year, int month)
{
    Guard g(lock);
    selection.clear();
    for (size_t i = 0; i < entries.size(); i++) {
        EventEntry &e = entries[i];
        e.display[0] = '\0';
        e.selected = false;
        if (parse_int_field(e.date, 1, 4) != year || parse_int_field(e.date, 6, 2) != month)
            continue;
        const char *text = event_text(e.code, e.new_state, e.type_flag);
        if (e.new_state == 0 || e.new_state == 1)
            snprintf(e.display, sizeof e.display, "%s  %s  %-7s  %s", e.date, e.time, e.unit,
                     text ? text : "Unknown event");
        e.selected = true;
        selection.push_back(static_cast<int>(i));
    }
    return static_cast<int>(selection.size());
}

bool event_log_selected(int i, EventEntry *out)
{
    Guard g(lock);
    if (i < 0 || i >= static_cast<int>(selection.size()))
        return false;
    *out = entries[selection[i]];
    return true;
}
