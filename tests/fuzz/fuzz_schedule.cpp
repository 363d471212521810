// "DataBase/Schedule.ang" as the daemon loads it ("RefreshPlan") and selects
// today's entries, and as the console lists a month.
#include "store/schedule.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write("DataBase/Schedule.ang", data, size);
    schedule_load();
    schedule_select_today(2026, 12, 8);
    for (const ScheduleEntry &e : schedule_selected())
        schedule_list_line(e);
    schedule_select_month(2027, 2);
    for (const ScheduleEntry &e : schedule_selected())
        schedule_list_line(e);
    schedule_next_id();
    return 0;
}
