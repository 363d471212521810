#include "protocol/filter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct Reading {
    const char *in_v = "230.0";
    const char *fault_v = "230.0";
    const char *out_v = "230.0";
    const char *load = "025";
    const char *freq = "50.0";
    const char *batt = "2.25";
    const char *temp = "25.0";
    const char *bits = "00000000"; // b7..b0
};

FilterState state;

bool push(const Reading &r)
{
    char buf[64];
    snprintf(buf, sizeof buf, "(%s %s %s %s %s %s %s %s\r", r.in_v, r.fault_v, r.out_v, r.load,
             r.freq, r.batt, r.temp, r.bits);
    EXPECT_EQ(std::string(buf).size(), 47u);
    filter_push(&state, reinterpret_cast<const unsigned char *>(buf));
    return filter_accept(&state);
}

// Pushes `first`, then `second` twice: the history holds first, second,
// second, so only the step from first to second is judged.
bool step_passes(const Reading &first, const Reading &second)
{
    filter_reset(&state);
    push(first);
    push(first);
    push(first);
    push(second);
    return push(second);
}

class Filter : public ::testing::Test {
protected:
    void SetUp() override { filter_reset(&state); }
};

TEST_F(Filter, ThirdSteadyReplyIsTheFirstAccepted)
{
    Reading r;
    EXPECT_FALSE(push(r));
    EXPECT_FALSE(push(r));
    EXPECT_TRUE(push(r));
    EXPECT_TRUE(push(r));
}

TEST_F(Filter, SixVoltGlitchIsHeldForThreeReplies)
{
    Reading steady, glitch;
    glitch.in_v = "236.0";
    for (int i = 0; i < 3; i++)
        push(steady);
    EXPECT_FALSE(push(glitch)) << "newest";
    EXPECT_FALSE(push(steady)) << "glitch is the middle sample";
    EXPECT_FALSE(push(steady)) << "glitch is the oldest sample";
    EXPECT_TRUE(push(steady));
}

TEST_F(Filter, StatusChangeIsAcceptedAtTheThirdReplyCarryingIt)
{
    Reading normal, failed;
    failed.bits = "10000000";
    for (int i = 0; i < 3; i++)
        push(normal);
    EXPECT_FALSE(push(failed));
    EXPECT_FALSE(push(failed));
    EXPECT_TRUE(push(failed));
}

// Readings that never settle hold the readings back, never the status: a
// mains failure or a low battery is taken at the third reply carrying it,
// and a glitch byte in a status position neither clears it nor restarts
// the count.
TEST_F(Filter, StatusIsTakenAtTheThirdReplyWhateverTheReadingsDo)
{
    struct Case {
        const char *bits;
        const char *in_v[2]; // alternating
        const char *batt[2];
    } cases[] = {
        {"10000000", {"210.0", "220.0"}, {"2.25", "2.25"}},
        {"01000000", {"230.0", "230.0"}, {"2.25", "2.05"}},
        {"11000000", {"210.0", "236.0"}, {"2.45", "2.05"}},
    };
    for (const Case &c : cases) {
        filter_reset(&state);
        Reading r;
        for (int i = 0; i < 3; i++)
            push(r);
        r.bits = c.bits;
        for (int i = 0; i < 3; i++) {
            r.in_v = c.in_v[i % 2];
            r.batt = c.batt[i % 2];
            push(r);
            EXPECT_EQ(filter_status_steady(&state), i == 2) << c.bits << " reply " << i;
        }
        EXPECT_EQ(filter_newest_status(&state)[7], c.bits[0]);
        EXPECT_EQ(filter_newest_status(&state)[6], c.bits[1]);
        std::string glitched(c.bits);
        glitched[0] = 'x';
        r.bits = glitched.c_str();
        push(r);
        EXPECT_TRUE(filter_status_steady(&state)) << "a glitch byte repeats its position";
        EXPECT_EQ(filter_newest_status(&state)[7], c.bits[0]);
    }
}

TEST_F(Filter, FaultVoltageIsNotTested)
{
    Reading a, b;
    b.fault_v = "000.0";
    EXPECT_TRUE(step_passes(a, b));
}

TEST_F(Filter, ToleranceBoundariesPass)
{
    Reading a, b;
    b.in_v = "235.0";
    EXPECT_TRUE(step_passes(a, b));
    b.in_v = "235.1";
    EXPECT_FALSE(step_passes(a, b));

    Reading c;
    c.out_v = "225.0";
    EXPECT_TRUE(step_passes(a, c));
    c.out_v = "224.9";
    EXPECT_FALSE(step_passes(a, c));

    Reading d;
    d.load = "030";
    EXPECT_TRUE(step_passes(a, d));
    d.load = "031";
    EXPECT_FALSE(step_passes(a, d));

    Reading e;
    e.freq = "53.0";
    EXPECT_TRUE(step_passes(a, e));
    e.freq = "53.1";
    EXPECT_FALSE(step_passes(a, e));
}

TEST_F(Filter, BatteryToleranceDependsOnUpsType)
{
    Reading online_a, online_b;
    online_b.batt = "2.45";
    EXPECT_FALSE(step_passes(online_a, online_b)) << "0.2 V is too much for an on-line unit";

    Reading offline_a, offline_b;
    offline_a.bits = offline_b.bits = "00001000";
    offline_a.batt = "27.0";
    offline_b.batt = "27.2";
    EXPECT_TRUE(step_passes(offline_a, offline_b));
}

// The tolerances are float32 constants compared in double: these steps lie
// between the float and the decimal value of the tolerance.
TEST_F(Filter, TolerancesAreTheSinglePrecisionConstants)
{
    Reading a, b;
    a.batt = "0.03";
    b.batt = "0.14"; // 0.1100000013 > 0.11f
    EXPECT_FALSE(step_passes(a, b));
    a.batt = "0.00";
    b.batt = "0.11"; // exactly 0.11f
    EXPECT_TRUE(step_passes(a, b));

    Reading c, d;
    c.bits = d.bits = "00001000";
    c.batt = "0.10";
    d.batt = "1.90"; // 1.7999999747 > 1.8f
    EXPECT_FALSE(step_passes(c, d));
    c.batt = "0.09";
    d.batt = "1.89"; // 1.7999999821 > 1.8f
    EXPECT_FALSE(step_passes(c, d));
    c.batt = "0.10";
    d.batt = "1.89";
    EXPECT_TRUE(step_passes(c, d));

    Reading e, f;
    e.temp = "0.05";
    f.temp = "5.00"; // 4.9499999993 > 4.95f
    EXPECT_FALSE(step_passes(e, f));
    e.temp = "0.00";
    f.temp = "4.95"; // exactly 4.95f
    EXPECT_TRUE(step_passes(e, f));
}

} // namespace
