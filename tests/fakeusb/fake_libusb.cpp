// A stand-in for the libusb-1.0 functions the link uses, loaded into the real
// upsagent with LD_PRELOAD where no USB hardware exists. It presents a list
// of devices; those marked as a UPS answer HID feature reports from the same
// unit model upssim uses, controlled through the same control commands.
//
// Set up from the environment at libusb_init:
//   UPS_FAKEUSB_DEVICES  devices in list order, comma-separated, each
//                        "vvvv:pppp" in hex with optional flags after a
//                        colon: 'u' a UPS, 'k' a kernel driver is attached.
//                        Example: "1234:0000,0001:0000:uk".
//   UPS_FAKEUSB_CONTROL  a FIFO (created when missing) for control lines:
//                        every upssim command, and "usb unplug", "usb plug",
//                        "usb vanish-after N" (the UPS leaves after N more
//                        transfers).
//   UPS_FAKEUSB_LOG      the log, upssim's format; besides rx/tx/ctl/err it
//                        has "set" (the raw 47-byte SET_REPORT payload),
//                        "usb" (init, list, open, claim, detach, release,
//                        close with the live list and handle counts).
//   UPS_FAKEUSB_UNITS, UPS_FAKEUSB_TYPE  unit count and "online"/"offline".
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/model.h"

struct libusb_device {
    uint16_t vendor;
    uint16_t product;
    bool ups;           // answers feature reports
    bool kernel_driver; // a kernel driver holds interface 0 until detached
};

struct libusb_device_handle {
    libusb_device *device;
    bool claimed;
};

using Guard = std::lock_guard<std::mutex>;

static std::mutex lock;
static std::vector<libusb_device *> devices;
static bool set_up = false;
static bool unplugged = false;     // the UPS devices have left
static int vanish_after = -1;      // transfers until the UPS leaves; -1 never
static int inits = 0;
static int lists_alive = 0;
static int handles_alive = 0;
static ModelReply pending_reply;   // answer to the last SET_REPORT
static bool reply_ready = false;

static void fake_log(const char *tag, const std::string &text)
{
    model_log(tag, text.data(), text.size());
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

static void parse_devices(const char *list)
{
    std::string all = list ? list : "";
    size_t pos = 0;
    while (pos <= all.size() && !all.empty()) {
        size_t comma = all.find(',', pos);
        std::string one = all.substr(pos, comma == std::string::npos ? std::string::npos
                                                                     : comma - pos);
        unsigned vendor = 0, product = 0;
        char flags[8] = "";
        if (sscanf(one.c_str(), "%x:%x:%7s", &vendor, &product, flags) >= 2) {
            libusb_device *d = new libusb_device{static_cast<uint16_t>(vendor),
                                                 static_cast<uint16_t>(product),
                                                 strchr(flags, 'u') != nullptr,
                                                 strchr(flags, 'k') != nullptr};
            devices.push_back(d);
        }
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
}

static bool present(const libusb_device *d)
{
    return !(d->ups && unplugged);
}

// One control line: USB commands here, the rest to the unit model.
static void control_line(const std::string &line)
{
    Guard g(lock);
    int n = 0;
    bool ok = true;
    if (line == "usb unplug")
        unplugged = true;
    else if (line == "usb plug")
        unplugged = false, vanish_after = -1;
    else if (sscanf(line.c_str(), "usb vanish-after %d", &n) == 1 && n >= 0)
        vanish_after = n;
    else
        ok = model_control(line.c_str());
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
        parse_devices(getenv("UPS_FAKEUSB_DEVICES"));
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

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev,
                                             struct libusb_device_descriptor *desc)
{
    memset(desc, 0, sizeof *desc);
    desc->bLength = sizeof *desc;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->idVendor = dev->vendor;
    desc->idProduct = dev->product;
    return 0;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    Guard g(lock);
    if (!present(dev))
        return LIBUSB_ERROR_NO_DEVICE;
    *handle = new libusb_device_handle{dev, false};
    handles_alive++;
    reply_ready = false;
    fake_log("usb", "open " + name_of(dev) + counts());
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle)
{
    Guard g(lock);
    if (!handle)
        return;
    fake_log("usb", "close " + name_of(handle->device) + (handle->claimed ? " claimed" : ""));
    delete handle;
    handles_alive--;
    fake_log("usb", "closed" + counts());
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

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0 || handle->device->kernel_driver)
        return LIBUSB_ERROR_BUSY;
    handle->claimed = true;
    fake_log("usb", "claim " + name_of(handle->device));
    return 0;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *handle, int interface)
{
    Guard g(lock);
    if (interface != 0 || !handle->claimed)
        return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed = false;
    fake_log("usb", "release " + name_of(handle->device));
    return 0;
}

// Counts a transfer towards a "usb vanish-after"; true when the UPS is gone.
static bool vanished_locked()
{
    if (vanish_after == 0)
        unplugged = true, vanish_after = -1;
    else if (vanish_after > 0)
        vanish_after--;
    return unplugged;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *handle, uint8_t request_type,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char *data, uint16_t length, unsigned int)
{
    std::unique_lock<std::mutex> g(lock);
    libusb_device *d = handle->device;
    if (!d->ups || !handle->claimed)
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
        if (!reply_ready) {
            g.unlock();
            usleep(200 * 1000); // nothing to answer: the read times out
            return LIBUSB_ERROR_TIMEOUT;
        }
        reply_ready = false;
        memset(data, 0, length);
        int n = pending_reply.len < length ? pending_reply.len : length;
        memcpy(data, pending_reply.bytes, n);
        model_log("tx", data, n);
        return length;
    }
    return LIBUSB_ERROR_PIPE;
}

} // extern "C"
