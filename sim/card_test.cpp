// Tests of the UPS-MIB view of unit 1: the walk order and values, the alarm
// table's ids, the SETs and what they do to the model, the test modes.
#include "card.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model.h"

namespace {

const std::string kUps = ".1.3.6.1.2.1.33.1.";
const double kStart = 100.0;

class Card : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(model_setup(1, MODEL_ONLINE, 1));
    card_setup(kStart);
  }
};

// "TYPE VALUE" of a GET, or "NONE".
std::string get(const std::string& suffix, double now) {
  CardAnswer a;
  if (!card_get((kUps + suffix).c_str(), now, &a)) return "NONE";
  EXPECT_EQ(std::string(a.oid), kUps + suffix);
  return std::string(a.type) + " " + a.value;
}

// Every "OID TYPE VALUE" a walk from `from` finds below `below`.
std::vector<std::string> walk(const std::string& from, const std::string& below, double now) {
  std::vector<std::string> seen;
  std::string at = from;
  CardAnswer a;
  while (seen.size() < 200 && card_getnext(at.c_str(), now, &a)) {
    at = a.oid;
    if (at.compare(0, below.size(), below) != 0) break;
    seen.push_back(at.substr(kUps.size()) + " " + a.type + " " + a.value);
  }
  return seen;
}

// The alarm table as "ID:ARC@TICKS ...".
std::string alarms(double now) {
  std::string rows;
  for (const std::string& cell : walk(kUps + "6.2", kUps + "6.2.1.2.", now)) {
    std::string id = cell.substr(std::string("6.2.1.2.").size(), cell.find(' ') - 8);
    std::string arc = cell.substr(cell.rfind('.') + 1);
    std::string ticks = get("6.2.1.3." + id, now);
    rows += (rows.empty() ? "" : " ") + id + ":" + arc + "@" + ticks.substr(ticks.find(' ') + 1);
  }
  return rows;
}

TEST_F(Card, WalkGoesInOidOrderAndEveryGetAgrees) {
  const std::vector<std::string> expected = {
      "1.1.0 string SIMULATED", "1.2.0 string SIM-1001", "1.3.0 string 1.0",
      "1.4.0 string upssim card", "1.5.0 string SIM-1001",
      "2.1.0 integer 2", "2.2.0 integer 0", "2.3.0 integer 30", "2.4.0 integer 100",
      "2.5.0 integer 23", "2.7.0 integer 25",
      "3.2.0 integer 1", "3.3.1.2.1 integer 500", "3.3.1.3.1 integer 230",
      "4.1.0 integer 3", "4.2.0 integer 500", "4.3.0 integer 1", "4.4.1.2.1 integer 230",
      "4.4.1.5.1 integer 25",
      "6.1.0 gauge 0",
      "7.1.0 objectid .1.3.6.1.2.1.33.1.7.7.1", "7.2.0 integer 0", "7.3.0 integer 6",
      "8.1.0 integer 1", "8.2.0 integer -1", "8.3.0 integer -1", "8.4.0 integer -1",
      "8.5.0 integer 1",
      "9.1.0 integer 230", "9.2.0 integer 500", "9.3.0 integer 230", "9.4.0 integer 500",
      "9.5.0 integer 920", "9.6.0 integer 736", "9.8.0 integer 1",
  };
  EXPECT_EQ(walk(".1.3.6.1.2.1.33", ".1.3.6.1.2.1.33.", kStart), expected);
  for (const std::string& row : expected) {
    std::string suffix = row.substr(0, row.find(' '));
    EXPECT_EQ(suffix + " " + get(suffix, kStart), row);
  }
  // Not instances (index columns are not-accessible), past the end, malformed.
  for (const char* oid : {"1.3.6.1.2.1.33.1.3.3.1.1.1", ".1.3.6.1.2.1.33.1.1.1", ".1.3.6.1.2.1.33.1.9.8.0.0",
                          ".1.3.6.1.2.1.33.1.9.7.0", "", ".", "1..3", "1.3.x", "1.3.", "1.99999999999"}) {
    CardAnswer a;
    EXPECT_FALSE(card_get(oid, kStart, &a)) << oid;
  }
  CardAnswer a;
  EXPECT_FALSE(card_getnext(".1.3.6.1.2.1.33.1.9.8.0", kStart, &a));
  ASSERT_TRUE(card_getnext("1.3.6.1.2.1.33.1.9.6.0", kStart, &a));  // no leading dot
  EXPECT_STREQ(a.oid, ".1.3.6.1.2.1.33.1.9.8.0");
  ASSERT_TRUE(card_getnext("1", kStart, &a));
  EXPECT_STREQ(a.oid, ".1.3.6.1.2.1.33.1.1.1.0");
}

// A text with a byte a value line cannot carry goes as hexadecimal octets.
TEST_F(Card, IdentityWithControlBytesIsServedAsOctets) {
  ASSERT_TRUE(model_control("set company A\\x22\\x0aB"));
  EXPECT_EQ(get("1.1.0", kStart), "octet 41 22 0A 42");
  EXPECT_EQ(get("1.2.0", kStart), "string SIM-1001");
}

TEST_F(Card, AlarmsFollowTheModelWithIdsThatKeepIncreasing) {
  struct Step {
    double at;
    const char* control;  // model control line, nullptr: none
    const char* rows;     // the alarm table afterwards
    int present;          // upsAlarmsPresent
    const char* source;   // upsOutputSource
    const char* seconds;  // upsSecondsOnBattery
  };
  const Step steps[] = {
      {101, "mains fail", "1:2@100", 1, "integer 5", "integer 0"},
      {103, "battery low", "1:2@100 2:3@300", 2, "integer 5", "integer 2"},
      {104, "mains restore", "2:3@300", 1, "integer 3", "integer 0"},
      {105, "mains fail", "2:3@300 3:2@500", 2, "integer 5", "integer 0"},
      {106, "set load 120", "2:3@300 3:2@500 4:8@600", 3, "integer 5", "integer 1"},
      {107, "reset", "", 0, "integer 3", "integer 0"},
      {108, "bypass on", "5:9@800", 1, "integer 4", "integer 0"},
      {109, "set status 00010111", "6:18@900 7:22@900 8:24@900", 3, "integer 3", "integer 0"},
      {110, "type offline", "6:18@900 7:22@900 8:24@900", 3, "integer 3", "integer 0"},
      {110, "bypass on", "6:18@900 7:22@900 8:24@900", 3, "integer 3", "integer 0"},  // AVR
  };
  for (const Step& s : steps) {
    if (s.control) {
      ASSERT_TRUE(model_control(s.control)) << s.control;
    }
    EXPECT_EQ(alarms(s.at), s.rows) << "after " << s.control;
    EXPECT_EQ(get("6.1.0", s.at), "gauge " + std::to_string(s.present)) << "after " << s.control;
    EXPECT_EQ(get("4.1.0", s.at), s.source) << "after " << s.control;
    EXPECT_EQ(get("2.2.0", s.at), s.seconds) << "after " << s.control;
  }
  // The battery voltage is shown as the model holds it.
  ASSERT_TRUE(model_control("set battery_voltage 27.0"));
  EXPECT_EQ(get("2.5.0", 111), "integer 270");
}

TEST_F(Card, SetsActOnTheModelAndAreRefusedWithTheRightWord) {
  const uint8_t kBits = MODEL_BIT_TEST | MODEL_BIT_SHUTDOWN;
  struct Step {
    double at;
    const char* oid;    // set this (below upsObjects); nullptr: only check
    const char* value;  // as snmpd passes it
    const char* word;   // expected reply
    const char* log;    // expected log text ("" when refused)
    const char* check;  // then get this
    const char* shows;  // and expect this
    uint8_t bits;       // test and shutdown bits of the model afterwards
  };
  const Step steps[] = {
      {100, "7.2.0", "integer 1", "inconsistent-value", "", "7.2.0", "integer 0", 0},
      {100, "7.2.0", "integer 0", "DONE", "1.3.6.1.2.1.33.1.7.2.0 integer 0", "7.2.0", "integer 1", 0},
      {100, "7.2.0", "gauge 1", "wrong-type", "", "7.2.0", "integer 1", 0},
      {100, "7.1.0", "objectid \".1.3.6.1.2.1.33.1.7.7.4\"", "DONE",
       "1.3.6.1.2.1.33.1.7.1.0 objectid 1.3.6.1.2.1.33.1.7.7.4", "7.3.0", "integer 5", MODEL_BIT_TEST},
      {101, "7.1.0", "objectid \".1.3.6.1.2.1.33.1.7.7.3\"", "inconsistent-value", "", "7.1.0",
       "objectid .1.3.6.1.2.1.33.1.7.7.4", MODEL_BIT_TEST},
      {101, "7.1.0", "integer 4", "wrong-type", "", "7.3.0", "integer 5", MODEL_BIT_TEST},
      {110.5, nullptr, nullptr, nullptr, nullptr, "7.3.0", "integer 1", 0},  // 10 s quick test over
      {111, "7.1.0", "objectid \".1.3.6.1.2.1.33.1.7.7.5\"", "DONE",
       "1.3.6.1.2.1.33.1.7.1.0 objectid 1.3.6.1.2.1.33.1.7.7.5", "7.3.0", "integer 5", MODEL_BIT_TEST},
      {200, nullptr, nullptr, nullptr, nullptr, "7.3.0", "integer 5", MODEL_BIT_TEST},  // deep: no end
      {200, "7.1.0", "objectid \"1.3.6.1.2.1.33.1.7.7.2\"", "DONE",
       "1.3.6.1.2.1.33.1.7.1.0 objectid 1.3.6.1.2.1.33.1.7.7.2", "7.3.0", "integer 4", 0},
      {200, "7.1.0", "objectid \".1.3.6.1.2.1.33.1.7.7.1\"", "wrong-value", "", "7.1.0",
       "objectid .1.3.6.1.2.1.33.1.7.7.5", 0},
      {200, "7.1.0", "objectid \".1.3.6.1.2.1.33.1.7.7.4.0\"", "wrong-value", "", "7.3.0", "integer 4", 0},
      {200, "8.2.0", "integer 120", "DONE", "1.3.6.1.2.1.33.1.8.2.0 integer 120", "8.2.0", "integer 120",
       MODEL_BIT_SHUTDOWN},
      {230, nullptr, nullptr, nullptr, nullptr, "8.2.0", "integer 90", MODEL_BIT_SHUTDOWN},
      {230, "8.2.0", "integer -1", "DONE", "1.3.6.1.2.1.33.1.8.2.0 integer -1", "8.2.0", "integer -1", 0},
      {230, "8.2.0", "integer -2", "wrong-value", "", "8.2.0", "integer -1", 0},
      {230, "8.2.0", "integer 1x", "wrong-value", "", "8.2.0", "integer -1", 0},
      {230, "8.2.0", "integer 0", "DONE", "1.3.6.1.2.1.33.1.8.2.0 integer 0", "4.1.0", "integer 2",
       MODEL_BIT_SHUTDOWN},  // the output is off at once
      {231, nullptr, nullptr, nullptr, nullptr, "6.2.1.2.4", "objectid .1.3.6.1.2.1.33.1.6.3.14",
       MODEL_BIT_SHUTDOWN},
      {231, "8.2.0", "integer -1", "DONE", "1.3.6.1.2.1.33.1.8.2.0 integer -1", "4.1.0", "integer 3", 0},
      {231, "8.4.0", "integer 301", "wrong-value", "", "8.4.0", "integer -1", 0},
      {231, "8.4.0", "integer 300", "DONE", "1.3.6.1.2.1.33.1.8.4.0 integer 300", "8.4.0", "integer 300", 0},
      {531, nullptr, nullptr, nullptr, nullptr, "8.4.0", "integer -1", 0},
      {531, "8.3.0", "integer 60", "DONE", "1.3.6.1.2.1.33.1.8.3.0 integer 60", "8.3.0", "integer 60", 0},
      {531, "8.5.0", "integer 3", "wrong-value", "", "8.5.0", "integer 1", 0},
      {531, "8.5.0", "integer 2", "DONE", "1.3.6.1.2.1.33.1.8.5.0 integer 2", "8.5.0", "integer 2", 0},
      {531, "8.1.0", "integer 2", "DONE", "1.3.6.1.2.1.33.1.8.1.0 integer 2", "8.1.0", "integer 2", 0},
      {531, "9.1.0", "integer 230", "not-writable", "", "9.1.0", "integer 230", 0},
      {531, "1.5.0", "string \"x\"", "not-writable", "", "1.5.0", "string SIM-1001", 0},
      {531, "7.2.0.1", "integer 1", "not-writable", "", "7.2.0", "integer 1", 0},
  };
  for (const Step& s : steps) {
    std::string what = std::string(s.oid ? s.oid : "check") + " " + (s.value ? s.value : "");
    if (s.oid) {
      CardSetResult r;
      card_set((kUps + s.oid).c_str(), s.value, s.at, &r);
      EXPECT_STREQ(r.word, s.word) << what;
      EXPECT_EQ(r.taken, std::string(s.word) == "DONE") << what;
      EXPECT_STREQ(r.log, s.log) << what;
    }
    EXPECT_EQ(get(s.check, s.at), s.shows) << what;
    ModelUnit u;
    ASSERT_TRUE(model_snapshot(1, &u));
    EXPECT_EQ(u.bits & kBits, s.bits) << what;
  }
}

TEST_F(Card, ControlWordsMakeAPartialOrWronglyTypedCard) {
  EXPECT_FALSE(card_control("mains fail"));
  EXPECT_FALSE(card_control("card partial"));
  EXPECT_FALSE(card_control("card partial maybe"));
  EXPECT_FALSE(card_control("card noisy on"));
  EXPECT_FALSE(card_control("card partial on now"));

  ASSERT_TRUE(card_control("card partial on"));
  EXPECT_EQ(walk(".1.3.6.1.2.1.33", ".1.3.6.1.2.1.33.", kStart),
            (std::vector<std::string>{"2.1.0 integer 2", "3.3.1.3.1 integer 230", "4.1.0 integer 3"}));
  CardSetResult r;
  card_set((kUps + "8.2.0").c_str(), "integer 120", kStart, &r);
  EXPECT_STREQ(r.word, "not-writable");
  ASSERT_TRUE(card_control(" card  partial off"));
  EXPECT_EQ(get("1.1.0", kStart), "string SIMULATED");

  ASSERT_TRUE(card_control("card wrongtype on"));
  EXPECT_EQ(get("3.3.1.3.1", kStart), "string 230");
  EXPECT_EQ(get("4.4.1.2.1", kStart), "integer 230");
  ASSERT_TRUE(card_control("card wrongtype off"));
  EXPECT_EQ(get("3.3.1.3.1", kStart), "integer 230");
}

}  // namespace
