#include "store/textfile.h"

#include "base/log.h"
#include "store/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::vector<std::string> read_fixed_lines(const std::string &path, int limit, int line_len,
                                          size_t max_lines)
{
    std::vector<std::string> lines;
    std::string data(static_cast<size_t>(limit), '\0');
    int size = read_file(path, data.data(), limit);
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
    int fd = open_or_create(path, O_RDWR | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC); // readable but not writable
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
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int total = 0;
    ssize_t n;
    while (total < size && (n = read(fd, buf + total, size - total)) > 0)
        total += static_cast<int>(n);
    close(fd);
    return total;
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

static std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

static void give_to(int fd, uid_t uid, gid_t gid)
{
    if (geteuid() == 0 && uid != 0)
        (void)!fchown(fd, uid, gid);
}

void give_to_directory_owner(int fd, const std::string &path)
{
    struct stat dir;
    if (geteuid() == 0 && stat(directory_of(path).c_str(), &dir) == 0)
        give_to(fd, dir.st_uid, dir.st_gid);
}

int open_or_create(const std::string &path, int flags, int mode)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd = open(path.c_str(), flags);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open(path.c_str(), flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd >= 0) {
            give_to_directory_owner(fd, path);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
        // Made by another process meanwhile: open that one.
    }
    return -1;
}

bool write_file(const std::string &path, const char *data, int len, int mode)
{
    std::string tmp = path + ".new";
    unlink(tmp.c_str()); // a leftover of a write cut short, or a link: never written through
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    // Keep the mode of an existing file and, run as root, the owner of the
    // regular file replaced (never one a link points to).
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        give_to(fd, st.st_uid, st.st_gid);
    else
        give_to_directory_owner(fd, path);
    int err = write_all(fd, data, len);
    bool ok = err == 0;
    if (ok && fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) == 0)
        return true;
    if (ok)
        err = errno;
    unlink(tmp.c_str());
    errno = err; // the caller reports the write's reason, not the clean-up's
    return false;
}

bool write_file_in_place(const std::string &path, const char *data, int len)
{
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
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
