#include "protocol/hid_descriptor.h"

namespace {

// Item types of the short item prefix (bits 2..3).
enum { TYPE_MAIN = 0, TYPE_GLOBAL = 1, TYPE_LOCAL = 2, TYPE_RESERVED = 3 };

enum {
    MAIN_INPUT = 0x8, MAIN_OUTPUT = 0x9, MAIN_COLLECTION = 0xA, MAIN_FEATURE = 0xB,
    MAIN_END_COLLECTION = 0xC,
};
enum {
    GLOBAL_USAGE_PAGE = 0x0, GLOBAL_LOGICAL_MIN = 0x1, GLOBAL_LOGICAL_MAX = 0x2,
    GLOBAL_PHYSICAL_MIN = 0x3, GLOBAL_PHYSICAL_MAX = 0x4, GLOBAL_UNIT_EXPONENT = 0x5,
    GLOBAL_UNIT = 0x6, GLOBAL_REPORT_SIZE = 0x7, GLOBAL_REPORT_ID = 0x8,
    GLOBAL_REPORT_COUNT = 0x9, GLOBAL_PUSH = 0xA, GLOBAL_POP = 0xB,
};
enum { LOCAL_USAGE = 0x0, LOCAL_USAGE_MIN = 0x1, LOCAL_USAGE_MAX = 0x2 };

constexpr uint8_t LONG_ITEM_PREFIX = 0xFE;

// A signed range value with the size it was sent in, so that a maximum
// can be read again unsigned when its minimum says so.
struct Ranged {
    int64_t value = 0;
    uint32_t raw = 0;
    uint8_t size = 0;
};

struct GlobalState {
    uint16_t usage_page = 0;
    Ranged logical_min, logical_max, physical_min, physical_max;
    int8_t unit_exponent = 0;
    uint32_t unit = 0;
    uint32_t report_size = 0;
    uint8_t report_id = 0;
    uint32_t report_count = 0;
};

// A usage as named by a local item, made full with the usage page current
// when it was read; `short_*` when it came without its own page (size < 4).
struct LocalUsage {
    uint32_t min = 0;
    uint32_t max = 0; // == min for a single usage
    bool short_min = false;
    bool short_max = false;
};

struct LocalState {
    LocalUsage usages[HID_MAX_LOCAL_USAGES];
    size_t count = 0;
    bool open_min = false; // a Usage Minimum waits for its Maximum
    bool overflow = false;
};

int64_t as_signed(uint32_t raw, uint8_t size)
{
    switch (size) {
    case 1: return static_cast<int8_t>(raw);
    case 2: return static_cast<int16_t>(raw);
    case 4: return static_cast<int32_t>(raw);
    default: return 0;
    }
}

uint32_t with_page(uint32_t usage, uint16_t page)
{
    return (static_cast<uint32_t>(page) << 16) | (usage & 0xFFFF);
}

// A usage item of 4 bytes names its own page in its high 16 bits.
uint32_t full_usage(uint32_t raw, uint8_t size, uint16_t page)
{
    return size == 4 ? raw : with_page(raw, page);
}

// The logical or physical range of the state: the maximum read unsigned
// when it falls below a non-negative minimum.
void range_of(const Ranged &min, const Ranged &max, int64_t *lo, int64_t *hi)
{
    *lo = min.value;
    *hi = max.value;
    if (*lo >= 0 && *hi < *lo)
        *hi = max.raw;
}

struct Parser {
    HidDescriptor *out = nullptr;
    GlobalState global;
    GlobalState stack[HID_MAX_PUSH];
    size_t stack_len = 0;
    LocalState local;
    int open[HID_MAX_DEPTH] = {}; // indices of the open collections
    size_t depth = 0;

    void clear_local()
    {
        local.count = 0;
        local.open_min = false;
        local.overflow = false;
    }

    bool add_usage(uint32_t value, uint8_t size)
    {
        if (local.count == HID_MAX_LOCAL_USAGES) {
            local.overflow = true;
            return false;
        }
        LocalUsage &u = local.usages[local.count++];
        u.min = u.max = full_usage(value, size, global.usage_page);
        u.short_min = u.short_max = size < 4;
        return true;
    }

    // A Usage Page item between the last usages and their main item names
    // their page: the short usages at the end of the list that do not have
    // the page now current take it, back to the first one that has it.
    void late_page()
    {
        for (size_t k = local.count; k-- > 0;) {
            LocalUsage &u = local.usages[k];
            if (!u.short_min || u.min >> 16 == global.usage_page)
                break;
            u.min = with_page(u.min, global.usage_page);
            if (u.short_max)
                u.max = with_page(u.max, global.usage_page);
        }
    }

    // Usage i of the local list, ranges expanded, the last one repeated;
    // 0 when none was named.
    uint32_t usage_at(uint64_t i) const
    {
        if (local.count == 0)
            return 0;
        for (size_t k = 0; k < local.count; k++) {
            const LocalUsage &u = local.usages[k];
            uint32_t lo = u.min, hi = u.max < u.min ? u.min : u.max;
            uint64_t n = static_cast<uint64_t>(hi) - lo + 1;
            if (i < n)
                return static_cast<uint32_t>(lo + i);
            i -= n;
        }
        const LocalUsage &last = local.usages[local.count - 1];
        return last.max < last.min ? last.min : last.max;
    }

    HidReport *report_for(uint8_t id, HidDirection direction)
    {
        for (HidReport &r : out->reports)
            if (r.id == id && r.direction == direction)
                return &r;
        if (out->reports.size() == HID_MAX_REPORTS)
            return nullptr;
        HidReport r;
        r.id = id;
        r.direction = direction;
        r.bits = id != 0 ? 8 : 0;
        out->reports.push_back(r);
        return &out->reports.back();
    }

    HidField field_base(HidDirection direction, uint32_t flags) const
    {
        HidField f;
        f.report_id = global.report_id;
        f.direction = direction;
        f.flags = flags;
        f.bit_size = global.report_size;
        f.collection = depth > 0 ? open[depth - 1] : -1;
        for (size_t k = 0; k < depth; k++)
            f.path[k] = out->collections[open[k]].usage;
        f.path_len = static_cast<uint8_t>(depth + 1);
        range_of(global.logical_min, global.logical_max, &f.logical_min, &f.logical_max);
        range_of(global.physical_min, global.physical_max, &f.physical_min, &f.physical_max);
        f.unit = global.unit;
        f.unit_exponent = global.unit_exponent;
        return f;
    }

    static void set_usage(HidField *f, uint32_t usage)
    {
        f->usage = usage;
        f->path[f->path_len - 1] = usage;
    }

    // An Input, Output or Feature item. False: a bound was reached.
    bool data_item(HidDirection direction, uint32_t flags)
    {
        if (local.overflow)
            return false;
        HidReport *r = report_for(global.report_id, direction);
        if (!r)
            return false;
        uint64_t size = global.report_size, count = global.report_count;
        uint64_t bits = size * count;
        if (r->bits + bits > HID_MAX_REPORT_BITS)
            return false;
        uint32_t start = r->bits;
        r->bits += static_cast<uint32_t>(bits);
        // Padding is a constant item without usages. A constant one with
        // usages is kept: units declare read-only values that way.
        if (((flags & HID_FLAG_CONSTANT) && local.count == 0) || bits == 0)
            return true;
        if (flags & HID_FLAG_VARIABLE) {
            if (out->field_count + count > HID_MAX_FIELDS)
                return false;
            for (uint64_t i = 0; i < count; i++) {
                HidField f = field_base(direction, flags);
                f.bit_offset = static_cast<uint32_t>(start + i * size);
                set_usage(&f, usage_at(i));
                f.usage_min = f.usage_max = f.usage;
                r->fields.push_back(f);
            }
            out->field_count += count;
        } else {
            if (out->field_count + 1 > HID_MAX_FIELDS)
                return false;
            HidField f = field_base(direction, flags);
            f.bit_offset = start;
            f.count = static_cast<uint32_t>(count);
            set_usage(&f, usage_at(0));
            f.usage_min = f.usage;
            f.usage_max = f.usage;
            for (size_t k = 0; k < local.count; k++) {
                const LocalUsage &u = local.usages[k];
                if (u.min < f.usage_min)
                    f.usage_min = u.min;
                if (u.max > f.usage_max)
                    f.usage_max = u.max;
            }
            r->fields.push_back(f);
            out->field_count++;
        }
        return true;
    }

    // One short item. False: stop, out->status says why.
    bool item(uint8_t type, uint8_t tag, uint32_t raw, uint8_t size)
    {
        switch (type) {
        case TYPE_MAIN:
            return main_item(tag, raw);
        case TYPE_GLOBAL:
            return global_item(tag, raw, size);
        case TYPE_LOCAL:
            local_item(tag, raw, size);
            return true;
        default:
            return true;
        }
    }

    bool main_item(uint8_t tag, uint32_t raw)
    {
        late_page();
        bool ok = true;
        switch (tag) {
        case MAIN_INPUT:
            ok = data_item(HID_INPUT, raw);
            break;
        case MAIN_OUTPUT:
            ok = data_item(HID_OUTPUT, raw);
            break;
        case MAIN_FEATURE:
            ok = data_item(HID_FEATURE, raw);
            break;
        case MAIN_COLLECTION:
            if (depth == HID_MAX_DEPTH || out->collections.size() == HID_MAX_COLLECTIONS) {
                ok = false;
                break;
            }
            {
                HidCollection c;
                c.usage = usage_at(0);
                c.type = static_cast<uint8_t>(raw);
                c.parent = depth > 0 ? open[depth - 1] : -1;
                out->collections.push_back(c);
                open[depth++] = static_cast<int>(out->collections.size() - 1);
            }
            break;
        case MAIN_END_COLLECTION:
            if (depth > 0)
                depth--;
            break;
        default:
            break;
        }
        clear_local();
        if (!ok)
            out->status = HID_PARSE_LIMIT;
        return ok;
    }

    bool global_item(uint8_t tag, uint32_t raw, uint8_t size)
    {
        Ranged v{as_signed(raw, size), raw, size};
        switch (tag) {
        case GLOBAL_USAGE_PAGE: global.usage_page = static_cast<uint16_t>(raw); break;
        case GLOBAL_LOGICAL_MIN: global.logical_min = v; break;
        case GLOBAL_LOGICAL_MAX: global.logical_max = v; break;
        case GLOBAL_PHYSICAL_MIN: global.physical_min = v; break;
        case GLOBAL_PHYSICAL_MAX: global.physical_max = v; break;
        case GLOBAL_UNIT_EXPONENT:
            // Sent as a signed nibble (0x0F is -1); some firmware sends a
            // signed byte (0xFF) instead: both read as the same exponent.
            if (size == 1 && raw <= 0x0F)
                global.unit_exponent = static_cast<int8_t>(raw >= 8 ? static_cast<int>(raw) - 16 : static_cast<int>(raw));
            else
                global.unit_exponent = static_cast<int8_t>(v.value);
            break;
        case GLOBAL_UNIT: global.unit = raw; break;
        case GLOBAL_REPORT_SIZE: global.report_size = raw; break;
        case GLOBAL_REPORT_ID:
            global.report_id = static_cast<uint8_t>(raw);
            break;
        case GLOBAL_REPORT_COUNT: global.report_count = raw; break;
        case GLOBAL_PUSH:
            if (stack_len == HID_MAX_PUSH) {
                out->status = HID_PARSE_LIMIT;
                return false;
            }
            stack[stack_len++] = global;
            break;
        case GLOBAL_POP:
            if (stack_len > 0)
                global = stack[--stack_len];
            break;
        default:
            break;
        }
        return true;
    }

    void local_item(uint8_t tag, uint32_t raw, uint8_t size)
    {
        switch (tag) {
        case LOCAL_USAGE:
            add_usage(raw, size);
            local.open_min = false;
            break;
        case LOCAL_USAGE_MIN:
            if (add_usage(raw, size))
                local.open_min = true;
            break;
        case LOCAL_USAGE_MAX:
            if (local.open_min) {
                LocalUsage &u = local.usages[local.count - 1];
                u.max = full_usage(raw, size, global.usage_page);
                u.short_max = size < 4;
                local.open_min = false;
            } else {
                add_usage(raw, size); // a maximum alone names one usage
            }
            break;
        default:
            break; // designators, strings, delimiters
        }
    }
};

} // namespace

HidParseStatus hid_descriptor_parse(const uint8_t *data, size_t len, HidDescriptor *out)
{
    *out = HidDescriptor{};
    Parser p;
    p.out = out;
    size_t pos = 0;
    while (pos < len) {
        uint8_t prefix = data[pos];
        if (prefix == LONG_ITEM_PREFIX) {
            // Long item: prefix, data size, tag, data. Nothing here uses one.
            if (len - pos < 3 || len - pos - 3 < data[pos + 1]) {
                out->status = HID_PARSE_TRUNCATED;
                break;
            }
            pos += 3 + static_cast<size_t>(data[pos + 1]);
            out->parsed_len = pos;
            continue;
        }
        static const uint8_t sizes[4] = {0, 1, 2, 4};
        uint8_t size = sizes[prefix & 3];
        if (len - pos - 1 < size) {
            out->status = HID_PARSE_TRUNCATED;
            break;
        }
        uint32_t raw = 0;
        for (uint8_t i = 0; i < size; i++)
            raw |= static_cast<uint32_t>(data[pos + 1 + i]) << (8 * i);
        if (!p.item(static_cast<uint8_t>((prefix >> 2) & 3), static_cast<uint8_t>(prefix >> 4), raw,
                    size))
            break;
        pos += 1 + size;
        out->parsed_len = pos;
    }
    return out->status;
}

const HidReport *hid_descriptor_report(const HidDescriptor &d, uint8_t id, HidDirection direction)
{
    for (const HidReport &r : d.reports)
        if (r.id == id && r.direction == direction)
            return &r;
    return nullptr;
}

const HidField *hid_descriptor_find(const HidDescriptor &d, HidDirection direction,
                                    uint32_t usage)
{
    for (const HidReport &r : d.reports) {
        if (r.direction != direction)
            continue;
        for (const HidField &f : r.fields)
            if (f.usage == usage)
                return &f;
    }
    return nullptr;
}

namespace {

// The element's first bit, or false when it does not lie within `len`.
bool element_bits(const HidField &f, uint32_t index, size_t len, uint64_t *first)
{
    if (f.bit_size == 0 || f.bit_size > HID_MAX_VALUE_BITS || index >= f.count)
        return false;
    uint64_t start = f.bit_offset + static_cast<uint64_t>(index) * f.bit_size;
    if (start + f.bit_size > static_cast<uint64_t>(len) * 8)
        return false;
    *first = start;
    return true;
}

} // namespace

bool hid_field_value_at(const HidField &f, uint32_t index, const uint8_t *report, size_t len,
                        int64_t *out)
{
    uint64_t start;
    if (!element_bits(f, index, len, &start))
        return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < f.bit_size; i++) {
        uint64_t bit = start + i;
        if (report[bit / 8] >> (bit % 8) & 1)
            v |= uint64_t{1} << i;
    }
    if (f.is_signed() && (v >> (f.bit_size - 1) & 1))
        v |= ~uint64_t{0} << f.bit_size; // bit_size <= 32: the shift is defined
    *out = static_cast<int64_t>(v);
    return true;
}

bool hid_field_value(const HidField &f, const uint8_t *report, size_t len, int64_t *out)
{
    return hid_field_value_at(f, 0, report, len, out);
}

bool hid_field_set_at(const HidField &f, uint32_t index, uint8_t *report, size_t len,
                      int64_t value)
{
    uint64_t start;
    if (!element_bits(f, index, len, &start))
        return false;
    uint64_t v = static_cast<uint64_t>(value);
    for (uint32_t i = 0; i < f.bit_size; i++) {
        uint64_t bit = start + i;
        uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        if (v >> i & 1)
            report[bit / 8] |= mask;
        else
            report[bit / 8] &= static_cast<uint8_t>(~mask);
    }
    return true;
}

bool hid_field_set(const HidField &f, uint8_t *report, size_t len, int64_t value)
{
    return hid_field_set_at(f, 0, report, len, value);
}
