#include "link/link.h"
#include "tests/netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool fd_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// Waits (up to 5 s) until `fd` has input: a pseudo-terminal hands bytes to
// the other side a moment after the write, later on a loaded machine.
bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

class Serial : public ::testing::Test {
protected:
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slave_path = ptsname(master);
        link_init(&port);
    }
    void TearDown() override
    {
        link_close(&port);
        close(master);
    }
    int master = -1;
    std::string slave_path;
    LinkPort port;
};

TEST_F(Serial, OpenConfiguresARawLineAndReadsWhatHasArrived)
{
    link_set_serial(&port, slave_path.c_str(), "9600");
    int fd = link_open(&port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(link_is_up(&port), 1);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);

    unsigned char buf[1024];
    EXPECT_EQ(link_read(&port, buf, sizeof buf), 0) << "nothing arrived: returns at once";
    ASSERT_EQ(write(master, "(230.0 229.0 23", 15), 15);
    ASSERT_TRUE(readable(fd));
    EXPECT_EQ(link_read(&port, buf, sizeof buf), 15) << "a partial reply is a short read";
    EXPECT_EQ(link_write(&port, reinterpret_cast<const unsigned char *>("Q1\r"), 3), 3);
    char got[8] = {0};
    ASSERT_TRUE(readable(master));
    EXPECT_EQ(read(master, got, sizeof got), 3);
    EXPECT_STREQ(got, "Q1\r");
}

// The unread reply to a UPS command must not join the next reply.
TEST_F(Serial, InputWaitingBeforeARequestIsDiscarded)
{
    link_set_serial(&port, slave_path.c_str(), "2400");
    int fd = link_open(&port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(master, "(stale reply\r", 13), 13);
    ASSERT_TRUE(readable(fd));
    ASSERT_EQ(link_write(&port, reinterpret_cast<const unsigned char *>("Q1\r"), 3), 3);
    ASSERT_EQ(write(master, "(fresh\r", 7), 7);
    ASSERT_TRUE(readable(fd));
    unsigned char buf[1024];
    ASSERT_EQ(link_read(&port, buf, sizeof buf), 7);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 7), "(fresh\r");
}

TEST_F(Serial, WriteWaitHandsOverEveryByteOrFailsWithinItsLimit)
{
    link_set_serial(&port, slave_path.c_str(), "2400");
    int fd = link_open(&port);
    ASSERT_GE(fd, 0);
    const unsigned char command[] = "S01R0001\r";
    EXPECT_EQ(link_write_wait(&port, command, 9, 2000), 0);
    char got[16] = {0};
    ASSERT_TRUE(readable(master));
    EXPECT_EQ(read(master, got, sizeof got), 9);
    EXPECT_STREQ(got, "S01R0001\r");

    // A line that takes nothing more (its peer reads nothing): the wait
    // ends, as a failure, about when it was told to.
    unsigned char fill[4096];
    memset(fill, 'x', sizeof fill);
    // Full once it takes no byte for a while: the pseudo-terminal moves
    // what it holds to the other side a moment after each write.
    for (;;) {
        for (size_t size : {sizeof fill, size_t{1}})
            while (write(fd, fill, size) > 0) {
            }
        ASSERT_EQ(errno, EAGAIN);
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 500) == 0)
            break;
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(link_write_wait(&port, command, 9, 300), 0);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.25);
    EXPECT_LT(took, 3.0);
}

TEST_F(Serial, UnknownBaudOpensAt2400NeverAtZero)
{
    EXPECT_FALSE(link_baud_known("19200"));
    EXPECT_TRUE(link_baud_known("4800"));
    link_set_serial(&port, slave_path.c_str(), "19200");
    int fd = link_open(&port);
    ASSERT_GE(fd, 0);
    struct termios t;
    tcgetattr(fd, &t);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST_F(Serial, CloseAfterForcedDownReleasesTheDescriptor)
{
    link_set_serial(&port, slave_path.c_str(), "2400");
    int fd = link_open(&port);
    ASSERT_GE(fd, 0);
    link_set_up(&port, 0);
    link_close(&port);
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(port.fd, -1);
}

TEST_F(Serial, FailedOpensHoldNothing)
{
    link_set_serial(&port, "/nonexistent/tty", "2400");
    EXPECT_LT(link_open(&port), 0);
    EXPECT_EQ(link_is_up(&port), 0);
    EXPECT_EQ(port.open_errno, ENOENT) << "the reason is kept for the caller";
    link_close(&port);
    EXPECT_EQ(link_is_up(&port), 0);

    char tmpl[] = "/tmp/linktestXXXXXX";
    int plain = mkstemp(tmpl);
    close(plain);
    link_set_serial(&port, tmpl, "2400");
    EXPECT_LT(link_open(&port), 0) << "a plain file is not a serial line";
    EXPECT_EQ(port.fd, -1);
    EXPECT_EQ(port.open_errno, ENOTTY);
    unlink(tmpl);

    LinkPort none;
    link_init(&none);
    EXPECT_LT(link_open(&none), 0);
    unsigned char buf[4];
    EXPECT_LT(link_read(&none, buf, sizeof buf), 0);
}

TEST(UsbReport, QueryOrCommandLengthAndPadding)
{
    unsigned char out[LINK_USB_REPORT_LEN];
    ASSERT_TRUE(link_usb_report(reinterpret_cast<const unsigned char *>("Q1\r"), 3, out));
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 0) << "a query";
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(memcmp(out + 3, "Q1\r", 3), 0);
    for (int i = 6; i < LINK_USB_REPORT_LEN; i++)
        EXPECT_EQ(out[i], 0) << "byte " << i;
    for (const char *query : {"I\r", "F\r"}) {
        link_usb_report(reinterpret_cast<const unsigned char *>(query), 2, out);
        EXPECT_EQ(out[1], 0) << query;
    }
    for (const char *command : {"S12R0001\r", "C\r", "T\r", "TL\r", "CT\r"}) {
        int len = static_cast<int>(strlen(command));
        link_usb_report(reinterpret_cast<const unsigned char *>(command), len, out);
        EXPECT_EQ(out[1], 2) << command;
        EXPECT_EQ(out[2], len);
    }
    unsigned char longest[LINK_USB_REQUEST_MAX + 1];
    memset(longest, 'S', sizeof longest);
    EXPECT_TRUE(link_usb_report(longest, LINK_USB_REQUEST_MAX, out));
    EXPECT_EQ(out[LINK_USB_REPORT_LEN - 1], 'S');
    EXPECT_FALSE(link_usb_report(longest, LINK_USB_REQUEST_MAX + 1, out)) << "never cut";
}

TEST(UsbLink, OverlongRequestIsRefusedWithOneLine)
{
    LinkPort port;
    link_init(&port);
    link_set_usb(&port, 0xFFFF, 0x0000, false);
    std::string request(45, 'S');
    testing::internal::CaptureStdout();
    EXPECT_EQ(link_write(&port, reinterpret_cast<const unsigned char *>(request.data()), 45), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

// The TCP link's usual port is 2027 (and 3493), so these tests run in a network
// namespace of their own (each test is its own process under ctest).
class Tcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!enter_private_network())
            GTEST_SKIP() << "needs root for a private network namespace";
        listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(2027);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listener, 1), 0);
        link_init(&port);
    }
    void TearDown() override
    {
        link_close(&port);
        if (listener >= 0)
            close(listener);
    }
    int listener = -1;
    LinkPort port;
};

// Nothing on the TCP link ever waits: a read with nothing there returns at
// once, a record that came is read whole, a closed peer reads as -1.
TEST_F(Tcp, ReadsNeverWaitThenTakeRecordsAndSeeTheClose)
{
    link_set_tcp(&port, "127.0.0.1", 2027);
    ASSERT_EQ(link_open_wait(&port, 5000), 0);
    EXPECT_EQ(link_is_up(&port), 1);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    unsigned char buf[1024];

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link_read(&port, buf, sizeof buf), 0) << "nothing yet";
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(waited, 0.5);

    char record[108];
    memset(record, 'x', sizeof record);
    ASSERT_EQ(write(peer, record, sizeof record), 108);
    ASSERT_TRUE(link_wait(&port, 5000));
    EXPECT_EQ(link_read(&port, buf, sizeof buf), 108);
    EXPECT_EQ(link_write(&port, reinterpret_cast<const unsigned char *>("ALL\x01"), 5), 5);

    close(peer);
    ASSERT_TRUE(link_wait(&port, 5000));
    EXPECT_EQ(link_read(&port, buf, sizeof buf), -1) << "a closed peer reads as -1, not 0";
    EXPECT_LT(link_write(&port, reinterpret_cast<const unsigned char *>("T\r"), 2) +
                  link_write(&port, reinterpret_cast<const unsigned char *>("T\r"), 2),
              4)
        << "writing to a closed peer fails without killing the process";
}

// The port given is the port connected to: the console asks the daemon's
// port 3493 through the same link, and must not reach 2027 instead.
TEST_F(Tcp, ConnectsToThePortItIsGiven)
{
    int other = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(LINK_MGMT_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(other, 1), 0);
    link_set_tcp(&port, "127.0.0.1", LINK_MGMT_PORT);
    ASSERT_EQ(link_open_wait(&port, 5000), 0);
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(port.fd, reinterpret_cast<sockaddr *>(&peer), &len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), LINK_MGMT_PORT);
    close(other);
}

TEST_F(Tcp, BadAddressOrNoListenerFailsCleanly)
{
    link_set_tcp(&port, "not-an-address", 2027);
    EXPECT_LT(link_open(&port), 0);
    EXPECT_EQ(port.fd, -1);
    EXPECT_EQ(port.open_errno, EINVAL);
    close(listener);
    listener = -1;
    link_set_tcp(&port, "127.0.0.1", 2027);
    EXPECT_LT(link_open_wait(&port, 5000), 0);
    EXPECT_EQ(link_is_up(&port), 0);
    EXPECT_EQ(port.fd, -1) << "a failed connect holds nothing";
    EXPECT_EQ(port.open_errno, ECONNREFUSED);
}

// A peer that streams bytes: a write discards at most LINK_DISCARD_MAX of
// them and goes out; the rest stays for the receive, which fails on it.
TEST_F(Tcp, DiscardBeforeAWriteIsBounded)
{
    link_set_tcp(&port, "127.0.0.1", 2027);
    ASSERT_EQ(link_open_wait(&port, 5000), 0);
    int peer = accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const int streamed = 4 * LINK_DISCARD_MAX;
    std::vector<unsigned char> junk(streamed, 'j');
    ASSERT_EQ(write(peer, junk.data(), junk.size()), streamed);
    int waiting = 0;
    for (int i = 0; i < 500 && waiting < streamed; i++) { // until every byte has arrived
        ASSERT_TRUE(link_wait(&port, 5000));
        ASSERT_EQ(ioctl(port.fd, FIONREAD, &waiting), 0);
    }
    ASSERT_EQ(waiting, streamed);
    EXPECT_EQ(link_write(&port, reinterpret_cast<const unsigned char *>("ALL\x01"), 5), 5);
    ASSERT_EQ(ioctl(port.fd, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, streamed - LINK_DISCARD_MAX);
    char got[8] = {};
    EXPECT_EQ(read(peer, got, sizeof got), 5) << "the request went out";
    close(peer);
}

} // namespace
