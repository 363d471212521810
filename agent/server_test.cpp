#include "agent/server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "agent/decision.h"
#include "store/mail.h"
#include "tests/tempdir.h"

namespace {

const unsigned char *bytes(const char *text)
{
    return reinterpret_cast<const unsigned char *>(text);
}

LoopTime at(double mono)
{
    return {mono, time(nullptr)};
}

int command(const ServerPeer &peer, const char *text, double now)
{
    std::string reply;
    return server_command(peer, bytes(text), static_cast<int>(strlen(text)), at(now), &reply);
}

void write_mail(const std::string &dir, const char *server)
{
    std::ofstream(dir + "Set/Mail.ang") << server << "\nups@x\na@x\n000000001\n";
}

// A flood of reloads costs one reload per spacing, and the last one asked
// for always takes effect.
TEST(Server, ReloadsAreSpacedAndNeverLost)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    ServerPeer local = {0x7f000001, true, {}};
    double t = 1000;
    write_mail(dir.path, "first");
    EXPECT_EQ(command(local, "RefreshMail", t), 7);
    EXPECT_STREQ(mail_settings_get().mail_server, "first") << "the first one at once";
    write_mail(dir.path, "second");
    for (double dt = 0.5; dt < 4.9; dt += 0.5)
        command(local, "RefreshMail", t + dt);
    server_run_due_reloads(at(t + 4.9));
    EXPECT_STREQ(mail_settings_get().mail_server, "first") << "held back";
    write_mail(dir.path, "third");
    server_run_due_reloads(at(t + 5.0));
    EXPECT_STREQ(mail_settings_get().mail_server, "third") << "once, 5 s after the previous";
    write_mail(dir.path, "fourth");
    server_run_due_reloads(at(t + 20));
    EXPECT_STREQ(mail_settings_get().mail_server, "third") << "nothing more was asked";
    EXPECT_EQ(command(local, "RefreshMail", t + 20), 7);
    EXPECT_STREQ(mail_settings_get().mail_server, "fourth");
}

// The UPS commands of the table: the rule a read matches and what joins unit
// 1's queue, the command up to its carriage return; an "S" that is no
// turn-off the UPS takes is a wrong command and queues nothing.
TEST(Server, UpsCommandsJoinUnitOnesQueueAsTheLanguageHasThem)
{
    TempProgramDir dir;
    static MachineContext units[4];
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_LOCAL_SINGLE, i + 1);
    server_set_units(units);
    ServerPeer local = {0x7f000005, true, {}}; // its own peer: wrong-command lines are per peer
    struct Row {
        std::string bytes;
        int rule;
        const char *queued;
    } rows[] = {
        {"C\r", 2, "C\r"},
        {"CT\r", 3, "CT\r"},
        {"T\r", 4, "T\r"},
        {"TL\r", 5, "TL\r"},
        {"T\rjunk", 11, ""}, // one request is one command: the stream cuts them
        {"S05\r", 6, "S05\r"},
        {"S.5\r", 6, "S02\r"}, // a planned shutdown: never before the UPS delay
        {"S02R0480\r", 6, "S02R0480\r"},
        {"S02R0480\rS03\r", 11, ""},
        {"S\xff\x00\x1b[2J\r", 11, ""},
        {"S120\r", 11, ""},
        {"S00\r", 11, ""},
        {"S05", 11, ""},
        {"S02R48\r", 11, ""},
        {"S" + std::string(70, '9') + "\r", 11, ""},
        {"TLX\r", 11, ""},
        {"C", 11, ""},
    };
    testing::internal::CaptureStdout();
    decision_init(&units[0]); // the turn-offs and the cancel are the decision's
    decision_configure({10, 1, 2}, true);
    double t = 2000;
    for (const Row &r : rows) {
        decision_start("server-test-boot"); // each row from nothing under way
        std::string reply;
        t += SERVER_COMMAND_SPACING; // one a second is taken
        EXPECT_EQ(server_command(local, bytes(r.bytes.c_str()), static_cast<int>(r.bytes.size()),
                                 at(t), &reply),
                  r.rule)
            << r.bytes;
        std::string all, one;
        while (machine_take_pending(&units[0], &one))
            all += one;
        EXPECT_EQ(all, r.queued) << r.bytes;
    }
    decision_init(nullptr);
    testing::internal::GetCapturedStdout();
}

// A client that sends a UPS command every 0.25 s: one a second per address
// joins the queue, the rest are dropped with one line a minute per address
// and the count; other addresses, reads and reloads are not held up.
TEST(Server, UpsCommandsAreOneASecondPerAddress)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    static MachineContext units[4];
    for (int i = 0; i < 4; i++)
        machine_setup(&units[i], KIND_LOCAL_SINGLE, i + 1);
    server_set_units(units);
    ServerPeer flood = {0x7f000009, true, {}}, other = {0x7f00000a, true, {}};
    std::vector<double> taken;
    testing::internal::CaptureStdout();
    for (int i = 0; i < 250; i++) { // a minute and a bit
        double t = 3000 + i * 0.25;
        int rule = command(flood, "CT\r", t);
        EXPECT_TRUE(rule == 3 || rule == 13) << rule;
        if (rule == 3)
            taken.push_back(t);
        if (i == 10) {
            EXPECT_EQ(command(other, "T\r", t), 4) << "another address is not held up";
            EXPECT_EQ(command(flood, "ALL\x01\x00", t), 1) << "reads are not counted";
            EXPECT_EQ(command(flood, "RefreshMail", t), 7);
        }
        std::string one;
        while (machine_take_pending(&units[0], &one)) {
        }
    }
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(taken.size(), 2u);
    for (size_t i = 1; i < taken.size(); i++)
        EXPECT_GE(taken[i] - taken[i - 1], SERVER_COMMAND_SPACING - 1e-9);
    EXPECT_EQ(taken.size(), 63u) << "every fourth";
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("command \"CT.\" from 127.0.0.9 refused: one UPS command a second per "
                       "host (1 since the last line)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("(180 since the last line)"), std::string::npos) << out;
}

// Port 2027's bytes as requests, however the reads cut or join them: each
// row is a session's reads in turn, the requests they give, and what waits
// for the next read.
TEST(Server, RequestsAreCutFromTheByteStream)
{
    using namespace std::string_literals;
    using Reads = std::vector<std::string>;
    struct Row {
        Reads reads;
        Reads requests;
        std::string pending;
    } rows[] = {
        // One request per read, as the console and the daemons send them.
        {{"ALL\x01\x00"s}, {"ALL\x01"}, ""},
        {{"T\r"}, {"T\r"}, ""},
        {{"RefreshPlan"}, {"RefreshPlan"}, ""},
        {{"RefreshSet"}, {"RefreshSet"}, ""},
        {{"ALL2"}, {"ALL2"}, ""},
        // Split over reads.
        {{"S02R", "0480\r"}, {"S02R0480\r"}, ""},
        {{"S", "0", "2", "R", "0", "4", "8", "0", "\r"}, {"S02R0480\r"}, ""},
        {{"AL", "L\x03", "\x00"s}, {"ALL\x03"}, ""},
        {{"Refre", "shSMS"}, {"RefreshSMS"}, ""},
        {{"RefreshSe", "t"}, {"RefreshSet"}, ""},
        {{"S02R"}, {}, "S02R"},
        {{"TL"}, {}, "TL"},
        {{"S02R", "Q1\r"}, {"S02RQ1\r"}, ""}, // never glued into a command
        // Several in one read.
        {{"S01\rQ\rT\r"}, {"S01\r", "Q\r", "T\r"}, ""},
        {{"ALL\x01\x00T\r"s}, {"ALL\x01", "T\r"}, ""},
        {{"T\r\nCT\r"}, {"T\r", "CT\r"}, ""}, // the LF is stray
        {{"ALL\x01\x00" "ALL\x02\x00"s}, {"ALL\x01", "ALL\x02"}, ""},
        {{"RefreshSet\rT\r"}, {"RefreshSet", "T\r"}, ""},
        {{"RefreshPlan\rC\r"}, {"RefreshPlan", "C\r"}, ""},
        // Foreign bytes: a wrong request to the CR or the read's end.
        {{"S\xff\x00\x1b[2J\r"s}, {"S\xff\x00\x1b[2J\r"s}, ""},
        {{"S\xff\x00\x1b[2J\rT\r"s}, {"S\xff\x00\x1b[2J\r"s, "T\r"}, ""},
        {{"garbage"}, {"garbage"}, ""},
        {{"garbage", "T\r"}, {"garbage", "T\r"}, ""},
        {{"xyzT\r"}, {"xyzT\r"}, ""},
        {{"RefreshSet!"}, {"RefreshSet!"}, ""},
        {{"RefreshMail and more"}, {"RefreshMail"}, ""}, // trailing bytes as always
        {{"RefreshMail and more\rT\r"}, {"RefreshMail", "T\r"}, ""},
        {{"S120\r"}, {"S120\r"}, ""}, // a line: server_command refuses its value
        {{"TLX\r"}, {"TLX\r"}, ""},
        {{"\r\n\x00\r"s}, {}, ""},
        {{std::string(3000, 'x')}, {std::string(SERVER_REQUEST_MAX, 'x')}, ""},
    };
    for (const Row &r : rows) {
        ServerStream stream;
        Reads got;
        for (const std::string &read : r.reads)
            server_stream_take(&stream, bytes(read.c_str()), static_cast<int>(read.size()), &got);
        std::string shown;
        for (const std::string &read : r.reads) {
            shown += '[';
            shown += read;
            shown += ']';
        }
        EXPECT_EQ(got, r.requests) << shown;
        EXPECT_EQ(stream.pending, r.pending) << shown;
    }
}

// Every command but a read needs the rules' consent; a refusal is one line
// per peer per minute, with the count.
TEST(Server, CommandsOfAReadOnlyPeerAreDroppedWithOneLineAMinute)
{
    TempProgramDir dir;
    ServerPeer other = {0x0a000002, false, {}};
    testing::internal::CaptureStdout();
    const char *commands[] = {"C\r", "CT\r", "T\r", "TL\r", "S05\r", "RefreshMail",
                              "RefreshSMS", "RefreshPlan", "RefreshSet"};
    for (const char *c : commands)
        EXPECT_EQ(command(other, c, 10), 12) << c;
    command(other, "T\r", 69);
    command(other, "T\r", 70);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_NE(out.find("from 10.0.0.2 refused (1 since"), std::string::npos) << out;
    EXPECT_NE(out.find("refused (10 since"), std::string::npos) << out;
    EXPECT_EQ(command(other, "nonsense", 71), 11) << "what is no command stays a wrong one";
}

// Garbage is one line per peer per minute, the count of what it stands for
// on the next one.
TEST(Server, WrongCommandsAreOneLineAMinutePerPeer)
{
    TempProgramDir dir;
    ServerPeer a = {0x7f000001, true, {}}, b = {0x0a000003, true, {}};
    testing::internal::CaptureStdout();
    for (int i = 0; i < 1000; i++)
        EXPECT_EQ(command(a, "garbage", 100 + i * 0.01), 11);
    command(b, "noise", 105);
    command(a, "garbage", 161);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_NE(out.find("unknown command \"garbage\" from 127.0.0.1 (1 since"), std::string::npos) << out;
    EXPECT_NE(out.find("unknown command \"noise\" from 10.0.0.3 (1 since"), std::string::npos) << out;
    EXPECT_NE(out.find("unknown command \"garbage\" from 127.0.0.1 (1000 since"), std::string::npos)
        << out;
}

} // namespace
