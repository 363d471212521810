// upsagent: watches one to four UPS units and protects the host. Its files
// live below the directory of its executable. "-d" prints debug lines too;
// "--return-hold SECONDS" sets how long the mains must be back (and a low
// battery over) before the shutdown they started is cancelled;
// "--killpower [STAGE]" is the final power-off of the host's last shutdown
// stage (agent/killpower.h).
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
    AgentOptions options;
    for (int i = 1; i < argc; i++) {
        char *end = nullptr;
        if (strcmp(argv[i], "-d") == 0) {
            debug = true;
        } else if (strcmp(argv[i], "--return-hold") == 0 && i + 1 < argc &&
                   (options.return_hold = static_cast<int>(strtol(argv[i + 1], &end, 10)),
                    *argv[i + 1] && *end == '\0' && options.return_hold >= 0 &&
                        options.return_hold <= 3600)) {
            i++;
        } else {
            fprintf(stderr, "usage: upsagent [-d] [--return-hold SECONDS]\n"
                            "       upsagent --killpower [STAGE]\n"
                            "  -d                      print debug lines too\n"
                            "  --return-hold SECONDS   how long the mains must be back before the\n"
                            "                          shutdown is cancelled (0..3600, default 30)\n"
                            "  --killpower             the final power-off, at the last shutdown "
                            "stage\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0); // diagnostics reach a log file line by line
    log_configure(debug, log_journal_detect());
    signal(SIGPIPE, SIG_IGN);            // a vanished peer is an error code, not an end
    signal(SIGXFSZ, SIG_IGN);            // a file-size limit fails that write (EFBIG), reported
    Loop *loop = loop_new();
    if (!loop || !agent_start(argc > 0 ? argv[0] : nullptr, loop, options))
        return 1;
    int status = loop_run(loop);
    agent_stop();
    loop_free(loop);
    return status;
}
