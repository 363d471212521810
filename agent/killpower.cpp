#include "agent/killpower.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/decision.h"
#include "agent/hid_unit.h"
#include "base/log.h"
#include "base/loop.h"
#include "link/hid.h"
#include "link/link.h"
#include "protocol/hid_descriptor.h"
#include "protocol/hid_map.h"
#include "protocol/machine.h"
#include "protocol/ups_command.h"
#include "store/paths.h"
#include "store/settings.h"
#include "store/textfile.h"

static const char *const STATE_FILE = "Shutdown.ang";
static const char *const SUBJECT = "upsagent: final power-off:";

// The state file is a few lines; anything near this size is not it.
static const int STATE_LIMIT = 1 << 16;

// A value of one word: no blanks, no control bytes.
static bool one_word(const std::string &s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7F)
            return false;
    return true;
}

// Decimal digits that fit a long long.
static bool seconds_of(const std::string &s, long long *out)
{
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = strtoll(s.c_str(), nullptr, 10);
    return true;
}

bool killpower_read_state(const char *data, int size, KillpowerState *out)
{
    if (size < 0 || memchr(data, '\0', size))
        return false;
    bool have_boot = false, have_host = false;
    KillpowerState s{"", 0};
    int pos = 0;
    while (pos < size) {
        const char *nl = static_cast<const char *>(memchr(data + pos, '\n', size - pos));
        if (!nl)
            break; // a last line without its newline is not taken
        std::string line(data + pos, nl - data - pos);
        pos = static_cast<int>(nl - data) + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t blank = line.find(' ');
        std::string word = line.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (word == "boot") {
            if (have_boot || !one_word(value))
                return false;
            s.boot = value;
            have_boot = true;
        } else if (word == "host") {
            if (have_host || !seconds_of(value, &s.host))
                return false;
            have_host = true;
        }
    }
    if (!have_boot || !have_host)
        return false;
    *out = s;
    return true;
}

bool killpower_stage_acts(const char *stage)
{
    return !stage || strcmp(stage, "poweroff") == 0 || strcmp(stage, "halt") == 0;
}

std::string killpower_request(int kind)
{
    // Queued for unit 1 and taken off at its command step, as every
    // command the daemon gives the unit goes out.
    MachineContext unit;
    machine_setup(&unit, kind, 1);
    std::string command = ups_command_format(ups_command_turn_off_restore(1, 1));
    machine_queue_control(&unit, command.data(), static_cast<int>(command.size()));
    unit.step = 6; // the command step of a local unit's cycle
    unsigned char bytes[MACHINE_PENDING_SIZE];
    int count = 0;
    machine_build_request(&unit, bytes, &count);
    return std::string(reinterpret_cast<char *>(bytes), count);
}

// The state file's verdict: true when a host shutdown of this daemon is
// under way; otherwise one line says why nothing is done.
static bool shutdown_under_way()
{
    std::string path = database_path(STATE_FILE);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        log_info("%s nothing to do, no host shutdown of this daemon is under way (no %s)",
                 SUBJECT, path.c_str());
        return false;
    }
    std::vector<char> data(STATE_LIMIT);
    int size = read_file(path, data.data(), STATE_LIMIT);
    KillpowerState state;
    if (size < 0 || size == STATE_LIMIT ||
        !killpower_read_state(data.data(), size, &state)) {
        log_info("%s nothing to do, %s is damaged or cannot be read", SUBJECT, path.c_str());
        return false;
    }
    std::string boot = decision_boot_id();
    if (boot.empty()) {
        log_info("%s nothing to do, this boot's id cannot be read", SUBJECT);
        return false;
    }
    if (state.boot != boot) {
        log_info("%s nothing to do, %s is of another boot", SUBJECT, path.c_str());
        return false;
    }
    if (state.host == 0) {
        log_info("%s nothing to do, no host shutdown of this daemon is under way", SUBJECT);
        return false;
    }
    return true;
}

// The last-read bytes of the Feature reports `ids` of an open HID unit:
// one get, the loop run until it completes (the link bounds it).
static std::vector<HidReportResult> hid_read_reports(HidLink *link, Loop *loop,
                                                     const std::vector<HidReportRequest> &ids)
{
    struct Got {
        bool done = false;
        std::vector<HidReportResult> results;
    } got;
    auto done = [](HidLink *, const std::vector<HidReportResult> &results, void *ctx, LoopTime) {
        Got *g = static_cast<Got *>(ctx);
        g->results = results;
        g->done = true;
    };
    if (!hid_link_get_start(link, ids, done, &got))
        return {};
    double until = loop_now(loop).mono + link->limit_s + 1;
    while (!got.done && loop_now(loop).mono < until)
        loop_run_once(loop, 100);
    return got.results;
}

// The turn-off with restore as a USB HID unit takes it: its delays written
// into its Feature reports (read first, so the other fields stay).
static int hid_turn_off(const SettingsRecord &s, const std::string &request)
{
    HidMatch match;
    std::string why;
    if (!hid_match_parse(s.link_device, &match, &why)) {
        log_error("%s \"%s\" names no USB HID unit (%s), the UPS is not told", SUBJECT,
                  s.link_device, why.c_str());
        return 1;
    }
    Loop *loop = loop_new();
    HidLink link;
    hid_link_init(&link);
    hid_link_attach(&link, loop);
    hid_link_set(&link, match);
    int result = 1;
    HidDescriptor descriptor;
    HidMap map;
    std::vector<HidWrite> writes;
    std::vector<std::string> lines;
    if (!loop || hid_link_open(&link, nullptr, nullptr, nullptr, nullptr) != 0) {
        log_error("%s cannot open the USB HID unit, the UPS is not told", SUBJECT);
    } else {
        hid_descriptor_parse(link.descriptor.data(), link.descriptor.size(), &descriptor);
        hid_map_build(descriptor, link.identity.vendor, link.identity.product, &map);
        if (!hid_map_command(map, request, &writes, &lines))
            for (const std::string &line : lines)
                log_error("%s %s", SUBJECT, line.c_str());
    }
    std::vector<HidReportRequest> ids = hid_unit_write_reports(descriptor, writes);
    std::vector<HidReportResult> read = ids.empty() ? std::vector<HidReportResult>{}
                                                    : hid_read_reports(&link, loop, ids);
    bool sent = !writes.empty();
    for (const HidReportRequest &q : ids) {
        std::vector<uint8_t> bytes;
        for (const HidReportResult &r : read)
            if (r.id == q.id && r.status == HID_REPORT_OK)
                bytes = r.bytes;
        for (const HidWrite &w : writes)
            if (w.report_id == q.id && !hid_map_apply(w, &bytes))
                bytes.clear();
        if (bytes.empty() || hid_link_set_sync(&link, bytes, KILLPOWER_WRITE_MS) != 0) {
            log_error("%s report %u of the turn-off did not reach the USB HID unit", SUBJECT,
                      q.id);
            sent = false;
        }
    }
    hid_link_close(&link);
    if (loop)
        loop_free(loop);
    if (sent) {
        log_notice("%s told the UPS (USB HID) to turn off after one minute and on again one "
                   "minute later (%s)",
                   SUBJECT, printable_text(request.data(), request.size(), 16).c_str());
        result = 0;
    }
    return result;
}

int killpower_run(const char *program_path, const char *stage)
{
    program_dir_set(program_dir_from(program_path));
    if (!killpower_stage_acts(stage)) {
        log_info("%s nothing to do at \"%s\" (the UPS is turned off at poweroff and halt)",
                 SUBJECT, printable_text(stage, strlen(stage), 32).c_str());
        return 0;
    }
    if (!shutdown_under_way())
        return 0;

    // settings_load creates a missing file: looked for first, so nothing
    // is written.
    std::string settings_path = program_dir() + "Set/Setting.ang";
    struct stat st;
    if (stat(settings_path.c_str(), &st) != 0) {
        log_error("%s a host shutdown is under way but %s cannot be read", SUBJECT,
                  settings_path.c_str());
        return 1;
    }
    settings_load(program_dir());
    SettingsRecord s = settings_get();
    bool serial = strcmp(s.link_kind, "RS232") == 0;
    bool usb = strcmp(s.link_kind, "USB") == 0;
    bool hid = strcmp(s.link_kind, "HID") == 0;
    if (strcmp(s.link_kind, "SNMP") == 0 || strcmp(s.link_kind, "TCP/IP") == 0) {
        log_info("%s nothing to do on link kind %s: the UPS keeps the timed turn-off", SUBJECT,
                 s.link_kind);
        return 0;
    }
    int kind = machine_kind_of_mode(s.machine_mode);
    if (kind == KIND_REMOTE) {
        log_info("%s nothing to do in machine mode %s: the UPS keeps the timed turn-off",
                 SUBJECT, s.machine_mode);
        return 0;
    }
    if (!serial && !usb && !hid) {
        log_error("%s unknown link kind \"%s\", the UPS is not told", SUBJECT, s.link_kind);
        return 1;
    }
    if (kind < 0) {
        log_error("%s unknown machine mode \"%s\", the UPS is not told", SUBJECT,
                  s.machine_mode);
        return 1;
    }

    if (hid)
        return hid_turn_off(s, ups_command_format(ups_command_turn_off_restore(1, 1)));

    LinkPort port;
    link_init(&port);
    std::string where;
    if (serial) {
        link_set_serial(&port, s.link_device, s.baud_rate);
        where = std::string("RS232 ") + s.link_device;
    } else {
        link_set_usb(&port, 0xFFFF, 0x0000, false); // the ids the daemon opens
        where = "USB";
    }
    if (link_open_wait(&port, 0) != 0) {
        log_error("%s cannot open the link (%s), the UPS is not told", SUBJECT, where.c_str());
        return 1;
    }
    std::string request = killpower_request(kind);
    int written = link_write_wait(&port, reinterpret_cast<const unsigned char *>(request.data()),
                                  static_cast<int>(request.size()), KILLPOWER_WRITE_MS);
    link_close(&port);
    std::string shown = printable_text(request.data(), request.size(), 16);
    if (written != 0) {
        log_error("%s the turn-off %s did not go out on the link (%s)", SUBJECT, shown.c_str(),
                  where.c_str());
        return 1;
    }
    log_notice("%s told the UPS (%s) to turn off after one minute and on again one minute "
               "after the mains returns (%s)",
               SUBJECT, where.c_str(), shown.c_str());
    return 0;
}
