#include "agent/policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "store/paths.h"
#include "tests/tempdir.h"

namespace {

// Each file: the rules taken, and the lines reported (by number). A rule
// that is not read right stays off.
TEST(Policy, RulesTakenAndMistakesSkippedWithALine)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::string path = dir.path + POLICY_FILE;
    struct Case {
        const char *text; // nullptr: no file
        int taken;
        PolicySettings want;
        std::vector<int> bad; // the numbers of the lines reported, in order
    } cases[] = {
        {nullptr, 0, {}, {}},
        {"", 0, {}, {}},
        {"# shut down early on an old battery\n\ncharge-below 20\r\nruntime-below  5\n"
         "on-battery-for 15\nmin-units 2\n",
         4, {20, 5, 15, 2}, {}},
        {"charge-below 30\ncharge-below 25\n", 2, {25, 0, 0, 0}, {}},
        {"charge-below 100\nruntime-below 1440\non-battery-for 1\nmin-units 4\n", 4,
         {100, 1440, 1, 4}, {}},
        {"charge-below 0\ncharge-below 101\ncharge-below 20%\ncharge-below\n"
         "runtime-below -5\nruntime-below 1441\non-battery-for 5 min\nmin-units 5\n"
         "min-units 0\nCharge-Below 20\nshutdown-at 20\ncharge-below 9999999\n",
         0, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"runtime-below x\non-battery-for 10\n", 1, {0, 0, 10, 0}, {1}},
    };
    for (const Case &c : cases) {
        std::remove(path.c_str());
        if (c.text)
            std::ofstream(path) << c.text;
        PolicySettings s{1, 2, 3, 4}; // what a previous read left is forgotten
        testing::internal::CaptureStdout();
        EXPECT_EQ(policy_read(path, &s), c.taken) << c.text;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(s.charge_below, c.want.charge_below) << c.text;
        EXPECT_EQ(s.runtime_below, c.want.runtime_below) << c.text;
        EXPECT_EQ(s.on_battery_for, c.want.on_battery_for) << c.text;
        EXPECT_EQ(s.min_units, c.want.min_units) << c.text;
        std::string expected, got;
        for (int n : c.bad)
            expected += path + " line " + std::to_string(n) + " ";
        for (size_t at = 0; (at = out.find(path + " line ", at)) != std::string::npos;) {
            size_t end = out.find(' ', at + path.size() + 6);
            got += out.substr(at, end - at) + " ";
            at = end;
        }
        EXPECT_EQ(got, expected) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(c.bad.size()))
            << out;
    }
}

TEST(Policy, MinUnitsHeldAtTheUnitCountWithALine)
{
    PolicySettings s;
    s.min_units = 3;
    testing::internal::CaptureStdout();
    EXPECT_EQ(policy_min_units(s, 4), 3);
    EXPECT_EQ(policy_min_units(s, 3), 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(policy_min_units(s, 2), 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("min-units 3 is more than the 2 unit(s) watched; held at 2"),
              std::string::npos)
        << out;
    s.min_units = 0;
    EXPECT_EQ(policy_min_units(s, 1), 0);
}

} // namespace
