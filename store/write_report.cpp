#include "store/write_report.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::set<std::string> failing; // files whose last write failed

bool write_report(const std::string &path, bool ok, int err, const char *what)
{
    Guard g(lock);
    if (ok) {
        if (failing.erase(path))
            printf("upsagent: %s is written again\n", path.c_str());
        return true;
    }
    if (failing.insert(path).second)
        printf("upsagent: cannot write %s: %s; %s\n", path.c_str(), strerror(err),
               what ? what : "trying again at its next write, polling goes on");
    return false;
}

void write_report_reset()
{
    Guard g(lock);
    failing.clear();
}
