// A temporary program directory for unit tests of the file stores: created
// under /tmp, set as the process's program directory, removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/paths.h"

struct TempProgramDir {
    std::string path; // ends in '/'

    TempProgramDir()
    {
        char tmpl[] = "/tmp/upsunitXXXXXX";
        path = std::string(mkdtemp(tmpl)) + "/";
        program_dir_set(path);
    }
    ~TempProgramDir() { std::filesystem::remove_all(path); }
    TempProgramDir(const TempProgramDir &) = delete;
    TempProgramDir &operator=(const TempProgramDir &) = delete;
};
