// The stand-in libusb driven through libusb's own API, as the daemon's link
// drives real libusb: a HID Power Device with tests/hid/flags-1bit's
// descriptor and reports, a 'u' unit and a plain device. The stand-in's
// state lives for the process, so every test leaves it as it found it.
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string HID_DIR = UPS_SOURCE_DIR "/tests/hid/";
std::string work_dir;

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

std::string read_all(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// libusb set up once per process over a private directory.
void set_up()
{
    if (!work_dir.empty())
        return;
    char tmpl[] = "/tmp/fakeusbXXXXXX";
    work_dir = std::string(mkdtemp(tmpl)) + "/";
    setenv("UPS_FAKEUSB_DEVICES", "051d:0002:hk:AB1234,0001:0000:u,1234:5678", 1);
    setenv("UPS_FAKEUSB_HID_DESCRIPTOR", (HID_DIR + "flags-1bit.desc").c_str(), 1);
    setenv("UPS_FAKEUSB_HID_REPORTS", (HID_DIR + "flags-1bit.reports").c_str(), 1);
    unsetenv("UPS_FAKEUSB_HID_STRINGS");
    setenv("UPS_FAKEUSB_CONTROL", (work_dir + "control").c_str(), 1);
    setenv("UPS_FAKEUSB_LOG", (work_dir + "usb.log").c_str(), 1);
    ASSERT_EQ(libusb_init(nullptr), 0);
    std::atexit([] { std::filesystem::remove_all(work_dir); });
}

// The text after the time stamp of every log line.
std::vector<std::string> log_lines(const std::string &tag)
{
    std::vector<std::string> found;
    std::istringstream in(read_all(work_dir + "usb.log"));
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (line.compare(space + 1, tag.size() + 1, tag + " ") == 0)
            found.push_back(line.substr(space + tag.size() + 2));
    }
    return found;
}

size_t times_logged(const std::string &tag, const std::string &text)
{
    size_t n = 0;
    for (const std::string &l : log_lines(tag))
        n += l == text;
    return n;
}

bool logged(const std::string &tag, const std::string &text)
{
    return times_logged(tag, text) > 0;
}

// Runs the caller's part of an event loop (poll the one descriptor, within
// libusb's next time-out, then handle events) until done() or 10 s.
bool run_until(const std::function<bool()> &done)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const libusb_pollfd **fds = libusb_get_pollfds(nullptr);
    EXPECT_TRUE(fds && fds[0] && !fds[1]);
    bool ok = false;
    while (!(ok = done()) && std::chrono::steady_clock::now() < limit) {
        int wait = 100;
        timeval tv{};
        if (libusb_get_next_timeout(nullptr, &tv) == 1)
            wait = std::min<int>(wait, static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000));
        pollfd p = {fds[0]->fd, fds[0]->events, 0};
        poll(&p, 1, wait);
        timeval zero{};
        EXPECT_EQ(libusb_handle_events_timeout_completed(nullptr, &zero, nullptr), 0);
    }
    libusb_free_pollfds(fds);
    return ok;
}

// One control line through the FIFO, taken when the stand-in logged it
// once more (a test may send a line an earlier one sent).
void control(const std::string &line)
{
    size_t before = times_logged("ctl", line);
    int fd = open((work_dir + "control").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string text = line + "\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_TRUE(run_until([&] { return times_logged("ctl", line) > before; })) << line;
}

libusb_device *find(uint16_t vendor)
{
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &list);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < n; i++) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(list[i], &d);
        if (d.idVendor == vendor)
            found = list[i];
    }
    libusb_free_device_list(list, 1);
    return found;
}

// The HID device opened, its kernel driver detached and interface 0 claimed.
libusb_device_handle *open_hid(bool claim = true)
{
    libusb_device *dev = find(0x051d);
    EXPECT_NE(dev, nullptr);
    libusb_device_handle *h = nullptr;
    if (!dev || libusb_open(dev, &h) != 0)
        return nullptr;
    if (libusb_kernel_driver_active(h, 0) == 1) {
        EXPECT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    }
    if (claim) {
        EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    }
    return h;
}

// Transfers whose callbacks ran, in order.
struct Done {
    std::vector<libusb_transfer *> transfers;
    std::vector<Bytes> data;
    std::vector<int> status;
};

void LIBUSB_CALL record(libusb_transfer *t)
{
    Done *d = static_cast<Done *>(t->user_data);
    d->transfers.push_back(t);
    d->status.push_back(t->status);
    unsigned char *data = t->type == LIBUSB_TRANSFER_TYPE_CONTROL ? t->buffer + 8 : t->buffer;
    d->data.emplace_back(data, data + t->actual_length);
}

struct Transfer {
    libusb_transfer *t = libusb_alloc_transfer(0);
    unsigned char buffer[8 + 256] = {};
    ~Transfer() { libusb_free_transfer(t); }

    void interrupt(libusb_device_handle *h, Done *done, unsigned timeout = 0)
    {
        libusb_fill_interrupt_transfer(t, h, 0x81, buffer, 64, record, done, timeout);
    }
    void control(libusb_device_handle *h, uint8_t type, uint8_t request, uint16_t value,
                 uint16_t length, Done *done, unsigned timeout = 0)
    {
        libusb_fill_control_setup(buffer, type, request, value, 0, length);
        libusb_fill_control_transfer(t, h, buffer, record, done, timeout);
    }
};

// Reads an Input report (type 1) or Feature report (3) synchronously.
int get_report(libusb_device_handle *h, int type, int id, Bytes *out)
{
    unsigned char data[64];
    int n = libusb_control_transfer(h, 0xA1, 0x01, static_cast<uint16_t>(type << 8 | id), 0,
                                    data, sizeof data, 1000);
    if (n >= 0 && out)
        out->assign(data, data + n);
    return n;
}

class FakeUsb : public ::testing::Test {
protected:
    void SetUp() override { set_up(); }
};

TEST_F(FakeUsb, ListsDevicesWithPortsDescriptorsAndStrings)
{
    struct Row {
        uint16_t vendor;
        uint8_t port;
        uint8_t interface_class;
        int endpoints;
    } rows[] = {{0x051d, 1, LIBUSB_CLASS_HID, 1}, {0x0001, 2, LIBUSB_CLASS_HID, 1},
                {0x1234, 3, LIBUSB_CLASS_VENDOR_SPEC, 0}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.vendor);
        libusb_device *dev = find(row.vendor);
        ASSERT_NE(dev, nullptr);
        uint8_t ports[7];
        EXPECT_EQ(libusb_get_port_numbers(dev, ports, 7), 1);
        EXPECT_EQ(ports[0], row.port);
        EXPECT_EQ(libusb_get_bus_number(dev), 1);
        EXPECT_EQ(libusb_get_device_address(dev), row.port);
        libusb_config_descriptor *config = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
        ASSERT_EQ(config->bNumInterfaces, 1);
        const libusb_interface_descriptor &s = config->interface[0].altsetting[0];
        EXPECT_EQ(s.bInterfaceNumber, 0);
        EXPECT_EQ(s.bInterfaceClass, row.interface_class);
        ASSERT_EQ(s.bNumEndpoints, row.endpoints);
        if (row.endpoints) {
            EXPECT_EQ(s.endpoint[0].bEndpointAddress, 0x81);
            EXPECT_EQ(s.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
            EXPECT_EQ(s.endpoint[0].wMaxPacketSize, 64);
            EXPECT_EQ(s.endpoint[0].bInterval, 10);
        }
        libusb_free_config_descriptor(config);
    }

    libusb_device_descriptor desc;
    ASSERT_EQ(libusb_get_device_descriptor(find(0x051d), &desc), 0);
    EXPECT_EQ(desc.iManufacturer, 1);
    EXPECT_EQ(desc.iSerialNumber, 3);
    libusb_device_handle *h = open_hid(false);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_get_device(h), find(0x051d));
    unsigned char text[64];
    const char *strings[] = {"Stand-in Power", "HID UPS", "AB1234"};
    for (int i = 1; i <= 3; i++) {
        ASSERT_EQ(libusb_get_string_descriptor_ascii(h, static_cast<uint8_t>(i), text, sizeof text),
                  static_cast<int>(strlen(strings[i - 1])));
        EXPECT_STREQ(reinterpret_cast<char *>(text), strings[i - 1]);
    }
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 4, text, sizeof text), LIBUSB_ERROR_PIPE);

    // The report descriptor, unclaimed, asked for more than there is.
    Bytes expected = hex(read_all(HID_DIR + "flags-1bit.desc"));
    unsigned char data[1024];
    int n = libusb_control_transfer(h, 0x81, 0x06, 0x2200, 0, data, sizeof data, 1000);
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(Bytes(data, data + n), expected);
    EXPECT_EQ(libusb_control_transfer(h, 0x81, 0x06, 0x2200, 0, data, 10, 1000), 10);
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), LIBUSB_ERROR_PIPE) << "not claimed";
    libusb_close(h);

    // The 'u' unit's descriptor names the vendor page.
    libusb_device_handle *u = nullptr;
    ASSERT_EQ(libusb_open(find(0x0001), &u), 0);
    n = libusb_control_transfer(u, 0x81, 0x06, 0x2200, 0, data, sizeof data, 1000);
    ASSERT_GT(n, 3);
    EXPECT_EQ(Bytes(data, data + 3), hex("06 00 ff"));
    libusb_close(u);
}

TEST_F(FakeUsb, ReportsAreReadWrittenKeptAndStalledWhenMissing)
{
    libusb_device_handle *h = open_hid();
    ASSERT_NE(h, nullptr);
    struct Row {
        int type, id;
        int result;
        const char *bytes;
    } rows[] = {
        {3, 0x0f, 3, "0f ff ff"},       {1, 0x16, 3, "16 8c 00"},
        {3, 0x33, 6, "33 e6 00 f4 01 14"}, {1, 0x0d, LIBUSB_ERROR_PIPE, ""},
        {3, 0x40, LIBUSB_ERROR_PIPE, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.id);
        Bytes got;
        EXPECT_EQ(get_report(h, row.type, row.id, &got), row.result);
        if (row.result > 0) {
            EXPECT_EQ(got, hex(row.bytes));
        }
    }
    EXPECT_TRUE(logged("hidget", "0f Feature"));

    unsigned char set[] = {0x0f, 0x1e, 0x00};
    ASSERT_EQ(libusb_control_transfer(h, 0x21, 0x09, 0x030f, 0, set, 3, 1000), 3);
    EXPECT_TRUE(logged("hidset", "0f Feature 0f1e00"));
    Bytes got;
    ASSERT_EQ(get_report(h, 3, 0x0f, &got), 3);
    EXPECT_EQ(got, hex("0f 1e 00")) << "kept";
    unsigned char undeclared[] = {0x40, 0x01};
    EXPECT_EQ(libusb_control_transfer(h, 0x21, 0x09, 0x0340, 0, undeclared, 2, 1000),
              LIBUSB_ERROR_PIPE);
    EXPECT_FALSE(logged("hidset", "40 Feature 4001"));
    unsigned char back[] = {0x0f, 0xff, 0xff};
    ASSERT_EQ(libusb_control_transfer(h, 0x21, 0x09, 0x030f, 0, back, 3, 1000), 3);

    // The same through asynchronous control transfers.
    Done done;
    Transfer feature, missing;
    feature.control(h, 0xA1, 0x01, 0x0331, 64, &done, 1000);
    missing.control(h, 0xA1, 0x01, 0x0340, 64, &done, 1000);
    ASSERT_EQ(libusb_submit_transfer(feature.t), 0);
    ASSERT_EQ(libusb_submit_transfer(missing.t), 0);
    EXPECT_TRUE(done.transfers.empty()) << "callbacks run only in event handling";
    ASSERT_TRUE(run_until([&] { return done.transfers.size() == 2; }));
    EXPECT_EQ(done.status, (std::vector<int>{LIBUSB_TRANSFER_COMPLETED, LIBUSB_TRANSFER_STALL}));
    EXPECT_EQ(done.data[0], hex("31 e6 00 f4 01"));
    libusb_close(h);
}

TEST_F(FakeUsb, InputReportsComeOnTheInterruptEndpointAfterClaimAndOnChange)
{
    libusb_device_handle *h = open_hid(false);
    ASSERT_NE(h, nullptr);
    Done done;
    Transfer in;
    in.interrupt(h, &done);
    EXPECT_EQ(libusb_submit_transfer(in.t), LIBUSB_ERROR_NOT_FOUND) << "not claimed";
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    // Resubmitted from its callback, as a reader does.
    in.t->callback = [](libusb_transfer *t) {
        record(t);
        if (t->status == LIBUSB_TRANSFER_COMPLETED)
            libusb_submit_transfer(t);
    };
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    std::vector<Bytes> inputs;
    std::istringstream table(read_all(HID_DIR + "flags-1bit.reports"));
    std::string id, type, rest;
    while (table >> id >> type && std::getline(table, rest))
        if (type == "Input")
            inputs.push_back(hex(rest));
    ASSERT_EQ(inputs.size(), 6u);
    ASSERT_TRUE(run_until([&] { return done.data.size() >= inputs.size(); }));
    EXPECT_EQ(done.data, inputs);

    control("hid set 16 Input 16 8e 00");
    ASSERT_TRUE(run_until([&] { return done.data.size() > inputs.size(); }));
    EXPECT_EQ(done.data.back(), hex("16 8e 00"));
    Bytes got;
    ASSERT_EQ(get_report(h, 1, 0x16, &got), 3);
    EXPECT_EQ(got, hex("16 8e 00"));
    ASSERT_EQ(get_report(h, 3, 0x16, &got), 3) << "the Feature of the same layout follows";
    EXPECT_EQ(got, hex("16 8e 00"));

    // A SET_REPORT of the Feature of the same layout reaches the Input too.
    unsigned char back[] = {0x16, 0x8c, 0x00};
    ASSERT_EQ(libusb_control_transfer(h, 0x21, 0x09, 0x0316, 0, back, 3, 1000), 3);
    ASSERT_TRUE(run_until([&] { return done.data.size() > inputs.size() + 1; }));
    EXPECT_EQ(done.data.back(), hex("16 8c 00"));

    EXPECT_EQ(libusb_cancel_transfer(in.t), 0);
    ASSERT_TRUE(run_until([&] { return done.status.back() == LIBUSB_TRANSFER_CANCELLED; }));
    EXPECT_EQ(libusb_cancel_transfer(in.t), LIBUSB_ERROR_NOT_FOUND);
    libusb_close(h);
}

TEST_F(FakeUsb, TimeOutsHangAndCloseWithATransferInFlight)
{
    libusb_device_handle *h = open_hid();
    ASSERT_NE(h, nullptr);
    Done done;
    Transfer in;
    in.interrupt(h, &done);
    for (size_t i = 1; i <= 6; i++) { // the claim's reports
        ASSERT_EQ(libusb_submit_transfer(in.t), 0);
        ASSERT_TRUE(run_until([&] { return done.data.size() == i; }));
    }

    timeval tv{};
    EXPECT_EQ(libusb_get_next_timeout(nullptr, &tv), 0) << "nothing with a time-out";
    in.interrupt(h, &done, 50);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    EXPECT_EQ(libusb_get_next_timeout(nullptr, &tv), 1);
    EXPECT_LE(tv.tv_sec * 1000000 + tv.tv_usec, 50000);
    ASSERT_TRUE(run_until([&] { return done.status.size() == 7; }));
    EXPECT_EQ(done.status.back(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    // A unit that stops answering: a read waits for its time-out; after
    // "hid answer" a read held meanwhile is answered.
    control("hid hang");
    Transfer get;
    get.control(h, 0xA1, 0x01, 0x030f, 64, &done, 100);
    ASSERT_EQ(libusb_submit_transfer(get.t), 0);
    ASSERT_TRUE(run_until([&] { return done.status.size() == 8; }));
    EXPECT_EQ(done.status.back(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), LIBUSB_ERROR_TIMEOUT);
    get.control(h, 0xA1, 0x01, 0x030f, 64, &done, 0);
    ASSERT_EQ(libusb_submit_transfer(get.t), 0);
    control("hid answer");
    ASSERT_TRUE(run_until([&] { return done.status.size() == 9; }));
    EXPECT_EQ(done.status.back(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done.data.back(), hex("0f ff ff"));

    // libusb wants transfers ended before a close: an error, then cancelled.
    in.interrupt(h, &done);
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    libusb_close(h);
    EXPECT_TRUE(logged("err", "close with a transfer in flight"));
    ASSERT_TRUE(run_until([&] { return done.status.size() == 10; }));
    EXPECT_EQ(done.status.back(), LIBUSB_TRANSFER_CANCELLED);
}

TEST_F(FakeUsb, UnpluggedUnitFailsItsTransfersAndComesBackOnTheSamePort)
{
    libusb_device_handle *h = open_hid();
    ASSERT_NE(h, nullptr);
    Done done;
    Transfer in;
    in.interrupt(h, &done);
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    ASSERT_TRUE(run_until([&] { return done.data.size() == 1; }));
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    ASSERT_TRUE(run_until([&] { return done.data.size() == 2; }));
    control("hid hang"); // nothing more arrives
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    control("usb unplug");
    ASSERT_TRUE(run_until([&] { return done.status.size() == 3; }));
    EXPECT_EQ(done.status.back(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(find(0x051d), nullptr);
    EXPECT_EQ(libusb_submit_transfer(in.t), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), LIBUSB_ERROR_NO_DEVICE);
    control("hid answer");
    control("usb plug");
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), LIBUSB_ERROR_NO_DEVICE) << "an old handle stays dead";
    libusb_close(h);

    libusb_device *dev = find(0x051d);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(libusb_get_port_number(dev), 1);
    h = open_hid();
    ASSERT_NE(h, nullptr);
    unsigned char serial[32];
    ASSERT_GT(libusb_get_string_descriptor_ascii(h, 3, serial, sizeof serial), 0);
    EXPECT_STREQ(reinterpret_cast<char *>(serial), "AB1234");
    in.interrupt(h, &done);
    ASSERT_EQ(libusb_submit_transfer(in.t), 0);
    ASSERT_TRUE(run_until([&] { return done.status.size() == 4; }));
    EXPECT_EQ(done.data.back(), hex("06 64 08 07")) << "the Input reports again";

    // It leaves after one more report transfer.
    control("usb vanish-after 1");
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), 3);
    EXPECT_EQ(get_report(h, 3, 0x0f, nullptr), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(find(0x051d), nullptr);
    control("usb plug");
    libusb_close(h);
}

} // namespace
