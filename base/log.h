// The diagnostic lines of a program: one line each, on standard output,
// flushed at once. Run by systemd with standard output on the journal
// ($JOURNAL_STREAM names it), each line starts with the syslog priority in
// "<N>" form, which the journal takes as the line's level and strips. Debug
// lines are printed only after log_configure(true, ...) (upsagent -d).
//
// Texts carry their own subject ("upsagent: ...", "server: ..."): the log
// adds nothing else, so a line reads the same in a terminal, a file and
// the journal.
#pragma once

// Levels, numbered as syslog numbers its priorities.
enum LogLevel {
    LOG_LEVEL_ERROR = 3,   // something configured does not work
    LOG_LEVEL_WARNING = 4, // something is wrong but handled
    LOG_LEVEL_NOTICE = 5,  // a step the administrator wants to read afterwards
    LOG_LEVEL_INFO = 6,    // ordinary progress
    LOG_LEVEL_DEBUG = 7,   // traces, only with debug on
};

// `debug`: print debug lines too. `journal`: prefix every line with
// "<N>"; log_journal_detect() tells whether standard output is the journal.
// Call before the first line; the default is no debug lines, no prefix.
void log_configure(bool debug, bool journal);

// True when standard output is the journal stream systemd named in
// $JOURNAL_STREAM (device and inode of the descriptor match).
bool log_journal_detect();

// True when lines of `level` are printed.
bool log_enabled(int level);

// One line at `level` (printf format, no newline needed; a trailing one is
// not doubled). Any thread: each line is written whole.
void log_line(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#define log_error(...) log_line(LOG_LEVEL_ERROR, __VA_ARGS__)
#define log_warning(...) log_line(LOG_LEVEL_WARNING, __VA_ARGS__)
#define log_notice(...) log_line(LOG_LEVEL_NOTICE, __VA_ARGS__)
#define log_info(...) log_line(LOG_LEVEL_INFO, __VA_ARGS__)
#define log_debug(...)                                                                             \
    do {                                                                                           \
        if (log_enabled(LOG_LEVEL_DEBUG))                                                          \
            log_line(LOG_LEVEL_DEBUG, __VA_ARGS__);                                                \
    } while (0)
