// The one transport of a process: a serial line, a USB HID device or a TCP
// connection to another upsagent. It moves bytes and knows nothing of the
// protocol, except that a USB write marks queries and commands differently.
//
// Only the polling loop's thread uses a LinkPort; a reconfiguration from
// another thread must be serialised with the loop by the caller.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
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
    fd_set read_set;              // TCP: holds the socket while connected
    fd_set ready_set;             // working copy handed to select
    struct timeval wait_time;     // select time-out, set to 2 s before every wait
    int32_t fd;                   // serial or TCP descriptor; -1 when none is held
    char device_path[256];        // serial device path, copied from the settings
    char baud_rate[8];            // serial speed text "2400", "4800" or "9600"
    struct termios saved_termios; // the serial device's attributes as found at open
    struct termios port_termios;  // the attributes applied at open
    char host_address[256];       // dotted IPv4 address of the remote daemon
    int32_t host_port;            // stored as 2027
    uint16_t usb_product_id;      // product id to match
    uint16_t usb_vendor_id;       // vendor id to match
    bool usb_strict;              // true: vendor must equal usb_vendor_id exactly; false: 0x0001 matches too
    libusb_device_handle *usb_handle; // open, claimed device; null when closed
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

// Opens the configured transport. Returns 0 or a descriptor (>= 0) on success
// and sets link_up; negative on failure, with link_up 0 and nothing held.
// USB: libusb is set up at the first open; the first device whose product id
// matches and whose vendor id matches (or is 0x0001, unless usb_strict) is
// opened and interface 0 claimed. -1 no such device, -2 no libusb, -3 no
// device list, -4 a descriptor could not be read, -5 the device could not be
// opened.
int link_open(LinkPort *port);

// Releases whatever the port holds (also when link_up was already cleared by
// link_set_up); link_up becomes 0. Closing a closed port does nothing.
void link_close(LinkPort *port);

// Writes `len` request bytes. Serial and TCP: first discards whatever input
// is waiting (an unread reply to an earlier request), then returns the result
// of the one write (negative on failure). USB: 0 (the transfer's result is not examined), or
// -1 with one line printed for a request too long for a report.
int link_write(LinkPort *port, const unsigned char *bytes, int len);

// Reads one reply into `buf` (at most `size` bytes). Returns the number of
// bytes read; 0 or negative when nothing was read. TCP waits up to 2 s and
// returns -1 when no byte is pending (time-out or peer closed). USB reads
// one 47-byte report and returns the transfer's result (47, or a negative
// libusb error such as a vanished device).
int link_read(LinkPort *port, unsigned char *buf, int size);

// Returns link_up.
int link_is_up(const LinkPort *port);

// Stores `flag` in link_up; the loop passes 0 to have the port closed and
// reopened at its next pass.
void link_set_up(LinkPort *port, int flag);
