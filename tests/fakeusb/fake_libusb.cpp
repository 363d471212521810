// A stand-in for libusb-1.0, loaded into the real upsagent with LD_PRELOAD
// (or linked into a test instead of libusb) where no USB hardware exists. It
// presents a list of devices: a UPS ('u') tunnels the line protocol through
// HID feature report 5, answering from the unit model upssim uses; a HID
// Power Device ('h') answers from a report descriptor and a report table.
// Both are controlled through the same control commands.
//
// Set up from the environment at the first libusb_init:
//   UPS_FAKEUSB_DEVICES  devices in list order, comma-separated, each
//                        "vvvv:pppp[:FLAGS[:SERIAL]]" in hex; flags 'u' a
//                        UPS of the line protocol, 'h' a HID Power Device,
//                        'k' a kernel driver holds interface 0 until
//                        detached. Example: "1234:0000,0001:0000:uk,
//                        051d:0002:hk:AB1234". Bus 1; a device's port (and
//                        address) is its position in the list + 1.
//   UPS_FAKEUSB_HID_DESCRIPTOR  file of the 'h' devices' report descriptor:
//                        hex bytes separated by whitespace ("0x" prefixes
//                        and an od offset column are skipped).
//   UPS_FAKEUSB_HID_REPORTS  file of their reports, one a line "ID TYPE
//                        HEXBYTES" (ID hex, TYPE Input, Output or Feature,
//                        the bytes as sent with the id byte; # comments).
//                        Each 'h' device keeps its own copy.
//   UPS_FAKEUSB_HID_STRINGS  "MANUFACTURER|PRODUCT|SERIAL", string indexes
//                        1, 2, 3 (the list's SERIAL wins over this one).
//   UPS_FAKEUSB_CONTROL  a FIFO (created when missing) for control lines:
//                        every upssim command; "usb unplug", "usb plug",
//                        "usb vanish-after N" (the 'u' and 'h' devices
//                        leave after N more report transfers); "hid set ID
//                        TYPE HEXBYTES" (a table line: an Input report is
//                        sent on the interrupt endpoint, and the Feature
//                        report of its id, when of the same length, takes
//                        the same bytes, as a unit keeps them alike), "hid hang" (the
//                        'h' devices stop answering: their transfers wait
//                        for their time-out), "hid answer" (they answer
//                        again, the transfers held meanwhile first).
//   UPS_FAKEUSB_LOG      the log, upssim's format; besides rx/tx/ctl/err it
//                        has "set" (the raw 47-byte SET_REPORT payload of a
//                        'u' device), "usb" (init, list, open, claim, detach,
//                        attach, release, close with the live list and
//                        handle counts), "hidget ID TYPE" and "hidset ID
//                        TYPE HEX" (the 'h' devices' report requests).
//   UPS_FAKEUSB_UNITS, UPS_FAKEUSB_TYPE  unit count and "online"/"offline".
//
// The asynchronous API works as libusb's does on the caller's event loop: a
// completion makes the one poll descriptor readable and its callback runs in
// the next libusb_handle_events_timeout*, on the caller's thread and never
// under the stand-in's lock; time-outs run on CLOCK_MONOTONIC.
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"

enum { HID_INPUT = 1, HID_OUTPUT = 2, HID_FEATURE = 3 };

struct FakeReport {
    uint8_t id;
    uint8_t type; // HID_INPUT, HID_OUTPUT, HID_FEATURE as GET_REPORT numbers them
    std::vector<uint8_t> bytes; // as sent, the id byte included
};

struct libusb_device {
    uint16_t vendor;
    uint16_t product;
    bool ups;           // answers feature report 5 from the unit model
    bool hid;           // a HID Power Device answering from its report table
    bool kernel_driver; // a kernel driver holds interface 0 until detached
    uint8_t port;       // position in the list + 1
    std::string serial;
    unsigned generation;            // counts departures: older handles are dead
    std::vector<FakeReport> reports; // 'h' only
};

struct libusb_device_handle {
    libusb_device *device;
    bool claimed;
    unsigned generation; // the device's at open
    std::deque<std::vector<uint8_t>> interrupts; // Input reports not yet sent
};

// A transfer in flight.
struct FakePending {
    libusb_transfer *transfer;
    int64_t deadline; // CLOCK_MONOTONIC ns; 0 none
    bool held;        // a control transfer submitted during "hid hang"
};

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::condition_variable state_changed; // a hang ended or a device left
// Devices live as long as the process (handed out to the caller); the list
// itself too, so they stay reachable to the end.
static std::vector<libusb_device *> &devices = *new std::vector<libusb_device *>;
static std::vector<libusb_device_handle *> handles;
static bool set_up = false;
static bool unplugged = false;     // the 'u' and 'h' devices have left
static int vanish_after = -1;      // transfers until they leave; -1 never
static int inits = 0;
static int lists_alive = 0;
static int handles_alive = 0;
static ModelReply pending_reply;   // answer to the last SET_REPORT of a 'u' device
static bool reply_ready = false;
static std::vector<uint8_t> hid_descriptor;
static std::string hid_strings[3] = {"Stand-in Power", "HID UPS", ""};
static bool hanging = false;       // "hid hang": the 'h' devices answer nothing
static std::vector<FakePending> in_flight;
static std::vector<libusb_transfer *> completed; // callbacks not yet run
static int wake_fd = -1;           // readable while `completed` is not empty

// The 'u' devices' report descriptor: one vendor-page application
// collection holding feature report 5 of 46 data bytes.
static const uint8_t VENDOR_DESCRIPTOR[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x05, 0x09, 0x01, 0x15, 0x00,
    0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x2E, 0xB1, 0x02, 0xC0};

// Not a libusb code: a 'u' device has no reply ready, the read waits.
static const int NO_ANSWER = INT_MIN;

static void fake_log(const char *tag, const std::string &text)
{
    model_log(tag, text.data(), text.size());
}

static int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static std::string counts()
{
    char text[64];
    snprintf(text, sizeof text, " lists=%d handles=%d", lists_alive, handles_alive);
    return text;
}

static std::string name_of(const libusb_device *d)
{
    char text[16];
    snprintf(text, sizeof text, "%04x:%04x", d->vendor, d->product);
    return text;
}

static const char *type_name(int type)
{
    return type == HID_INPUT ? "Input" : type == HID_OUTPUT ? "Output" : "Feature";
}

static std::string hex_of(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

static std::string report_text(int id, int type, const std::vector<uint8_t> &bytes)
{
    char head[32];
    snprintf(head, sizeof head, "%02x %s ", id & 0xFF, type_name(type));
    return head + hex_of(bytes);
}

static bool hex_digit(char c, int *value)
{
    if (c >= '0' && c <= '9')
        *value = c - '0';
    else if (c >= 'a' && c <= 'f')
        *value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *value = c - 'A' + 10;
    else
        return false;
    return true;
}

// "ID TYPE HEXBYTES": ID hex with or without 0x, the bytes' hex digits with
// or without blanks between them.
static bool parse_report_line(const std::string &line, FakeReport *out)
{
    char id_text[16], type[16];
    int used = 0;
    if (sscanf(line.c_str(), " %15s %15s %n", id_text, type, &used) < 2)
        return false;
    char *end = nullptr;
    unsigned long id = strtoul(id_text, &end, 16);
    if (*end != '\0' || id > 0xFF)
        return false;
    out->id = static_cast<uint8_t>(id);
    if (strcmp(type, "Input") == 0)
        out->type = HID_INPUT;
    else if (strcmp(type, "Output") == 0)
        out->type = HID_OUTPUT;
    else if (strcmp(type, "Feature") == 0)
        out->type = HID_FEATURE;
    else
        return false;
    out->bytes.clear();
    int high = -1;
    for (size_t i = static_cast<size_t>(used); i < line.size(); i++) {
        int v = 0;
        if (isspace(static_cast<unsigned char>(line[i])))
            continue;
        if (!hex_digit(line[i], &v))
            return false;
        if (high < 0) {
            high = v;
        } else {
            out->bytes.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0 && !out->bytes.empty();
}

static bool read_text(const char *path, std::string *text)
{
    FILE *f = path ? fopen(path, "r") : nullptr;
    if (!f)
        return false;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        text->append(chunk, got);
    fclose(f);
    return true;
}

// Hex bytes separated by whitespace; "0x" prefixes and a first column of
// more than two digits on a line (od's offsets) are skipped.
static void load_descriptor(const char *path)
{
    std::string text;
    if (!path)
        return;
    if (!read_text(path, &text)) {
        fake_log("err", std::string("cannot read the HID descriptor ") + path);
        return;
    }
    size_t pos = 0;
    bool line_start = true;
    while (pos < text.size()) {
        char c = text[pos];
        if (c == '\n')
            line_start = true;
        if (isspace(static_cast<unsigned char>(c))) {
            pos++;
            continue;
        }
        size_t end = pos;
        while (end < text.size() && !isspace(static_cast<unsigned char>(text[end])))
            end++;
        std::string word = text.substr(pos, end - pos);
        bool first = line_start;
        line_start = false;
        pos = end;
        if (word.size() > 2 && (word[0] == '0' && (word[1] == 'x' || word[1] == 'X')))
            word = word.substr(2);
        int high = 0, low = 0;
        if (word.size() == 2 && hex_digit(word[0], &high) && hex_digit(word[1], &low))
            hid_descriptor.push_back(static_cast<uint8_t>(high << 4 | low));
        else if (!(first && word.size() > 2 && word.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)) {
            fake_log("err", "HID descriptor: not a byte: " + word);
            hid_descriptor.clear();
            return;
        }
    }
}

static std::vector<FakeReport> load_reports(const char *path)
{
    std::vector<FakeReport> table;
    std::string text;
    if (!path)
        return table;
    if (!read_text(path, &text)) {
        fake_log("err", std::string("cannot read the HID reports ") + path);
        return table;
    }
    size_t pos = 0;
    int number = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        FakeReport r;
        if (parse_report_line(line, &r))
            table.push_back(r);
        else
            fake_log("err", "HID reports line " + std::to_string(number) + ": " + line);
    }
    return table;
}

static void load_strings(const char *text)
{
    if (!text)
        return;
    std::string all = text;
    for (int i = 0; i < 3; i++) {
        size_t bar = all.find('|');
        hid_strings[i] = all.substr(0, bar);
        if (bar == std::string::npos) {
            all.clear();
            for (int j = i + 1; j < 3; j++)
                hid_strings[j].clear();
            break;
        }
        all = all.substr(bar + 1);
    }
}

static void parse_devices(const char *list, const std::vector<FakeReport> &table)
{
    std::string all = list ? list : "";
    size_t pos = 0;
    while (pos <= all.size() && !all.empty()) {
        size_t comma = all.find(',', pos);
        std::string one = all.substr(pos, comma == std::string::npos ? std::string::npos
                                                                     : comma - pos);
        unsigned vendor = 0, product = 0;
        char flags[8] = "", serial[128] = "";
        if (sscanf(one.c_str(), "%x:%x:%7[^:]:%127s", &vendor, &product, flags, serial) >= 2) {
            libusb_device *d = new libusb_device{};
            d->vendor = static_cast<uint16_t>(vendor);
            d->product = static_cast<uint16_t>(product);
            d->ups = strchr(flags, 'u') != nullptr;
            d->hid = strchr(flags, 'h') != nullptr;
            d->kernel_driver = strchr(flags, 'k') != nullptr;
            d->port = static_cast<uint8_t>(devices.size() + 1);
            d->serial = serial[0] ? serial : hid_strings[2];
            if (d->hid)
                d->reports = table;
            devices.push_back(d);
        }
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
}

static bool present(const libusb_device *d)
{
    return !((d->ups || d->hid) && unplugged);
}

static bool gone(const libusb_device_handle *h)
{
    return !present(h->device) || h->generation != h->device->generation;
}

static void wake_locked()
{
    uint64_t one = 1;
    if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0)
        fake_log("err", "wake-up write failed");
}

// Ends in_flight[i] with `status`; its callback runs in the next event
// handling.
static void complete_locked(size_t i, libusb_transfer_status status, int actual)
{
    libusb_transfer *t = in_flight[i].transfer;
    in_flight.erase(in_flight.begin() + static_cast<long>(i));
    t->status = status;
    t->actual_length = actual;
    completed.push_back(t);
    wake_locked();
}

// The 'u' and 'h' devices leave: handles on them are dead from now on, even
// after a plug, and their transfers in flight end with NO_DEVICE.
static void leave_locked()
{
    unplugged = true;
    vanish_after = -1;
    for (libusb_device *d : devices)
        if (d->ups || d->hid)
            d->generation++;
    for (size_t i = 0; i < in_flight.size();) {
        if (gone(in_flight[i].transfer->dev_handle))
            complete_locked(i, LIBUSB_TRANSFER_NO_DEVICE, 0);
        else
            i++;
    }
    state_changed.notify_all();
}

// Counts a transfer towards a "usb vanish-after"; true when the devices are
// gone.
static bool vanished_locked()
{
    if (vanish_after == 0)
        leave_locked();
    else if (vanish_after > 0)
        vanish_after--;
    return unplugged;
}

// Completes waiting interrupt transfers with the queued Input reports.
static void pump_locked()
{
    if (hanging)
        return;
    for (size_t i = 0; i < in_flight.size();) {
        libusb_transfer *t = in_flight[i].transfer;
        libusb_device_handle *h = t->dev_handle;
        if (t->type != LIBUSB_TRANSFER_TYPE_INTERRUPT || h->interrupts.empty()) {
            i++;
            continue;
        }
        std::vector<uint8_t> report = h->interrupts.front();
        h->interrupts.pop_front();
        int n = static_cast<int>(report.size());
        bool overflow = n > t->length;
        if (overflow)
            n = t->length;
        memcpy(t->buffer, report.data(), static_cast<size_t>(n));
        complete_locked(i, overflow ? LIBUSB_TRANSFER_OVERFLOW : LIBUSB_TRANSFER_COMPLETED, n);
    }
}

static FakeReport *find_report(libusb_device *d, int id, int type)
{
    for (FakeReport &r : d->reports)
        if (r.id == id && r.type == type)
            return &r;
    return nullptr;
}

// Queues an Input report on every live handle that claimed the device.
static void send_input_locked(libusb_device *d, const std::vector<uint8_t> &bytes)
{
    for (libusb_device_handle *h : handles)
        if (h->device == d && h->claimed && !gone(h))
            h->interrupts.push_back(bytes);
}

// Stores a report's new contents; a changed Input report is sent.
static void store_report_locked(libusb_device *d, int id, int type,
                                const std::vector<uint8_t> &bytes)
{
    FakeReport *r = find_report(d, id, type);
    if (!r) {
        d->reports.push_back(FakeReport{static_cast<uint8_t>(id), static_cast<uint8_t>(type), bytes});
        r = &d->reports.back();
    } else if (r->bytes == bytes && type != HID_INPUT) {
        return;
    }
    r->bytes = bytes;
    if (type == HID_INPUT)
        send_input_locked(d, bytes);
}

static void hid_set_locked(const std::string &text, bool *ok)
{
    FakeReport r;
    *ok = parse_report_line(text, &r);
    if (!*ok)
        return;
    for (libusb_device *d : devices) {
        if (!d->hid)
            continue;
        store_report_locked(d, r.id, r.type, r.bytes);
        // A real unit keeps the Input and Feature reports of one id alike:
        // a Feature report of the same length follows a changed Input one.
        FakeReport *feature = r.type == HID_INPUT ? find_report(d, r.id, HID_FEATURE) : nullptr;
        if (feature && feature->bytes.size() == r.bytes.size())
            feature->bytes = r.bytes;
    }
    pump_locked();
}

static int control_locked(libusb_device_handle *handle, uint8_t request_type, uint8_t request,
                          uint16_t value, uint16_t index, unsigned char *data, uint16_t length);

static libusb_transfer_status status_of(int result);

static size_t index_in_flight(const libusb_transfer *t)
{
    size_t i = 0;
    while (i < in_flight.size() && in_flight[i].transfer != t)
        i++;
    return i;
}

// "hid answer": the control transfers held meanwhile are answered now.
static void answer_locked()
{
    hanging = false;
    std::vector<libusb_transfer *> held;
    for (FakePending &p : in_flight)
        if (p.held)
            held.push_back(p.transfer), p.held = false;
    for (libusb_transfer *t : held) {
        if (index_in_flight(t) == in_flight.size())
            continue; // ended meanwhile (a vanish)
        const unsigned char *s = t->buffer;
        int r = control_locked(t->dev_handle, s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                               static_cast<uint16_t>(s[4] | s[5] << 8), t->buffer + 8,
                               static_cast<uint16_t>(s[6] | s[7] << 8));
        size_t i = index_in_flight(t);
        if (r != NO_ANSWER && i < in_flight.size())
            complete_locked(i, status_of(r), r >= 0 ? r : 0);
    }
    pump_locked();
    state_changed.notify_all();
}

// One control line: USB and HID commands here, the rest to the unit model.
static void control_line(const std::string &line)
{
    Guard g(lock);
    int n = 0;
    bool ok = true;
    if (line == "usb unplug") {
        leave_locked();
    } else if (line == "usb plug") {
        unplugged = false, vanish_after = -1;
    } else if (sscanf(line.c_str(), "usb vanish-after %d", &n) == 1 && n >= 0) {
        vanish_after = n;
    } else if (line.compare(0, 8, "hid set ") == 0) {
        hid_set_locked(line.substr(8), &ok);
    } else if (line == "hid hang") {
        hanging = true;
    } else if (line == "hid answer") {
        answer_locked();
    } else {
        ok = model_control(line.c_str());
    }
    fake_log(ok ? "ctl" : "err", line);
}

static void control_thread(std::string path)
{
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    std::string line;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, 100);
        model_tick(model_clock());
        char chunk[256];
        ssize_t got;
        while ((got = read(fd, chunk, sizeof chunk)) > 0) {
            for (ssize_t i = 0; i < got; i++) {
                if (chunk[i] == '\n') {
                    if (!line.empty())
                        control_line(line);
                    line.clear();
                } else if (line.size() < 256) {
                    line += chunk[i];
                }
            }
        }
    }
}

// String descriptor `index` (0: the language list) into data.
static int string_descriptor_locked(const libusb_device *d, int index, unsigned char *data,
                                    uint16_t length)
{
    unsigned char out[255];
    int n = 0;
    if (!d->hid || index > 3 || (index == 3 && d->serial.empty()))
        return LIBUSB_ERROR_PIPE;
    if (index == 0) {
        out[0] = 4, out[1] = LIBUSB_DT_STRING, out[2] = 0x09, out[3] = 0x04;
        n = 4;
    } else {
        const std::string &text = index == 3 ? d->serial : hid_strings[index - 1];
        n = 2;
        for (size_t i = 0; i < text.size() && n + 2 <= static_cast<int>(sizeof out); i++) {
            out[n++] = static_cast<unsigned char>(text[i]);
            out[n++] = 0;
        }
        out[0] = static_cast<unsigned char>(n), out[1] = LIBUSB_DT_STRING;
    }
    if (n > length)
        n = length;
    memcpy(data, out, static_cast<size_t>(n));
    return n;
}

// The line protocol of a 'u' device, as the link has always used it.
static int ups_control_locked(libusb_device_handle *handle, uint8_t request_type,
                              uint8_t request, uint16_t value, uint16_t index,
                              unsigned char *data, uint16_t length)
{
    if (!handle->claimed)
        return LIBUSB_ERROR_PIPE;
    if (vanished_locked())
        return LIBUSB_ERROR_NO_DEVICE;
    if (value != 0x0305 || index != 0)
        return LIBUSB_ERROR_PIPE;
    if (request_type == 0x21 && request == 0x09) { // SET_REPORT
        fake_log("set", std::string(reinterpret_cast<char *>(data), length));
        reply_ready = false;
        if (length < 3 || data[0] != 5 || data[2] > length - 3)
            return LIBUSB_ERROR_PIPE;
        model_log("rx", data + 3, data[2]);
        reply_ready = model_request(data + 3, data[2], model_clock(), &pending_reply) > 0;
        return length;
    }
    if (request_type == 0xA1 && request == 0x01) { // GET_REPORT
        if (!reply_ready)
            return NO_ANSWER;
        reply_ready = false;
        memset(data, 0, length);
        int n = pending_reply.len < length ? pending_reply.len : length;
        memcpy(data, pending_reply.bytes, static_cast<size_t>(n));
        model_log("tx", data, static_cast<size_t>(n));
        return length;
    }
    return LIBUSB_ERROR_PIPE;
}

// GET_REPORT and SET_REPORT of an 'h' device.
static int hid_control_locked(libusb_device_handle *handle, uint8_t request_type,
                              uint8_t request, uint16_t value, uint16_t index,
                              unsigned char *data, uint16_t length)
{
    libusb_device *d = handle->device;
    if (!handle->claimed)
        return LIBUSB_ERROR_PIPE;
    if (vanished_locked())
        return LIBUSB_ERROR_NO_DEVICE;
    int type = value >> 8, id = value & 0xFF;
    if (index != 0)
        return LIBUSB_ERROR_PIPE;
    if (request_type == 0xA1 && request == 0x01 && (type == HID_INPUT || type == HID_FEATURE)) {
        char text[32];
        snprintf(text, sizeof text, "%02x %s", id, type_name(type));
        fake_log("hidget", text);
        const FakeReport *r = find_report(d, id, type);
        if (!r)
            return LIBUSB_ERROR_PIPE;
        size_t n = r->bytes.size() < length ? r->bytes.size() : length;
        memcpy(data, r->bytes.data(), n);
        return static_cast<int>(n);
    }
    if (request_type == 0x21 && request == 0x09 && (type == HID_OUTPUT || type == HID_FEATURE)) {
        std::vector<uint8_t> bytes(data, data + length);
        std::string text = report_text(id, type, bytes);
        if (type == HID_FEATURE && !find_report(d, id, type)) {
            fake_log("err", "hidset " + text);
            return LIBUSB_ERROR_PIPE;
        }
        fake_log("hidset", text);
        store_report_locked(d, id, type, bytes);
        // The unit's Input report of the id follows the value written when
        // both have the same layout (length).
        FakeReport *input = find_report(d, id, HID_INPUT);
        if (type == HID_FEATURE && input && input->bytes.size() == bytes.size() &&
            input->bytes != bytes)
            store_report_locked(d, id, HID_INPUT, bytes);
        pump_locked();
        return length;
    }
    return LIBUSB_ERROR_PIPE;
}

// One control transfer, for the synchronous and the asynchronous calls: the
// number of bytes moved, a LIBUSB_ERROR_* or NO_ANSWER.
static int control_locked(libusb_device_handle *handle, uint8_t request_type, uint8_t request,
                          uint16_t value, uint16_t index, unsigned char *data, uint16_t length)
{
    libusb_device *d = handle->device;
    if (gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (request_type == 0x80 && request == LIBUSB_REQUEST_GET_DESCRIPTOR &&
        value >> 8 == LIBUSB_DT_STRING)
        return string_descriptor_locked(d, value & 0xFF, data, length);
    if (request_type == 0x81 && request == LIBUSB_REQUEST_GET_DESCRIPTOR && value == 0x2200 &&
        index == 0 && (d->ups || d->hid)) {
        const uint8_t *bytes = d->hid ? hid_descriptor.data() : VENDOR_DESCRIPTOR;
        size_t size = d->hid ? hid_descriptor.size() : sizeof VENDOR_DESCRIPTOR;
        size_t n = size < length ? size : length;
        memcpy(data, bytes, n);
        return static_cast<int>(n);
    }
    if (d->ups)
        return ups_control_locked(handle, request_type, request, value, index, data, length);
    if (d->hid)
        return hid_control_locked(handle, request_type, request, value, index, data, length);
    return LIBUSB_ERROR_PIPE;
}

static void fill_device_descriptor(const libusb_device *dev, libusb_device_descriptor *desc)
{
    memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 8;
    desc->idVendor = dev->vendor;
    desc->idProduct = dev->product;
    desc->bcdDevice = 0x0100;
    if (dev->hid) {
        desc->iManufacturer = 1;
        desc->iProduct = 2;
        desc->iSerialNumber = dev->serial.empty() ? 0 : 3;
    }
    desc->bNumConfigurations = 1;
}

// One allocation holding the configuration, its interface, setting,
// endpoint and the HID class descriptor.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor setting;
    libusb_endpoint_descriptor endpoint;
    unsigned char hid_class[9];
};

static libusb_config_descriptor *make_config(const libusb_device *dev)
{
    ConfigBlock *b = static_cast<ConfigBlock *>(calloc(1, sizeof(ConfigBlock)));
    if (!b)
        return nullptr;
    bool hid = dev->ups || dev->hid;
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.bNumInterfaces = 1;
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 50;
    b->config.interface = &b->interface;
    b->interface.altsetting = &b->setting;
    b->interface.num_altsetting = 1;
    b->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    b->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    b->setting.bInterfaceNumber = 0;
    b->setting.bInterfaceClass = hid ? LIBUSB_CLASS_HID : LIBUSB_CLASS_VENDOR_SPEC;
    if (hid) {
        size_t size = dev->hid ? hid_descriptor.size() : sizeof VENDOR_DESCRIPTOR;
        const unsigned char hid_class[9] = {9, 0x21, 0x11, 0x01, 0, 1, 0x22,
                                            static_cast<unsigned char>(size & 0xFF),
                                            static_cast<unsigned char>(size >> 8)};
        memcpy(b->hid_class, hid_class, sizeof hid_class);
        b->setting.extra = b->hid_class;
        b->setting.extra_length = sizeof hid_class;
        b->setting.bNumEndpoints = 1;
        b->setting.endpoint = &b->endpoint;
        b->endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        b->endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        b->endpoint.bEndpointAddress = 0x81;
        b->endpoint.bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
        b->endpoint.wMaxPacketSize = 64;
        b->endpoint.bInterval = 10;
    }
    b->config.wTotalLength = static_cast<uint16_t>(
        LIBUSB_DT_CONFIG_SIZE + LIBUSB_DT_INTERFACE_SIZE +
        (hid ? sizeof b->hid_class + LIBUSB_DT_ENDPOINT_SIZE : 0));
    return &b->config;
}

static libusb_transfer_status status_of(int result)
{
    if (result >= 0)
        return LIBUSB_TRANSFER_COMPLETED;
    if (result == LIBUSB_ERROR_PIPE)
        return LIBUSB_TRANSFER_STALL;
    if (result == LIBUSB_ERROR_NO_DEVICE)
        return LIBUSB_TRANSFER_NO_DEVICE;
    return LIBUSB_TRANSFER_ERROR;
}

// Time-outs of the transfers in flight that are over at `now`.
static void expire_locked(int64_t now)
{
    for (size_t i = 0; i < in_flight.size();) {
        if (in_flight[i].deadline != 0 && in_flight[i].deadline <= now)
            complete_locked(i, LIBUSB_TRANSFER_TIMED_OUT, 0);
        else
            i++;
    }
}

static int64_t earliest_deadline_locked()
{
    int64_t earliest = 0;
    for (const FakePending &p : in_flight)
        if (p.deadline != 0 && (earliest == 0 || p.deadline < earliest))
            earliest = p.deadline;
    return earliest;
}

static const struct {
    int code;
    const char *name;
    const char *text;
} ERRORS[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE", "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED", "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED", "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    Guard g(lock);
    inits++;
    if (ctx)
        *ctx = nullptr;
    if (!set_up) {
        set_up = true;
        const char *log = getenv("UPS_FAKEUSB_LOG");
        if (log)
            model_log_open(log);
        const char *units = getenv("UPS_FAKEUSB_UNITS");
        const char *type = getenv("UPS_FAKEUSB_TYPE");
        model_setup(units ? atoi(units) : 1,
                    type && strcmp(type, "offline") == 0 ? MODEL_OFFLINE : MODEL_ONLINE, 1);
        load_strings(getenv("UPS_FAKEUSB_HID_STRINGS"));
        load_descriptor(getenv("UPS_FAKEUSB_HID_DESCRIPTOR"));
        parse_devices(getenv("UPS_FAKEUSB_DEVICES"), load_reports(getenv("UPS_FAKEUSB_HID_REPORTS")));
        wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        const char *control = getenv("UPS_FAKEUSB_CONTROL");
        if (control) {
            mkfifo(control, 0600);
            std::thread(control_thread, std::string(control)).detach();
        }
    }
    fake_log("usb", "init " + std::to_string(inits));
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context *) {}

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context *, libusb_pollfd_added_cb,
                                             libusb_pollfd_removed_cb, void *)
{
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    Guard g(lock);
    std::vector<libusb_device *> shown;
    for (libusb_device *d : devices)
        if (present(d))
            shown.push_back(d);
    libusb_device **out = static_cast<libusb_device **>(calloc(shown.size() + 1, sizeof *out));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < shown.size(); i++)
        out[i] = shown[i];
    *list = out;
    lists_alive++;
    fake_log("usb", "list " + std::to_string(shown.size()) + counts());
    return static_cast<ssize_t>(shown.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int)
{
    Guard g(lock);
    if (!list)
        return;
    free(list);
    lists_alive--;
    fake_log("usb", "free" + counts());
}

// Devices live as long as the process: references are not counted.
libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev,
                                             struct libusb_device_descriptor *desc)
{
    fill_device_descriptor(dev, desc);
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev,
                                                    struct libusb_config_descriptor **config)
{
    *config = make_config(dev);
    return *config ? 0 : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             struct libusb_config_descriptor **config)
{
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_active_config_descriptor(dev, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config)
{
    free(config); // the first member of its ConfigBlock
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *dev)
{
    return dev->port;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers,
                                        int port_numbers_len)
{
    if (port_numbers_len < 1)
        return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = dev->port;
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev)
{
    return dev->port;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    Guard g(lock);
    if (!present(dev))
        return LIBUSB_ERROR_NO_DEVICE;
    *handle = new libusb_device_handle{dev, false, dev->generation, {}};
    handles.push_back(*handle);
    handles_alive++;
    reply_ready = false;
    fake_log("usb", "open " + name_of(dev) + counts());
    return 0;
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *handle)
{
    return handle->device;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    Guard g(lock);
    if (!handle)
        return;
    fake_log("usb", "close " + name_of(handle->device) + (handle->claimed ? " claimed" : ""));
    // libusb requires the transfers to have ended: the caller's mistake.
    for (size_t i = 0; i < in_flight.size();) {
        if (in_flight[i].transfer->dev_handle == handle) {
            fake_log("err", "close with a transfer in flight");
            complete_locked(i, LIBUSB_TRANSFER_CANCELLED, 0);
        } else {
            i++;
        }
    }
    for (size_t i = 0; i < handles.size(); i++)
        if (handles[i] == handle)
            handles.erase(handles.begin() + static_cast<long>(i));
    delete handle;
    handles_alive--;
    fake_log("usb", "closed" + counts());
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    return handle->device->kernel_driver ? 1 : 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0 || !handle->device->kernel_driver)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->device->kernel_driver = false;
    fake_log("usb", "detach " + name_of(handle->device));
    return 0;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (handle->claimed || handle->device->kernel_driver)
        return LIBUSB_ERROR_BUSY;
    handle->device->kernel_driver = true;
    fake_log("usb", "attach " + name_of(handle->device));
    return 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0 || handle->device->kernel_driver)
        return LIBUSB_ERROR_BUSY;
    if (handle->device->hid && gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    handle->claimed = true;
    if (handle->device->hid) {
        // The unit sends every Input report once when it is taken up.
        handle->interrupts.clear();
        for (const FakeReport &r : handle->device->reports)
            if (r.type == HID_INPUT)
                handle->interrupts.push_back(r.bytes);
        pump_locked();
    }
    fake_log("usb", "claim " + name_of(handle->device));
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0 || !handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    handle->interrupts.clear();
    fake_log("usb", "release " + name_of(handle->device));
    return 0;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char *data, uint16_t length, unsigned int timeout)
{
    std::unique_lock<std::mutex> g(lock);
    if (handle->device->hid && hanging) {
        // A unit that does not answer: wait for its time-out (or the end of
        // the hang, or its departure).
        auto done = [&] { return !hanging || gone(handle); };
        if (timeout == 0)
            state_changed.wait(g, done);
        else if (!state_changed.wait_for(g, std::chrono::milliseconds(timeout), done))
            return LIBUSB_ERROR_TIMEOUT;
    }
    int r = control_locked(handle, request_type, request, value, index, data, length);
    if (r == NO_ANSWER) {
        g.unlock();
        usleep(200 * 1000); // nothing to answer: the read times out
        return LIBUSB_ERROR_TIMEOUT;
    }
    return r;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *handle,
                                                   uint8_t desc_index, unsigned char *data,
                                                   int length)
{
    if (desc_index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char raw[255];
    int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | desc_index),
                                    0x0409, raw, sizeof raw, 1000);
    if (r < 0)
        return r;
    if (r < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > r)
        return LIBUSB_ERROR_IO;
    int n = 0;
    for (int i = 2; i + 1 < raw[0] && n < length - 1; i += 2)
        data[n++] = raw[i + 1] == 0 && raw[i] < 0x80 ? raw[i] : '?';
    if (length > 0)
        data[n] = 0;
    return n;
}

struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int iso_packets)
{
    if (iso_packets < 0)
        return nullptr;
    size_t size = sizeof(libusb_transfer) +
                  static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    libusb_transfer *t = static_cast<libusb_transfer *>(calloc(1, size));
    if (t)
        t->num_iso_packets = iso_packets;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *transfer)
{
    if (!transfer)
        return;
    {
        // Undefined in libusb: said, and forgotten here rather than used later.
        Guard g(lock);
        size_t i = index_in_flight(transfer);
        if (i < in_flight.size()) {
            fake_log("err", "free of a transfer in flight");
            in_flight.erase(in_flight.begin() + static_cast<long>(i));
        }
    }
    if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER)
        free(transfer->buffer);
    free(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *t)
{
    Guard g(lock);
    libusb_device_handle *handle = t->dev_handle;
    if (index_in_flight(t) < in_flight.size())
        return LIBUSB_ERROR_BUSY;
    if (gone(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    libusb_device *d = handle->device;
    FakePending p{t, t->timeout ? now_ns() + static_cast<int64_t>(t->timeout) * 1000000 : 0, false};
    t->actual_length = 0;
    if (t->type == LIBUSB_TRANSFER_TYPE_CONTROL) {
        if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
            return LIBUSB_ERROR_INVALID_PARAM;
        const unsigned char *s = t->buffer;
        uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
        if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE) + length)
            return LIBUSB_ERROR_INVALID_PARAM;
        in_flight.push_back(p);
        if (d->hid && hanging) {
            in_flight.back().held = true;
            return 0;
        }
        int r = control_locked(handle, s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                               static_cast<uint16_t>(s[4] | s[5] << 8), t->buffer + 8, length);
        size_t i = index_in_flight(t);
        if (r != NO_ANSWER && i < in_flight.size())
            complete_locked(i, status_of(r), r >= 0 ? r : 0);
        return 0;
    }
    if (t->type != LIBUSB_TRANSFER_TYPE_INTERRUPT || t->endpoint != 0x81 ||
        !(d->hid || d->ups) || !handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    if (d->hid && vanished_locked())
        return LIBUSB_ERROR_NO_DEVICE;
    in_flight.push_back(p);
    pump_locked();
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *t)
{
    Guard g(lock);
    size_t i = index_in_flight(t);
    if (i == in_flight.size())
        return LIBUSB_ERROR_NOT_FOUND;
    complete_locked(i, LIBUSB_TRANSFER_CANCELLED, 0);
    return 0;
}

const struct libusb_pollfd **LIBUSB_CALL libusb_get_pollfds(libusb_context *)
{
    // One block: the NULL-terminated array, then the one entry.
    struct Block {
        const libusb_pollfd *list[2];
        libusb_pollfd fd;
    };
    Block *b = static_cast<Block *>(calloc(1, sizeof(Block)));
    if (!b)
        return nullptr;
    b->fd.fd = wake_fd;
    b->fd.events = POLLIN;
    b->list[0] = &b->fd;
    b->list[1] = nullptr;
    return b->list;
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd **pollfds)
{
    free(pollfds);
}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context *)
{
    return 1;
}

int LIBUSB_CALL libusb_get_next_timeout(libusb_context *, struct timeval *tv)
{
    Guard g(lock);
    int64_t earliest = earliest_deadline_locked();
    if (earliest == 0)
        return 0;
    int64_t left = earliest - now_ns();
    if (left < 0)
        left = 0;
    tv->tv_sec = static_cast<time_t>(left / 1000000000);
    tv->tv_usec = static_cast<suseconds_t>(left % 1000000000 / 1000);
    return 1;
}

// Takes the completions that are due (time-outs first ended).
static std::vector<libusb_transfer *> take_completed()
{
    Guard g(lock);
    uint64_t count;
    while (read(wake_fd, &count, sizeof count) > 0) {
    }
    expire_locked(now_ns());
    std::vector<libusb_transfer *> taken;
    taken.swap(completed);
    return taken;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context *, struct timeval *tv,
                                                       int *done)
{
    if (done && *done)
        return 0;
    std::vector<libusb_transfer *> taken = take_completed();
    if (taken.empty() && tv && (tv->tv_sec > 0 || tv->tv_usec > 0)) {
        int64_t wait = static_cast<int64_t>(tv->tv_sec) * 1000000000 + tv->tv_usec * 1000;
        {
            Guard g(lock);
            int64_t earliest = earliest_deadline_locked();
            if (earliest != 0 && earliest - now_ns() < wait)
                wait = earliest - now_ns();
        }
        struct pollfd p = {wake_fd, POLLIN, 0};
        if (wait > 0)
            poll(&p, 1, static_cast<int>((wait + 999999) / 1000000));
        taken = take_completed();
    }
    // Outside the lock: a callback may submit or free transfers.
    for (libusb_transfer *t : taken) {
        bool free_it = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
        if (t->callback)
            t->callback(t);
        if (free_it)
            libusb_free_transfer(t);
    }
    return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

const char *LIBUSB_CALL libusb_error_name(int code)
{
    for (const auto &e : ERRORS)
        if (e.code == code)
            return e.name;
    return "**UNKNOWN**";
}

const char *LIBUSB_CALL libusb_strerror(int code)
{
    for (const auto &e : ERRORS)
        if (e.code == code)
            return e.text;
    return "Unknown error";
}

} // extern "C"
