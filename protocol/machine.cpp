#include "protocol/machine.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "protocol/filter.h"

using Guard = std::lock_guard<std::mutex>;

static MachineOptions options = {false, false, false};

void machine_configure(const MachineOptions &opts)
{
    options = opts;
}

void machine_printable(char *out, size_t size, const unsigned char *bytes, size_t len)
{
    if (size == 0)
        return;
    size_t n = len < size - 1 ? len : size - 1;
    for (size_t i = 0; i < n; i++)
        out[i] = bytes[i] >= 0x20 && bytes[i] <= 0x7e ? static_cast<char>(bytes[i]) : '?';
    out[n] = '\0';
}

// Copies `width` bytes at `offset` as a printable NUL-terminated text.
static void reply_text(char *out, const unsigned char *bytes, int offset, int width)
{
    machine_printable(out, static_cast<size_t>(width) + 1, bytes + offset, width);
}

// A NUL-terminated text of a reading into a field of the same width.
template <size_t N> static void reading_text(char (&out)[N], const char (&text)[N])
{
    machine_printable(out, N, reinterpret_cast<const unsigned char *>(text), strnlen(text, N - 1));
}

// What only some units report of themselves (a card, a HID unit).
static void clear_unit_reports(MachineValues *v)
{
    v->battery_charge = -1;
    v->battery_runtime = -1;
    v->serial[0] = v->maker[0] = v->product[0] = '\0';
    v->usb_vendor_id = v->usb_product_id = 0;
    v->unit_flags = 0;
    for (float &x : v->extra)
        x = NAN;
}

static void clear_values(MachineValues *v)
{
    v->input_voltage = v->input_fault_voltage = v->output_voltage = 0;
    v->load_percent = v->input_frequency = v->battery_voltage = v->temperature = 0;
    v->company[0] = v->model[0] = v->version[0] = '\0';
    memset(&v->queue, 0, sizeof v->queue);
    v->rated_current = 0;
    v->rated_battery_voltage = 0;
    clear_unit_reports(v);
    memset(v->status, '0', sizeof v->status);
    memset(v->status_prev, '0', sizeof v->status_prev);
    // Neither connected nor lost has been reported: the first of them is news.
    v->status_prev[STATUS_CONNECTION] = '?';
}

// Identity and ratings are asked for anew (and may be given up anew).
static void clear_info_state(MachineValues *v)
{
    v->info_failures = 0;
    v->identity_skipped = 0;
    v->ratings_skipped = 0;
}

// A command's bytes for a diagnostic line: control characters as '.', at
// most 20 of them.
static std::string shown(const char *bytes, int len)
{
    std::string text;
    for (int i = 0; i < len && i < 20; i++)
        text += bytes[i] >= 0x20 && bytes[i] < 0x7f ? bytes[i] : '.';
    return text;
}

static void clear_readings(MachineValues *v)
{
    v->input_voltage = v->input_fault_voltage = v->output_voltage = 0;
    v->load_percent = v->input_frequency = v->battery_voltage = v->temperature = 0;
    v->company[0] = v->model[0] = v->version[0] = '\0';
    if (v->queue.count > 0) {
        // Commands for a unit that is gone would reach it at some later,
        // unknown time; the decision's stays, it always wants its latest out.
        log_warning("machine: unit %d lost, its %d queued command(s) dropped", v->address,
                    v->queue.count);
        memset(v->queue.ordinary, 0, sizeof v->queue.ordinary);
        v->queue.head = v->queue.count = 0;
    }
    v->rated_voltage = v->rated_current = v->rated_battery_voltage = v->rated_frequency = 0;
    clear_unit_reports(v);
    clear_info_state(v);
}

void machine_setup(MachineContext *ctx, int kind, int address)
{
    Guard g(ctx->lock);
    ctx->kind = static_cast<uint8_t>(kind);
    ctx->address = static_cast<uint8_t>(address);
    clear_values(ctx);
    ctx->fail_count = 0;
    ctx->fresh_status = 0;
    ctx->step = 0;
    ctx->connected = 0;
    ctx->status_taken = 0;
    ctx->last_reply_len = 0;
    clear_info_state(ctx);
    filter_reset(&ctx->filter);
}

static bool local_kind(int kind)
{
    return kind == KIND_LOCAL_SINGLE || kind == KIND_LOCAL_MULTIPLE;
}

int machine_next_action(MachineContext *ctx)
{
    Guard g(ctx->lock);
    int step = ctx->step;
    if (local_kind(ctx->kind)) {
        if (step == 0 || step == 2 || step == 4 || step == 6)
            return ACTION_SEND;
        if (step == 1 || step == 3 || step == 5)
            return ACTION_RECEIVE;
    } else if (ctx->kind == KIND_REMOTE) {
        if (step == 0 || step == 2)
            return ACTION_SEND;
        if (step == 1)
            return ACTION_RECEIVE;
    }
    return ACTION_NOTHING;
}

static bool queue_empty(const MachineQueue &q)
{
    return q.control.len == 0 && q.count == 0;
}

// Takes the next command off the queue, the control lane first; false when
// there is none.
static bool take_next(MachineQueue *q, MachineCommand *out)
{
    MachineCommand *from = nullptr;
    if (q->control.len > 0) {
        from = &q->control;
    } else if (q->count > 0) {
        from = &q->ordinary[q->head];
        q->head = (q->head + 1) % MACHINE_QUEUE_DEPTH;
        q->count -= 1;
    } else {
        return false;
    }
    *out = *from;
    memset(from, 0, sizeof *from);
    return true;
}

// Moves the next queued command into `out` (nothing when none).
static void take_pending(MachineValues *v, unsigned char *out, int *count)
{
    MachineCommand c;
    if (!take_next(&v->queue, &c))
        c.len = 0;
    memcpy(out, c.bytes, c.len);
    *count = c.len;
}

void machine_build_request(MachineContext *ctx, unsigned char *out, int *count)
{
    Guard g(ctx->lock);
    const unsigned char CR = 0x0D;
    unsigned char a = ctx->address;
    if (local_kind(ctx->kind) && ctx->step == 6) {
        take_pending(ctx, out, count);
        return;
    }
    if (ctx->kind == KIND_REMOTE) {
        if (ctx->step == 0) {
            const unsigned char req[] = {'A', 'L', 'L', a, 0x00};
            memcpy(out, req, 5);
            *count = 5;
        } else if (ctx->step == 2) {
            take_pending(ctx, out, count);
        }
        return;
    }
    if (!local_kind(ctx->kind))
        return;
    int n = 0;
    switch (ctx->step) {
    case 0:
        out[n++] = 'Q';
        out[n++] = '1';
        break;
    case 2:
        out[n++] = 'I';
        break;
    case 4:
        out[n++] = 'F';
        break;
    default:
        return;
    }
    if (ctx->kind == KIND_LOCAL_MULTIPLE)
        out[n++] = a;
    out[n++] = CR;
    *count = n;
}

static bool blanks_in_place(const unsigned char *r)
{
    static const int offsets[] = {6, 12, 18, 22, 27, 32, 37};
    for (int off : offsets)
        if (r[off] != ' ')
            return false;
    return true;
}

// Status bits b7..b0 at r[38..45]. A character other than '0' or '1' (a
// glitch, or the NUL one real unit always sends in one position) says
// nothing about its position, which keeps its last value.
static void store_status_bits(MachineValues *v, const unsigned char *r)
{
    for (int i = 0; i < 8; i++) {
        char c = static_cast<char>(r[38 + i]);
        if (c == '0' || c == '1')
            v->status[7 - i] = c;
    }
    v->status_taken = 1;
}

static void store_readings(MachineValues *v, const unsigned char *r)
{
    v->input_voltage = reply_number(r, 1, 5);
    v->input_fault_voltage = reply_number(r, 7, 5);
    v->output_voltage = reply_number(r, 13, 5);
    v->load_percent = reply_number(r, 19, 3);
    v->input_frequency = reply_number(r, 23, 4);
    v->battery_voltage = reply_number(r, 28, 4);
    v->temperature = reply_number(r, 33, 4);
}

static int parse_status(MachineValues *v, const unsigned char *r, int len)
{
    if (len != STATUS_REPLY_LEN || !blanks_in_place(r))
        return 0;
    if (v->kind == KIND_LOCAL_SINGLE && options.use_filter) {
        // An answer either way; readings and status are each taken only
        // when their own rule lets them through.
        filter_push(&v->filter, r);
        if (filter_status(&v->filter, v->status))
            v->status_taken = 1;
        if (filter_accept(&v->filter))
            store_readings(v, r);
        return 1;
    }
    store_readings(v, r);
    store_status_bits(v, r);
    return 1;
}

static int parse_identity(MachineValues *v, const unsigned char *r, int len)
{
    if (len != STATUS_REPLY_LEN && len != IDENTITY_REPLY_LEN)
        return 0;
    reply_text(v->company, r, 1, 15);
    reply_text(v->model, r, 17, 10);
    reply_text(v->version, r, 28, 10);
    return 1;
}

static int parse_rating(MachineValues *v, const unsigned char *r, int len)
{
    if (len != STATUS_REPLY_LEN && len != RATING_REPLY_LEN)
        return 0;
    v->rated_voltage = reply_number(r, 1, 5);
    v->rated_current = reply_number(r, 7, 3);
    v->rated_battery_voltage = reply_number(r, 11, 5);
    v->rated_frequency = reply_number(r, 17, 4);
    return 1;
}

static int parse_record(MachineValues *v, const unsigned char *r, int len)
{
    if (len != STATUS_RECORD_LEN)
        return 0;
    // The peer does not see its unit (or has not taken its status since it
    // started): its zeros are no status, and the unit's last one stands.
    if (options.remote_needs_connection && r[46] != '1')
        return 0;
    v->input_voltage = reply_number(r, 0, 5);
    v->input_fault_voltage = reply_number(r, 6, 5);
    v->output_voltage = reply_number(r, 12, 5);
    v->load_percent = reply_number(r, 18, 3);
    v->input_frequency = reply_number(r, 22, 4);
    v->battery_voltage = reply_number(r, 27, 5);
    v->temperature = reply_number(r, 33, 4);
    store_status_bits(v, r);
    v->status[8] = static_cast<char>(r[46]);
    reply_text(v->company, r, 48, 15);
    reply_text(v->model, r, 64, 10);
    reply_text(v->version, r, 75, 10);
    v->rated_voltage = reply_number(r, 86, 5);
    v->rated_current = reply_number(r, 92, 3);
    v->rated_battery_voltage = reply_number(r, 96, 6);
    v->rated_frequency = reply_number(r, 103, 4);
    return 1;
}

int machine_parse_reply(MachineContext *ctx, const unsigned char *bytes, int len)
{
    Guard g(ctx->lock);
    ctx->last_reply_len = len;
    if (local_kind(ctx->kind)) {
        switch (ctx->step) {
        case 1:
            return parse_status(ctx, bytes, len);
        case 3:
            return parse_identity(ctx, bytes, len);
        case 5:
            return parse_rating(ctx, bytes, len);
        }
    } else if (ctx->kind == KIND_REMOTE) {
        if (ctx->step == 1)
            return parse_record(ctx, bytes, len);
    } else {
        return 0;
    }
    log_warning("machine: unit %d: a reply at step %d, which waits for none", ctx->address,
                ctx->step);
    return 0;
}

static void bad_step(const MachineValues *v)
{
    log_warning("machine: unit %d: no step follows step %d", v->address, v->step);
}

// The unit answered: it is connected and its failures are forgiven.
static void answered(MachineValues *v)
{
    v->fail_count = 0;
    v->connected = 1;
}

// One failed receive; the fourth in a row loses the unit (readings
// cleared, status kept). Returns true when it did.
static bool count_failure(MachineValues *v)
{
    v->fail_count += 1;
    if (v->fail_count <= 3)
        return false;
    v->connected = 0;
    v->status[STATUS_CONNECTION] = '0';
    v->fail_count = 4;
    clear_readings(v);
    return true;
}

// What follows a cycle's status reply and its command: a new unit is asked
// for its identity once and its ratings once, unless they were given up;
// then the next status query.
static int info_step_or_query(const MachineValues *v)
{
    if (v->company[0] == '\0' && !v->identity_skipped)
        return 2;
    if (v->rated_battery_voltage == 0 && !v->ratings_skipped)
        return 4;
    return 0;
}

static void next_step_local(MachineValues *v, int ok)
{
    if (ok) {
        switch (v->step) {
        case 0: v->step = 1; break;
        case 2: v->step = 3; break;
        case 4: v->step = 5; break;
        case 6: v->step = info_step_or_query(v); break;
        case 1:
            answered(v);
            v->fresh_status = 1;
            // The status is read: one waiting command may go now.
            v->step = queue_empty(v->queue) ? info_step_or_query(v) : 6;
            break;
        case 3:
        case 5:
            answered(v);
            v->info_failures = 0;
            v->step = 0;
            break;
        default:
            bad_step(v);
        }
        return;
    }
    bool info_step = v->step == 3 || v->step == 5;
    // A unit that answers an identity or rating query with bytes of another
    // length is there: only silence counts toward losing it.
    bool malformed = info_step && v->last_reply_len > 0;
    if (!malformed && count_failure(v))
        info_step = false; // asked again from the start
    if (info_step && ++v->info_failures >= MACHINE_INFO_TRIES) {
        // The information stays unknown; status polling must not wait for it.
        if (v->step == 3)
            v->identity_skipped = 1;
        else
            v->ratings_skipped = 1;
        v->info_failures = 0;
        v->step = 0;
        return;
    }
    switch (v->step) {
    case 1: v->step = 0; break;
    case 3: v->step = 2; break;
    case 5: v->step = 4; break;
    default: bad_step(v);
    }
}

static void next_step_remote(MachineValues *v, int ok)
{
    if (ok) {
        switch (v->step) {
        case 0: v->step = 1; break;
        case 2: v->step = 0; break;
        case 1:
            answered(v);
            v->fresh_status = 1;
            v->step = queue_empty(v->queue) ? 0 : 2; // one command after the record
            break;
        default:
            bad_step(v);
        }
        return;
    }
    v->fail_count += 1;
    if (v->fail_count > 3) {
        v->connected = 0;
        v->fail_count = 4;
    }
    if (v->step == 1)
        v->step = 0;
    else
        bad_step(v);
}

void machine_next_step(MachineContext *ctx, int ok)
{
    Guard g(ctx->lock);
    if (local_kind(ctx->kind))
        next_step_local(ctx, ok);
    else if (ctx->kind == KIND_REMOTE)
        next_step_remote(ctx, ok);
    else if (options.report_bad_kind)
        log_warning("machine: unit %d has no machine kind to poll", ctx->address);
}

void machine_take_reading(MachineContext *ctx, const MachineReading &r)
{
    Guard g(ctx->lock);
    ctx->input_voltage = r.input_voltage;
    ctx->input_fault_voltage = r.input_fault_voltage;
    ctx->output_voltage = r.output_voltage;
    ctx->load_percent = r.load_percent;
    ctx->input_frequency = r.input_frequency;
    ctx->battery_voltage = r.battery_voltage;
    ctx->temperature = r.temperature;
    for (int i = 0; i < 8; i++)
        if (r.status[i] == '0' || r.status[i] == '1')
            ctx->status[i] = r.status[i];
    ctx->rated_voltage = r.rated_voltage;
    ctx->rated_current = r.rated_current;
    ctx->rated_battery_voltage = r.rated_battery_voltage;
    ctx->rated_frequency = r.rated_frequency;
    reading_text(ctx->company, r.company);
    reading_text(ctx->model, r.model);
    reading_text(ctx->version, r.version);
    ctx->battery_charge = r.battery_charge;
    ctx->battery_runtime = r.battery_runtime;
    reading_text(ctx->serial, r.serial);
    reading_text(ctx->maker, r.maker);
    reading_text(ctx->product, r.product);
    ctx->usb_vendor_id = r.usb_vendor_id;
    ctx->usb_product_id = r.usb_product_id;
    ctx->unit_flags = r.unit_flags;
    for (int i = 0; i < MACHINE_X_COUNT; i++)
        ctx->extra[i] = r.extra[i];
    answered(ctx);
    ctx->status_taken = 1;
    ctx->fresh_status = 1;
}

void machine_miss_reading(MachineContext *ctx)
{
    Guard g(ctx->lock);
    count_failure(ctx);
}

void machine_set_charge(MachineContext *ctx, int percent)
{
    Guard g(ctx->lock);
    ctx->battery_charge = percent >= 0 && percent <= 100 ? percent : -1;
}

void machine_set_runtime(MachineContext *ctx, int seconds)
{
    Guard g(ctx->lock);
    ctx->battery_runtime = seconds >= 0 ? seconds : -1;
}

bool machine_take_pending(MachineContext *ctx, std::string *command)
{
    Guard g(ctx->lock);
    MachineCommand c;
    if (!take_next(&ctx->queue, &c)) {
        command->clear();
        return false;
    }
    command->assign(c.bytes, c.len);
    return true;
}

// False, with one line, for bytes no queue entry can hold. Under the lock.
static bool fits(const MachineContext *ctx, const char *bytes, int len)
{
    if (len <= 0)
        return false;
    if (len > MACHINE_PENDING_SIZE) {
        log_warning("machine: unit %d: command \"%s\" of %d bytes refused, a queued command "
                    "holds %d",
                    ctx->address, shown(bytes, len).c_str(), len, MACHINE_PENDING_SIZE);
        return false;
    }
    return true;
}

static void put(MachineCommand *to, const char *bytes, int len)
{
    memset(to, 0, sizeof *to);
    memcpy(to->bytes, bytes, len);
    to->len = len;
}

int machine_queue_command(MachineContext *ctx, const char *bytes, int len)
{
    Guard g(ctx->lock);
    if (!fits(ctx, bytes, len))
        return 0;
    MachineQueue *q = &ctx->queue;
    if (q->count >= MACHINE_QUEUE_DEPTH) {
        log_warning("machine: unit %d: command \"%s\" refused, %d commands are already waiting",
                    ctx->address, shown(bytes, len).c_str(), q->count);
        return 0;
    }
    put(&q->ordinary[(q->head + q->count) % MACHINE_QUEUE_DEPTH], bytes, len);
    q->count += 1;
    return 1;
}

int machine_queue_control(MachineContext *ctx, const char *bytes, int len)
{
    Guard g(ctx->lock);
    if (!fits(ctx, bytes, len))
        return 0;
    put(&ctx->queue.control, bytes, len);
    return 1;
}

bool machine_control_pending(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->queue.control.len != 0;
}

std::vector<std::string> machine_queued(MachineContext *ctx)
{
    MachineQueue q = machine_queue_get(ctx);
    std::vector<std::string> out;
    MachineCommand c;
    while (take_next(&q, &c))
        out.emplace_back(c.bytes, c.len);
    return out;
}

MachineQueue machine_queue_get(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->queue;
}

void machine_queue_set(MachineContext *ctx, const MachineQueue &queue)
{
    Guard g(ctx->lock);
    ctx->queue = queue;
    MachineQueue *q = &ctx->queue;
    // Only a queue machine_queue_get gave is expected; anything else is
    // emptied rather than read out of bounds.
    if (q->head < 0 || q->head >= MACHINE_QUEUE_DEPTH || q->count < 0 ||
        q->count > MACHINE_QUEUE_DEPTH)
        q->head = q->count = 0;
    if (q->control.len < 0 || q->control.len > MACHINE_PENDING_SIZE)
        q->control.len = 0;
    for (MachineCommand &c : q->ordinary)
        if (c.len < 0 || c.len > MACHINE_PENDING_SIZE)
            c.len = 0;
}

int machine_take_turn_done(MachineContext *ctx)
{
    Guard g(ctx->lock);
    if (!ctx->connected || ctx->fresh_status == 1) {
        ctx->fresh_status = 0;
        return 1;
    }
    return 0;
}

void machine_commit_status(MachineContext *ctx)
{
    Guard g(ctx->lock);
    memcpy(ctx->status_prev, ctx->status, sizeof ctx->status);
}

void machine_sync_connection(MachineContext *ctx)
{
    Guard g(ctx->lock);
    ctx->status[STATUS_CONNECTION] = ctx->connected == 1 ? '1' : '0';
}

void machine_preset_status_prev(MachineContext *ctx, int index, char c)
{
    if (index < 0 || index > 8)
        return;
    Guard g(ctx->lock);
    ctx->status_prev[index] = c;
}

int machine_battery_percent(char ups_type, double battery_voltage, double rated_battery_voltage,
                            bool *empty)
{
    *empty = true;
    double p;
    if (ups_type == '0') {
        // On-line: volts per cell, 1.67 V empty, above 2.21 V full.
        double v = battery_voltage;
        if (!std::isfinite(v) || v < 1.67)
            return 0;
        p = v > 2.21 ? 100 : std::trunc((v - 1.67) / 0.54 * 90 + 0.45);
    } else if (ups_type == '1') {
        // Off-line: volts per 12 V battery, 10 V empty, above 13.3 V full.
        double n = std::trunc(rated_battery_voltage / 12);
        if (n < 0)
            n = 1;
        // Fewer than one battery rated (or no rating yet): nothing to
        // divide by, so there is no estimate rather than a made-up one.
        if (!std::isfinite(n) || n == 0)
            return 0;
        double c = battery_voltage / n;
        if (!std::isfinite(c) || c < 10)
            return 0;
        p = c > 13.3 ? 100 : std::trunc((c - 10) / (13.3 - 10) * 91 + 0.45);
    } else {
        return 0;
    }
    if (!std::isfinite(p) || p < 0 || p > 100)
        return 0;
    *empty = false;
    return static_cast<int>(p);
}

int machine_truncate(float value)
{
    if (!(value > -1e6f))
        return -999999;
    if (value > 1e7f)
        return 9999999;
    return static_cast<int>(value);
}

// A value held inside what its fixed-width field can show. A wider number
// would push every later field, the status characters among them, out of
// place for the peer that reads the record by columns (a card's battery
// string of 192 V, a temperature of -12 C).
static double fit(double value, double lo, double hi)
{
    if (!std::isfinite(value))
        return 0;
    return value < lo ? lo : value > hi ? hi : value;
}

static void format_record(const MachineValues &v, char out[STATUS_RECORD_LEN])
{
    char text[512];
    int n = snprintf(text, sizeof text,
                     "%05.1f %05.1f %05.1f %03d %04.1f %05.2f %04.1f "
                     "%c%c%c%c%c%c%c%c%d %15s %10s %10s %05.1f %03d %06.2f %04.1f",
                     fit(v.input_voltage, 0, 999.9), fit(v.input_fault_voltage, 0, 999.9),
                     fit(v.output_voltage, 0, 999.9),
                     static_cast<int>(fit(machine_truncate(v.load_percent), 0, 999)),
                     fit(v.input_frequency, 0, 99.9), fit(v.battery_voltage, 0, 99.99),
                     fit(v.temperature, -9.9, 99.9),
                     v.status[7], v.status[6], v.status[5], v.status[4], v.status[3],
                     v.status[2], v.status[1], v.status[0],
                     v.connected && v.status_taken ? 1 : 0, v.company,
                     v.model, v.version, fit(v.rated_voltage, 0, 999.9),
                     static_cast<int>(fit(machine_truncate(v.rated_current), 0, 999)),
                     fit(v.rated_battery_voltage, 0, 999.99), fit(v.rated_frequency, 0, 99.9));
    if (n < 0)
        n = 0;
    if (n > STATUS_RECORD_LEN - 1)
        n = STATUS_RECORD_LEN - 1;
    memset(out, ' ', STATUS_RECORD_LEN - 1);
    memcpy(out, text, n);
    out[STATUS_RECORD_LEN - 1] = '\0';
}

// Every value the record shows, as bytes: equal keys give equal records.
static int record_key(const MachineValues &v, unsigned char key[MACHINE_RECORD_KEY_SIZE])
{
    int n = 0;
    auto put = [&](const void *p, size_t len) {
        memcpy(key + n, p, len);
        n += static_cast<int>(len);
    };
    const float readings[] = {v.input_voltage, v.input_fault_voltage, v.output_voltage,
                              v.load_percent,  v.input_frequency,     v.battery_voltage,
                              v.temperature,   v.rated_voltage,       v.rated_current,
                              v.rated_battery_voltage, v.rated_frequency};
    put(readings, sizeof readings);
    put(v.status, 8);
    char connection = v.connected && v.status_taken ? 1 : 0;
    put(&connection, 1);
    put(v.company, sizeof v.company);
    put(v.model, sizeof v.model);
    put(v.version, sizeof v.version);
    return n;
}

void machine_status_record(MachineContext *ctx, char out[STATUS_RECORD_LEN])
{
    MachineValues v;
    machine_values(ctx, &v);
    format_record(v, out);
}

void machine_status_record_cached(MachineContext *ctx, MachineRecordCache *cache,
                                  char out[STATUS_RECORD_LEN])
{
    unsigned char key[MACHINE_RECORD_KEY_SIZE];
    int n;
    {
        Guard g(ctx->lock);
        n = record_key(*ctx, key);
        if (cache->key_len == n && memcmp(cache->key, key, n) == 0) {
            memcpy(out, cache->record, STATUS_RECORD_LEN);
            return;
        }
        format_record(*ctx, cache->record);
    }
    memcpy(cache->key, key, n);
    cache->key_len = n;
    memcpy(out, cache->record, STATUS_RECORD_LEN);
}

void machine_values(MachineContext *ctx, MachineValues *out)
{
    Guard g(ctx->lock);
    *out = *ctx;
}

char machine_status(MachineContext *ctx, int index)
{
    Guard g(ctx->lock);
    return ctx->status[index];
}

int machine_connected(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->connected;
}

int machine_step(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->step;
}

int machine_address(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->address;
}

int machine_fail_count(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->fail_count;
}

int machine_kind(MachineContext *ctx)
{
    Guard g(ctx->lock);
    return ctx->kind;
}

int machine_charge(const MachineValues &v, bool *empty)
{
    if (v.battery_charge >= 0 && v.battery_charge <= 100) {
        *empty = false;
        return v.battery_charge;
    }
    return machine_battery_percent(v.status[STATUS_TYPE], v.battery_voltage,
                                   v.rated_battery_voltage, empty);
}

int machine_kind_of_mode(const char *mode)
{
    if (strcmp(mode, "Local-Single") == 0)
        return KIND_LOCAL_SINGLE;
    if (strcmp(mode, "Local-Multiple") == 0)
        return KIND_LOCAL_MULTIPLE;
    if (strcmp(mode, "Remote-Single") == 0 || strcmp(mode, "Remote-Multiple") == 0)
        return KIND_REMOTE;
    return -1;
}
