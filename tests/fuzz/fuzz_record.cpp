// The StatusRecord a remote unit (kind 3) reads from another daemon: the
// input is the whole answer to one "ALL" request, taken with both sets of
// options (the daemon's, which wants the connection character, and the
// console's), and the unit's own record is formatted from what it took.
#include <cstdint>
#include <cstring>

#include "protocol/machine.h"
#include "tests/fuzz/fuzz_support.h"

static void fuzz_record_take(const uint8_t *data, size_t size, bool daemon)
{
    machine_configure({daemon, !daemon, daemon});
    static MachineContext ctx;
    machine_setup(&ctx, KIND_REMOTE, 2);
    for (int round = 0; round < 2; round++) {
        unsigned char request[MACHINE_PENDING_SIZE];
        int count = 0;
        while (machine_next_action(&ctx) == ACTION_SEND) {
            machine_build_request(&ctx, request, &count);
            machine_next_step(&ctx, 1);
        }
        int ok = machine_parse_reply(&ctx, data, static_cast<int>(size));
        machine_next_step(&ctx, ok);
        char record[STATUS_RECORD_LEN];
        machine_status_record(&ctx, record);
        if (strlen(record) != STATUS_RECORD_LEN - 1)
            __builtin_trap();
        for (int i = 0; i < STATUS_RECORD_LEN - 1; i++)
            if (record[i] < 0x20 || record[i] > 0x7e)
                __builtin_trap(); // a peer's texts are taken in printable
        MachineValues v;
        machine_values(&ctx, &v);
        bool empty;
        machine_charge(v, &empty);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_record_take(data, size, true);
    fuzz_record_take(data, size, false);
    return 0;
}
