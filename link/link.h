// The one transport of a process: a serial line, a USB HID device or a TCP
// connection to another upsagent. It moves bytes and knows nothing of the
// protocol, except that a USB write marks queries and commands differently.
//
// Only the polling loop's thread uses a LinkPort; a reconfiguration from
// another thread must be serialised with the loop by the caller.
#pragma once

#include <termios.h>

#include <cstdint>

struct libusb_device_handle;

enum {
    LINK_NONE = -1,  // not configured: opens always fail
    LINK_SERIAL = 0,
    LINK_USB = 1,
    LINK_TCP = 2,
};

// The remote daemon's port; the TCP link always connects to it.
constexpr int LINK_TCP_PORT = 2027;
constexpr int LINK_MGMT_PORT = 3493; // the daemon's RFC 9271 port

// A USB request or reply travels in one 47-byte HID feature report:
// byte 0 report id 5, byte 1 0 for a query ('Q', 'I', 'F') and 2 for a
// command, byte 2 the request length, then the request bytes.
constexpr int LINK_USB_REPORT_LEN = 47;
constexpr int LINK_USB_REQUEST_MAX = LINK_USB_REPORT_LEN - 3;

struct LinkPort {
    int32_t link_type;            // LINK_NONE, LINK_SERIAL, LINK_USB or LINK_TCP
    int32_t link_up;              // 1 while the transport is open; the loop clears it to force a reopen
    int32_t connecting;           // TCP: 1 while a connect is under way (link_up is 0 until it is made)
    int32_t fd;                   // serial or TCP descriptor (non-blocking); -1 when none is held
    char device_path[256];        // serial device path, copied from the settings
    char baud_rate[8];            // serial speed text "2400", "4800" or "9600"
    struct termios saved_termios; // the serial device's attributes as found at open
    struct termios port_termios;  // the attributes applied at open
    char host_address[256];       // dotted IPv4 address of the remote daemon
    int32_t host_port;            // the port connected to: 2027 for a remote daemon, 3493 for
                                  // the console's questions (0: 2027)
    uint16_t usb_product_id;      // product id to match
    uint16_t usb_vendor_id;       // vendor id to match
    bool usb_strict;              // true: vendor must equal usb_vendor_id exactly; false: 0x0001 matches too
    libusb_device_handle *usb_handle; // open, claimed device; null when closed
    int32_t open_errno;           // why the last open or connect failed (an errno value;
                                  // USB's errors mapped, ENODEV for no matching device);
                                  // 0 after one that succeeded. The caller words it.
};

// Puts the port in its unconfigured, closed state (LINK_NONE, no descriptor).
void link_init(LinkPort *port);

// Configuration: no I/O. Each sets link_type and clears link_up; the texts are
// copied (cut to their field widths).
void link_set_serial(LinkPort *port, const char *device_path, const char *baud_rate);
void link_set_tcp(LinkPort *port, const char *host_address, int host_port);
void link_set_usb(LinkPort *port, uint16_t vendor_id, uint16_t product_id, bool strict);

// True when `text` is one of the serial speeds the link knows ("2400",
// "4800", "9600"); any other text opens the line at 2400 baud.
bool link_baud_known(const char *text);

// Builds the USB report of a request into `out` (zero-padded). Returns false
// for a request longer than LINK_USB_REQUEST_MAX bytes (never cut).
bool link_usb_report(const unsigned char *bytes, int len, unsigned char out[LINK_USB_REPORT_LEN]);

// Seconds a TCP connect may take before it counts as failed, and seconds a
// TCP reply may take after its request (the remote daemon answers at once;
// this covers a busy network). The caller keeps the time: link_connect_done
// and link_read never wait.
constexpr double LINK_CONNECT_SECONDS = 5.0;
constexpr double LINK_REPLY_SECONDS = 2.0;

// What link_open returns for a TCP connect that is under way.
constexpr int LINK_OPEN_PENDING = 1;

// Opens the configured transport. Returns 0 on success and sets link_up;
// negative on failure, with link_up 0 and nothing held. TCP never waits:
// a connect under way returns LINK_OPEN_PENDING with `connecting` set, and
// link_connect_done finishes it.
// USB: libusb is set up at the first open; the first device whose product id
// matches and whose vendor id matches (or is 0x0001, unless usb_strict) is
// opened and interface 0 claimed. -1 no such device, -2 no libusb, -3 no
// device list, -4 a descriptor could not be read, -5 the device could not be
// opened. Every failure leaves its reason in open_errno.
int link_open(LinkPort *port);

// For a port whose connect is under way: 0 when it is made now (link_up
// set), LINK_OPEN_PENDING while it is still under way, negative when it
// failed (the port is closed, the reason in open_errno). Never waits.
int link_connect_done(LinkPort *port);

// Waits up to `ms` milliseconds for a connect under way (link_connect_done)
// or for input to read, for callers that ask and wait for the answer (the
// console's questions to port 3493). Returns true when the connect is made,
// or input is there.
bool link_wait(LinkPort *port, int ms);

// link_open for a caller that may wait: a TCP connect under way is given
// up to `ms` milliseconds. Returns 0 when the port is open, negative when
// not (nothing is held then).
int link_open_wait(LinkPort *port, int ms);

// Releases whatever the port holds (also when link_up was already cleared by
// link_set_up); link_up becomes 0. Closing a closed port does nothing.
void link_close(LinkPort *port);

// Bytes of waiting input a TCP write discards at most: a late reply is far
// shorter, and a peer that streams bytes must not hold the loop (what is
// left makes the next receive fail, as any reply that is not one does).
constexpr int LINK_DISCARD_MAX = 4096;

// Writes `len` request bytes. Serial and TCP: first discards whatever input
// is waiting (an unread reply to an earlier request; TCP at most
// LINK_DISCARD_MAX bytes), then returns the result of the one write
// (negative on failure). USB: 0 (the transfer's result is not examined), or
// -1 with one line printed for a request too long for a report.
int link_write(LinkPort *port, const unsigned char *bytes, int len);

// link_write for a caller that ends right after (the final power-off):
// waits up to `ms` milliseconds until the bytes have left the host. Serial:
// every byte written and the line's output queue empty; USB: the transfer
// done, with its own result (its time-out the lesser of `ms` and the
// write's 2 s); TCP: every byte handed to the socket. Returns 0 when done,
// negative when the write failed or did not finish in time.
int link_write_wait(LinkPort *port, const unsigned char *bytes, int len, int ms);

// Reads what has arrived into `buf` (at most `size` bytes), without
// waiting. Returns the number of bytes read; 0 when nothing has arrived yet;
// negative when the peer closed (TCP) or the read failed. USB reads one
// 47-byte report and returns the transfer's result (47, or a negative libusb
// error such as a vanished device); it is the one transfer that takes its
// time (bounded by the device's time-out).
int link_read(LinkPort *port, unsigned char *buf, int size);

// A libusb error (LIBUSB_ERROR_*) as the errno value that says the same
// (ACCESS EACCES, NO_DEVICE and NOT_FOUND ENODEV, BUSY EBUSY, TIMEOUT
// ETIMEDOUT, PIPE EPIPE, ...; anything else EIO), for open_errno and the
// USB links' callers to word.
int link_usb_errno(int libusb_error);

// Returns link_up.
int link_is_up(const LinkPort *port);

// Stores `flag` in link_up; the loop passes 0 to have the port closed and
// reopened at its next pass.
void link_set_up(LinkPort *port, int flag);
