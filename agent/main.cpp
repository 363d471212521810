// upsagent: watches one to four UPS units and protects the host. It takes no
// options; its files live below the directory of its executable.
#include <csignal>
#include <cstdio>

#include "agent/agent.h"

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0); // diagnostics reach a log file line by line
    signal(SIGPIPE, SIG_IGN);            // a vanished peer is an error code, not an end
    signal(SIGXFSZ, SIG_IGN);            // a file-size limit fails that write (EFBIG), reported
    agent_start(argc > 0 ? argv[0] : nullptr);
    agent_run();
}
