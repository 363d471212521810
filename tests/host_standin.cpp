#include "tests/host_standin.h"

#include <mutex>

#include "agent/host.h"

static std::mutex lock;
static std::vector<std::vector<std::string>> calls;

std::vector<std::vector<std::string>> host_standin_calls()
{
    std::lock_guard<std::mutex> g(lock);
    return calls;
}

void host_standin_clear()
{
    std::lock_guard<std::mutex> g(lock);
    calls.clear();
}

static HostCallResult record(const std::vector<std::string> &argv)
{
    std::lock_guard<std::mutex> g(lock);
    calls.push_back(argv);
    return {true, ""};
}

void host_standin_install()
{
    host_set_runner(record);
    host_set_platform("/nonexistent/run/systemd/system", "/nonexistent/run/systemd/scheduled");
}

// Before main: no test starts with the real runner in place.
static const bool installed = (host_standin_install(), true);
