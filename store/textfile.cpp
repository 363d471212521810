#include "store/textfile.h"

#include "base/log.h"
#include "store/paths.h"
#include "store/write_report.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

void copy_field(const char *text, int start, int length, char *out, int out_size)
{
    if (out_size <= 0)
        return;
    out[0] = '\0';
    if (length <= 0 || start < 1)
        return;
    size_t text_len = strlen(text);
    size_t from = static_cast<size_t>(start - 1);
    if (from >= text_len)
        return;
    size_t n = static_cast<size_t>(length);
    if (n > text_len - from)
        n = text_len - from;
    if (n > static_cast<size_t>(out_size - 1))
        n = static_cast<size_t>(out_size - 1);
    memcpy(out, text + from, n);
    out[n] = '\0';
}

int read_line(char *out, int out_size, const char *data, int pos, int size)
{
    int end = pos;
    while (end < size && data[end] != '\n')
        end++;
    int n = end - pos;
    if (n > 0 && data[pos + n - 1] == '\r')
        n--; // a file saved with CR LF line ends reads as with LF
    if (n < 0)
        n = 0;
    if (n > out_size - 1)
        n = out_size - 1;
    if (out_size > 0) {
        memcpy(out, data + pos, n);
        out[n] = '\0';
    }
    return end < size ? end + 1 : 0;
}

int read_lines(const char *data, int size, char *const fields[], const int sizes[], int count)
{
    int pos = 0, taken = 0;
    while (taken < count && pos < size) {
        pos = read_line(fields[taken], sizes[taken], data, pos, size);
        taken++;
        if (pos == 0) // the last line had no newline
            break;
    }
    return taken;
}

int read_lines_whole(const std::string &path, const char *data, int size,
                     char *const fields[], const int sizes[], int count, int long_line)
{
    int pos = 0, taken = 0;
    while (taken < count && pos < size) {
        int start = pos;
        pos = read_line(fields[taken], sizes[taken], data, pos, size);
        int end = pos ? pos - 1 : size;
        int len = end - start;
        if (len > 0 && data[end - 1] == '\r')
            len--;
        if (len > sizes[taken] - 1 && long_line == LONG_LINE_CUT) {
            log_warning("upsagent: %s: line %d is %d characters long; only its first %d are used",
                        path.c_str(), taken + 1, len, sizes[taken] - 1);
        } else if (len > sizes[taken] - 1) {
            log_warning("%s: line %d is longer than %d characters and is not used", path.c_str(),
                        taken + 1, sizes[taken] - 1);
            fields[taken][0] = '\0';
        }
        taken++;
        if (pos == 0)
            break;
    }
    return taken;
}

bool plausible_address(const std::string &text)
{
    size_t at = text.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= text.size() ||
        text.find('@', at + 1) != std::string::npos)
        return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f || strchr("\"'<>()[],;\\", c))
            return false;
    return true;
}

bool plausible_phone(const std::string &text)
{
    size_t i = text.empty() || text[0] != '+' ? 0 : 1;
    int digits = 0;
    for (; i < text.size(); i++) {
        if (isdigit(static_cast<unsigned char>(text[i])))
            digits++;
        else if (text[i] != ' ' && text[i] != '-')
            return false;
    }
    return digits >= 3 && digits <= 20 && isdigit(static_cast<unsigned char>(text.back()));
}

std::vector<std::string> split_fields(const char *text, char separator)
{
    std::vector<std::string> pieces(1);
    for (const char *p = text; *p; p++) {
        if (*p == separator)
            pieces.emplace_back();
        else
            pieces.back() += *p;
    }
    return pieces;
}

int parse_int_text(const char *text)
{
    errno = 0;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

int parse_int_field(const char *text, int start, int length)
{
    char slice[64];
    copy_field(text, start, length, slice, sizeof slice);
    return parse_int_text(slice);
}

// A descriptor of the folder part of `path` and, in *name, the last
// component. The folder's own path is followed as given (an administrator
// may place the program directory anywhere); only the last component is
// held to open_regular's rules.
static int open_folder(const std::string &path, std::string *name)
{
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name->empty() || *name == "." || *name == "..") {
        errno = FILE_NOT_REGULAR;
        return -1;
    }
    return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// What is at `name` in the folder, not following a link: 0 when nothing
// is (ENOENT) or a regular file is (*st filled), -1 otherwise (errno:
// ELOOP for a link, FILE_NOT_REGULAR, or the look-up's own).
static int look_at(int dir, const char *name, struct stat *st)
{
    if (fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : -1;
    if (S_ISLNK(st->st_mode))
        errno = ELOOP;
    else if (!S_ISREG(st->st_mode))
        errno = FILE_NOT_REGULAR;
    else
        return 0;
    return -1;
}

// Run as root, the file open at `fd`, which this process made (O_EXCL) or
// whose owner it keeps, is given to `uid` and `gid` unless they are root's:
// the daemon runs as a user of its own and owns Set/ and DataBase/, and a
// console or an administrator working as root must not leave files there
// it cannot read or rewrite. A failed change leaves the file root's.
static void give_to(int fd, uid_t uid, gid_t gid)
{
    if (geteuid() == 0 && uid != 0)
        (void)!fchown(fd, uid, gid);
}

// give_to the owner of the open folder `dir`.
static void give_to_folder_owner(int dir, int fd)
{
    struct stat folder;
    if (geteuid() == 0 && fstat(dir, &folder) == 0)
        give_to(fd, folder.st_uid, folder.st_gid);
}

static int open_in(int dir, const std::string &name, int flags, int mode)
{
    struct stat st;
    st.st_mode = 0;
    // Looked at first so that a device is not even opened (a tape rewinds,
    // a terminal may hang up); the checks after the open close the race.
    if (look_at(dir, name.c_str(), &st) != 0)
        return -1;
    // A missing file is made exclusively, so that it is known to be this
    // process's own when it is handed to the folder's owner.
    bool create = (flags & O_CREAT) && st.st_mode == 0;
    // O_NONBLOCK: a FIFO swapped in meanwhile neither blocks the open nor a
    // read; O_NOFOLLOW: a link swapped in gives ELOOP.
    int fd = openat(dir, name.c_str(),
                    flags | (create ? O_EXCL : 0) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                    mode);
    if (fd < 0 && create && errno == EEXIST) { // made by another process meanwhile
        create = false;
        fd = openat(dir, name.c_str(),
                    (flags & ~O_CREAT) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (fd < 0) {
        if (errno == ENXIO || errno == EISDIR) // a FIFO without reader, a socket, a folder
            errno = FILE_NOT_REGULAR;
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = FILE_NOT_REGULAR;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    if (create)
        give_to_folder_owner(dir, fd);
    return fd;
}

int open_regular(const std::string &path, int flags, int mode)
{
    std::string name;
    int dir = open_folder(path, &name);
    if (dir < 0)
        return -1;
    int fd = open_in(dir, name, flags, mode);
    int err = errno;
    close(dir);
    errno = err;
    return fd;
}

int open_append_file(const std::string &path, int mode)
{
    return open_regular(path, O_RDWR | O_CREAT | O_APPEND, mode);
}

// A refusal for what the file is, as opposed to its absence or a fault.
static bool refusal(int err)
{
    return err == ELOOP || err == FILE_NOT_REGULAR || err == EFBIG;
}

// Up to `size` bytes from the start of `fd` into `buf`; the count, or -1.
static int read_upto(int fd, char *buf, int size)
{
    int total = 0;
    while (total < size) {
        ssize_t n = read(fd, buf + total, size - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<int>(n);
    }
    return total;
}

// The first `size` bytes of the regular file at `path`, or with `whole`
// all of it (a larger file is refused, EFBIG, never cut); the count, or -1
// with errno. A refusal for what the file is becomes read_report's line.
static int read_regular(const std::string &path, char *buf, int size, bool whole)
{
    int fd = open_regular(path, O_RDONLY);
    int total = fd < 0 ? -1 : read_upto(fd, buf, size);
    int err = errno;
    char more;
    if (whole && total >= 0 && read_upto(fd, &more, 1) == 1) {
        total = -1; // never a cut file: a later line may be the one that counts
        err = EFBIG;
    }
    if (fd >= 0)
        close(fd);
    if (total < 0) {
        if (refusal(err))
            read_report(path, false, err);
        errno = err;
        return -1;
    }
    read_report(path, true, 0);
    return total;
}

std::vector<std::string> read_fixed_lines(const std::string &path, int limit, int line_len,
                                          size_t max_lines)
{
    std::vector<std::string> lines;
    std::string data(static_cast<size_t>(limit), '\0');
    int size = read_regular(path, data.data(), limit, false);
    int pos = 0;
    while (size > 0 && pos < size && lines.size() < max_lines) {
        const char *start = data.data() + pos;
        const char *nl = static_cast<const char *>(memchr(start, '\n', size - pos));
        if (!nl)
            break;
        int len = static_cast<int>(nl - start) + 1;
        if (len == line_len)
            lines.emplace_back(start, len - 1);
        pos += len;
    }
    return lines;
}

int count_records(const std::string &path, int record_size)
{
    if (record_size <= 0)
        return 0;
    int fd = open_append_file(path, 0600);
    if (fd < 0 && !refusal(errno))
        fd = open_regular(path, O_RDONLY); // readable but not writable
    if (fd < 0)
        return 0;
    static const int LIMIT = 65536;
    char *buf = static_cast<char *>(malloc(LIMIT));
    int total = 0;
    ssize_t n;
    while (buf && total < LIMIT && (n = pread(fd, buf, LIMIT - total, total)) > 0)
        total += static_cast<int>(n);
    free(buf);
    close(fd);
    return total / record_size;
}

int read_file(const std::string &path, char *buf, int size)
{
    return read_regular(path, buf, size, true);
}

std::vector<TextLine> setting_lines(const char *data, int size)
{
    std::vector<TextLine> lines;
    int number = 0;
    for (int pos = 0; pos < size;) {
        const char *end = static_cast<const char *>(memchr(data + pos, '\n', size - pos));
        int stop = end ? static_cast<int>(end - data) : size;
        number++;
        int first = pos, last = stop;
        while (first < last && isspace(static_cast<unsigned char>(data[first])))
            first++;
        while (last > first && isspace(static_cast<unsigned char>(data[last - 1])))
            last--;
        if (first < last && data[first] != '#')
            lines.push_back({number, std::string(data + first, last - first)});
        pos = stop + 1;
    }
    return lines;
}

int read_or_create(const std::string &path, char *buf, int size, const char *default_text)
{
    int got = read_file(path, buf, size);
    if (got < 0 && errno != ENOENT)
        return -1; // refused or unreadable: never replaced by the defaults
    if (got < 0) {
        size_t slash = path.rfind('/');
        if (slash != std::string::npos)
            ensure_dir(path.substr(0, slash + 1));
        int len = static_cast<int>(strlen(default_text));
        if (!write_file(path, default_text, len, 0600))
            return -1;
        got = len < size ? len : size;
        memcpy(buf, default_text, got);
    }
    buf[got] = '\0';
    return got;
}

int write_all(int fd, const char *data, int len, int *done)
{
    int total = 0, err = 0;
    while (total < len) {
        ssize_t n = write(fd, data + total, len - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        total += static_cast<int>(n);
    }
    if (done)
        *done = total;
    return err;
}

int append_line_whole(int fd, const char *data, int len)
{
    std::string text;
    struct stat st;
    char last = '\n';
    bool known = fstat(fd, &st) == 0;
    if (known && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        text += '\n';
    text.append(data, len);
    int done = 0;
    int err = write_all(fd, text.data(), static_cast<int>(text.size()), &done);
    if (err && done > 0 && known)
        (void)!ftruncate(fd, st.st_size);
    return err;
}

static const char *fixed_letters; // tests: the temporary names' letters

void write_file_fixed_letters(const char *letters)
{
    fixed_letters = letters;
}

// ".new" and eight letters no other process can guess, so that nobody can
// lay a link or a file in the temporary file's place beforehand (O_EXCL
// refuses whatever is there anyway).
static std::string temporary_suffix()
{
    std::string suffix = ".new";
    if (fixed_letters)
        return suffix + fixed_letters;
    unsigned char bytes[8];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Early at boot: still unlikely, and O_EXCL keeps it safe.
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        unsigned long long x = static_cast<unsigned long long>(ts.tv_nsec) * 2654435761ULL ^
                               static_cast<unsigned long long>(getpid()) << 32 ^
                               static_cast<unsigned long long>(ts.tv_sec);
        for (unsigned char &b : bytes) {
            b = static_cast<unsigned char>(x);
            x = x >> 8 | x << 56;
        }
    }
    for (unsigned char b : bytes)
        suffix += static_cast<char>('a' + b % 26);
    return suffix;
}

// write_file within the open folder `dir`.
static bool write_in(int dir, const std::string &name, const char *data, int len, int mode)
{
    struct stat st;
    st.st_mode = 0;
    if (look_at(dir, name.c_str(), &st) != 0)
        return false; // a link, FIFO or device at the name is left alone
    bool exists = st.st_mode != 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; attempt++) {
        tmp = name + temporary_suffix();
        // A new file takes `mode` less the umask, as an open would give it.
        fd = openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    exists ? 0600 : mode);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    int err = 0;
    // The mode of the file replaced, seen without following a link; run as
    // root, its owner too, or for a new file the folder's.
    if (exists && fchmod(fd, st.st_mode & 07777) != 0)
        err = errno;
    if (exists)
        give_to(fd, st.st_uid, st.st_gid);
    else
        give_to_folder_owner(dir, fd);
    if (!err)
        err = write_all(fd, data, len);
    if (!err && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && renameat(dir, tmp.c_str(), dir, name.c_str()) == 0)
        return true;
    if (!err)
        err = errno;
    unlinkat(dir, tmp.c_str(), 0);
    errno = err; // the caller reports the write's reason, not the clean-up's
    return false;
}

bool write_file(const std::string &path, const char *data, int len, int mode)
{
    std::string name;
    int dir = open_folder(path, &name);
    if (dir < 0)
        return false;
    bool ok = write_in(dir, name, data, len, mode);
    int err = errno;
    close(dir);
    errno = err;
    return ok;
}

bool write_file_in_place(const std::string &path, const char *data, int len)
{
    int fd = open_regular(path, O_WRONLY);
    if (fd < 0)
        return false;
    int err = write_all(fd, data, len); // from offset 0: the file is opened without O_APPEND
    if (!err && (ftruncate(fd, len) != 0 || fsync(fd) != 0))
        err = errno;
    close(fd);
    errno = err;
    return err == 0;
}

std::string printable_text(const char *data, size_t len, size_t limit)
{
    std::string text;
    for (size_t i = 0; i < len && i < limit; i++) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        text += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
    }
    return text;
}

std::string time_stamp_text(time_t when)
{
    struct tm t;
    localtime_r(&when, &t);
    char text[64];
    snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", (t.tm_year + 1900) % 10000,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

void copy_one_line(char *out, int out_size, const char *text)
{
    if (out_size <= 0)
        return;
    snprintf(out, out_size, "%s", text ? text : "");
    char *nl = strpbrk(out, "\r\n");
    if (nl)
        *nl = '\0';
}

void pad_flags(char *flags, int count)
{
    int n = static_cast<int>(strnlen(flags, count));
    for (int i = n; i < count; i++)
        flags[i] = '0';
    flags[count] = '\0';
}

int read_word_lines(const std::string &path,
                    const std::function<std::string(const std::string &, const std::string &)> &take)
{
    static const char BLANKS[] = " \t";
    char data[16384];
    int size = read_file(path, data, sizeof data - 1);
    if (size < 0)
        return errno == ENOENT ? 0 : -1;
    int taken = 0;
    for (const TextLine &line : setting_lines(data, size)) {
        const std::string &text = line.text;
        size_t end = text.find_first_of(BLANKS);
        std::string value;
        if (end != std::string::npos)
            value = text.substr(text.find_first_not_of(BLANKS, end));
        std::string why = take(text.substr(0, end), value);
        if (why.empty())
            taken++;
        else
            log_warning("upsagent: %s line %d skipped: %s: %.60s", path.c_str(), line.number,
                        why.c_str(), text.c_str());
    }
    return taken;
}
