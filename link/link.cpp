#include "link/link.h"

#include <arpa/inet.h>
#include <libusb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/log.h"

// HID feature report 5 carries one request or one reply.
static const int USB_REPORT_ID = 5;
static const uint16_t USB_REPORT_VALUE = 0x0305; // feature report, id 5
static const unsigned USB_WRITE_TIMEOUT_MS = 2000;
static const unsigned USB_READ_TIMEOUT_MS = 5000;
static const uint16_t USB_ALTERNATE_VENDOR = 0x0001;

// libusb is set up once per process: a context per reopen would leak.
static std::once_flag usb_once;
static int usb_init_result = LIBUSB_ERROR_OTHER;

static void copy_text(char *out, size_t size, const char *text)
{
    snprintf(out, size, "%s", text ? text : "");
}

void link_init(LinkPort *port)
{
    memset(port, 0, sizeof *port);
    port->link_type = LINK_NONE;
    port->fd = -1;
}

void link_set_serial(LinkPort *port, const char *device_path, const char *baud_rate)
{
    port->link_type = LINK_SERIAL;
    port->link_up = 0;
    copy_text(port->device_path, sizeof port->device_path, device_path);
    copy_text(port->baud_rate, sizeof port->baud_rate, baud_rate);
}

void link_set_tcp(LinkPort *port, const char *host_address, int host_port)
{
    port->link_type = LINK_TCP;
    port->link_up = 0;
    copy_text(port->host_address, sizeof port->host_address, host_address);
    port->host_port = host_port;
}

void link_set_usb(LinkPort *port, uint16_t vendor_id, uint16_t product_id, bool strict)
{
    port->link_type = LINK_USB;
    port->link_up = 0;
    port->usb_vendor_id = vendor_id;
    port->usb_product_id = product_id;
    port->usb_strict = strict;
    port->usb_handle = nullptr;
}

static speed_t baud_speed(const char *text)
{
    if (strcmp(text, "2400") == 0)
        return B2400;
    if (strcmp(text, "4800") == 0)
        return B4800;
    if (strcmp(text, "9600") == 0)
        return B9600;
    return 0;
}

bool link_baud_known(const char *text)
{
    return text && baud_speed(text) != 0;
}

// Closes `fd` after a failed step of an open, keeping the step's errno.
static int open_failed(LinkPort *port, int fd)
{
    port->open_errno = errno;
    if (fd >= 0)
        close(fd);
    return -1;
}

static int open_serial(LinkPort *port)
{
    int fd = open(port->device_path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return open_failed(port, fd);
    if (tcgetattr(fd, &port->saved_termios) != 0)
        return open_failed(port, fd); // not a terminal
    // All flags, the line discipline and every control character zero, so
    // VMIN = VTIME = 0: a read returns at once with what has arrived.
    memset(&port->port_termios, 0, sizeof port->port_termios);
    speed_t speed = baud_speed(port->baud_rate);
    if (speed == 0)
        speed = B2400; // never configure a line with speed 0
    port->port_termios.c_cflag = CS8 | CREAD | CLOCAL | speed;
    port->port_termios.c_iflag = IGNPAR;
    cfsetispeed(&port->port_termios, speed);
    cfsetospeed(&port->port_termios, speed);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &port->port_termios) != 0)
        return open_failed(port, fd);
    port->fd = fd;
    port->link_up = 1;
    port->open_errno = 0;
    return fd;
}

static int open_tcp(LinkPort *port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port->host_port > 0 ? port->host_port : LINK_TCP_PORT));
    if (inet_pton(AF_INET, port->host_address, &addr.sin_addr) != 1) {
        port->open_errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return open_failed(port, fd);
    int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
    if (rc != 0 && errno != EINPROGRESS)
        return open_failed(port, fd);
    port->fd = fd;
    if (rc != 0) {
        port->connecting = 1;
        return LINK_OPEN_PENDING;
    }
    port->link_up = 1;
    port->open_errno = 0;
    return 0;
}

int link_connect_done(LinkPort *port)
{
    if (!port->connecting)
        return port->link_up ? 0 : -1;
    struct pollfd p = {port->fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 0)
        return LINK_OPEN_PENDING;
    int err = 0;
    socklen_t len = sizeof err;
    port->connecting = 0;
    if (getsockopt(port->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        port->open_errno = err != 0 ? err : errno;
        link_close(port);
        return -1;
    }
    port->link_up = 1;
    port->open_errno = 0;
    return 0;
}

int link_open_wait(LinkPort *port, int ms)
{
    if (link_open(port) != LINK_OPEN_PENDING)
        return port->link_up ? 0 : -1;
    if (link_wait(port, ms))
        return 0;
    link_close(port); // still under way, or failed
    return -1;
}

bool link_wait(LinkPort *port, int ms)
{
    if (port->fd < 0)
        return false;
    struct pollfd p = {port->fd, static_cast<short>(port->connecting ? POLLOUT : POLLIN), 0};
    if (poll(&p, 1, ms) <= 0)
        return false;
    return port->connecting ? link_connect_done(port) == 0 : true;
}

bool link_usb_report(const unsigned char *bytes, int len, unsigned char out[LINK_USB_REPORT_LEN])
{
    memset(out, 0, LINK_USB_REPORT_LEN);
    if (len < 0 || len > LINK_USB_REQUEST_MAX)
        return false;
    out[0] = USB_REPORT_ID;
    bool query = len > 0 && (bytes[0] == 'Q' || bytes[0] == 'I' || bytes[0] == 'F');
    out[1] = query ? 0 : 2;
    out[2] = static_cast<unsigned char>(len);
    memcpy(out + 3, bytes, len);
    return true;
}

// A libusb error as the errno value that says the same.
int link_usb_errno(int error)
{
    switch (error) {
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENODEV;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ENOTSUP;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    default: return EIO;
    }
}

static int open_usb(LinkPort *port)
{
    std::call_once(usb_once, [] { usb_init_result = libusb_init(nullptr); });
    if (usb_init_result < 0) {
        port->open_errno = link_usb_errno(usb_init_result);
        return -2;
    }
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(nullptr, &list);
    if (count < 0) {
        port->open_errno = link_usb_errno(static_cast<int>(count));
        return -3;
    }
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count && !found; i++) {
        struct libusb_device_descriptor d;
        if (int rc = libusb_get_device_descriptor(list[i], &d); rc < 0) {
            libusb_free_device_list(list, 1);
            port->open_errno = link_usb_errno(rc);
            return -4;
        }
        bool vendor = d.idVendor == port->usb_vendor_id ||
                      (!port->usb_strict && d.idVendor == USB_ALTERNATE_VENDOR);
        if (d.idProduct == port->usb_product_id && vendor)
            found = list[i];
    }
    if (!found) {
        libusb_free_device_list(list, 1);
        port->open_errno = ENODEV;
        return -1;
    }
    libusb_device_handle *handle = nullptr;
    if (int rc = libusb_open(found, &handle); rc < 0) {
        libusb_free_device_list(list, 1);
        port->open_errno = link_usb_errno(rc);
        return -5;
    }
    // No kernel driver attached is normal: both results are ignored.
    libusb_detach_kernel_driver(handle, 0);
    libusb_claim_interface(handle, 0);
    libusb_free_device_list(list, 1);
    port->usb_handle = handle;
    port->link_up = 1;
    port->open_errno = 0;
    return 0;
}

static void close_usb(LinkPort *port)
{
    if (port->usb_handle) {
        libusb_release_interface(port->usb_handle, 0);
        libusb_close(port->usb_handle);
        port->usb_handle = nullptr;
    }
}

int link_open(LinkPort *port)
{
    port->link_up = 0;
    if (port->fd >= 0 || port->usb_handle || port->connecting) // left from an earlier open
        link_close(port);
    switch (port->link_type) {
    case LINK_SERIAL:
        return open_serial(port);
    case LINK_TCP:
        return open_tcp(port);
    case LINK_USB:
        return open_usb(port);
    default:
        port->open_errno = EINVAL;
        return -1;
    }
}

void link_close(LinkPort *port)
{
    close_usb(port);
    if (port->fd >= 0) {
        if (port->link_type == LINK_SERIAL)
            tcsetattr(port->fd, TCSANOW, &port->saved_termios);
        close(port->fd);
        port->fd = -1;
    }
    port->link_up = 0;
    port->connecting = 0;
}

// Whatever is waiting to be read is the late answer to an earlier request
// (a query whose reply the loop left unread to send a command first): read
// together with the next reply it would turn both into one failed receive.
// Bounded: a peer that streams faster than it is read would keep the loop
// here for ever.
static void discard_input(LinkPort *port)
{
    if (port->link_type == LINK_SERIAL) {
        tcflush(port->fd, TCIFLUSH);
    } else if (port->link_type == LINK_TCP) {
        unsigned char junk[512];
        for (int left = LINK_DISCARD_MAX; left > 0;) {
            size_t want = left < static_cast<int>(sizeof junk) ? static_cast<size_t>(left)
                                                               : sizeof junk;
            ssize_t n = recv(port->fd, junk, want, MSG_DONTWAIT);
            if (n <= 0)
                break;
            left -= static_cast<int>(n);
        }
    }
}

// The report of a request, or one line when it does not fit.
static bool usb_report_of(const unsigned char *bytes, int len,
                          unsigned char report[LINK_USB_REPORT_LEN])
{
    if (link_usb_report(bytes, len, report))
        return true;
    // Cut, it would be another command.
    log_warning("link: a request of %d bytes does not fit a USB report (at most %d)", len,
                LINK_USB_REQUEST_MAX);
    return false;
}

int link_write(LinkPort *port, const unsigned char *bytes, int len)
{
    if (port->link_type == LINK_USB) {
        unsigned char report[LINK_USB_REPORT_LEN];
        if (!usb_report_of(bytes, len, report))
            return -1;
        if (port->usb_handle)
            libusb_control_transfer(port->usb_handle, 0x21, 0x09, USB_REPORT_VALUE, 0, report,
                                    LINK_USB_REPORT_LEN, USB_WRITE_TIMEOUT_MS);
        return 0;
    }
    if (port->fd < 0)
        return -1;
    discard_input(port);
    if (port->connecting)
        return -1;
    if (port->link_type == LINK_TCP) // a vanished peer must not raise SIGPIPE
        return static_cast<int>(send(port->fd, bytes, len, MSG_NOSIGNAL | MSG_DONTWAIT));
    return static_cast<int>(write(port->fd, bytes, len));
}

// The waits of link_write_wait go in steps of this many milliseconds,
// counted: the link reads no clock.
static const int WAIT_STEP_MS = 10;

int link_write_wait(LinkPort *port, const unsigned char *bytes, int len, int ms)
{
    if (port->link_type == LINK_USB) {
        unsigned char report[LINK_USB_REPORT_LEN];
        if (!usb_report_of(bytes, len, report) || !port->usb_handle)
            return -1;
        // 0 would be no time-out at all.
        unsigned timeout = ms < 1 ? 1 : (static_cast<unsigned>(ms) < USB_WRITE_TIMEOUT_MS
                                             ? static_cast<unsigned>(ms)
                                             : USB_WRITE_TIMEOUT_MS);
        int r = libusb_control_transfer(port->usb_handle, 0x21, 0x09, USB_REPORT_VALUE, 0, report,
                                        LINK_USB_REPORT_LEN, timeout);
        return r < 0 ? r : 0;
    }
    if (port->fd < 0 || port->connecting || len < 0)
        return -1;
    discard_input(port);
    int steps = ms / WAIT_STEP_MS + 1;
    int done = 0;
    while (done < len) {
        ssize_t n = port->link_type == LINK_TCP
                        ? send(port->fd, bytes + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT)
                        : write(port->fd, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (steps-- <= 0)
            return -1; // the line takes nothing
        struct pollfd p = {port->fd, POLLOUT, 0};
        poll(&p, 1, WAIT_STEP_MS);
    }
    if (port->link_type != LINK_SERIAL)
        return 0;
    for (;;) {
        int queued = 0;
        if (ioctl(port->fd, TIOCOUTQ, &queued) != 0)
            return -1;
        if (queued == 0)
            return 0;
        if (steps-- <= 0)
            return -1; // still going out, slower than the caller may wait
        poll(nullptr, 0, WAIT_STEP_MS);
    }
}

int link_read(LinkPort *port, unsigned char *buf, int size)
{
    if (port->link_type == LINK_USB) {
        // Exactly one report, whatever `size`; the caller's buffer holds 1024.
        if (!port->usb_handle || size < LINK_USB_REPORT_LEN)
            return -1;
        buf[0] = USB_REPORT_ID;
        return libusb_control_transfer(port->usb_handle, 0xA1, 0x01, USB_REPORT_VALUE, 0, buf,
                                       LINK_USB_REPORT_LEN, USB_READ_TIMEOUT_MS);
    }
    if (port->fd < 0 || port->connecting)
        return -1;
    ssize_t n = read(port->fd, buf, size);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0; // nothing yet
    if (n == 0 && port->link_type == LINK_TCP)
        return -1; // the peer closed
    return static_cast<int>(n);
}

int link_is_up(const LinkPort *port)
{
    return port->link_up;
}

void link_set_up(LinkPort *port, int flag)
{
    port->link_up = flag;
}
