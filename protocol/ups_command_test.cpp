#include "protocol/ups_command.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool same(const UpsCommand &a, const UpsCommand &b)
{
    return a.kind == b.kind && a.minutes == b.minutes && a.tenths == b.tenths &&
           a.restore_minutes == b.restore_minutes;
}

std::string shown(const std::string &bytes)
{
    std::string s;
    for (char c : bytes)
        s += c == '\r' ? std::string("\\r") : std::string(1, c);
    return s;
}

// One table: what a record formats to (clamped on the way), and what the
// bytes parse back to, or that they are refused.
TEST(UpsCommand, FormatParseAndRefusals)
{
    const int NONE = -1;
    struct Row {
        UpsCommand given; // kind NONE: the row only parses
        std::string bytes;
        bool parses;
    } rows[] = {
        {{UPS_COMMAND_TEST_QUICK}, "T\r", true},
        {{UPS_COMMAND_TEST_DEEP}, "TL\r", true},
        {{UPS_COMMAND_TEST_CANCEL}, "CT\r", true},
        {{UPS_COMMAND_SHUTDOWN_CANCEL}, "C\r", true},
        {{UPS_COMMAND_TEST_QUICK, 5, 3, 7}, "T\r", true}, // fields a test has not are ignored
        {{UPS_COMMAND_TURN_OFF, 2}, "S02\r", true},
        {{UPS_COMMAND_TURN_OFF, 99}, "S99\r", true},
        {{UPS_COMMAND_TURN_OFF, 120}, "S99\r", true},  // over the longest delay: the longest
        {{UPS_COMMAND_TURN_OFF, 0}, "S01\r", true},    // no delay: one minute
        {{UPS_COMMAND_TURN_OFF, -5}, "S01\r", true},
        {{UPS_COMMAND_TURN_OFF, 0, 5}, "S.5\r", true}, // tenths of a minute
        {{UPS_COMMAND_TURN_OFF, 0, 2}, "S.2\r", true},
        {{UPS_COMMAND_TURN_OFF, 0, 1}, "S01\r", true}, // under the UPS's shortest
        {{UPS_COMMAND_TURN_OFF, 3, 5}, "S03\r", true}, // whole minutes win
        {{UPS_COMMAND_TURN_OFF_RESTORE, 12, 0, 1}, "S12R0001\r", true},
        {{UPS_COMMAND_TURN_OFF_RESTORE, 2, 0, 480}, "S02R0480\r", true},
        {{UPS_COMMAND_TURN_OFF_RESTORE, 0, 9, 0}, "S.9R0000\r", true},
        {{UPS_COMMAND_TURN_OFF_RESTORE, 198, 0, 12000}, "S99R9999\r", true},
        {{UPS_COMMAND_TURN_OFF_RESTORE, 0, 0, -3}, "S01R0000\r", true},
        {{42}, "", false}, // no such kind
        {{NONE}, "", false},
        {{NONE}, "T", false},
        {{NONE}, "\r", false},
        {{NONE}, "T\n", false},
        {{NONE}, "T\r\r", false},
        {{NONE}, "T\rT\r", false},
        {{NONE}, "t\r", false},
        {{NONE}, "Q1\r", false},
        {{NONE}, "TLX\r", false},
        {{NONE}, "S\r", false},
        {{NONE}, "S5\r", false},
        {{NONE}, "S00\r", false},
        {{NONE}, "S100\r", false},
        {{NONE}, "S120\r", false},
        {{NONE}, "S.1\r", false},
        {{NONE}, "S.0\r", false},
        {{NONE}, "S.\r", false},
        {{NONE}, "S1.\r", false},
        {{NONE}, "Sxx\r", false},
        {{NONE}, "S02R\r", false},
        {{NONE}, "S02R01\r", false},
        {{NONE}, "S02R00001\r", false},
        {{NONE}, "S02r0001\r", false},
        {{NONE}, "S02R00x1\r", false},
        {{NONE}, "S02X0001\r", false},
        {{NONE}, "S02R0001", false},
        {{NONE}, std::string("S02\0\r", 5), false},
        {{NONE}, std::string("T\0", 2), false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(shown(r.bytes) + " kind " + std::to_string(r.given.kind));
        if (r.given.kind != NONE) {
            EXPECT_EQ(ups_command_format(r.given), r.bytes);
        }
        UpsCommand parsed{UPS_COMMAND_SHUTDOWN_CANCEL, 77, 77, 77};
        ASSERT_EQ(ups_command_parse(r.bytes.data(), static_cast<int>(r.bytes.size()), &parsed),
                  r.parses);
        if (!r.parses) {
            EXPECT_EQ(parsed.minutes, 77) << "a refusal leaves the record alone";
            continue;
        }
        EXPECT_EQ(ups_command_format(parsed), r.bytes) << "round trip";
        EXPECT_TRUE(same(parsed, ups_command_clamped(r.given)));
        EXPECT_TRUE(same(parsed, ups_command_clamped(parsed)));
        EXPECT_EQ(ups_command_is_test(parsed), r.bytes == "T\r" || r.bytes == "TL\r" ||
                                                   r.bytes == "CT\r");
        EXPECT_EQ(ups_command_is_control(parsed), r.bytes[0] == 'S' || r.bytes == "C\r");
        int delay = 0;
        if (r.bytes[0] == 'S' && r.bytes[1] == '.')
            delay = (r.bytes[2] - '0') * 6;
        else if (r.bytes[0] == 'S')
            delay = std::stoi(r.bytes.substr(1, 2)) * 60;
        EXPECT_EQ(ups_command_delay_seconds(parsed), delay);
    }
    // The builders the daemon uses clamp the same way.
    EXPECT_EQ(ups_command_format(ups_command_turn_off(120)), "S99\r");
    EXPECT_EQ(ups_command_format(ups_command_turn_off_restore(0, 1)), "S01R0001\r");
    EXPECT_EQ(ups_command_format(ups_command_of(UPS_COMMAND_TEST_DEEP)), "TL\r");
    UpsCommand c;
    EXPECT_FALSE(ups_command_parse(nullptr, 2, &c));
    EXPECT_FALSE(ups_command_parse("T\r", -1, &c));
}

} // namespace
