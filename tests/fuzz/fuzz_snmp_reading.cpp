// The reading an SNMP card's answers give: every object of the poll gets a
// kind byte (missing, number, text, identifier, or a wrong kind), then its
// value (eight bytes, or a length byte and the octets); then the alarm
// identifiers present, and the type character the unit had so far.
#include "protocol/snmp_map.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzCursor in{data, size};
    SnmpAnswers answers;
    for (SnmpValue &v : answers.values) {
        uint8_t kind = in.byte();
        v.kind = kind % 5 - 1; // -1 missing, 0..2, 3 a kind of no use
        if (v.kind == SNMP_NUMBER) {
            unsigned long long n = 0;
            for (int i = 0; i < 8; i++)
                n = n << 8 | in.byte();
            v.number = static_cast<long long>(n);
        } else {
            v.text = in.counted();
        }
    }
    uint8_t alarms = in.byte();
    answers.alarms_known = (alarms & 0x80) != 0;
    for (int i = 0; i < (alarms & 15); i++)
        answers.alarms.push_back(in.counted());
    char previous = static_cast<char>(in.byte());
    MachineReading reading;
    if (snmp_map_reading(answers, previous, &reading)) {
        if (strnlen(reading.company, sizeof reading.company) == sizeof reading.company ||
            reading.battery_charge < -1 || reading.battery_charge > 100)
            __builtin_trap();
        static MachineContext ctx;
        machine_setup(&ctx, KIND_LOCAL_SINGLE, 1);
        machine_take_reading(&ctx, reading);
        char record[STATUS_RECORD_LEN];
        machine_status_record(&ctx, record);
        if (strlen(record) != STATUS_RECORD_LEN - 1)
            __builtin_trap();
    }
    return 0;
}
