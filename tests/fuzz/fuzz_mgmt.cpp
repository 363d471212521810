// Port 3493's requests: the input is what one client sends, cut into lines
// at each newline, every line split into words and answered in one session.
// The first byte is the number of units in use. One user may log in (with
// every role), so the commands that need a login are reached too.
#include <cstdint>
#include <cstring>
#include <fstream>

#include "agent/mgmt.h"
#include "agent/users.h"
#include "tests/fuzz/fuzz_support.h"

static MachineContext units[4];
static int unit_count = 1;

static int fuzz_count(void *)
{
    return unit_count;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string dir = fuzz_program_dir();
    std::ofstream(dir + USERS_FILE) << "admin $1$fz$cCNXuW0oFOtFLZQxqpBSy/ "
                                       "monitor-primary,instcmd\n";
    chmod((dir + USERS_FILE).c_str(), 0600);
    users_load(dir + USERS_FILE);
    for (int i = 0; i < 4; i++) {
        machine_setup(&units[i], KIND_LOCAL_MULTIPLE, i + 1);
        units[i].connected = 1;
        units[i].status_taken = 1;
        units[i].load_percent = 25;
        units[i].rated_battery_voltage = 48;
    }
    mgmt_configure(units, fuzz_count, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    unit_count = 1 + in.byte() % 4;
    MgmtSession session;
    session.peer = 0x7f000001;
    session.tls_offered = true;
    std::string text = in.rest();
    size_t start = 0;
    while (start <= text.size() && !session.ending) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        std::vector<std::string> words;
        bool split = mgmt_split(line, &words);
        std::string reply = mgmt_request(&session, line, LoopTime{1000.0, 1700000000});
        if (reply.empty() ? split && !words.empty() : reply.back() != '\n')
            __builtin_trap(); // every request but a blank line gets whole lines
        session.tls_start = false;
        start = end + 1;
    }
    mgmt_session_end(&session);
    std::string command;
    while (machine_take_pending(&units[0], &command)) {
    }
    return 0;
}
