#include "link/hid.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

// The stand-in keeps its devices for the process (set up at libusb_init):
// not the link's leak.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libusb_init\n";
}

namespace {

std::string source_dir()
{
    std::string file = __FILE__;
    return file.substr(0, file.rfind("/link/"));
}

// A descriptor file of tests/hid: hex bytes.
std::vector<uint8_t> read_desc(const std::string &name)
{
    std::ifstream in(source_dir() + "/tests/hid/" + name);
    std::vector<uint8_t> bytes;
    std::string word;
    while (in >> word)
        bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

} // namespace

TEST(HidMatch, Table)
{
    struct Row {
        const char *text;
        bool ok;
        bool any;
        uint16_t vendor;
        uint16_t product;
        const char *serial;
    };
    const Row rows[] = {
        {"", true, true, 0, 0, ""},
        {"051d:0002", true, false, 0x051d, 0x0002, ""},
        {"051D:00aF", true, false, 0x051d, 0x00af, ""},
        {"051d:0002:AS1234", true, false, 0x051d, 0x0002, "AS1234"},
        {"051d:0002:a:b", true, false, 0x051d, 0x0002, "a:b"},
        {"051d:0002:", false, false, 0, 0, ""},     // empty serial
        {"051d:0002:A B", false, false, 0, 0, ""},  // space in the serial
        {"51d:0002", false, false, 0, 0, ""},       // three digits
        {"0051d:0002", false, false, 0, 0, ""},     // five digits
        {"051d", false, false, 0, 0, ""},
        {"051d:", false, false, 0, 0, ""},
        {":0002", false, false, 0, 0, ""},
        {"051g:0002", false, false, 0, 0, ""},
        {"0x1d:0002", false, false, 0, 0, ""},
        {" 051d:0002", false, false, 0, 0, ""},
        {"051d:0002 ", false, false, 0, 0, ""},
        {"051d-0002", false, false, 0, 0, ""},
        {"auto", false, false, 0, 0, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        HidMatch m;
        m.vendor = 0x1234; // untouched on refusal
        std::string why;
        bool ok = hid_match_parse(row.text, &m, &why);
        EXPECT_EQ(ok, row.ok);
        if (!ok) {
            EXPECT_FALSE(why.empty());
            EXPECT_EQ(m.vendor, 0x1234);
            continue;
        }
        EXPECT_EQ(m.any, row.any);
        EXPECT_EQ(m.vendor, row.vendor);
        EXPECT_EQ(m.product, row.product);
        EXPECT_EQ(m.serial, row.serial);
    }
    HidMatch m;
    std::string why;
    EXPECT_FALSE(hid_match_parse("051d:0002:" + std::string(127, 'x'), &m, &why));
    EXPECT_TRUE(hid_match_parse("051d:0002:" + std::string(126, 'x'), &m, &why));
}

TEST(HidLink, PowerDeviceCheck)
{
    for (const char *name : {"flags-1bit.desc", "flags-8bit.desc", "shared-ids.desc"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = read_desc(name);
        ASSERT_FALSE(bytes.empty());
        HidDescriptor d;
        hid_descriptor_parse(bytes.data(), bytes.size(), &d);
        EXPECT_TRUE(hid_link_is_power_device(d));
    }
    // Application collections of other pages, a Power Device usage in a
    // physical collection, a Battery System application collection.
    struct Row {
        std::vector<uint8_t> bytes;
        bool power;
    };
    const Row rows[] = {
        {{0x05, 0x01, 0x09, 0x06, 0xa1, 0x01, 0xc0}, false},       // keyboard
        {{0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0xc0}, false}, // vendor page
        {{0x05, 0x84, 0x09, 0x04, 0xa1, 0x00, 0xc0}, false},       // physical, not application
        {{0x05, 0x84, 0x09, 0x04, 0xa1, 0x01, 0xc0}, true},
        {{0x05, 0x85, 0x09, 0x01, 0xa1, 0x01, 0xc0}, true},
        {{0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x05, 0x84, 0x09, 0x04, 0xa1, 0x01, 0xc0,
          0xc0},
         true}, // nested
    };
    for (const Row &row : rows) {
        HidDescriptor d;
        hid_descriptor_parse(row.bytes.data(), row.bytes.size(), &d);
        EXPECT_EQ(hid_link_is_power_device(d), row.power) << ::testing::PrintToString(row.bytes);
    }
}

// A link that holds nothing refuses operations, and closing it does
// nothing, twice.
TEST(HidLink, ClosedState)
{
    HidLink link;
    hid_link_init(&link);
    EXPECT_FALSE(hid_link_is_open(&link));
    EXPECT_FALSE(hid_link_busy(&link));
    int calls = 0;
    auto done = [](HidLink *, const std::vector<HidReportResult> &, void *ctx, LoopTime) {
        ++*static_cast<int *>(ctx);
    };
    EXPECT_FALSE(hid_link_get_start(&link, {{1, HID_FEATURE, 0}}, done, &calls));
    EXPECT_FALSE(hid_link_set_start(&link, {{1, 2}}, done, &calls));
    EXPECT_FALSE(hid_link_busy(&link));
    EXPECT_LT(hid_link_set_sync(&link, {1, 2}, 100), 0);
    std::string text = "x";
    EXPECT_LT(hid_link_string(&link, 1, &text), 0);
    EXPECT_TRUE(text.empty());
    hid_link_close(&link);
    hid_link_close(&link);
    EXPECT_FALSE(hid_link_is_open(&link));
    EXPECT_EQ(calls, 0);
}

// --- Over the stand-in libusb (tests/fakeusb), linked instead of libusb ----

namespace {

std::string work_dir;

// The stand-in is set up once per process, at the link's first libusb_init:
// a plain device, a unit that tunnels report 5 (a HID interface, no power
// device), then two power devices (the second held by a kernel driver).
// Each test leaves it as it found it.
void set_up_usb()
{
    if (!work_dir.empty())
        return;
    char tmpl[] = "/tmp/hidlinkXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    work_dir = std::string(tmpl) + "/";
    std::string hid = source_dir() + "/tests/hid/";
    setenv("UPS_FAKEUSB_DEVICES", "1234:0000,0001:0000:u,051d:0002:h:AAA1,051d:0002:hk:BBB2", 1);
    setenv("UPS_FAKEUSB_HID_DESCRIPTOR", (hid + "flags-8bit.desc").c_str(), 1);
    setenv("UPS_FAKEUSB_HID_REPORTS", (hid + "flags-8bit.reports").c_str(), 1);
    setenv("UPS_FAKEUSB_HID_STRINGS", "Stand-in Power|HID UPS|", 1);
    setenv("UPS_FAKEUSB_CONTROL", (work_dir + "control").c_str(), 1);
    setenv("UPS_FAKEUSB_LOG", (work_dir + "usb.log").c_str(), 1);
    std::atexit([] { std::filesystem::remove_all(work_dir); });
}

std::string read_all(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The text after the time stamp of each log line with `tag`.
std::vector<std::string> log_lines(const std::string &tag)
{
    std::vector<std::string> found;
    std::istringstream in(read_all(work_dir + "usb.log"));
    std::string line;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space != std::string::npos && line.compare(space + 1, tag.size() + 1, tag + " ") == 0)
            found.push_back(line.substr(space + tag.size() + 2));
    }
    return found;
}

bool logged(const std::string &tag, const std::string &text)
{
    for (const std::string &l : log_lines(tag))
        if (l == text)
            return true;
    return false;
}

size_t count_lines(const std::string &tag, const std::string &text)
{
    std::vector<std::string> lines = log_lines(tag);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

size_t count_logged(const std::string &tag, const std::string &text)
{
    size_t n = 0;
    for (const std::string &l : log_lines(tag))
        n += l.find(text) != std::string::npos;
    return n;
}

// The loop's clock: the real one plus a step the test adds, so the link's
// limit runs by the test.
struct Clock {
    double step = 0;
};

LoopTime clock_now(void *ctx)
{
    LoopTime t = loop_real_time();
    t.mono += static_cast<Clock *>(ctx)->step;
    return t;
}

std::vector<uint8_t> hex(const std::string &text)
{
    std::istringstream in(text);
    std::vector<uint8_t> out;
    std::string word;
    while (in >> word)
        out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

// What the link handed back.
struct Seen {
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<int> errors;
    int completions = 0;
    std::vector<HidReportResult> results;
};

void on_input(HidLink *, const uint8_t *bytes, size_t len, void *ctx, LoopTime)
{
    static_cast<Seen *>(ctx)->inputs.emplace_back(bytes, bytes + len);
}

void on_error(HidLink *, int error, void *ctx, LoopTime)
{
    static_cast<Seen *>(ctx)->errors.push_back(error);
}

void on_done(HidLink *, const std::vector<HidReportResult> &results, void *ctx, LoopTime)
{
    Seen *seen = static_cast<Seen *>(ctx);
    seen->completions++;
    seen->results = results;
}

class HidOverStandIn : public ::testing::Test {
protected:
    Clock clock;
    Loop *loop = nullptr;
    HidLink link;
    Seen seen;

    void SetUp() override
    {
        set_up_usb();
        loop = loop_new(clock_now, &clock);
        ASSERT_NE(loop, nullptr);
        hid_link_init(&link);
        hid_link_attach(&link, loop);
    }

    void TearDown() override
    {
        hid_link_close(&link);
        // No handle, list or transfer left: the stand-in counts them.
        std::vector<std::string> closed = log_lines("usb");
        if (!closed.empty()) {
            std::string last = closed.back();
            EXPECT_NE(last.find("lists=0 handles=0"), std::string::npos) << last;
        }
        // No transfer closed or freed while libusb held it; the only
        // complaints are the refused sets of SetsReports.
        for (const std::string &e : log_lines("err"))
            EXPECT_EQ(e.rfind("hidset ", 0), 0u) << e;
        loop_free(loop);
    }

    // Runs the loop until `done` or 10 s of the wall.
    bool run_until(const std::function<bool()> &done)
    {
        double limit = loop_real_time().mono + 10;
        while (!done()) {
            if (loop_real_time().mono > limit)
                return false;
            loop_run_once(loop, 50);
        }
        return true;
    }

    // One control line through the FIFO, once the stand-in logged it (an
    // earlier test may have sent the same line).
    void control(const std::string &line)
    {
        size_t before = count_lines("ctl", line);
        int fd = open((work_dir + "control").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string text = line + "\n";
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        ASSERT_TRUE(run_until([&] { return count_lines("ctl", line) > before; })) << line;
    }

    int open_link(const std::string &match, const HidIdentity *same = nullptr)
    {
        HidMatch m;
        std::string why;
        EXPECT_TRUE(hid_match_parse(match, &m, &why)) << why;
        hid_link_set(&link, m);
        return hid_link_open(&link, same, on_input, on_error, &seen);
    }

    std::vector<HidReportResult> get(const std::vector<HidReportRequest> &requests)
    {
        int before = seen.completions;
        EXPECT_TRUE(hid_link_get_start(&link, requests, on_done, &seen));
        EXPECT_EQ(seen.completions, before); // never from the start
        EXPECT_TRUE(hid_link_busy(&link));
        EXPECT_TRUE(run_until([&] { return seen.completions > before; }));
        EXPECT_FALSE(hid_link_busy(&link));
        return seen.results;
    }
};

} // namespace

// The first power device of the list, after a plain device and a unit that
// tunnels report 5 (a HID interface whose descriptor is no power device,
// given back as found).
TEST_F(HidOverStandIn, FindsThePowerDevice)
{
    ASSERT_EQ(open_link(""), 0) << link.open_errno;
    EXPECT_TRUE(hid_link_is_open(&link));
    EXPECT_EQ(link.open_errno, 0);
    EXPECT_EQ(link.identity.vendor, 0x051d);
    EXPECT_EQ(link.identity.product, 0x0002);
    EXPECT_EQ(link.identity.serial, "AAA1");
    EXPECT_EQ(link.identity.manufacturer, "Stand-in Power");
    EXPECT_EQ(link.identity.product_name, "HID UPS");
    EXPECT_EQ(link.identity.bus, 1);
    EXPECT_EQ(link.identity.ports, std::vector<uint8_t>{3});
    EXPECT_EQ(link.interface, 0);
    EXPECT_EQ(link.endpoint, 0x81);
    EXPECT_FALSE(link.detached);
    EXPECT_EQ(link.descriptor, read_desc("flags-8bit.desc"));
    EXPECT_TRUE(logged("usb", "release 0001:0000")); // the tunnelling unit, given back
    EXPECT_EQ(count_logged("usb", "claim 1234:0000"), 0u);
    std::string text;
    EXPECT_EQ(hid_link_string(&link, 2, &text), 0);
    EXPECT_EQ(text, "HID UPS");
    EXPECT_LT(hid_link_string(&link, 0, &text), 0);
    hid_link_close(&link);
    EXPECT_FALSE(hid_link_is_open(&link));
    EXPECT_EQ(link.identity.serial, "AAA1"); // kept for finding it again
    hid_link_close(&link);                   // nothing more
}

// By serial among two power devices; the second's kernel driver detached
// and attached again at close. A serial or ids nobody has: ENODEV.
TEST_F(HidOverStandIn, OpensBySerial)
{
    ASSERT_EQ(open_link("051d:0002:BBB2"), 0) << link.open_errno;
    EXPECT_EQ(link.identity.serial, "BBB2");
    EXPECT_EQ(link.identity.ports, std::vector<uint8_t>{4});
    EXPECT_TRUE(link.detached);
    EXPECT_TRUE(logged("usb", "detach 051d:0002"));
    hid_link_close(&link);
    EXPECT_TRUE(logged("usb", "attach 051d:0002"));
    EXPECT_EQ(open_link("051d:0002:CCC3"), -ENODEV);
    EXPECT_EQ(link.open_errno, ENODEV);
    EXPECT_EQ(open_link("051d:0003"), -ENODEV);
    EXPECT_FALSE(hid_link_is_open(&link));
    ASSERT_EQ(open_link("051d:0002"), 0);
    EXPECT_EQ(link.identity.serial, "AAA1");
}

// Feature and Input reports, one of them missing (the unit stalls it).
TEST_F(HidOverStandIn, GetsReports)
{
    ASSERT_EQ(open_link(""), 0);
    std::vector<HidReportResult> r = get({{0x22, HID_FEATURE, 5},
                                          {0x7f, HID_FEATURE, 2},
                                          {0x20, HID_INPUT, 0},
                                          {0x21, HID_FEATURE, 2}});
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].status, HID_REPORT_OK);
    EXPECT_EQ(r[0].bytes, hex("22 08 07 00 00"));
    EXPECT_EQ(r[1].id, 0x7f);
    EXPECT_EQ(r[1].status, HID_REPORT_STALL);
    EXPECT_TRUE(r[1].bytes.empty());
    EXPECT_EQ(r[2].status, HID_REPORT_OK);
    EXPECT_EQ(r[2].direction, HID_INPUT);
    EXPECT_EQ(r[2].bytes, hex("20 01 00 00 00 00 00 00 00 00 01"));
    EXPECT_EQ(r[3].status, HID_REPORT_OK);
    EXPECT_EQ(r[3].bytes, hex("21 64"));
    EXPECT_TRUE(logged("hidget", "20 Input"));
    EXPECT_TRUE(logged("hidget", "7f Feature"));
}

// Feature reports written in order, logged by the unit and read back; the
// synchronous one too.
TEST_F(HidOverStandIn, SetsReports)
{
    ASSERT_EQ(open_link(""), 0);
    EXPECT_FALSE(hid_link_set_start(&link, {{}}, on_done, &seen)); // an empty report
    int before = seen.completions;
    ASSERT_TRUE(hid_link_set_start(&link, {hex("50 3c 00"), hex("7e 01"), hex("51 78 00")},
                                   on_done, &seen));
    EXPECT_FALSE(hid_link_get_start(&link, {{0x50, HID_FEATURE, 3}}, on_done, &seen)); // busy
    ASSERT_TRUE(run_until([&] { return seen.completions > before; }));
    ASSERT_EQ(seen.results.size(), 3u);
    EXPECT_EQ(seen.results[0].id, 0x50);
    EXPECT_EQ(seen.results[0].status, HID_REPORT_OK);
    EXPECT_EQ(seen.results[1].status, HID_REPORT_STALL); // no such report
    EXPECT_EQ(seen.results[2].status, HID_REPORT_OK);
    std::vector<std::string> sets = log_lines("hidset");
    ASSERT_GE(sets.size(), 2u);
    EXPECT_NE(sets[sets.size() - 2].find("50 Feature"), std::string::npos);
    EXPECT_NE(sets.back().find("51 Feature"), std::string::npos);
    EXPECT_EQ(hid_link_set_sync(&link, hex("23 0b"), 500), 0);
    EXPECT_LT(hid_link_set_sync(&link, hex("7d 0b"), 500), 0);
    std::vector<HidReportResult> r =
        get({{0x50, HID_FEATURE, 3}, {0x51, HID_FEATURE, 3}, {0x23, HID_FEATURE, 2}});
    EXPECT_EQ(r[0].bytes, hex("50 3c 00"));
    EXPECT_EQ(r[1].bytes, hex("51 78 00"));
    EXPECT_EQ(r[2].bytes, hex("23 0b"));
    // Back as the table had them, for the other tests.
    ASSERT_EQ(hid_link_set_sync(&link, hex("50 ff ff"), 500), 0);
    ASSERT_EQ(hid_link_set_sync(&link, hex("51 ff ff"), 500), 0);
    ASSERT_EQ(hid_link_set_sync(&link, hex("23 0a"), 500), 0);
}

// The unit's Input reports after the claim, and one more when a value
// changes.
TEST_F(HidOverStandIn, InputReportsArrive)
{
    ASSERT_EQ(open_link(""), 0);
    std::vector<uint8_t> first = hex("20 01 00 00 00 00 00 00 00 00 01");
    ASSERT_TRUE(run_until([&] {
        return std::find(seen.inputs.begin(), seen.inputs.end(), first) != seen.inputs.end();
    }));
    std::vector<uint8_t> changed = hex("20 00 00 00 00 00 00 00 00 00 01");
    control("hid set 20 Input 20 00 00 00 00 00 00 00 00 00 01");
    EXPECT_TRUE(run_until([&] { return !seen.inputs.empty() && seen.inputs.back() == changed; }));
    control("hid set 20 Input 20 01 00 00 00 00 00 00 00 00 01");
    EXPECT_TRUE(run_until([&] { return seen.inputs.back() == first; }));
    EXPECT_TRUE(seen.errors.empty());
}

// A unit that stops answering: the get ends at the operation's limit on the
// loop's clock (the transfers have no time-out of their own here), the
// request out marked, the rest not asked. Then it answers again.
TEST_F(HidOverStandIn, HungUnitBoundedByTheLimit)
{
    ASSERT_EQ(open_link(""), 0);
    link.control_timeout_ms = 0;
    control("hid hang");
    int before = seen.completions;
    ASSERT_TRUE(hid_link_get_start(&link, {{0x21, HID_FEATURE, 2}, {0x22, HID_FEATURE, 5},
                                           {0x23, HID_FEATURE, 2}},
                                   on_done, &seen));
    for (int i = 0; i < 5; i++)
        loop_run_once(loop, 10);
    EXPECT_EQ(seen.completions, before);
    clock.step += link.limit_s + 0.1;
    ASSERT_TRUE(run_until([&] { return seen.completions > before; }));
    ASSERT_EQ(seen.results.size(), 3u);
    EXPECT_EQ(seen.results[0].status, HID_REPORT_TIMEOUT);
    EXPECT_EQ(seen.results[1].status, HID_REPORT_NOT_ASKED);
    EXPECT_EQ(seen.results[2].status, HID_REPORT_NOT_ASKED);
    EXPECT_FALSE(hid_link_busy(&link));
    control("hid answer");
    link.control_timeout_ms = HID_LINK_CONTROL_TIMEOUT_MS;
    std::vector<HidReportResult> r = get({{0x21, HID_FEATURE, 2}});
    EXPECT_EQ(r[0].status, HID_REPORT_OK);
    EXPECT_EQ(r[0].bytes, hex("21 64"));
}

// A close with a get and the interrupt IN in flight: no completion, and
// every transfer given back before the device is closed (TearDown looks
// at the stand-in's counts and errors).
TEST_F(HidOverStandIn, CloseDropsWhatIsInFlight)
{
    ASSERT_EQ(open_link(""), 0);
    control("hid hang");
    ASSERT_TRUE(hid_link_get_start(&link, {{0x21, HID_FEATURE, 2}}, on_done, &seen));
    loop_run_once(loop, 10);
    hid_link_close(&link);
    EXPECT_FALSE(hid_link_busy(&link));
    EXPECT_TRUE(link.out.empty());
    EXPECT_TRUE(link.fds.empty());
    control("hid answer");
    clock.step += 2 * link.limit_s;
    for (int i = 0; i < 5; i++)
        loop_run_once(loop, 10);
    EXPECT_EQ(seen.completions, 0);
}

// Unplugged: one error, the unit cannot be found again until it is back,
// then it is, by its serial or by its place on the bus.
TEST_F(HidOverStandIn, UnpluggedAndFoundAgain)
{
    ASSERT_EQ(open_link(""), 0);
    HidIdentity lost = link.identity;
    control("usb unplug");
    ASSERT_TRUE(run_until([&] { return !seen.errors.empty(); }));
    clock.step += 2 * HID_LINK_INPUT_RETRY_S; // past a retry, were there one
    for (int i = 0; i < 5; i++)
        loop_run_once(loop, 10);
    EXPECT_EQ(seen.errors, std::vector<int>{ENODEV}); // once, not sent again
    std::vector<HidReportResult> r = get({{0x21, HID_FEATURE, 2}, {0x22, HID_FEATURE, 5}});
    EXPECT_EQ(r[0].status, HID_REPORT_GONE);
    EXPECT_EQ(r[1].status, HID_REPORT_GONE);
    hid_link_close(&link);
    EXPECT_EQ(hid_link_open(&link, &lost, on_input, on_error, &seen), -ENODEV);
    control("usb plug");
    ASSERT_EQ(hid_link_open(&link, &lost, on_input, on_error, &seen), 0);
    EXPECT_EQ(link.identity.serial, "AAA1");
    // Without a serial, by place: the same port finds it, another does not.
    HidIdentity placed = lost;
    placed.serial.clear();
    placed.ports = {4};
    ASSERT_EQ(hid_link_open(&link, &placed, on_input, on_error, &seen), 0);
    EXPECT_EQ(link.identity.serial, "BBB2");
    placed.ports = {9};
    EXPECT_EQ(hid_link_open(&link, &placed, on_input, on_error, &seen), -ENODEV);
}

// Without a loop, for the final power-off: open, one synchronous set, close.
TEST_F(HidOverStandIn, SynchronousWithoutALoop)
{
    HidLink bare;
    hid_link_init(&bare);
    ASSERT_EQ(hid_link_open(&bare, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(bare.fds.empty());
    EXPECT_EQ(bare.input, nullptr);
    EXPECT_FALSE(hid_link_get_start(&bare, {{0x21, HID_FEATURE, 2}}, on_done, &seen));
    size_t sets = log_lines("hidset").size();
    EXPECT_EQ(hid_link_set_sync(&bare, hex("50 3c 00"), 500), 0);
    ASSERT_EQ(log_lines("hidset").size(), sets + 1);
    EXPECT_EQ(log_lines("hidset").back().rfind("50 Feature", 0), 0u) << log_lines("hidset").back();
    EXPECT_EQ(hid_link_set_sync(&bare, hex("50 ff ff"), 500), 0);
    hid_link_close(&bare);
    EXPECT_FALSE(hid_link_is_open(&bare));
}
