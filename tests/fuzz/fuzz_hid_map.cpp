// A unit's report descriptor and the reports it sends, both from the
// input: the first two bytes give the descriptor's length, the bytes after
// it fill every declared report in turn. The map, its readings over two
// passes (the memory kept between them), every command form and their
// writes into the reports stay within their bounds: the status characters
// are '0', '1' or '?', a runtime is never below -1, and a write the map
// plans lands in a report of its own length.
#include "protocol/hid_descriptor.h"
#include "protocol/hid_map.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t len = (size_t{data[0]} << 8 | data[1]) % (size - 1);
    const uint8_t *desc = data + 2, *rest = data + 2 + len;
    size_t rest_len = size - 2 - len;
    HidDescriptor d;
    hid_descriptor_parse(desc, len, &d);
    HidMap map;
    hid_map_build(d, 0x051d, 0x0002, &map);
    HidReportStore store;
    size_t at = 0;
    for (const HidReport &r : d.reports) {
        std::vector<uint8_t> bytes(r.byte_len());
        for (size_t i = 0; i < bytes.size(); i++)
            bytes[i] = rest_len ? rest[at++ % rest_len] : 0;
        if (r.id && !bytes.empty())
            bytes[0] = r.id;
        hid_store_put(&store, r.id, r.direction, bytes.data(), bytes.size());
    }
    HidMapMemory memory;
    std::vector<std::string> lines;
    for (int pass = 0; pass < 2; pass++) {
        MachineReading reading;
        if (hid_map_reading(map, store, 100.0 * pass, &memory, &lines, &reading)) {
            for (char c : reading.status)
                if (c != '0' && c != '1' && c != '?')
                    __builtin_trap();
            if (reading.battery_runtime < -1)
                __builtin_trap();
        }
    }
    int strings[4];
    hid_map_string_indexes(map, store, strings);
    for (const char *command : {"T\r", "TL\r", "CT\r", "C\r", "S01\r", "S.5\r", "S99R9999\r"}) {
        std::vector<HidWrite> writes;
        if (!hid_map_command(map, command, &writes, &lines))
            continue;
        for (const HidWrite &w : writes) {
            const HidReport *r = hid_descriptor_report(d, w.report_id, HID_FEATURE);
            if (!r)
                __builtin_trap();
            std::vector<uint8_t> bytes(r->byte_len());
            if (r->id && !bytes.empty())
                bytes[0] = r->id;
            size_t before = bytes.size();
            hid_map_apply(w, &bytes);
            if (bytes.size() != before)
                __builtin_trap();
        }
    }
    return 0;
}
