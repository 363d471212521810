#include "link/link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// A connect to an unreachable host would otherwise block the polling loop
// for minutes.
static const int CONNECT_TIMEOUT_MS = 5000;

static void copy_text(char *out, size_t size, const char *text)
{
    snprintf(out, size, "%s", text ? text : "");
}

void link_init(LinkPort *port)
{
    memset(port, 0, sizeof *port);
    port->link_type = LINK_NONE;
    port->fd = -1;
    FD_ZERO(&port->read_set);
    FD_ZERO(&port->ready_set);
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

static int open_serial(LinkPort *port)
{
    int fd = open(port->device_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fd;
    if (tcgetattr(fd, &port->saved_termios) != 0) {
        close(fd); // not a terminal
        return -1;
    }
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
    if (tcsetattr(fd, TCSANOW, &port->port_termios) != 0) {
        close(fd);
        return -1;
    }
    port->fd = fd;
    port->link_up = 1;
    return fd;
}

// Connects `fd` within CONNECT_TIMEOUT_MS and leaves it blocking.
static bool connect_bounded(int fd, const struct sockaddr_in *addr)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(addr), sizeof *addr);
    if (rc != 0 && errno == EINPROGRESS) {
        struct pollfd p = {fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, CONNECT_TIMEOUT_MS) == 1 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            rc = 0;
    }
    fcntl(fd, F_SETFL, flags);
    return rc == 0;
}

static int open_tcp(LinkPort *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (fd >= FD_SETSIZE) { // select could not watch it
        close(fd);
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(LINK_TCP_PORT);
    if (inet_pton(AF_INET, port->host_address, &addr.sin_addr) != 1 ||
        !connect_bounded(fd, &addr)) {
        close(fd);
        return -1;
    }
    port->fd = fd;
    port->link_up = 1;
    FD_ZERO(&port->read_set);
    FD_SET(fd, &port->read_set);
    return 0;
}

int link_open(LinkPort *port)
{
    port->link_up = 0;
    if (port->fd >= 0) // a descriptor left from an earlier open
        link_close(port);
    switch (port->link_type) {
    case LINK_SERIAL:
        return open_serial(port);
    case LINK_TCP:
        return open_tcp(port);
    case LINK_USB:
        return -1; // no USB transport in this build
    default:
        return -1;
    }
}

void link_close(LinkPort *port)
{
    if (port->fd >= 0) {
        if (port->link_type == LINK_SERIAL)
            tcsetattr(port->fd, TCSANOW, &port->saved_termios);
        if (port->fd < FD_SETSIZE)
            FD_CLR(port->fd, &port->read_set);
        close(port->fd);
        port->fd = -1;
    }
    port->link_up = 0;
}

int link_write(LinkPort *port, const unsigned char *bytes, int len)
{
    if (port->fd < 0)
        return -1;
    if (port->link_type == LINK_TCP) // a vanished peer must not raise SIGPIPE
        return static_cast<int>(send(port->fd, bytes, len, MSG_NOSIGNAL));
    return static_cast<int>(write(port->fd, bytes, len));
}

int link_read(LinkPort *port, unsigned char *buf, int size)
{
    if (port->fd < 0)
        return -1;
    if (port->link_type == LINK_TCP) {
        port->ready_set = port->read_set;
        port->wait_time.tv_sec = 2;
        port->wait_time.tv_usec = 0;
        select(FD_SETSIZE, &port->ready_set, nullptr, nullptr, &port->wait_time);
        int pending = 0;
        if (ioctl(port->fd, FIONREAD, &pending) != 0 || pending <= 0)
            return -1;
    }
    return static_cast<int>(read(port->fd, buf, size));
}

int link_is_up(const LinkPort *port)
{
    return port->link_up;
}

void link_set_up(LinkPort *port, int flag)
{
    port->link_up = flag;
}
