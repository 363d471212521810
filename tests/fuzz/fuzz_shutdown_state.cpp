// "DataBase/Shutdown.ang" as a restarted daemon takes it back (boot id
// "fuzzboot"), and the first moves after: the restored deadlines issued (to
// the recording seam, never the host) and the noted status read. The final
// power-off reads the same bytes for its two lines.
#include "agent/decision.h"
#include "agent/killpower.h"
#include "tests/fuzz/fuzz_support.h"

static MachineContext unit1;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_program_dir();
    machine_setup(&unit1, KIND_LOCAL_SINGLE, 1);
    decision_init(&unit1);
    decision_configure({10, 1, 2}, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    KillpowerState state{"", 0};
    if (killpower_read_state(reinterpret_cast<const char *>(data), static_cast<int>(size),
                             &state) &&
        state.host < 0)
        __builtin_trap(); // the host deadline is never negative
    fuzz_write("DataBase/Shutdown.ang", data, size);
    decision_start("fuzzboot");
    time_t now = 1796716800; // 2026-12-08
    decision_observe(now, 0, {true, false, true, false});
    for (int i = 0; i < 4; i++) {
        char status[9];
        decision_last_status(i, status);
        decision_forced(i, now);
    }
    decision_tick(now + 5);
    decision_state();
    std::string command;
    while (machine_take_pending(&unit1, &command)) {
    }
    return 0;
}
