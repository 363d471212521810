#include "store/write_report.h"

#include "base/log.h"

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
            log_notice("upsagent: %s is written again", path.c_str());
        return true;
    }
    if (failing.insert(path).second)
        log_error("upsagent: cannot write %s: %s; %s", path.c_str(), strerror(err),
                  what ? what : "trying again at its next write, polling goes on");
    return false;
}

void write_report_reset()
{
    Guard g(lock);
    failing.clear();
}
