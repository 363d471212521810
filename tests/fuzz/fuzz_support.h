// What the fuzz targets share: a cursor over the fuzz input, one temporary
// program directory per fuzzing process, and the guard that nothing a
// target drives ever starts a program (the host's shutdown least of all).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "store/paths.h"
#include "store/spawn.h"
#include "store/textfile.h"

// Takes the fuzz input apart front to back; past the end every read gives 0
// or nothing.
struct FuzzCursor {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    bool done() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    // Up to `n` bytes (fewer at the end).
    std::string bytes(size_t n)
    {
        size_t take = n < size - pos ? n : size - pos;
        std::string out(reinterpret_cast<const char *>(data + pos), take);
        pos += take;
        return out;
    }
    // A length byte, then that many bytes.
    std::string counted() { return bytes(byte()); }
    // Everything up to the next NUL (dropped) or the end.
    std::string until_nul()
    {
        std::string out;
        while (pos < size && data[pos] != 0)
            out += static_cast<char>(data[pos++]);
        if (pos < size)
            pos++;
        return out;
    }
    std::string rest() { return bytes(size - pos); }
};

// The program directory of this process, ending in '/': made once below
// /dev/shm (the stores sync every file they write; memory makes that
// cheap) or /tmp, set as the process's program directory, removed at exit. Every
// start of a program is recorded and dropped instead.
inline const std::string &fuzz_program_dir()
{
    static std::string dir;
    if (dir.empty()) {
        char shm[] = "/dev/shm/upsfuzzXXXXXX", tmp[] = "/tmp/upsfuzzXXXXXX";
        char *tmpl = mkdtemp(shm);
        if (!tmpl)
            tmpl = mkdtemp(tmp);
        if (!tmpl)
            abort();
        dir = std::string(tmpl) + "/";
        program_dir_set(dir);
        ensure_dir(dir + "Set/");
        ensure_database_dir();
        spawn_set_observer([](const std::vector<std::string> &) {});
        atexit([] { std::filesystem::remove_all(dir); });
    }
    return dir;
}

// Writes the input as the file `name` below the program directory; returns
// its path.
inline std::string fuzz_write(const char *name, const uint8_t *data, size_t size)
{
    std::string path = fuzz_program_dir() + name;
    if (!write_file(path, reinterpret_cast<const char *>(data), static_cast<int>(size), 0600))
        abort();
    return path;
}
