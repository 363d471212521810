#include "protocol/filter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

// The filtered status (b0..b7), or "" while the filter gives none.
std::string status()
{
    char out[FILTER_POSITIONS];
    if (!filter_status(&state, out))
        return "";
    return std::string(out, FILTER_POSITIONS);
}

// Random replies against a model of the rule kept apart from the filter:
// every sample a position ever had, a glitch byte repeating the one before;
// a position sets when two of its last three samples are '1', clears when
// all three are '0', and keeps its value otherwise. Nothing is given before
// the third reply.
TEST_F(Filter, EachPositionFollowsTheTwoOfThreeAndThreeClearRule)
{
    std::mt19937 random(2027);
    for (int run = 0; run < 200; run++) {
        filter_reset(&state);
        std::vector<std::string> samples; // per reply, b0..b7 as the model sees them
        std::string taken(FILTER_POSITIONS, '0');
        // Some runs flap a lot, some hardly: the chance of a '1' per run.
        std::uniform_int_distribution<int> percent(0, 99);
        int ones = percent(random), glitches = percent(random) / 4;
        for (int reply = 0; reply < 40; reply++) {
            std::string bits(FILTER_POSITIONS, '0'), seen(FILTER_POSITIONS, '0');
            for (int p = 0; p < FILTER_POSITIONS; p++) {
                char before = samples.empty() ? '0' : samples.back()[p];
                int roll = percent(random);
                char c = roll < glitches ? "x?\0"[roll % 3] : percent(random) < ones ? '1' : '0';
                bits[FILTER_POSITIONS - 1 - p] = c;
                seen[p] = c == '0' || c == '1' ? c : before;
            }
            samples.push_back(seen);
            char buf[64];
            snprintf(buf, sizeof buf, "(230.0 230.0 230.0 025 50.0 2.25 25.0 %s\r", "00000000");
            memcpy(buf + 38, bits.data(), FILTER_POSITIONS); // a NUL byte too
            filter_push(&state, reinterpret_cast<const unsigned char *>(buf));

            size_t n = samples.size();
            if (n < 3) {
                ASSERT_EQ(status(), "") << "run " << run << " reply " << reply;
                continue;
            }
            for (int p = 0; p < FILTER_POSITIONS; p++) {
                int set = 0;
                for (size_t k = n - 3; k < n; k++)
                    set += samples[k][p] == '1';
                if (set >= 2)
                    taken[p] = '1';
                if (set == 0)
                    taken[p] = '0';
            }
            ASSERT_EQ(status(), taken) << "run " << run << " reply " << reply;
        }
    }
}

// A mains that flaps (b7 two replies out, two back) never holds back a
// battery low that is steady from some reply on, nor the readings: b6 is
// taken at the second reply carrying it, b7 stays failed once taken, and
// steady readings pass all along.
TEST_F(Filter, FlappingMainsHoldsBackNeitherBatteryLowNorReadings)
{
    const char *flap[4] = {"10000000", "10000000", "00000000", "00000000"};
    for (int low_from = 3; low_from < 11; low_from++) {
        filter_reset(&state);
        Reading r;
        for (int i = 0; i < 3; i++)
            push(r);
        ASSERT_EQ(status(), "00000000");
        bool failed_taken = false;
        for (int i = 0; i < 16; i++) {
            std::string bits = flap[i % 4];
            if (i >= low_from)
                bits[1] = '1';
            r.bits = bits.c_str();
            EXPECT_TRUE(push(r)) << "readings, low_from " << low_from << " reply " << i;
            std::string s = status();
            if (i >= low_from + 1) {
                EXPECT_EQ(s[6], '1') << "b6, low_from " << low_from << " reply " << i;
            }
            if (i < low_from) {
                EXPECT_EQ(s[6], '0') << "b6, low_from " << low_from << " reply " << i;
            }
            if (failed_taken) {
                EXPECT_EQ(s[7], '1') << "b7 flaps, low_from " << low_from << " reply " << i;
            }
            failed_taken = failed_taken || s[7] == '1';
        }
        EXPECT_TRUE(failed_taken) << low_from;
    }
}

// Readings that never settle hold the readings back, never the status: a
// mains failure or a low battery is taken at the second reply carrying it,
// and a glitch byte in a status position neither clears it nor restarts
// the count.
TEST_F(Filter, StatusIsTakenWhateverTheReadingsDo)
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
        for (int i = 0; i < 2; i++) {
            r.in_v = c.in_v[i % 2];
            r.batt = c.batt[i % 2];
            bool accepted = push(r);
            if (i == 1) {
                EXPECT_FALSE(accepted) << c.bits << ": the readings do not settle";
            }
            EXPECT_EQ(status()[7], i == 1 ? c.bits[0] : '0') << c.bits << " reply " << i;
            EXPECT_EQ(status()[6], i == 1 ? c.bits[1] : '0') << c.bits << " reply " << i;
        }
        std::string glitched(c.bits);
        glitched[0] = 'x';
        glitched[1] = 'x';
        r.bits = glitched.c_str();
        for (int i = 0; i < 3; i++) {
            push(r);
            EXPECT_EQ(status()[7], c.bits[0]) << "a glitch byte repeats its position";
            EXPECT_EQ(status()[6], c.bits[1]) << "a glitch byte repeats its position";
        }
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
