#include "agent/hid_unit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "link/hid.h"
#include "poll/poll.h"
#include "protocol/hid_descriptor.h"
#include "protocol/hid_map.h"

namespace {

// Failed receives after which a unit is lost (as machine counts them).
constexpr int LOST_AFTER = 4;

struct HidUnit {
    HidLink link;
    Loop *loop = nullptr;
    MachineContext *unit = nullptr;
    HidUnitCheck check = nullptr;
    bool active = false;
    std::string device;          // line 3 as given
    HidDescriptor descriptor;    // of the unit open now
    HidMap map;
    bool uses_ids = false;       // the unit's reports start with their id byte
    HidReportStore store;
    HidMapMemory memory;
    std::vector<HidReportRequest> pass_requests; // the Feature reports a pass fetches
    bool found = false;          // a unit was found since configure: look for it alone
    HidIdentity same;            // that unit
    double next_open = 0;        // monotonic: the next open may be tried
    double retry = HID_UNIT_RETRY_MIN;
    double next_fetch = 0;       // monotonic: the next pass is due
    std::vector<HidWrite> writes; // a command's, while its reports are read
    std::string command;         // its text, for lines
    PollSilence silence;         // lines while the unit has not answered since set up
};

HidUnit hu;

std::string shown_command(const std::string &bytes)
{
    return bytes.substr(0, bytes.find('\r'));
}

void note(bool answered, const char *reason, double now)
{
    poll_silence_note(&hu.silence, 1, hid_unit_name(), answered, reason, now);
}

bool lost()
{
    return !machine_connected(hu.unit) && machine_fail_count(hu.unit) >= LOST_AFTER;
}

void say(const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        log_warning("upsagent: %s: %s", hid_unit_name().c_str(), line.c_str());
}

// Copies `text` into a field of `size` bytes, cut to fit.
void put_text(char *out, size_t size, const std::string &text)
{
    snprintf(out, size, "%.*s", static_cast<int>(size - 1), text.c_str());
}

// A reading from what the store holds now; a store that gives nothing
// changes nothing (an Input report of no quantity the table knows).
void take_reading(LoopTime now)
{
    MachineReading r;
    std::vector<std::string> lines;
    bool ok = hid_map_reading(hu.map, hu.store, now.mono, &hu.memory, &lines, &r);
    say(lines);
    if (!ok)
        return;
    const HidIdentity &id = hu.link.identity;
    put_text(r.company, sizeof r.company, id.manufacturer);
    put_text(r.model, sizeof r.model, id.product_name);
    put_text(r.maker, sizeof r.maker, id.manufacturer);
    put_text(r.product, sizeof r.product, id.product_name);
    put_text(r.serial, sizeof r.serial, id.serial);
    r.usb_vendor_id = id.vendor;
    r.usb_product_id = id.product;
    machine_take_reading(hu.unit, r);
    note(true, nullptr, now.mono);
    hu.check(hu.unit, now.wall);
}

// A pass or an open that brought nothing: one failed receive.
void miss(LoopTime now, const char *reason)
{
    machine_miss_reading(hu.unit);
    note(machine_connected(hu.unit) != 0, reason, now.mono);
    hu.check(hu.unit, now.wall);
}

// The unit is gone or lost: the link is closed and the same unit looked
// for again, at once the first time, then with a growing pause.
void drop_link(LoopTime now)
{
    hid_link_close(&hu.link);
    hu.next_open = now.mono + hu.retry;
    hu.writes.clear();
}

void on_input(HidLink *, const uint8_t *bytes, size_t len, void *, LoopTime now)
{
    if (len == 0)
        return;
    uint8_t id = hu.uses_ids ? bytes[0] : 0;
    hid_store_put(&hu.store, id, HID_INPUT, bytes, len);
    take_reading(now);
}

void on_error(HidLink *, int error, void *, LoopTime now)
{
    if (error != ENODEV)
        return; // a pass that brings nothing counts it
    log_warning("upsagent: %s left the bus", hid_unit_name().c_str());
    drop_link(now);
}

void pass_done(HidLink *, const std::vector<HidReportResult> &results, void *, LoopTime now)
{
    bool answered = false, gone = false;
    for (const HidReportResult &r : results) {
        if (r.status == HID_REPORT_OK) {
            hid_store_put(&hu.store, r.id, r.direction, r.bytes.data(), r.bytes.size());
            answered = true;
        } else if (r.status == HID_REPORT_STALL) {
            answered = true; // the unit answers that it has no such report
        } else if (r.status == HID_REPORT_GONE) {
            gone = true;
        }
    }
    if (answered)
        take_reading(now);
    else
        miss(now, gone ? "the unit left" : "no reply");
    if (gone || lost())
        drop_link(now);
}

void start_pass(LoopTime now)
{
    hu.next_fetch = now.mono + HID_UNIT_POLL_SECONDS;
    if (hu.pass_requests.empty()) {
        // A unit that keeps everything in Input reports: it answers by
        // interrupt; a unit whose Input reports the link cannot read
        // stays silent and is lost as any other.
        std::vector<HidReportRequest> inputs;
        for (const HidReport &r : hu.descriptor.reports)
            if (r.direction == HID_INPUT)
                inputs.push_back({r.id, HID_INPUT, static_cast<uint16_t>(r.byte_len())});
        if (inputs.empty() || hid_link_get_start(&hu.link, inputs, pass_done, nullptr))
            return;
    } else if (hid_link_get_start(&hu.link, hu.pass_requests, pass_done, nullptr)) {
        return;
    }
    miss(now, "the link refused the request");
}

void command_sent(HidLink *, const std::vector<HidReportResult> &results, void *, LoopTime now)
{
    for (const HidReportResult &r : results)
        if (r.status != HID_REPORT_OK)
            log_warning("upsagent: %s did not take report %u of \"%s\"", hid_unit_name().c_str(),
                        r.id, hu.command.c_str());
    hu.next_fetch = now.mono; // the unit's answer (b1, the test) is read at once
}

// The command's reports as the unit has them now, the writes put in, then
// written back whole. A report the unit does not give back is built from
// its last stored bytes, else from zeros.
void command_read(HidLink *, const std::vector<HidReportResult> &results, void *, LoopTime now)
{
    std::vector<std::vector<uint8_t>> reports;
    std::vector<uint8_t> ids;
    for (const HidWrite &w : hu.writes) {
        size_t at = 0;
        while (at < ids.size() && ids[at] != w.report_id)
            at++;
        if (at == ids.size()) {
            ids.push_back(w.report_id);
            std::vector<uint8_t> bytes;
            for (const HidReportResult &r : results)
                if (r.id == w.report_id && r.status == HID_REPORT_OK)
                    bytes = r.bytes;
            const HidStoredReport *stored = hid_store_get(hu.store, w.report_id, HID_FEATURE);
            if (bytes.empty() && stored)
                bytes = stored->bytes;
            const HidReport *declared =
                hid_descriptor_report(hu.descriptor, w.report_id, HID_FEATURE);
            if (bytes.empty() && declared) {
                bytes.assign(declared->byte_len(), 0);
                if (hu.uses_ids)
                    bytes[0] = w.report_id;
            }
            reports.push_back(bytes);
        }
        if (!hid_map_apply(w, &reports[at])) {
            log_warning("upsagent: %s: report %u could not hold \"%s\"; not sent",
                        hid_unit_name().c_str(), w.report_id, hu.command.c_str());
            hu.writes.clear();
            return;
        }
    }
    hu.writes.clear();
    if (!hid_link_set_start(&hu.link, reports, command_sent, nullptr))
        log_warning("upsagent: %s: \"%s\" not sent", hid_unit_name().c_str(), hu.command.c_str());
    (void)now;
}

// The next queued command, when there is one the unit can take: its
// reports are read first. True when an operation started.
bool start_command()
{
    std::string bytes;
    if (!machine_take_pending(hu.unit, &bytes))
        return false;
    std::vector<HidWrite> writes;
    std::vector<std::string> lines;
    bool ok = hid_map_command(hu.map, bytes, &writes, &lines);
    say(lines);
    if (!ok || writes.empty())
        return false;
    hu.command = shown_command(bytes);
    std::vector<HidReportRequest> requests = hid_unit_write_reports(hu.descriptor, writes);
    hu.writes = writes;
    if (hid_link_get_start(&hu.link, requests, command_read, nullptr))
        return true;
    hu.writes.clear();
    log_warning("upsagent: %s: \"%s\" not sent", hid_unit_name().c_str(), hu.command.c_str());
    return false;
}

void open_unit(LoopTime now)
{
    int rc = hid_link_open(&hu.link, hu.found ? &hu.same : nullptr, on_input, on_error, nullptr);
    if (rc < 0) {
        std::string why = poll_open_reason(-rc);
        miss(now, why.c_str());
        if (lost())
            hu.retry = std::min(hu.retry * 2, HID_UNIT_RETRY_MAX);
        hu.next_open = now.mono + (lost() ? hu.retry : HID_UNIT_POLL_SECONDS);
        return;
    }
    hu.retry = HID_UNIT_RETRY_MIN;
    hid_descriptor_parse(hu.link.descriptor.data(), hu.link.descriptor.size(), &hu.descriptor);
    const HidIdentity &id = hu.link.identity;
    hid_map_build(hu.descriptor, id.vendor, id.product, &hu.map);
    hu.uses_ids = false;
    for (const HidReport &r : hu.descriptor.reports)
        hu.uses_ids = hu.uses_ids || r.id != 0;
    hu.store = HidReportStore{};
    hu.memory = HidMapMemory{};
    hu.pass_requests.clear();
    for (uint8_t report : hid_map_feature_ids(hu.map)) {
        const HidReport *declared = hid_descriptor_report(hu.descriptor, report, HID_FEATURE);
        hu.pass_requests.push_back(
            {report, HID_FEATURE, static_cast<uint16_t>(declared ? declared->byte_len() : 0)});
    }
    std::string port;
    for (uint8_t p : id.ports) {
        char step[8];
        snprintf(step, sizeof step, "%s%u", port.empty() ? "" : ".", p);
        port += step;
    }
    log_notice("upsagent: %s: %04x:%04x%s%s (%s %s) on bus %u port %s, %zu reports a pass",
               hid_unit_name().c_str(), id.vendor, id.product, id.serial.empty() ? "" : " serial ",
               id.serial.c_str(), id.manufacturer.c_str(), id.product_name.c_str(), id.bus,
               port.empty() ? "?" : port.c_str(), hu.pass_requests.size());
    hu.found = true;
    hu.same = id;
    start_pass(now);
}

} // namespace

std::vector<HidReportRequest> hid_unit_write_reports(const HidDescriptor &d,
                                                    const std::vector<HidWrite> &writes)
{
    std::vector<HidReportRequest> requests;
    for (const HidWrite &w : writes) {
        bool listed = false;
        for (const HidReportRequest &q : requests)
            listed = listed || q.id == w.report_id;
        const HidReport *declared = hid_descriptor_report(d, w.report_id, HID_FEATURE);
        if (!listed)
            requests.push_back({w.report_id, HID_FEATURE,
                                static_cast<uint16_t>(declared ? declared->byte_len() : 0)});
    }
    return requests;
}

void hid_unit_attach(Loop *loop, MachineContext *unit, HidUnitCheck check)
{
    hid_link_init(&hu.link);
    hid_link_attach(&hu.link, loop);
    hu.loop = loop;
    hu.unit = unit;
    hu.check = check;
}

bool hid_unit_configure(const std::string &device)
{
    hid_unit_close();
    HidMatch match;
    std::string why;
    if (!hid_match_parse(device, &match, &why)) {
        log_error("upsagent: HID link: \"%s\" on line 3 of Set/Setting.ang: %s; no unit is polled",
                  device.c_str(), why.c_str());
        return false;
    }
    hid_link_set(&hu.link, match);
    hu.device = device;
    hu.active = true;
    hu.found = false;
    hu.retry = HID_UNIT_RETRY_MIN;
    hu.next_open = 0;
    hu.next_fetch = 0;
    hu.silence = PollSilence{};
    return true;
}

void hid_unit_close()
{
    if (hu.loop)
        hid_link_close(&hu.link);
    hu.writes.clear();
    hu.active = false;
}

bool hid_unit_active()
{
    return hu.active;
}

std::string hid_unit_name()
{
    return hu.device.empty() ? "USB HID unit" : "USB HID unit " + hu.device;
}

void hid_unit_poll(LoopTime now)
{
    if (!hu.active || !hu.loop)
        return;
    if (!hid_link_is_open(&hu.link)) {
        if (now.mono >= hu.next_open)
            open_unit(now);
        return;
    }
    if (hid_link_busy(&hu.link))
        return;
    if (start_command())
        return;
    if (now.mono >= hu.next_fetch)
        start_pass(now);
}
