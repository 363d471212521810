#include "base/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool debug_on = false;
static bool journal_prefix = false;

void log_configure(bool debug, bool journal)
{
    debug_on = debug;
    journal_prefix = journal;
}

bool log_journal_detect()
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st;
    if (!stream || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(STDOUT_FILENO, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

bool log_enabled(int level)
{
    return level < LOG_LEVEL_DEBUG || debug_on;
}

void log_line(int level, const char *format, ...)
{
    if (!log_enabled(level))
        return;
    char text[1024];
    int n = 0;
    if (journal_prefix)
        n = snprintf(text, sizeof text, "<%d>", level);
    va_list args;
    va_start(args, format);
    int m = vsnprintf(text + n, sizeof text - n, format, args);
    va_end(args);
    if (m < 0)
        m = 0;
    n += m;
    if (n > static_cast<int>(sizeof text) - 2)
        n = static_cast<int>(sizeof text) - 2; // a longer line is cut, never split
    if (n == 0 || text[n - 1] != '\n')
        text[n++] = '\n';
    // One write a line, so lines of several threads never interleave.
    fflush(stdout);
    ssize_t off = 0;
    while (off < n) {
        ssize_t w = write(STDOUT_FILENO, text + off, n - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        off += w;
    }
}
