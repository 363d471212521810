// The SETs a command of unit 1's queue becomes on an SNMP card: the input
// is the command, as a client or the schedule queues it.
#include "protocol/snmp_map.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string command(reinterpret_cast<const char *>(data), size);
    std::vector<SnmpSet> sets;
    if (snmp_map_command(command, &sets)) {
        if (sets.empty())
            __builtin_trap();
        for (const SnmpSet &s : sets)
            if (s.oid.empty() || (s.kind != SNMP_NUMBER && s.kind != SNMP_IDENTIFIER))
                __builtin_trap();
        snmp_map_is_test(sets);
    }
    return 0;
}
