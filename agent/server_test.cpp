#include "agent/server.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

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
    ServerPeer local = {0x7f000001, true};
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

// Every command but a read needs the rules' consent; a refusal is one line
// per peer per minute, with the count.
TEST(Server, CommandsOfAReadOnlyPeerAreDroppedWithOneLineAMinute)
{
    TempProgramDir dir;
    ServerPeer other = {0x0a000002, false};
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
    ServerPeer a = {0x7f000001, true}, b = {0x0a000003, true};
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
