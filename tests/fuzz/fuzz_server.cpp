// Port 2027's command table: the first byte picks the peer (loopback, or an
// address the rules leave read only), the rest is one read of up to 1024
// bytes, as the server's loop hands it over. The units are set up and have
// values, so a read returns whole records.
#include <cstdint>
#include <cstring>

#include "agent/server.h"
#include "tests/fuzz/fuzz_support.h"

static MachineContext units[4];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_program_dir();
    for (int i = 0; i < 4; i++) {
        machine_setup(&units[i], i == 0 ? KIND_LOCAL_SINGLE : KIND_LOCAL_MULTIPLE, i + 1);
        units[i].connected = 1;
        units[i].status_taken = 1;
        units[i].input_voltage = 230.5f;
        units[i].battery_voltage = 2.27f;
    }
    server_set_units(units);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static double now = 1000;
    if (size == 0)
        return 0;
    ServerPeer peer = {data[0] & 1 ? 0x7f000001u : 0x0a000002u, (data[0] & 1) != 0, {}};
    size_t len = size - 1 > 1024 ? 1024 : size - 1;
    std::string reply;
    now += 0.25 * (data[0] >> 1);
    LoopTime at = {now, 1700000000 + static_cast<time_t>(now)};
    int rule = server_command(peer, data + 1, static_cast<int>(len), at, &reply);
    if (rule < 1 || rule > 13 || reply.size() % STATUS_RECORD_LEN != 0)
        __builtin_trap();
    server_run_due_reloads(at);
    std::string command;
    while (machine_take_pending(&units[0], &command)) // the polling loop would send them
        if (command.size() > static_cast<size_t>(MACHINE_PENDING_SIZE))
            __builtin_trap();
    return 0;
}
