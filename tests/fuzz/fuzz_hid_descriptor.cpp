// A unit's report descriptor, as many bytes as it sends: the parse stays
// within its bounds, every field lies within its report, and each field's
// value read from a report (the input's own bytes reused) is written back
// unchanged.
#include "protocol/hid_descriptor.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    HidDescriptor d;
    HidParseStatus status = hid_descriptor_parse(data, size, &d);
    if (status != d.status || d.parsed_len > size || d.field_count > HID_MAX_FIELDS ||
        d.reports.size() > HID_MAX_REPORTS || d.collections.size() > HID_MAX_COLLECTIONS)
        __builtin_trap();
    if (status == HID_PARSE_OK && d.parsed_len != size)
        __builtin_trap();
    size_t fields = 0;
    for (const HidReport &r : d.reports) {
        if (r.bits > HID_MAX_REPORT_BITS)
            __builtin_trap();
        std::vector<uint8_t> report(r.byte_len());
        for (size_t i = 0; i < report.size(); i++)
            report[i] = size > 0 ? data[i % size] : 0;
        for (const HidField &f : r.fields) {
            fields++;
            if (f.path_len == 0 || f.path_len > HID_MAX_DEPTH + 1 ||
                f.path[f.path_len - 1] != f.usage || f.report_id != r.id ||
                f.direction != r.direction ||
                f.bit_offset + uint64_t{f.count} * f.bit_size > r.bits)
                __builtin_trap();
            if (f.count == 0)
                continue;
            uint32_t last = f.count - 1;
            int64_t v = 0, back = 0;
            if (hid_field_value_at(f, last, report.data(), report.size(), &v)) {
                std::vector<uint8_t> copy = report;
                if (!hid_field_set_at(f, last, copy.data(), copy.size(), v) || copy != report ||
                    !hid_field_value_at(f, last, copy.data(), copy.size(), &back) || back != v)
                    __builtin_trap();
            }
        }
    }
    if (fields != d.field_count)
        __builtin_trap();
    return 0;
}
