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
