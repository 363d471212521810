// Records the programs the notifiers and actions would start, through the
// spawn module's test seam, instead of starting them.
#pragma once

#include <string>
#include <vector>

#include "store/spawn.h"

inline std::vector<std::vector<std::string>> &spawned()
{
    static std::vector<std::vector<std::string>> calls;
    return calls;
}

inline void spawn_record(const std::vector<std::string> &argv)
{
    spawned().push_back(argv);
}

struct SpawnRecorder {
    SpawnRecorder()
    {
        spawned().clear();
        spawn_set_observer(spawn_record);
    }
    ~SpawnRecorder() { spawn_set_observer(nullptr); }
};
