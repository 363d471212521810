#include "store/write_report.h"

#include "base/log.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::set<std::string> failing; // files whose last write failed
static std::set<std::string> refused; // files whose last read was refused

const char *file_error_text(int err)
{
    switch (err) {
    case ELOOP:
        return "it is a symbolic link, which is not followed";
    case FILE_NOT_REGULAR:
        return "it is not a regular file (a FIFO, device, socket or folder)";
    default:
        return strerror(err);
    }
}

bool write_report(const std::string &path, bool ok, int err, const char *what)
{
    Guard g(lock);
    if (ok) {
        if (failing.erase(path))
            log_notice("upsagent: %s is written again", path.c_str());
        return true;
    }
    if (failing.insert(path).second)
        log_error("upsagent: cannot write %s: %s; %s", path.c_str(), file_error_text(err),
                  what ? what : "trying again at its next write, polling goes on");
    return false;
}

bool read_report(const std::string &path, bool ok, int err)
{
    Guard g(lock);
    if (ok) {
        if (refused.erase(path))
            log_notice("upsagent: %s is read again", path.c_str());
        return true;
    }
    if (refused.insert(path).second)
        log_error("upsagent: refusing to read %s: %s", path.c_str(),
                  err == EFBIG ? "it is larger than its limit and is refused whole"
                               : file_error_text(err));
    return false;
}

void write_report_reset()
{
    Guard g(lock);
    failing.clear();
    refused.clear();
}
