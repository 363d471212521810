// "DataBase/Event.ang" as the console's event log page reads it and lists
// a month.
#include "store/event_log.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write("DataBase/Event.ang", data, size);
    int entries = event_log_load();
    if (entries < 0 || entries > static_cast<int>(size / EVENT_LINE_LEN))
        __builtin_trap(); // only whole lines
    static const int MONTHS[][2] = {{2026, 12}, {2026, 1}, {0, 0}};
    for (const auto &m : MONTHS) {
        int n = event_log_select_month(m[0], m[1]);
        EventEntry e;
        for (int i = 0; i < n; i++)
            if (!event_log_selected(i, &e))
                __builtin_trap();
    }
    return 0;
}
