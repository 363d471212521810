// Tests of the simulated units: exact reply bytes, addressing, UPS
// commands, control commands with their timed restores, fault modes, log.
#include "model.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string kOnlineStatus = "(230.0 230.0 230.0 025 50.0 2.25 25.0 00000000\r";
const std::string kOfflineStatus = "(230.0 230.0 230.0 025 50.0 27.0 25.0 00001000\r";
const int kBlanks[] = {6, 12, 18, 22, 27, 32, 37};
const int kBitsAt = 38;  // b7 first

ModelReply g_last;

std::string ask(const std::string& request, double now = 0.0) {
  int n = model_request(reinterpret_cast<const unsigned char*>(request.data()), request.size(), now,
                        &g_last);
  EXPECT_EQ(n, g_last.len);
  return std::string(reinterpret_cast<const char*>(g_last.bytes), n > 0 ? n : 0);
}

std::string status_of(int unit, double now = 0.0) {
  return ask(std::string("Q1") + static_cast<char>(unit) + "\r", now);
}

std::string bits_of(const std::string& status) { return status.substr(kBitsAt, 8); }

void expect_layout(const std::string& status) {
  ASSERT_EQ(status.size(), 47u) << status;
  for (int at : kBlanks) EXPECT_EQ(status[at], ' ') << "offset " << at << " in " << status;
  EXPECT_EQ(status[0], '(');
  EXPECT_EQ(status[46], '\r');
}

class Model : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(model_setup(4, MODEL_ONLINE, 1)); }
};

// ---- reply layouts ---------------------------------------------------------

TEST(ModelReplies, DefaultOnlineUnitRepliesWithExactBytes) {
  ASSERT_TRUE(model_setup(1, MODEL_ONLINE, 1));
  std::string s = ask("Q1\r");
  EXPECT_EQ(s, kOnlineStatus);
  expect_layout(s);
  EXPECT_EQ(ask("F\r"), "#230.0 004 048.0 50.0\r");
  EXPECT_EQ(ask("I\r"), "#SIMULATED       SIM-1001   1.0       \r");
}

TEST(ModelReplies, OfflineUnitShowsTotalBatteryTypeBitAndItsRating) {
  ASSERT_TRUE(model_setup(2, MODEL_OFFLINE, 1));
  EXPECT_EQ(status_of(2), kOfflineStatus);
  EXPECT_EQ(ask("F\x02\r"), "#230.0 004 024.0 50.0\r");
  EXPECT_EQ(ask("I\x02\r"), "#SIMULATED       SIM-1002   1.0       \r");
  EXPECT_EQ(g_last.unit, 2);
}

TEST(ModelReplies, BadSetupArgumentsAreRefused) {
  EXPECT_FALSE(model_setup(0, MODEL_ONLINE, 1));
  EXPECT_FALSE(model_setup(5, MODEL_ONLINE, 1));
  EXPECT_FALSE(model_setup(1, 7, 1));
}

TEST_F(Model, OutOfRangeReadingsAreClampedSoEveryFieldKeepsItsWidth) {
  struct Case {
    const char* command;
    int at;
    const char* shown;
  } cases[] = {
      {"set input_voltage 1234.5", 1, "999.9"},  {"set input_voltage -5", 1, "000.0"},
      {"set input_voltage 999.96", 1, "999.9"},  {"set fault_voltage 7.3", 7, "007.3"},
      {"set output_voltage 5e9", 13, "999.9"},   {"set load 5000", 19, "999"},
      {"set load -3", 19, "000"},                {"set load 7.6", 19, "008"},
      {"set frequency 120", 23, "99.9"},         {"set battery_voltage 9.99", 28, "9.99"},
      {"set battery_voltage 9.996", 28, "10.0"}, {"set battery_voltage 250", 28, "99.9"},
      {"set battery_voltage -1", 28, "0.00"},    {"set temperature -20", 33, "00.0"},
      {"set temperature 100", 33, "99.9"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(model_control("reset"));
    ASSERT_TRUE(model_control(c.command)) << c.command;
    std::string s = ask("Q1\r");
    expect_layout(s);
    EXPECT_EQ(s.substr(c.at, strlen(c.shown)), c.shown) << c.command << " gave " << s;
  }
}

TEST_F(Model, RatingAndIdentityKeepTheirLengthsWithLongValues) {
  ASSERT_TRUE(model_control("set rated_current 12345"));
  ASSERT_TRUE(model_control("set rated_voltage 4000"));
  EXPECT_EQ(ask("F\r"), "#999.9 999 048.0 50.0\r");
  ASSERT_TRUE(model_control("set company A VERY LONG COMPANY NAME"));
  ASSERT_TRUE(model_control("set model 12345678901234"));
  ASSERT_TRUE(model_control("set version v2"));
  EXPECT_EQ(ask("I\r"), "#A VERY LONG COM 1234567890 v2        \r");
}

// ---- addressing ------------------------------------------------------------

TEST(ModelAddressing, UnitsAboveTheCountDoNotAnswer) {
  ASSERT_TRUE(model_setup(2, MODEL_ONLINE, 1));
  EXPECT_EQ(status_of(3), "");
  EXPECT_EQ(ask("I\x04\r"), "");
  EXPECT_EQ(ask("F\x03\r"), "");
  EXPECT_EQ(status_of(2).size(), 47u);
  ModelUnit u;
  EXPECT_FALSE(model_snapshot(3, &u));
  EXPECT_FALSE(model_snapshot(0, &u));
  EXPECT_TRUE(model_snapshot(2, &u));
}

TEST_F(Model, UnaddressedRequestsAreAnsweredByUnitOne) {
  ASSERT_TRUE(model_control("unit 2 set load 50"));
  EXPECT_EQ(ask("Q1\r").substr(19, 3), "025");
  EXPECT_EQ(g_last.unit, 1);
  EXPECT_EQ(status_of(2).substr(19, 3), "050");
  EXPECT_EQ(g_last.unit, 2);
  EXPECT_EQ(status_of(1).substr(19, 3), "025");
}

TEST_F(Model, MalformedRequestsGetNoReply) {
  const std::vector<std::string> bad = {
      "Q1",        std::string("Q1\0\r", 4), "Q1\x05\r", "Q1\x01\x01\r", "Q1 \r", "Q\r",
      "Q2\r",      "\r",                     "q1\r",     "I1\r",         "FF\r",  "QI\r",
      "Q1\r\r",    "",
  };
  for (const std::string& r : bad) EXPECT_EQ(ask(r), "") << "request of " << r.size() << " bytes";
}

// ---- UPS commands on the line -----------------------------------------------

TEST_F(Model, SelfTestHoldsTheTestBitForTenSeconds) {
  EXPECT_EQ(ask("T\r", 100.0), "");
  EXPECT_EQ(bits_of(ask("Q1\r", 109.9)), "00000100");
  model_tick(110.0);
  EXPECT_EQ(bits_of(ask("Q1\r", 110.0)), "00000000");
  // A request alone also ends the test, without a tick.
  ask("T\r", 200.0);
  EXPECT_EQ(bits_of(ask("Q1\r", 210.5)), "00000000");
}

TEST_F(Model, TestUntilLowLastsUntilCancelled) {
  ask("TL\r", 0.0);
  EXPECT_EQ(bits_of(ask("Q1\r", 5000.0)), "00000100");
  ask("CT\r", 5000.0);
  EXPECT_EQ(bits_of(ask("Q1\r", 5000.0)), "00000000");
  // Cancelling a timed test also works.
  ask("T\r", 0.0);
  ask("CT\r", 1.0);
  EXPECT_EQ(bits_of(ask("Q1\r", 2.0)), "00000000");
}

TEST_F(Model, ShutdownBitFollowsShutdownAndCancel) {
  ask("S05\r");
  EXPECT_EQ(bits_of(ask("Q1\r")), "00000010");
  ask("C\r");
  EXPECT_EQ(bits_of(ask("Q1\r")), "00000000");
  ask("S120R0010\r");
  EXPECT_EQ(bits_of(ask("Q1\r")), "00000010");
}

TEST_F(Model, MalformedShutdownCommandsAreIgnored) {
  for (const char* r : {"S5\r", "S05R001\r", "S05R00100\r", "SAB\r", "S\r", "S05X\r", "S0R0010\r",
                        "S05RR0010\r"}) {
    ask(r);
    EXPECT_EQ(bits_of(ask("Q1\r")), "00000000") << r;
  }
}

TEST_F(Model, CommandsReachEveryUnitOnTheLine) {
  ask("T\r", 0.0);
  ask("S10\r", 0.0);
  for (int unit = 1; unit <= 4; unit++) EXPECT_EQ(bits_of(status_of(unit, 1.0)), "00000110");
}

// ---- control commands --------------------------------------------------------

TEST_F(Model, EachBitCommandSetsAndClearsItsOwnBit) {
  struct Case {
    const char* on;
    const char* off;
    const char* bits;
  } cases[] = {
      {"mains fail", "mains restore", "10000000"}, {"battery low", "battery normal", "01000000"},
      {"bypass on", "bypass off", "00100000"},     {"fault on", "fault off", "00010000"},
      {"type offline", "type online", "00001000"}, {"test on", "test off", "00000100"},
      {"shutdown on", "shutdown off", "00000010"}, {"beeper on", "beeper off", "00000001"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(model_control(c.on)) << c.on;
    EXPECT_EQ(bits_of(ask("Q1\r")), c.bits) << c.on;
    ASSERT_TRUE(model_control(c.off)) << c.off;
    EXPECT_EQ(bits_of(ask("Q1\r")), "00000000") << c.off;
  }
}

TEST_F(Model, SetStatusWritesTheBitsInPrintedOrder) {
  ASSERT_TRUE(model_control("set status 10100101"));
  EXPECT_EQ(bits_of(ask("Q1\r")), "10100101");
  ModelUnit u;
  ASSERT_TRUE(model_snapshot(1, &u));
  EXPECT_EQ(u.bits, MODEL_BIT_MAINS_FAILED | MODEL_BIT_BYPASS | MODEL_BIT_TEST | MODEL_BIT_BEEPER);
}

TEST_F(Model, MainsRestoreBringsBackTheVoltageEvenAfterTwoFailures) {
  ASSERT_TRUE(model_control("set input_voltage 221.5"));
  ASSERT_TRUE(model_control("mains fail"));
  std::string s = ask("Q1\r");
  EXPECT_EQ(s.substr(1, 5), "000.0");
  EXPECT_EQ(s[kBitsAt], '1');
  ASSERT_TRUE(model_control("mains fail"));
  ASSERT_TRUE(model_control("mains restore"));
  s = ask("Q1\r");
  EXPECT_EQ(s.substr(1, 5), "221.5");
  EXPECT_EQ(s[kBitsAt], '0');
}

TEST_F(Model, TextValuesKeepInnerBlanksAndOnlyPrintableBytes) {
  ASSERT_TRUE(model_control("unit 3 set company ACME  POWER"));
  EXPECT_EQ(ask("I\x03\r").substr(1, 15), "ACME  POWER    ");
  EXPECT_FALSE(model_control("set company caf\xc3\xa9"));
  EXPECT_FALSE(model_control("set company a\tb"));
  EXPECT_FALSE(model_control("set company a\\x00b"));
  EXPECT_EQ(ask("I\r").substr(1, 15), "SIMULATED      ");
  // Other bytes as \xHH; a backslash without two hex digits is itself.
  ASSERT_TRUE(model_control("set company ACME\\x22\\x0aFSD\\x5c\\xq\\x"));
  EXPECT_EQ(ask("I\r").substr(1, 15), "ACME\"\nFSD\\\\xq\\x");
}

TEST_F(Model, UnitPrefixSelectsUnitsAndRejectsAbsentOnes) {
  ASSERT_TRUE(model_setup(2, MODEL_ONLINE, 1));
  EXPECT_FALSE(model_control("unit 3 battery low"));
  ASSERT_TRUE(model_control("unit all battery low"));
  EXPECT_EQ(status_of(1)[kBitsAt + 1], '1');
  EXPECT_EQ(status_of(2)[kBitsAt + 1], '1');
  ASSERT_TRUE(model_control("unit 2 battery normal"));
  EXPECT_EQ(status_of(1)[kBitsAt + 1], '1');
  EXPECT_EQ(status_of(2)[kBitsAt + 1], '0');
}

TEST_F(Model, CommandsNotUnderstoodChangeNothing) {
  const std::vector<std::string> bad = {
      "", "   ", "bogus", "Battery low", "unit", "unit 5 battery low", "unit 0 battery low",
      "unit two battery low", "battery", "battery empty", "battery low now", "mains fail now",
      "silent", "garbage maybe", "set", "set load", "set load abc", "set load 12x",
      "set load nan", "set load inf", "set load 1 2", "set nothing 5", "set status 1010",
      "set status 10102010", "battery low for 0", "battery low for x", "battery low for",
      "for 3", "unit 2 for 3", "slow 2400 for 2", "reset for 1", "reset now", "length 0",
      "length 257", "length -4", "slow 0", "delay -1", "delay 99999999999999999999",
      std::string(300, 'x'), "set company " + std::string(250, 'x'),
  };
  for (const std::string& line : bad) {
    EXPECT_FALSE(model_control(line.c_str())) << line;
    EXPECT_EQ(ask("Q1\r"), kOnlineStatus) << line;
    EXPECT_EQ(ask("I\r"), "#SIMULATED       SIM-1001   1.0       \r") << line;
    EXPECT_EQ(g_last.gap_us, 0) << line;
    EXPECT_EQ(g_last.delay_ms, 0) << line;
  }
  EXPECT_FALSE(model_control(nullptr));
}

// ---- flapping mains and a UPS that ignores commands ----------------------------

TEST_F(Model, MainsFlapFailsAndReturnsEveryPeriodUntilStopped) {
  ASSERT_TRUE(model_control_at("mains flap 2", 100.0));
  // Failed at once, back after one period, failed again after the next.
  struct Step {
    double at;
    char b7;
  };
  for (const Step& step : {Step{100.0, '1'}, Step{101.9, '1'}, Step{102.0, '0'}, Step{103.9, '0'},
                           Step{104.0, '1'}, Step{107.5, '0'}, Step{108.2, '1'}}) {
    std::string s = ask("Q1\r", step.at);
    EXPECT_EQ(s[kBitsAt], step.b7) << "at " << step.at;
    EXPECT_EQ(s.substr(1, 5), step.b7 == '1' ? "000.0" : "230.0") << "at " << step.at;
  }
  // A tick moves it too, without a request.
  model_tick(110.5);
  ModelUnit u;
  ASSERT_TRUE(model_snapshot(1, &u));
  EXPECT_FALSE(u.bits & MODEL_BIT_MAINS_FAILED);
  // Only the unit it was given to flaps.
  EXPECT_EQ(status_of(2, 112.5)[kBitsAt], '0');

  // `mains restore` ends it for good, with the good voltage back.
  ASSERT_TRUE(model_control_at("mains restore", 112.5));
  for (double at : {112.5, 114.5, 116.5, 1000.0}) EXPECT_EQ(ask("Q1\r", at), kOnlineStatus) << at;
  // `mains fail` ends it failed.
  ASSERT_TRUE(model_control_at("unit 2 mains flap 0.5", 200.0));
  EXPECT_EQ(status_of(2, 200.6)[kBitsAt], '0');
  ASSERT_TRUE(model_control_at("unit 2 mains fail", 200.7));
  for (double at : {201.1, 201.6, 300.0}) EXPECT_EQ(status_of(2, at)[kBitsAt], '1') << at;
  EXPECT_EQ(status_of(1, 300.0), kOnlineStatus);
  // `mains flap off` leaves the mains as it is then.
  ASSERT_TRUE(model_control_at("unit 3 mains flap 1.5", 400.0));
  ASSERT_TRUE(model_control_at("unit 3 mains flap off", 401.0));
  for (double at : {401.0, 402.0, 403.5}) EXPECT_EQ(status_of(3, at)[kBitsAt], '1') << at;
  ASSERT_TRUE(model_control_at("unit 4 mains flap 1", 500.0));
  ASSERT_TRUE(model_control_at("unit 4 mains flap off", 501.5));
  for (double at : {501.5, 502.5, 510.0}) EXPECT_EQ(status_of(4, at)[kBitsAt], '0') << at;
  // A new flapping starts over, failed at its start.
  ASSERT_TRUE(model_control_at("unit 4 mains flap 3", 600.0));
  EXPECT_EQ(status_of(4, 600.0)[kBitsAt], '1');
  EXPECT_EQ(status_of(4, 603.0)[kBitsAt], '0');

  for (const char* bad : {"mains flap", "mains flap 0", "mains flap -1", "mains flap 0.05",
                          "mains flap x", "mains flap 2 3", "mains flap 100000", "mains flap on",
                          "mains flap nan", "mains flap 2 for"}) {
    EXPECT_FALSE(model_control_at(bad, 700.0)) << bad;
    EXPECT_EQ(status_of(1, 702.5), kOnlineStatus) << bad;
  }
}

TEST_F(Model, IgnoredCommandsChangeNothingUntilTakenAgain) {
  ASSERT_TRUE(model_control("commands ignore"));
  for (const char* command : {"S05R0001\r", "S03\r", "T\r", "TL\r"}) {
    EXPECT_EQ(ask(command, 10.0), "") << command;
    EXPECT_EQ(bits_of(ask("Q1\r", 10.0)), "00000000") << command;
  }
  // Nor does a cancel undo what the unit does by itself.
  ASSERT_TRUE(model_control("shutdown on"));
  ASSERT_TRUE(model_control("test on"));
  ask("C\r");
  ask("CT\r");
  EXPECT_EQ(bits_of(ask("Q1\r")), "00000110");

  ASSERT_TRUE(model_control("commands take"));
  ask("C\r");
  ask("CT\r");
  EXPECT_EQ(bits_of(ask("Q1\r")), "00000000");
  // Per unit: the line's other units still take them.
  ASSERT_TRUE(model_control("unit 2 commands ignore"));
  ask("S02R0001\r");
  EXPECT_EQ(bits_of(status_of(1)), "00000010");
  EXPECT_EQ(bits_of(status_of(2)), "00000000");
  EXPECT_EQ(bits_of(status_of(3)), "00000010");

  for (const char* bad : {"commands", "commands ignore now", "commands off", "commands Take"})
    EXPECT_FALSE(model_control(bad)) << bad;
  // `reset` takes them again.
  ASSERT_TRUE(model_control("reset"));
  ask("S02\r");
  EXPECT_EQ(bits_of(status_of(2)), "00000010");
}

// ---- timed restore (`for N`) ----------------------------------------------------

TEST_F(Model, ForOneMakesASingleReplyGlitch) {
  ASSERT_TRUE(model_control("set input_voltage 236 for 1"));
  EXPECT_EQ(ask("Q1\r").substr(1, 5), "236.0");
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
}

TEST_F(Model, MainsFailForThreeLastsExactlyThreeStatusReplies) {
  ASSERT_TRUE(model_control("mains fail for 3"));
  for (int i = 0; i < 3; i++) {
    // Other replies do not count towards the restore.
    ask("I\r");
    ask("F\r");
    std::string s = ask("Q1\r");
    EXPECT_EQ(s.substr(1, 5), "000.0") << "reply " << i;
    EXPECT_EQ(s[kBitsAt], '1') << "reply " << i;
  }
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
  // The voltage remembered by the failure was restored with the state.
  ASSERT_TRUE(model_control("mains restore"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
}

TEST_F(Model, NewForReplacesThePendingRestore) {
  ASSERT_TRUE(model_control("set load 40 for 5"));
  ASSERT_TRUE(model_control("set load 60 for 1"));
  EXPECT_EQ(ask("Q1\r").substr(19, 3), "060");
  // Restored to what the second command saved; the first restore is gone.
  for (int i = 0; i < 6; i++) EXPECT_EQ(ask("Q1\r").substr(19, 3), "040") << "reply " << i;
}

TEST_F(Model, UnitAllForCountsEachUnitsOwnReplies) {
  ASSERT_TRUE(model_control("unit all mains fail for 1"));
  EXPECT_EQ(status_of(1)[kBitsAt], '1');
  EXPECT_EQ(status_of(1)[kBitsAt], '0');
  EXPECT_EQ(status_of(2)[kBitsAt], '1');
  EXPECT_EQ(status_of(2)[kBitsAt], '0');
  EXPECT_EQ(status_of(4)[kBitsAt], '1');
}

TEST_F(Model, SilentForCountsTheIgnoredPolls) {
  ASSERT_TRUE(model_control("silent on for 2"));
  EXPECT_EQ(ask("Q1\r"), "");
  EXPECT_EQ(ask("I\r"), "");
  EXPECT_EQ(ask("Q1\r"), "");
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
}

// ---- fault modes and pacing -----------------------------------------------------

TEST_F(Model, SilentUnitIsQuietWhileOthersAnswer) {
  ASSERT_TRUE(model_control("unit 2 silent on"));
  EXPECT_EQ(status_of(2), "");
  EXPECT_EQ(ask("F\x02\r"), "");
  EXPECT_EQ(status_of(1).size(), 47u);
  ASSERT_TRUE(model_control("unit 2 silent off"));
  EXPECT_EQ(status_of(2).size(), 47u);
}

TEST_F(Model, GarbageKeepsLengthAndCrButReplacesEverythingElse) {
  ASSERT_TRUE(model_control("garbage on"));
  for (const char* r : {"Q1\r", "I\r", "F\r"}) {
    std::string s = ask(r);
    ASSERT_FALSE(s.empty()) << r;
    EXPECT_EQ(s.back(), '\r');
    for (size_t i = 0; i + 1 < s.size(); i++) EXPECT_TRUE(s[i] >= 'A' && s[i] <= 'Z') << s;
  }
  EXPECT_EQ(ask("Q1\r").size(), 47u);
  EXPECT_EQ(ask("I\r").size(), 39u);
  EXPECT_EQ(ask("F\r").size(), 22u);
}

TEST_F(Model, GarbageOnceSpoilsOnlyTheNextReplyOfThatUnit) {
  ASSERT_TRUE(model_control("unit 2 garbage once"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
  EXPECT_NE(status_of(2), kOnlineStatus);
  EXPECT_EQ(status_of(2), kOnlineStatus);
}

TEST(ModelGarbage, SameSeedGivesTheSameGarbage) {
  ASSERT_TRUE(model_setup(1, MODEL_ONLINE, 7));
  ASSERT_TRUE(model_control("garbage on"));
  std::string first = ask("Q1\r");
  ASSERT_TRUE(model_setup(1, MODEL_ONLINE, 7));
  ASSERT_TRUE(model_control("garbage on"));
  EXPECT_EQ(ask("Q1\r"), first);
  ASSERT_TRUE(model_control("reset"));
  ASSERT_TRUE(model_control("garbage on"));
  EXPECT_EQ(ask("Q1\r"), first);
  ASSERT_TRUE(model_setup(1, MODEL_ONLINE, 8));
  ASSERT_TRUE(model_control("garbage on"));
  EXPECT_NE(ask("Q1\r"), first);
}

TEST_F(Model, LengthCutsOrPadsTheReplyAndKeepsTheCrLast) {
  ASSERT_TRUE(model_control("length 40"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus.substr(0, 39) + "\r");
  ASSERT_TRUE(model_control("length 60"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus.substr(0, 46) + std::string(13, ' ') + "\r");
  ASSERT_TRUE(model_control("length 1"));
  EXPECT_EQ(ask("Q1\r"), "\r");
  ASSERT_TRUE(model_control("length 256"));
  EXPECT_EQ(ask("F\r").size(), 256u);
  ASSERT_TRUE(model_control("length off"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
}

// The fault modes of real units: short identity and rating replies, noisy
// readings, one glitch byte in the status characters.
TEST_F(Model, InfoLengthsNoiseAndBitGlitch) {
  ASSERT_TRUE(model_control("identity length 23"));
  ASSERT_TRUE(model_control("rating length 21"));
  EXPECT_EQ(ask("I\r").size(), 23u);
  EXPECT_EQ(ask("F\r").size(), 21u);
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus) << "status replies keep their length";
  ASSERT_TRUE(model_control("identity length off"));
  EXPECT_EQ(ask("I\r").size(), 39u);

  ASSERT_TRUE(model_control("noise input_voltage 5"));
  EXPECT_EQ(ask("Q1\r").substr(0, 6), "(235.0");
  EXPECT_EQ(ask("Q1\r").substr(0, 6), "(225.0");
  EXPECT_EQ(ask("Q1\r").substr(0, 6), "(235.0");
  ASSERT_TRUE(model_control("noise off"));
  EXPECT_EQ(ask("Q1\r"), kOnlineStatus);
  EXPECT_FALSE(model_control("noise load 5")) << "only real-valued readings";

  ASSERT_TRUE(model_control("mains fail"));
  ASSERT_TRUE(model_control("garbage bits"));
  EXPECT_EQ(ask("I\r").size(), 39u) << "waits for a status reply";
  EXPECT_EQ(bits_of(ask("Q1\r")), "x0000000");
  EXPECT_EQ(bits_of(ask("Q1\r")), "10000000");
}

TEST_F(Model, SlowAndDelayApplyToTheWholeLine) {
  ASSERT_TRUE(model_control("unit 2 slow 2400"));
  ASSERT_TRUE(model_control("unit 3 delay 150"));
  for (int unit = 1; unit <= 4; unit++) {
    status_of(unit);
    EXPECT_EQ(g_last.gap_us, 4166) << unit;
    EXPECT_EQ(g_last.delay_ms, 150) << unit;
  }
  // A status reply at 2400 baud takes about 196 ms.
  EXPECT_NEAR(47 * g_last.gap_us / 1000.0, 196.0, 1.0);
  ASSERT_TRUE(model_control("slow off"));
  ASSERT_TRUE(model_control("delay off"));
  ask("Q1\r");
  EXPECT_EQ(g_last.gap_us, 0);
  EXPECT_EQ(g_last.delay_ms, 0);
}

TEST_F(Model, ResetRestoresDefaultsAndDropsPendingRestores) {
  ASSERT_TRUE(model_control("unit all set load 50 for 1"));
  ASSERT_TRUE(model_control("unit 3 garbage on"));
  ASSERT_TRUE(model_control("unit 4 silent on"));
  ASSERT_TRUE(model_control("unit 2 type offline"));
  ASSERT_TRUE(model_control("slow 1200"));
  ASSERT_TRUE(model_control("length 12"));
  ASSERT_TRUE(model_control("reset"));
  for (int unit = 2; unit <= 4; unit++) {
    EXPECT_EQ(status_of(unit), kOnlineStatus) << unit;
    EXPECT_EQ(g_last.gap_us, 0);
  }
  // A restore left over from before the reset must not fire later.
  ASSERT_TRUE(model_control("set load 70"));
  EXPECT_EQ(ask("Q1\r").substr(19, 3), "070");
  EXPECT_EQ(ask("Q1\r").substr(19, 3), "070");
}

// ---- log -------------------------------------------------------------------------

TEST(ModelLog, EscapeShowsEveryByteOnOneTextLine) {
  char out[128];
  const unsigned char in[] = {'Q', '1', 0x02, '\r', '\\', '\n', ' ', '~', 0x7f, 0xff, 0x00};
  int n = model_log_escape(in, sizeof in, out, sizeof out);
  EXPECT_EQ(std::string(out), "Q1\\x02\\r\\\\\\n ~\\x7f\\xff\\x00");
  EXPECT_EQ(n, static_cast<int>(strlen(out)));
}

TEST(ModelLog, EscapeStopsBeforeAnEscapeThatDoesNotFit) {
  char out[6];
  memset(out, '#', sizeof out);
  const unsigned char in[] = {0x01, 0x02};
  EXPECT_EQ(model_log_escape(in, sizeof in, out, sizeof out), 4);
  EXPECT_EQ(std::string(out), "\\x01");
  EXPECT_EQ(model_log_escape(in, sizeof in, out, 1), 0);
  EXPECT_EQ(out[0], '\0');
}

TEST(ModelLog, LinesCarryStampTagAndEscapedBytesAndAppend) {
  char path[] = "/tmp/sim_model_test_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  unlink(path);  // the log must create it
  ASSERT_TRUE(model_log_open(path));
  model_log("rx", "Q1\x02\r", 4);
  model_log_close();
  ASSERT_TRUE(model_log_open(path));
  model_log("ctl", "unit 2 battery low", 18);
  model_log_close();
  model_log("tx", "lost", 4);  // no log open: nothing happens

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  unlink(path);
  ASSERT_EQ(lines.size(), 2u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, std::regex(R"(([0-9]+)\.[0-9]{6} rx Q1\\x02\\r)")))
      << lines[0];
  EXPECT_NEAR(std::stod(m[1].str()), static_cast<double>(time(nullptr)), 60.0);
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"([0-9]+\.[0-9]{6} ctl unit 2 battery low)")))
      << lines[1];
}

TEST(ModelLog, OpenFailsOnAMissingFolder) {
  EXPECT_FALSE(model_log_open("/nonexistent-folder/sim.log"));
  model_log("rx", "x", 1);
}

// ---- untrusted input ---------------------------------------------------------------

TEST(ModelRobustness, RandomRequestsAndControlLinesStayInBounds) {
  ASSERT_TRUE(model_setup(4, MODEL_ONLINE, 3));
  std::mt19937 rng(12345);
  const char* words[] = {"unit", "all", "1", "2", "4", "for", "3", "set", "load", "company",
                         "status", "10101010", "garbage", "once", "on", "off", "length",
                         "200", "silent", "mains", "fail", "restore", "test", "reset", "1e308",
                         "-1e308", "battery_voltage", "slow", "delay", "0", "flap", "0.5",
                         "commands", "ignore", "take"};
  const size_t nwords = sizeof words / sizeof words[0];
  unsigned char req[300];
  ModelReply reply;
  for (int i = 0; i < 20000; i++) {
    std::string line;
    int count = static_cast<int>(rng() % 7);
    for (int w = 0; w < count; w++) line += std::string(words[rng() % nwords]) + " ";
    model_control(line.c_str());

    size_t len = rng() % sizeof req;
    for (size_t k = 0; k < len; k++)
      req[k] = static_cast<unsigned char>(rng() % 4 == 0 ? "QIF1TSCR\r"[rng() % 9] : rng() % 256);
    if (len > 0 && rng() % 2) req[len - 1] = '\r';
    int n = model_request(req, len, i * 0.01, &reply);
    ASSERT_GE(n, 0);
    ASSERT_LE(n, MODEL_REPLY_MAX);
    if (n > 0) {
      ASSERT_EQ(reply.bytes[n - 1], '\r');
    }
    model_tick(i * 0.01);
  }
}

}  // namespace
