// The program directory and the paths below it. Both programs find every
// file below the directory of their executable: "Set/" for the settings,
// mail and SMS files, "DataBase/" for the schedule, the event log and the
// status history.
#pragma once

#include <string>

// The directory part of a program path, ending in '/'. A path without '/'
// (a program started through PATH) gives the directory of the running
// executable; when that cannot be read, "./".
std::string program_dir_from(const char *program_path);

// Sets the process-wide program directory (and with it the database
// directory). Call once at start-up, before other threads exist.
void program_dir_set(const std::string &dir);

// The program directory, ending in '/'; "./" until program_dir_set.
const std::string &program_dir();

// program_dir() + "DataBase/".
const std::string &database_dir();

// database_dir() + name.
std::string database_path(const char *name);

// first + second.
std::string join_path(const std::string &first, const char *second);

// Creates the directory with mode 0700 when it cannot be opened. Returns true
// when the directory exists afterwards.
bool ensure_dir(const std::string &path);

// ensure_dir(database_dir()).
bool ensure_database_dir();
