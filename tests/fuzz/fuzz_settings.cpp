// "Set/Setting.ang" as the daemon loads it at start and on "RefreshSet",
// and the shutdown delays it gives (the unit count is clamped by the
// daemon, not the store).
#include "agent/decision.h"
#include "store/settings.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write("Set/Setting.ang", data, size);
    settings_load(fuzz_program_dir());
    SettingsRecord s = settings_get();
    if (strnlen(s.link_device, sizeof s.link_device) == sizeof s.link_device ||
        strnlen(s.machine_mode, sizeof s.machine_mode) == sizeof s.machine_mode)
        __builtin_trap();
    decision_delays_from(s);
    return 0;
}
