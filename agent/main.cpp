// upsagent: watches one to four UPS units and protects the host. Its files
// live below the directory of its executable. "-d" prints debug lines too;
// "--killpower [STAGE]" is the final power-off of the host's last shutdown
// stage (agent/killpower.h).
#include <csignal>
#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "agent/killpower.h"
#include "base/log.h"
#include "base/loop.h"

int main(int argc, char **argv)
{
    if (argc >= 2 && argc <= 3 && strcmp(argv[1], "--killpower") == 0) {
        log_configure(false, log_journal_detect());
        return killpower_run(argv[0], argc == 3 ? argv[2] : nullptr);
    }
    bool debug = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-d") == 0) {
            debug = true;
        } else {
            fprintf(stderr, "usage: upsagent [-d]\n       upsagent --killpower [STAGE]\n"
                            "  -d           print debug lines too\n"
                            "  --killpower  the final power-off, at the last shutdown stage\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0); // diagnostics reach a log file line by line
    log_configure(debug, log_journal_detect());
    signal(SIGPIPE, SIG_IGN);            // a vanished peer is an error code, not an end
    signal(SIGXFSZ, SIG_IGN);            // a file-size limit fails that write (EFBIG), reported
    Loop *loop = loop_new();
    if (!loop || !agent_start(argc > 0 ? argv[0] : nullptr, loop, AgentOptions{}))
        return 1;
    int status = loop_run(loop);
    agent_stop();
    loop_free(loop);
    return status;
}
