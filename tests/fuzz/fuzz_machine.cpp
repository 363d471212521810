// The protocol engine over whatever a line brings back: a unit of the kind
// the first byte picks is stepped through its cycle, every receive step
// getting the next piece of the input as its reply (a length byte, then up
// to that many bytes), kind 0 through the plausibility filter when the
// daemon's options are chosen. Between steps, a command may be queued on
// either lane and the record and charge are formatted as the server and
// the console do.
#include <cstdint>
#include <cstring>

#include "protocol/machine.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    uint8_t choice = in.byte();
    static const int KINDS[] = {KIND_LOCAL_SINGLE, KIND_LOCAL_MULTIPLE, KIND_REMOTE, KIND_NONE};
    int kind = KINDS[choice & 3];
    bool daemon = (choice & 4) != 0;
    machine_configure({daemon, !daemon, daemon});
    static MachineContext ctx; // a mutex, so made once
    machine_setup(&ctx, kind, 1 + ((choice >> 3) & 3));
    MachineRecordCache cache;
    for (int moves = 0; moves < 256 && !in.done(); moves++) {
        int action = machine_next_action(&ctx);
        if (action == ACTION_SEND) {
            unsigned char request[MACHINE_PENDING_SIZE];
            int count = -1;
            machine_build_request(&ctx, request, &count);
            if (count < 0 || count > MACHINE_PENDING_SIZE)
                __builtin_trap(); // a request never overruns its buffer
            machine_next_step(&ctx, 1);
        } else if (action == ACTION_RECEIVE) {
            uint8_t length = in.byte();
            std::string reply = in.bytes(length);
            int ok = machine_parse_reply(
                &ctx, reinterpret_cast<const unsigned char *>(reply.data()),
                static_cast<int>(reply.size()));
            machine_next_step(&ctx, ok);
        } else {
            break;
        }
        uint8_t extra = in.byte();
        if (extra == 0xfe) { // a command from a client, of any length
            std::string command = in.counted();
            machine_queue_command(&ctx, command.data(), static_cast<int>(command.size()));
        } else if (extra == 0xfd) { // the decision's
            std::string command = in.counted();
            machine_queue_control(&ctx, command.data(), static_cast<int>(command.size()));
        }
        char record[STATUS_RECORD_LEN];
        machine_status_record_cached(&ctx, &cache, record);
        if (strlen(record) != STATUS_RECORD_LEN - 1)
            __builtin_trap(); // every column stays in place
        for (int i = 0; i < STATUS_RECORD_LEN - 1; i++)
            if (record[i] < 0x20 || record[i] > 0x7e)
                __builtin_trap(); // a unit's texts are taken in printable
        MachineValues v;
        machine_values(&ctx, &v);
        bool empty;
        int charge = machine_charge(v, &empty);
        if (!empty && (charge < 0 || charge > 100))
            __builtin_trap();
        machine_take_turn_done(&ctx);
        machine_commit_status(&ctx);
    }
    return 0;
}
