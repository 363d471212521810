// The link to a UPS that is a USB HID Power Device: the unit is found by
// its report descriptor (an application collection of the Power Device or
// Battery System page), and its reports are read and written with HID
// class requests on the control endpoint; its Input reports arrive on its
// interrupt IN endpoint. What the reports mean is the caller's (the daemon
// parses the descriptor the link hands out); the link moves bytes.
//
// Opening and the final power-off are synchronous and bounded (each control
// transfer at most HID_LINK_CONTROL_TIMEOUT_MS); everything else runs on the
// caller's event loop (base/loop.h): libusb's descriptors are watched by the
// loop and its time-outs run from a loop timer, so libusb's events are
// handled from the loop, and completions and reports come back on the
// loop's thread, never from the call that started them.
//
// One operation (a get or a set of reports) at a time, bounded by limit_s
// on the loop's clock whatever the unit does. libusb is set up once per
// process, in a context of its own; one HidLink is open at a time per
// process (the context's descriptors are watched for it).
//
// The loop's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/loop.h"
#include "protocol/hid_descriptor.h"

struct libusb_device_handle;
struct libusb_transfer;

constexpr int HID_LINK_CONTROL_TIMEOUT_MS = 1000; // each control transfer
constexpr double HID_LINK_LIMIT_S = 5.0;          // a whole get or set operation
constexpr size_t HID_LINK_DESCRIPTOR_MAX = 4096;  // report descriptor bytes asked for
constexpr uint16_t HID_LINK_REPORT_MAX = 4096;    // a report's bytes, its id byte included
constexpr double HID_LINK_INPUT_RETRY_S = 1.0;    // before the interrupt IN goes out after an error
constexpr size_t HID_LINK_INPUT_QUEUE = 64;       // reports waiting for the loop; older ones dropped
constexpr int HID_LINK_CLOSE_WAIT_MS = 2000;      // close waits this long for cancelled transfers

// Which unit a link takes: line 3 of the settings.
struct HidMatch {
    bool any = true;       // empty line: the first Power Device found
    uint16_t vendor = 0;   // !any: the device descriptor's idVendor and idProduct
    uint16_t product = 0;
    std::string serial;    // non-empty: the serial number string must equal it
};

// Takes "" (any power device), "vvvv:pppp" (four hex digits each) or
// "vvvv:pppp:SERIAL" (SERIAL: 1..126 printable characters, no space).
// False, `*match` untouched, with the reason in `*why` for anything else.
bool hid_match_parse(const std::string &text, HidMatch *match, std::string *why);

// Who a unit is, as its device descriptor, strings and place on the bus
// say. Strings the unit does not have (index 0, or unreadable) are empty.
struct HidIdentity {
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string serial;
    std::string manufacturer;
    std::string product_name;
    uint8_t bus = 0;              // libusb_get_bus_number
    std::vector<uint8_t> ports;   // libusb_get_port_numbers: the port path from the root hub
};

// Where a report request ended.
enum HidReportStatus {
    HID_REPORT_OK = 0,       // done; a get's bytes are in `bytes`
    HID_REPORT_STALL = 1,    // the unit refused it (a get: the unit does not have the report)
    HID_REPORT_TIMEOUT = 2,  // the transfer's time-out, or the operation's limit while it was out
    HID_REPORT_GONE = 3,     // the unit is no longer there (also every request after it)
    HID_REPORT_ERROR = 4,    // any other failure of the transfer
    HID_REPORT_NOT_ASKED = 5, // the operation's limit came before it was sent
};

// One report to get: GET_REPORT of `id` as `direction` (Input or Feature;
// Output is asked as type 2). `length`: bytes to ask for, the id byte
// included (what the descriptor declares); 0 asks for HID_LINK_REPORT_MAX.
struct HidReportRequest {
    uint8_t id = 0;
    HidDirection direction = HID_FEATURE;
    uint16_t length = 0;
};

// One request's end, in the order of the requests (a set: of the reports,
// direction Feature). `bytes`: a get's answer as it came (id byte first
// when the unit uses ids); empty otherwise.
struct HidReportResult {
    uint8_t id = 0;
    HidDirection direction = HID_FEATURE;
    HidReportStatus status = HID_REPORT_NOT_ASKED;
    std::vector<uint8_t> bytes;
};

struct HidLink;

// A get's or a set's completion: one result per request.
using HidReportsDone = void (*)(HidLink *link, const std::vector<HidReportResult> &results,
                                void *ctx, LoopTime now);
// An Input report from the interrupt IN endpoint (`len` bytes, id byte
// first when the unit uses ids).
using HidInputHandler = void (*)(HidLink *link, const uint8_t *bytes, size_t len, void *ctx,
                                 LoopTime now);
// The interrupt IN transfer failed (not a time-out): `error` an errno value
// (ENODEV: the unit left; EIO, EPIPE, EOVERFLOW...). Once per failure; the
// transfer goes out again HID_LINK_INPUT_RETRY_S later, unless the unit left.
using HidErrorHandler = void (*)(HidLink *link, int error, void *ctx, LoopTime now);

struct HidLink {
    // Settings (hid_link_set) and limits (defaults; the tests lower them).
    HidMatch match;
    int control_timeout_ms = HID_LINK_CONTROL_TIMEOUT_MS; // each transfer of an operation; 0 none
    double limit_s = HID_LINK_LIMIT_S;                    // an operation, on the loop's clock
    Loop *loop = nullptr;                                 // hid_link_attach's

    // The unit, while open (handle set). identity and descriptor stay
    // after a close, as the last open found them, for a caller that looks
    // for the same unit again.
    libusb_device_handle *handle = nullptr;
    int interface = -1;              // the claimed HID interface's number
    uint8_t endpoint = 0;            // its interrupt IN endpoint's address; 0 when it has none
    uint16_t input_max = 0;          // that endpoint's wMaxPacketSize: the interrupt IN reads
                                     // one packet at a time (a unit's Input reports fit one)
    bool detached = false;           // the link detached a kernel driver from the interface
    bool report_ids = false;         // the descriptor declares report ids: a report's first
                                     // byte is its id
    HidIdentity identity;
    std::vector<uint8_t> descriptor; // the report descriptor as the unit sent it
    int open_errno = 0;              // why the last open failed (ENODEV none found, EACCES,
                                     // EBUSY, EIO, ...); 0 after one that succeeded

    // The loop's side of libusb (the link's own).
    std::vector<int> fds;            // libusb's descriptors the loop watches
    bool fds_changed = false;        // libusb added or removed one since the last look
    LoopTimer usb_timer;             // libusb's next time-out; also: pending work to run from the loop
    std::vector<libusb_transfer *> out; // every transfer libusb holds now
    bool closing = false;            // hid_link_close waits for them to come back

    // Interrupt IN.
    libusb_transfer *input = nullptr; // the interrupt transfer (out or waiting for its retry)
    HidInputHandler on_input = nullptr;
    HidErrorHandler on_error = nullptr;
    void *io_ctx = nullptr;
    std::deque<std::vector<uint8_t>> arrived; // reports not yet handed to on_input
    long long input_dropped = 0;     // reports dropped for a full queue (HID_LINK_INPUT_QUEUE)
    int input_error = 0;             // a failure to hand to on_error (errno), 0 none
    LoopTimer input_retry;

    // The operation in flight (see hid_link_busy).
    int op = 0;                      // none, get or set
    size_t at = 0;                   // the request out now
    libusb_transfer *op_transfer = nullptr; // its transfer while libusb holds it
    bool op_ended = false;           // that transfer ended; results[at] holds how
    std::vector<HidReportRequest> requests;       // a get's
    std::vector<std::vector<uint8_t>> sets;       // a set's reports
    std::vector<HidReportResult> results;
    HidReportsDone done = nullptr;
    void *ctx = nullptr;
    LoopTimer limit_timer;           // the operation's limit
};

// Puts the link in its closed, unset state (any unit, default limits).
void hid_link_init(HidLink *link);

// The loop the link works on; once, before the first open (see
// hid_link_open for a link without one).
void hid_link_attach(HidLink *link, Loop *loop);

// Which unit to take from the next open on; an open link is closed first.
void hid_link_set(HidLink *link, const HidMatch &match);

// Finds and opens the unit (synchronous; each control transfer at most
// HID_LINK_CONTROL_TIMEOUT_MS): in the order of libusb's device list, each
// device with a HID interface (not a boot keyboard or mouse) that fits the
// match is opened, a kernel driver holding the interface detached, the
// interface claimed and its report descriptor read; the first whose
// descriptor declares a Power Device or Battery System application
// collection is kept (any other is given back as found). `same` (nullptr:
// none) takes only that unit: by vendor, product and serial number when it
// had a serial, else by vendor, product, bus and port path.
// Then libusb's descriptors are watched by the loop, and the interrupt IN
// transfer goes out: its reports go to `on_input`, its failures to
// `on_error` (either may be nullptr), with `ctx`.
// Without a loop (never attached), the unit is opened for the synchronous
// calls alone (hid_link_set_sync, hid_link_string: the final power-off):
// nothing is watched and no interrupt IN goes out.
// Returns 0, or a negative errno value (also kept in open_errno): ENODEV no
// such unit, EACCES no permission, EBUSY claimed by another, EIO and the
// like from libusb; an earlier open is closed first.
int hid_link_open(HidLink *link, const HidIdentity *same, HidInputHandler on_input,
                  HidErrorHandler on_error, void *ctx);

// True while the link holds a unit.
bool hid_link_is_open(const HidLink *link);

// True while an operation is in flight (started, its completion not yet
// run). A completion runs with the link no longer busy, so it may start the
// next operation or close the link.
bool hid_link_busy(const HidLink *link);

// Starts a get: GET_REPORT of each request, one at a time, in order. The
// whole get is bounded by limit_s on the loop's clock: past it, the request
// out is cancelled (TIMEOUT) and the ones not sent are NOT_ASKED. A request
// that finds the unit gone ends the get (GONE for it and the rest). `done`
// runs exactly once, later, from the loop (never inside this call), unless
// hid_link_close drops the get first. Returns false, and `done` never runs,
// when the link is busy, not open or not attached, or `requests` is empty.
bool hid_link_get_start(HidLink *link, const std::vector<HidReportRequest> &requests,
                        HidReportsDone done, void *ctx);

// Starts a set: SET_REPORT of each Feature report (its bytes, the id byte
// first; the id taken from it), one at a time, in order; bounded and
// completed as a get. Returns false, `done` never running, as a get does,
// and for an empty report or one over HID_LINK_REPORT_MAX bytes.
bool hid_link_set_start(HidLink *link, const std::vector<std::vector<uint8_t>> &reports,
                        HidReportsDone done, void *ctx);

// One SET_REPORT of a Feature report (`bytes`, id byte first), waited for
// at most `timeout_ms`: for the final power-off, from a process that ends
// right after (no loop needed). Returns 0 when the unit took it, negative
// (an errno value) when not.
int hid_link_set_sync(HidLink *link, const std::vector<uint8_t> &bytes, int timeout_ms);

// The unit's string at `index` as ASCII (synchronous, at most
// HID_LINK_CONTROL_TIMEOUT_MS). Returns 0, or a negative errno value with
// `*text` cleared (index 0, no such string, not open).
int hid_link_string(HidLink *link, int index, std::string *text);

// Drops the operation in flight without running its completion, cancels
// every transfer and waits (at most HID_LINK_CLOSE_WAIT_MS) until libusb
// gave them back, releases the interface, attaches again a kernel driver it
// detached, closes the device and stops watching libusb's descriptors. The
// settings, the loop, identity and descriptor stay. Closing a closed link
// does nothing. May be called from a completion or handler of the link.
void hid_link_close(HidLink *link);

// True when `d` has an application collection (type 1) whose usage page is
// Power Device (0x84) or Battery System (0x85).
bool hid_link_is_power_device(const HidDescriptor &d);
