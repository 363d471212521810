#include "link/hid.h"

#include <libusb.h>
#include <poll.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/log.h"
#include "link/link.h"

enum { OP_NONE = 0, OP_GET = 1, OP_SET = 2 };

static const uint8_t HID_CLASS = 3;
static const uint8_t HID_GET_REPORT = 0x01;
static const uint8_t HID_SET_REPORT = 0x09;
static const uint8_t REQUEST_IN = 0xA1;  // class, interface, device to host
static const uint8_t REQUEST_OUT = 0x21; // class, interface, host to device
static const uint8_t DESCRIPTOR_IN = 0x81;     // standard, interface, device to host
static const uint16_t REPORT_DESCRIPTOR = 0x2200; // descriptor type 0x22, index 0
static const uint16_t INPUT_FALLBACK_LEN = 64;    // an endpoint that gives no packet size
static const int CLOSE_STEP_MS = 50;

// libusb is set up once per process, in a context of its own: the context
// lives as long as the process (a new one per open would enumerate the bus
// each time).
static std::once_flag usb_once;
static libusb_context *usb_ctx = nullptr;
static int usb_init_result = LIBUSB_ERROR_OTHER;

static bool usb_ready()
{
    std::call_once(usb_once, [] { usb_init_result = libusb_init(&usb_ctx); });
    return usb_init_result == 0;
}

// --- Settings ---------------------------------------------------------------

static bool hex4(const std::string &text, uint16_t *out)
{
    if (text.size() != 4)
        return false;
    unsigned value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    *out = static_cast<uint16_t>(value);
    return true;
}

bool hid_match_parse(const std::string &text, HidMatch *match, std::string *why)
{
    if (text.empty()) {
        *match = HidMatch{};
        return true;
    }
    HidMatch m;
    m.any = false;
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    if (first == std::string::npos || !hex4(text.substr(0, first), &m.vendor) ||
        !hex4(text.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                 : second - first - 1),
              &m.product)) {
        *why = "\"" + text + "\" is not vvvv:pppp or vvvv:pppp:SERIAL (vendor and product "
               "as four hex digits each)";
        return false;
    }
    if (second != std::string::npos) {
        m.serial = text.substr(second + 1);
        // A USB string descriptor holds at most 126 characters.
        bool printable = std::all_of(m.serial.begin(), m.serial.end(),
                                     [](char c) { return c > 0x20 && c < 0x7F; });
        if (m.serial.empty() || m.serial.size() > 126 || !printable) {
            *why = "the serial number of \"" + text +
                   "\" is not 1 to 126 printable characters without spaces";
            return false;
        }
    }
    *match = m;
    return true;
}

void hid_link_init(HidLink *link)
{
    *link = HidLink{};
}

void hid_link_attach(HidLink *link, Loop *loop)
{
    link->loop = loop;
}

void hid_link_set(HidLink *link, const HidMatch &match)
{
    hid_link_close(link);
    link->match = match;
}

bool hid_link_is_open(const HidLink *link)
{
    return link->handle != nullptr;
}

bool hid_link_busy(const HidLink *link)
{
    return link->op != OP_NONE;
}

bool hid_link_is_power_device(const HidDescriptor &d)
{
    for (const HidCollection &c : d.collections) {
        uint32_t page = c.usage >> 16;
        if (c.type == 1 && (page == 0x84 || page == 0x85))
            return true;
    }
    return false;
}

// --- libusb on the loop -----------------------------------------------------

static void on_usb_fd(Loop *loop, int fd, uint32_t events, void *ctx, LoopTime now);
static void on_usb_timer(Loop *loop, void *ctx, LoopTime now);
static void LIBUSB_CALL on_transfer(libusb_transfer *t);

static void unwatch_fds(HidLink *link)
{
    for (int fd : link->fds)
        loop_unwatch(link->loop, fd);
    link->fds.clear();
}

// The loop watches exactly libusb's descriptors of now.
static void watch_fds(HidLink *link)
{
    unwatch_fds(link);
    link->fds_changed = false;
    const libusb_pollfd **all = libusb_get_pollfds(usb_ctx);
    if (!all)
        return;
    for (const libusb_pollfd **p = all; *p; p++) {
        uint32_t events = ((*p)->events & POLLIN ? uint32_t{EPOLLIN} : 0u) |
                          ((*p)->events & POLLOUT ? uint32_t{EPOLLOUT} : 0u);
        if (loop_watch(link->loop, (*p)->fd, events, on_usb_fd, link))
            link->fds.push_back((*p)->fd);
        else
            log_warning("hid: the loop cannot watch libusb's descriptor %d", (*p)->fd);
    }
    libusb_free_pollfds(all);
}

// libusb adds and removes descriptors as devices open, close and leave
// (one that left would wake the loop for ever): noted here, inside
// libusb, and followed once it returned.
static void LIBUSB_CALL fd_added(int, short, void *user_data)
{
    static_cast<HidLink *>(user_data)->fds_changed = true;
}

static void LIBUSB_CALL fd_removed(int, void *user_data)
{
    static_cast<HidLink *>(user_data)->fds_changed = true;
}

// Work noted inside libusb's callbacks that the loop has to run.
static bool work_pending(const HidLink *link)
{
    return link->fds_changed || !link->arrived.empty() || link->input_error != 0 ||
           (link->op != OP_NONE && link->op_ended);
}

// The usb timer: now when there is work, else libusb's next time-out.
static void arm_usb_timer(HidLink *link, LoopTime now)
{
    if (!link->loop)
        return;
    if (work_pending(link)) {
        loop_timer_at(link->loop, &link->usb_timer, now.mono, on_usb_timer, link);
        return;
    }
    timeval wait = {0, 0};
    if (link->handle && libusb_get_next_timeout(usb_ctx, &wait) == 1) {
        // A millisecond late, so libusb finds its time-out due.
        double due = now.mono + wait.tv_sec + wait.tv_usec / 1e6 + 0.001;
        loop_timer_at(link->loop, &link->usb_timer, due, on_usb_timer, link);
        return;
    }
    loop_timer_cancel(link->loop, &link->usb_timer);
}

// After a synchronous libusb call: what its event handling noted is run
// from the loop.
static void kick(HidLink *link)
{
    if (link->loop && work_pending(link))
        arm_usb_timer(link, loop_now(link->loop));
}

static void forget_transfer(HidLink *link, libusb_transfer *t)
{
    link->out.erase(std::remove(link->out.begin(), link->out.end(), t), link->out.end());
}

static void free_transfer(libusb_transfer *t)
{
    free(t->buffer);
    t->buffer = nullptr;
    libusb_free_transfer(t);
}

// A transfer out: taken by libusb and counted in `out`. A negative libusb
// error, nothing held, when it cannot go out.
static int submit(HidLink *link, libusb_transfer *t)
{
    int rc = libusb_submit_transfer(t);
    if (rc == 0)
        link->out.push_back(t);
    return rc;
}

// --- Interrupt IN -------------------------------------------------------------

static int input_submit(HidLink *link)
{
    int rc = submit(link, link->input);
    if (rc < 0)
        link->input_error = link_usb_errno(rc);
    return rc;
}

static void input_ended(HidLink *link, libusb_transfer *t)
{
    if (link->closing) {
        free_transfer(t);
        link->input = nullptr;
        return;
    }
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        if (t->actual_length > 0) {
            if (link->arrived.size() >= HID_LINK_INPUT_QUEUE) {
                link->arrived.pop_front();
                link->input_dropped++;
            }
            link->arrived.emplace_back(t->buffer, t->buffer + t->actual_length);
        }
        input_submit(link);
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        input_submit(link);
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        link->input_error = ENODEV;
        break;
    case LIBUSB_TRANSFER_STALL:
        link->input_error = EPIPE;
        break;
    case LIBUSB_TRANSFER_OVERFLOW:
        link->input_error = EOVERFLOW;
        break;
    default:
        link->input_error = EIO;
        break;
    }
}

static void on_input_retry(Loop *, void *ctx, LoopTime now)
{
    HidLink *link = static_cast<HidLink *>(ctx);
    if (link->handle && link->input &&
        std::find(link->out.begin(), link->out.end(), link->input) == link->out.end())
        input_submit(link);
    arm_usb_timer(link, now);
}

// --- The operation --------------------------------------------------------

static HidReportStatus status_of(int transfer_status)
{
    switch (transfer_status) {
    case LIBUSB_TRANSFER_COMPLETED: return HID_REPORT_OK;
    case LIBUSB_TRANSFER_STALL: return HID_REPORT_STALL;
    case LIBUSB_TRANSFER_TIMED_OUT: return HID_REPORT_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED: return HID_REPORT_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE: return HID_REPORT_GONE;
    default: return HID_REPORT_ERROR;
    }
}

static HidReportStatus status_of_error(int error)
{
    switch (error) {
    case LIBUSB_ERROR_PIPE: return HID_REPORT_STALL;
    case LIBUSB_ERROR_TIMEOUT: return HID_REPORT_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE: return HID_REPORT_GONE;
    default: return HID_REPORT_ERROR;
    }
}

static void op_ended(HidLink *link, libusb_transfer *t)
{
    HidReportResult &r = link->results[link->at];
    r.status = status_of(t->status);
    if (r.status == HID_REPORT_OK && link->op == OP_GET)
        r.bytes.assign(t->buffer + LIBUSB_CONTROL_SETUP_SIZE,
                       t->buffer + LIBUSB_CONTROL_SETUP_SIZE + t->actual_length);
    link->op_transfer = nullptr;
    link->op_ended = true;
    free_transfer(t);
}

// libusb's end of a transfer, inside libusb's event handling: noted only;
// the loop runs what follows once libusb returned (run_pending).
static void LIBUSB_CALL on_transfer(libusb_transfer *t)
{
    HidLink *link = static_cast<HidLink *>(t->user_data);
    forget_transfer(link, t);
    if (t == link->input)
        input_ended(link, t);
    else if (t == link->op_transfer)
        op_ended(link, t);
    else
        free_transfer(t); // given up at the operation's limit
}

// The transfer of request `at` out, or its failure noted for the loop.
static void op_submit(HidLink *link, LoopTime now)
{
    size_t at = link->at;
    HidReportResult &r = link->results[at];
    uint16_t length;
    uint16_t value;
    uint8_t type = link->op == OP_SET ? REQUEST_OUT : REQUEST_IN;
    if (link->op == OP_GET) {
        const HidReportRequest &q = link->requests[at];
        length = q.length ? q.length : HID_LINK_REPORT_MAX;
        value = static_cast<uint16_t>((q.direction + 1) << 8 | q.id);
    } else {
        length = static_cast<uint16_t>(link->sets[at].size());
        value = static_cast<uint16_t>(3 << 8 | r.id);
    }
    unsigned char *buffer = static_cast<unsigned char *>(malloc(LIBUSB_CONTROL_SETUP_SIZE + length));
    libusb_transfer *t = buffer ? libusb_alloc_transfer(0) : nullptr;
    if (!t) {
        free(buffer);
        r.status = HID_REPORT_ERROR;
        link->op_ended = true;
        arm_usb_timer(link, now);
        return;
    }
    libusb_fill_control_setup(buffer, type, link->op == OP_SET ? HID_SET_REPORT : HID_GET_REPORT,
                              value, static_cast<uint16_t>(link->interface), length);
    if (link->op == OP_SET)
        memcpy(buffer + LIBUSB_CONTROL_SETUP_SIZE, link->sets[at].data(), length);
    libusb_fill_control_transfer(t, link->handle, buffer, on_transfer, link,
                                 static_cast<unsigned>(link->control_timeout_ms));
    link->op_transfer = t;
    link->op_ended = false;
    int rc = submit(link, t);
    if (rc < 0) {
        link->op_transfer = nullptr;
        free_transfer(t);
        r.status = status_of_error(rc);
        link->op_ended = true;
    }
    arm_usb_timer(link, now);
}

// Ends the operation and runs its completion, last: the link is idle by
// then, so the completion may start another or close the link.
static void finish(HidLink *link, LoopTime now)
{
    loop_timer_cancel(link->loop, &link->limit_timer);
    HidReportsDone done = link->done;
    void *ctx = link->ctx;
    std::vector<HidReportResult> results = std::move(link->results);
    link->op = OP_NONE;
    link->op_ended = false;
    link->op_transfer = nullptr;
    link->done = nullptr;
    link->ctx = nullptr;
    link->results.clear();
    link->requests.clear();
    link->sets.clear();
    if (done)
        done(link, results, ctx, now);
}

// The request out ended (results[at] says how): the next one, or the end.
static void advance(HidLink *link, LoopTime now)
{
    link->op_ended = false;
    if (link->results[link->at].status == HID_REPORT_GONE) {
        for (size_t i = link->at + 1; i < link->results.size(); i++)
            link->results[i].status = HID_REPORT_GONE;
        finish(link, now);
        return;
    }
    if (++link->at >= link->results.size()) {
        finish(link, now);
        return;
    }
    op_submit(link, now);
}

// The operation's limit: the request out is given up (its transfer
// cancelled; it frees itself when libusb gives it back), the rest not sent.
static void on_limit(Loop *, void *ctx, LoopTime now)
{
    HidLink *link = static_cast<HidLink *>(ctx);
    if (link->op == OP_NONE)
        return;
    if (!link->op_ended) {
        if (link->op_transfer)
            libusb_cancel_transfer(link->op_transfer);
        link->op_transfer = nullptr;
        link->results[link->at].status = HID_REPORT_TIMEOUT;
    }
    for (size_t i = link->at + 1; i < link->results.size(); i++)
        link->results[i].status = HID_REPORT_NOT_ASKED;
    log_debug("hid: the unit did not finish within %.1f s; given up", link->limit_s);
    finish(link, now);
    if (link->handle)
        arm_usb_timer(link, now);
}

// What libusb's callbacks noted, run from the loop: descriptors to follow,
// reports to hand on, a failure of the interrupt IN, the operation's next
// step. A handler may close the link (or open it again): looked at after
// each.
static void run_pending(HidLink *link, LoopTime now)
{
    if (link->fds_changed && link->handle)
        watch_fds(link);
    libusb_device_handle *handle = link->handle;
    while (!link->arrived.empty() && link->handle == handle) {
        std::vector<uint8_t> report = std::move(link->arrived.front());
        link->arrived.pop_front();
        if (link->on_input)
            link->on_input(link, report.data(), report.size(), link->io_ctx, now);
    }
    if (link->input_error != 0 && link->handle == handle) {
        int error = link->input_error;
        link->input_error = 0;
        if (error != ENODEV && link->input)
            loop_timer_at(link->loop, &link->input_retry, now.mono + HID_LINK_INPUT_RETRY_S,
                          on_input_retry, link);
        if (link->on_error)
            link->on_error(link, error, link->io_ctx, now);
    }
    if (link->op != OP_NONE && link->op_ended && link->handle == handle)
        advance(link, now);
    if (link->handle)
        arm_usb_timer(link, now);
}

// libusb's events and time-outs, handled without waiting.
static void handle_events(HidLink *link, LoopTime now)
{
    if (link->handle) {
        timeval zero = {0, 0};
        libusb_handle_events_timeout_completed(usb_ctx, &zero, nullptr);
    }
    run_pending(link, now);
}

static void on_usb_fd(Loop *, int, uint32_t, void *ctx, LoopTime now)
{
    handle_events(static_cast<HidLink *>(ctx), now);
}

static void on_usb_timer(Loop *, void *ctx, LoopTime now)
{
    handle_events(static_cast<HidLink *>(ctx), now);
}

// Takes the link for an operation of `count` requests; false when busy or
// not ready.
static bool start(HidLink *link, int op, size_t count, HidReportsDone done, void *ctx)
{
    if (!link->loop || !link->handle || link->op != OP_NONE || count == 0)
        return false;
    LoopTime now = loop_now(link->loop);
    link->op = op;
    link->at = 0;
    link->done = done;
    link->ctx = ctx;
    link->op_ended = false;
    link->results.assign(count, HidReportResult{});
    loop_timer_at(link->loop, &link->limit_timer, now.mono + link->limit_s, on_limit, link);
    return true;
}

bool hid_link_get_start(HidLink *link, const std::vector<HidReportRequest> &requests,
                        HidReportsDone done, void *ctx)
{
    if (!start(link, OP_GET, requests.size(), done, ctx))
        return false;
    link->requests = requests;
    for (size_t i = 0; i < requests.size(); i++) {
        link->results[i].id = requests[i].id;
        link->results[i].direction = requests[i].direction;
    }
    op_submit(link, loop_now(link->loop));
    return true;
}

// The report id of a report's bytes: the first byte, when the unit uses ids.
static uint8_t id_of(const HidLink *link, const std::vector<uint8_t> &bytes)
{
    return link->report_ids && !bytes.empty() ? bytes[0] : 0;
}

bool hid_link_set_start(HidLink *link, const std::vector<std::vector<uint8_t>> &reports,
                        HidReportsDone done, void *ctx)
{
    for (const std::vector<uint8_t> &r : reports)
        if (r.empty() || r.size() > HID_LINK_REPORT_MAX)
            return false;
    if (!start(link, OP_SET, reports.size(), done, ctx))
        return false;
    link->sets = reports;
    for (size_t i = 0; i < reports.size(); i++)
        link->results[i].id = id_of(link, reports[i]);
    op_submit(link, loop_now(link->loop));
    return true;
}

int hid_link_set_sync(HidLink *link, const std::vector<uint8_t> &bytes, int timeout_ms)
{
    if (!link->handle || bytes.empty() || bytes.size() > HID_LINK_REPORT_MAX)
        return -EINVAL;
    std::vector<uint8_t> data = bytes;
    int rc = libusb_control_transfer(link->handle, REQUEST_OUT, HID_SET_REPORT,
                                     static_cast<uint16_t>(3 << 8 | id_of(link, bytes)),
                                     static_cast<uint16_t>(link->interface), data.data(),
                                     static_cast<uint16_t>(data.size()),
                                     static_cast<unsigned>(timeout_ms < 1 ? 1 : timeout_ms));
    kick(link);
    if (rc < 0)
        return -link_usb_errno(rc);
    return rc == static_cast<int>(data.size()) ? 0 : -EIO;
}

static int read_string(libusb_device_handle *handle, int index, std::string *text)
{
    text->clear();
    if (index <= 0 || index > 255)
        return -EINVAL;
    unsigned char buffer[256];
    int n = libusb_get_string_descriptor_ascii(handle, static_cast<uint8_t>(index), buffer,
                                               sizeof buffer);
    if (n < 0)
        return -link_usb_errno(n);
    text->assign(reinterpret_cast<const char *>(buffer), static_cast<size_t>(n));
    return 0;
}

int hid_link_string(HidLink *link, int index, std::string *text)
{
    if (!link->handle) {
        text->clear();
        return -ENODEV;
    }
    int rc = read_string(link->handle, index, text);
    kick(link);
    return rc;
}

// --- Open and close ---------------------------------------------------------

// A transfer libusb gave back after its link stopped waiting for it.
static void LIBUSB_CALL orphan_done(libusb_transfer *t)
{
    free_transfer(t);
}

void hid_link_close(HidLink *link)
{
    if (link->loop) {
        loop_timer_cancel(link->loop, &link->limit_timer);
        loop_timer_cancel(link->loop, &link->input_retry);
        loop_timer_cancel(link->loop, &link->usb_timer);
    }
    link->op = OP_NONE;
    link->op_ended = false;
    link->op_transfer = nullptr; // given back below like any other
    link->done = nullptr;
    link->ctx = nullptr;
    link->results.clear();
    link->requests.clear();
    link->sets.clear();
    link->arrived.clear();
    link->input_error = 0;
    if (!link->handle)
        return;
    // libusb owns a transfer until it gives it back: each is cancelled, and
    // libusb's events run (bounded) until every one came back.
    link->closing = true;
    for (libusb_transfer *t : link->out)
        libusb_cancel_transfer(t);
    for (int waited = 0; !link->out.empty() && waited < HID_LINK_CLOSE_WAIT_MS;
         waited += CLOSE_STEP_MS) {
        timeval step = {0, CLOSE_STEP_MS * 1000};
        libusb_handle_events_timeout_completed(usb_ctx, &step, nullptr);
    }
    link->closing = false;
    bool held = !link->out.empty();
    if (held) {
        // Never freed while libusb holds them: left to libusb, and the
        // device with them.
        log_warning("hid: %zu transfers not given back by libusb; the device is left open",
                    link->out.size());
        for (libusb_transfer *t : link->out)
            t->user_data = nullptr, t->callback = orphan_done;
        link->out.clear();
        link->input = nullptr;
    } else {
        if (link->input)
            free_transfer(link->input);
        link->input = nullptr;
        libusb_release_interface(link->handle, link->interface);
        if (link->detached)
            libusb_attach_kernel_driver(link->handle, link->interface);
        libusb_close(link->handle);
    }
    link->handle = nullptr;
    link->detached = false;
    link->arrived.clear();
    link->input_error = 0;
    libusb_set_pollfd_notifiers(usb_ctx, nullptr, nullptr, nullptr);
    if (link->loop)
        unwatch_fds(link);
    link->fds_changed = false;
}

// A HID interface of a device and its interrupt IN endpoint.
struct Candidate {
    int interface = -1;
    uint8_t endpoint = 0;
    uint16_t input_max = 0;
};

// The HID interfaces of `device`'s active configuration, boot keyboards and
// mice left out.
static std::vector<Candidate> hid_interfaces(libusb_device *device)
{
    std::vector<Candidate> found;
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) < 0 || !config)
        return found;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface &in = config->interface[i];
        if (in.num_altsetting < 1)
            continue;
        const libusb_interface_descriptor &alt = in.altsetting[0];
        if (alt.bInterfaceClass != HID_CLASS)
            continue;
        if (alt.bInterfaceSubClass == 1 &&
            (alt.bInterfaceProtocol == 1 || alt.bInterfaceProtocol == 2))
            continue; // a boot keyboard or mouse
        Candidate c;
        c.interface = alt.bInterfaceNumber;
        for (int e = 0; e < alt.bNumEndpoints; e++) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[e];
            if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) &&
                (ep.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
                c.endpoint = ep.bEndpointAddress;
                c.input_max = ep.wMaxPacketSize;
                break;
            }
        }
        found.push_back(c);
    }
    libusb_free_config_descriptor(config);
    return found;
}

// Where a device sits: bus and port path.
static void place_of(libusb_device *device, HidIdentity *id)
{
    id->bus = libusb_get_bus_number(device);
    uint8_t ports[8];
    int n = libusb_get_port_numbers(device, ports, sizeof ports);
    id->ports.assign(ports, ports + (n > 0 ? n : 0));
}

// Claims `c` on an open device (a kernel driver holding it detached) and
// reads its report descriptor; keeps the unit in `link` when it is a power
// device. Otherwise gives the interface back as found and returns the
// errno value of why not (0: it is no power device).
static int try_interface(HidLink *link, libusb_device_handle *handle, const Candidate &c)
{
    bool detached = false;
    if (libusb_kernel_driver_active(handle, c.interface) == 1) {
        int rc = libusb_detach_kernel_driver(handle, c.interface);
        if (rc < 0)
            return link_usb_errno(rc);
        detached = true;
    }
    int rc = libusb_claim_interface(handle, c.interface);
    if (rc < 0) {
        if (detached)
            libusb_attach_kernel_driver(handle, c.interface);
        return link_usb_errno(rc);
    }
    // Asked for as much as a descriptor may be: the length the HID
    // descriptor declares can be wrong both ways.
    std::vector<uint8_t> bytes(HID_LINK_DESCRIPTOR_MAX);
    int n = libusb_control_transfer(handle, DESCRIPTOR_IN,
                                    LIBUSB_REQUEST_GET_DESCRIPTOR, REPORT_DESCRIPTOR,
                                    static_cast<uint16_t>(c.interface), bytes.data(),
                                    static_cast<uint16_t>(bytes.size()),
                                    HID_LINK_CONTROL_TIMEOUT_MS);
    HidDescriptor parsed;
    if (n > 0) {
        bytes.resize(static_cast<size_t>(n));
        hid_descriptor_parse(bytes.data(), bytes.size(), &parsed);
    }
    if (n <= 0 || !hid_link_is_power_device(parsed)) {
        libusb_release_interface(handle, c.interface);
        if (detached)
            libusb_attach_kernel_driver(handle, c.interface);
        return n == LIBUSB_ERROR_NO_DEVICE ? ENODEV : 0;
    }
    link->handle = handle;
    link->interface = c.interface;
    link->endpoint = c.endpoint;
    link->input_max = c.input_max;
    link->detached = detached;
    link->descriptor = std::move(bytes);
    link->report_ids = false;
    for (const HidReport &r : parsed.reports)
        link->report_ids = link->report_ids || r.id != 0;
    return 0;
}

// Looks at one device of the list; true when the link keeps it. `why`
// takes the first reason a device that fits could not be had.
static bool try_device(HidLink *link, libusb_device *device, const HidIdentity *same, int *why)
{
    libusb_device_descriptor d;
    if (libusb_get_device_descriptor(device, &d) < 0)
        return false;
    const HidMatch &m = link->match;
    if (!m.any && (d.idVendor != m.vendor || d.idProduct != m.product))
        return false;
    if (same && (d.idVendor != same->vendor || d.idProduct != same->product))
        return false;
    HidIdentity id;
    id.vendor = d.idVendor;
    id.product = d.idProduct;
    place_of(device, &id);
    if (same && same->serial.empty() && (id.bus != same->bus || id.ports != same->ports))
        return false;
    std::vector<Candidate> candidates = hid_interfaces(device);
    if (candidates.empty())
        return false;
    libusb_device_handle *handle = nullptr;
    if (int rc = libusb_open(device, &handle); rc < 0) {
        if (*why == ENODEV)
            *why = link_usb_errno(rc);
        return false;
    }
    read_string(handle, d.iSerialNumber, &id.serial);
    const std::string &serial = same && !same->serial.empty() ? same->serial : m.serial;
    if (!serial.empty() && id.serial != serial) {
        libusb_close(handle);
        return false;
    }
    for (const Candidate &c : candidates) {
        int rc = try_interface(link, handle, c);
        if (link->handle) {
            read_string(handle, d.iManufacturer, &id.manufacturer);
            read_string(handle, d.iProduct, &id.product_name);
            link->identity = id;
            return true;
        }
        if (rc != 0 && *why == ENODEV)
            *why = rc;
    }
    libusb_close(handle);
    return false;
}

int hid_link_open(HidLink *link, const HidIdentity *same, HidInputHandler on_input,
                  HidErrorHandler on_error, void *ctx)
{
    hid_link_close(link);
    if (!usb_ready()) {
        link->open_errno = link_usb_errno(usb_init_result);
        return -link->open_errno;
    }
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(usb_ctx, &list);
    if (count < 0) {
        link->open_errno = link_usb_errno(static_cast<int>(count));
        return -link->open_errno;
    }
    int why = ENODEV;
    for (ssize_t i = 0; i < count && !link->handle; i++)
        try_device(link, list[i], same, &why);
    libusb_free_device_list(list, 1); // an open device keeps its own reference
    if (!link->handle) {
        link->open_errno = why;
        return -why;
    }
    link->open_errno = 0;
    link->on_input = on_input;
    link->on_error = on_error;
    link->io_ctx = ctx;
    if (!link->loop)
        return 0; // the synchronous calls only
    libusb_set_pollfd_notifiers(usb_ctx, fd_added, fd_removed, link);
    watch_fds(link);
    if (link->endpoint) {
        uint16_t length = link->input_max ? link->input_max : INPUT_FALLBACK_LEN;
        unsigned char *buffer = static_cast<unsigned char *>(malloc(length));
        link->input = buffer ? libusb_alloc_transfer(0) : nullptr;
        if (!link->input) {
            free(buffer);
            link->input_error = ENOMEM;
        } else {
            // No time-out: a unit on mains may send nothing for hours.
            libusb_fill_interrupt_transfer(link->input, link->handle, link->endpoint, buffer,
                                           length, on_transfer, link, 0);
            input_submit(link);
        }
    }
    arm_usb_timer(link, loop_now(link->loop));
    return 0;
}
