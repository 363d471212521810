// Port 2027's command assembly: a session's reads, as the fuzz input cuts
// them, go through server_stream_take and each request through the command
// table, as the server's loop does. What must hold whatever the bytes: the
// requests are the session's own bytes in their order (nothing invented,
// nothing reordered), what waits for the next read stays a few bytes, and
// only commands of the UPS command language reach unit 1's queue.
//
// Input: a peer byte (bit 0: loopback with the right; else a host that may
// only read), then reads, each a length byte (below 200 that many bytes;
// from 200 on, 64-byte steps, at most 1024) and its bytes.
#include <cstdint>
#include <cstring>

#include "agent/server.h"
#include "protocol/ups_command.h"
#include "tests/fuzz/fuzz_support.h"

static MachineContext units[4];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_program_dir();
    for (int i = 0; i < 4; i++) {
        machine_setup(&units[i], i == 0 ? KIND_LOCAL_SINGLE : KIND_LOCAL_MULTIPLE, i + 1);
        units[i].connected = 1;
        units[i].status_taken = 1;
    }
    server_set_units(units);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static double now = 1000;
    FuzzCursor in{data, size};
    uint8_t who = in.byte();
    ServerPeer peer = {who & 1 ? 0x7f000001u : 0x0a000002u, (who & 1) != 0, {}};
    ServerStream stream;
    std::string sent;       // every byte of the session so far
    size_t matched = 0;     // how far into `sent` the requests have come
    std::vector<std::string> requests;
    while (!in.done()) {
        int n = in.byte();
        if (n >= 200)
            n = (n - 199) * 64;
        std::string read = in.bytes(n > SERVER_REQUEST_MAX ? SERVER_REQUEST_MAX : n);
        sent += read;
        requests.clear();
        server_stream_take(&stream, reinterpret_cast<const unsigned char *>(read.data()),
                           static_cast<int>(read.size()), &requests);
        if (stream.pending.size() > 10)
            __builtin_trap();
        for (const std::string &r : requests) {
            if (r.empty() || r.size() > static_cast<size_t>(SERVER_REQUEST_MAX))
                __builtin_trap();
            size_t at = sent.find(r, matched);
            if (at == std::string::npos)
                __builtin_trap(); // not the session's bytes in order
            matched = at + r.size();
            now += 0.3;
            LoopTime t = {now, 1700000000 + static_cast<time_t>(now)};
            std::string reply;
            int rule = server_command(peer, reinterpret_cast<const unsigned char *>(r.data()),
                                      static_cast<int>(r.size()), t, &reply);
            if (rule < 1 || rule > 13 || reply.size() % STATUS_RECORD_LEN != 0)
                __builtin_trap();
            if (rule >= 2 && rule <= 6 && r.back() != '\r')
                __builtin_trap();
        }
        std::string command;
        UpsCommand parsed;
        while (machine_take_pending(&units[0], &command)) // what the polling loop would send
            if (!ups_command_parse(command, &parsed))
                __builtin_trap();
    }
    return 0;
}
