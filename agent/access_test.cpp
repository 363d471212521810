#include "agent/access.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "tests/tempdir.h"

namespace {

uint32_t ip(const char *text)
{
    in_addr a;
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return ntohl(a.s_addr);
}

TEST(Access, MissingFileIsCreatedWithOnlyAComment)
{
    TempProgramDir dir;
    std::string path = dir.path + ACCESS_FILE;
    EXPECT_EQ(access_load(path), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(path);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first[0], '#');
    EXPECT_TRUE(access_may_command(ip("127.0.0.1"), 0));
    EXPECT_TRUE(access_may_command(ip("127.1.2.3"), 0));
    EXPECT_FALSE(access_may_command(ip("10.0.0.1"), 0)) << "no line: read only";
}

TEST(Access, MostSpecificLineDecidesAndBadLinesAreReportedOnce)
{
    TempProgramDir dir;
    std::string path = dir.path + ACCESS_FILE;
    ensure_dir(dir.path + "Set/");
    std::ofstream(path) << "# comment\n"
                           "10.1.0.0/16 command\n"
                           "10.1.2.0/24 read\r\n"
                           "  10.1.2.7 command\n"
                           "192.0.2.0/33 command\n"
                           "192.0.2.1 write\n"
                           "192.0.2.300 read\n"
                           "0.0.0.0/0 read extra\n"
                           "\n";
    testing::internal::CaptureStdout();
    EXPECT_EQ(access_load(path), 3);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
    EXPECT_NE(out.find("line 5"), std::string::npos) << out;
    struct Case {
        const char *address;
        bool command;
    } cases[] = {
        {"10.1.9.9", true}, {"10.1.2.9", false}, {"10.1.2.7", true},
        {"10.2.0.1", false}, {"192.0.2.1", false}, {"127.0.0.1", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(access_may_command(ip(c.address), 0), c.command) << c.address;
    EXPECT_EQ(access_address_text(ip("192.0.2.5")), "192.0.2.5");
}

// A table of many peers forgets the one heard of longest ago first, and
// never holds more than its limit.
TEST(Access, PerPeerTablesAreBoundedOldestForgottenFirst)
{
    AccessReports table;
    double now = 1000;
    for (uint32_t peer = 1; peer <= ACCESS_TABLE_LIMIT; peer++)
        access_report_due(&table, peer, now + peer * 0.001);
    access_report_due(&table, 1, now + 2); // peer 1 heard of again: now the newest
    EXPECT_EQ(access_report_due(&table, 5000, now + 3), 1);
    EXPECT_EQ(table.size(), ACCESS_TABLE_LIMIT);
    EXPECT_TRUE(table.count(1)) << "recently heard of";
    EXPECT_FALSE(table.count(2)) << "the oldest went";
    EXPECT_TRUE(table.count(3));
    for (uint32_t peer = 10000; peer < 10000 + 3 * ACCESS_TABLE_LIMIT; peer++)
        access_report_due(&table, peer, now + 4);
    EXPECT_EQ(table.size(), ACCESS_TABLE_LIMIT);
}

// One line per kind per minute whoever causes it, the next one with the
// count of those it stood for; kinds do not hold each other up.
TEST(Access, OneLinePerKindPerMinuteWithTheCount)
{
    double t0 = 50000;
    struct Row {
        int kind;
        double at; // seconds after t0
        int due;   // what access_line_due says
    } rows[] = {
        {ACCESS_LINE_WRONG_COMMAND, 0, 1},   {ACCESS_LINE_WRONG_COMMAND, 1, 0},
        {ACCESS_LINE_REFUSED_LOGIN, 1, 1},   {ACCESS_LINE_WRONG_COMMAND, 59.9, 0},
        {ACCESS_LINE_WRONG_COMMAND, 60, 3},  {ACCESS_LINE_REFUSED_LOGIN, 61, 1},
        {ACCESS_LINE_WRONG_COMMAND, 100, 0}, {ACCESS_LINE_WRONG_COMMAND, 200, 2},
    };
    for (const Row &r : rows)
        EXPECT_EQ(access_line_due(r.kind, t0 + r.at), r.due) << r.kind << " at " << r.at;
}

TEST(Access, LoopbackIsOnePeer)
{
    EXPECT_EQ(access_peer_key(ip("127.0.0.1")), access_peer_key(ip("127.45.3.9")));
    EXPECT_NE(access_peer_key(ip("10.0.0.1")), access_peer_key(ip("10.0.0.2")));
    EXPECT_EQ(access_peer_key(ip("10.0.0.1")), ip("10.0.0.1"));
}

// The rights by who the client is: on this host root, and the members of
// a `group` line (by their primary group or the group's member list); no
// other uid, and no client whose owner is unknown. Other hosts by their
// address lines whatever uid they say. The group is "daemon", whose user
// (uid 1) has it as primary group on every Debian system.
TEST(Access, RightsByWhoTheClientIs)
{
    TempProgramDir dir;
    std::string path = dir.path + ACCESS_FILE;
    ensure_dir(dir.path + "Set/");
    struct Case {
        const char *address;
        int64_t uid;
        bool without_group; // the file has no group line
        bool with_group;    // "group daemon"
    } cases[] = {
        {"127.0.0.1", 0, true, true},                      // root
        {"127.3.4.5", 0, true, true},                      // root, any loopback address
        {"127.0.0.1", 1, false, true},                     // daemon: its primary group
        {"127.0.0.1", 65534, false, false},                // nobody
        {"127.0.0.1", 424242, false, false},               // no such user
        {"127.0.0.1", ACCESS_OWNER_UNKNOWN, false, false}, // closed before identified
        {"192.0.2.7", 65534, true, true},                  // another host with `command`
        {"192.0.2.8", 0, false, false},                    // another host with `read`
        {"198.51.100.1", 0, false, false},                 // another host, no line
    };
    for (int with_group = 0; with_group < 2; with_group++) {
        std::ofstream(path) << "192.0.2.7 command\n192.0.2.0/24 read\n"
                            << (with_group ? "group daemon\n" : "");
        EXPECT_EQ(access_load(path), 2 + with_group);
        EXPECT_EQ(access_group_names(), with_group ? "daemon" : "");
        for (const Case &c : cases)
            EXPECT_EQ(access_may_command(ip(c.address), c.uid),
                      with_group ? c.with_group : c.without_group)
                << c.address << " uid " << c.uid << (with_group ? " with" : " without")
                << " the group";
    }
    testing::internal::CaptureStdout();
    std::ofstream(path) << "group no-such-group-here\ngroup\ngroup a b\n";
    EXPECT_EQ(access_load(path), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_NE(out.find("no group \"no-such-group-here\""), std::string::npos) << out;
    EXPECT_FALSE(access_may_command(ip("127.0.0.1"), 1));

    // Membership itself, with the records handed in.
    std::vector<AccessGroup> groups = {{"ops", 500, {"ann", "bob"}}, {"ups", 600, {}}};
    struct Member {
        uint32_t primary;
        const char *user;
        bool in;
    } members[] = {
        {100, "ann", true}, {100, "bob", true}, {500, "carl", true},
        {600, "dora", true}, {100, "eve", false}, {100, "an", false},
    };
    for (const Member &m : members)
        EXPECT_EQ(access_user_in_groups(groups, m.primary, m.user), m.in) << m.user;
    EXPECT_FALSE(access_user_in_groups({}, 0, "root"));
}

} // namespace
