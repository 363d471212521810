#include "base/address.h"

#include <gtest/gtest.h>

namespace {

TEST(Address, NetworksWithAndWithoutPrefix)
{
    const struct {
        const char *text;
        bool ok;
        uint32_t network, mask;
        int bits;
    } cases[] = {
        {"192.0.2.7", true, 0xc0000207, 0xffffffff, 32},
        {"192.0.2.7/24", true, 0xc0000200, 0xffffff00, 24},
        {"10.1.2.3/8", true, 0x0a000000, 0xff000000, 8},
        {"10.1.2.3/0", true, 0, 0, 0},
        {"10.1.2.3/032", true, 0x0a010203, 0xffffffff, 32},
        {"10.1.2.3/33", false, 0, 0, 0},
        {"10.1.2.3/99999999999999999999", false, 0, 0, 0},
        {"10.1.2.3/", false, 0, 0, 0},
        {"10.1.2.3/+8", false, 0, 0, 0},
        {"10.1.2.3/8/8", false, 0, 0, 0},
        {"10.1.2/8", false, 0, 0, 0},
        {"10.1.2.256", false, 0, 0, 0},
        {" 10.1.2.3", false, 0, 0, 0},
        {"::1", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const auto &c : cases) {
        Ipv4Network n = {1, 2, 3};
        ASSERT_EQ(ipv4_parse_network(c.text, &n), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_EQ(n.network, 1u) << "left alone: " << c.text;
            continue;
        }
        EXPECT_EQ(n.network, c.network) << c.text;
        EXPECT_EQ(n.mask, c.mask) << c.text;
        EXPECT_EQ(n.bits, c.bits) << c.text;
    }
}

TEST(Address, EndpointsSayWhichHalfIsWrong)
{
    const struct {
        const char *text;
        int result;
        int port;
    } cases[] = {
        {"192.0.2.9", IPV4_ENDPOINT_OK, 161},
        {"192.0.2.9:1", IPV4_ENDPOINT_OK, 1},
        {"192.0.2.9:65535", IPV4_ENDPOINT_OK, 65535},
        {"192.0.2.9:", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2.9:0", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2.9:0161", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2.9:65536", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2.9:161x", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2.9:161:1", IPV4_ENDPOINT_BAD_PORT, 0},
        {"192.0.2:161", IPV4_ENDPOINT_BAD_HOST, 0},
        {"ups.example.net", IPV4_ENDPOINT_BAD_HOST, 0},
        {"", IPV4_ENDPOINT_BAD_HOST, 0},
    };
    for (const auto &c : cases) {
        std::string host = "untouched";
        int port = -1;
        EXPECT_EQ(ipv4_parse_endpoint(c.text, 161, &host, &port), c.result) << c.text;
        if (c.result == IPV4_ENDPOINT_OK) {
            EXPECT_EQ(host, "192.0.2.9") << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_EQ(host, "untouched") << c.text;
            EXPECT_EQ(port, -1) << c.text;
        }
    }
}

TEST(Address, TextAndParseAreInverse)
{
    for (uint32_t a : {0u, 0x7f000001u, 0xc0000207u, 0xffffffffu}) {
        uint32_t back = 1;
        ASSERT_TRUE(ipv4_parse(ipv4_text(a), &back)) << ipv4_text(a);
        EXPECT_EQ(back, a);
    }
    EXPECT_EQ(ipv4_text(0xc0000207), "192.0.2.7");
}

} // namespace
