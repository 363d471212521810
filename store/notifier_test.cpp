// The mail and SMS stores and their notifiers: file defaults, and the exact
// argument vectors the sender programs are started with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>
#include <sstream>

#include "store/mail.h"
#include "store/sms.h"
#include "store/textfile.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

const time_t kWhen = 1765200000; // the stamp the senders are given

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool is_time_stamp(const std::string &s)
{
    return s.size() == 19 && s[4] == '/' && s[7] == '/' && s[10] == ' ' && s[13] == ':';
}

TEST(MailStore, MissingFileGetsPrivateDefaults)
{
    TempProgramDir dir;
    mail_init(dir.path);
    std::string path = dir.path + "Set/Mail.ang";
    EXPECT_EQ(slurp(path), "\n\n\n000000000\n");
    struct stat st;
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    MailSettings m = mail_settings_get();
    EXPECT_STREQ(m.mail_receivers, "");
    EXPECT_STREQ(m.mail_events, "000000000");
}

TEST(MailStore, ReadsFourLinesAndWritesThemBack)
{
    TempProgramDir dir;
    mail_init(dir.path);
    std::ofstream(dir.path + "Set/Mail.ang") << "127.0.0.1:2525\nups@x\na@x;b@y;\n0000000";
    mail_settings_read(dir.path + "Set/Mail.ang");
    MailSettings m = mail_settings_get();
    EXPECT_STREQ(m.mail_server, "127.0.0.1:2525");
    EXPECT_STREQ(m.mail_events, "000000000") << "a short flag line is padded";
    m.mail_events[7] = '1';
    snprintf(m.mail_sender, sizeof m.mail_sender, "new@x\nextra");
    mail_settings_set(m);
    ASSERT_TRUE(mail_settings_write());
    EXPECT_EQ(slurp(dir.path + "Set/Mail.ang"), "127.0.0.1:2525\nnew@x\na@x;b@y;\n000000010\n");
}

// The console edits lines 1 to 4 only: the login and the TLS rule
// ("tls=off" too) go back into the file as they were, for `mail` to read.
TEST(MailStore, LoginAndTlsLinesAreKept)
{
    TempProgramDir dir;
    mail_init(dir.path);
    for (const char *rule : {"tls=off", "starttls=required", ""}) {
        std::string tail = std::string("ups\npw\n") + rule + "\n/etc/ca.pem\n";
        std::ofstream(dir.path + "Set/Mail.ang") << "mx\nups@x\na@x\n000000000\n" << tail;
        mail_settings_read(dir.path + "Set/Mail.ang");
        MailSettings m = mail_settings_get();
        EXPECT_STREQ(m.mail_tls, rule);
        snprintf(m.mail_server, sizeof m.mail_server, "mx2");
        mail_settings_set(m);
        ASSERT_TRUE(mail_settings_write());
        EXPECT_EQ(slurp(dir.path + "Set/Mail.ang"), "mx2\nups@x\na@x\n000000000\n" + tail);
    }
}

TEST(MailNotify, OneSenderPerReceiverInListOrder)
{
    TempProgramDir dir;
    mail_init(dir.path);
    SpawnRecorder rec;
    EXPECT_EQ(mail_notify("mx:25", "ups@x", "a@x;b@y;", "AC Failed", 2, kWhen), 0);
    ASSERT_EQ(spawned().size(), 2u) << "a trailing ';' adds no third call";
    const std::vector<std::string> &a = spawned()[0];
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[0], dir.path + "mail");
    EXPECT_EQ(a[1], "mx:25");
    EXPECT_EQ(a[2], "MAIL FROM:ups@x");
    EXPECT_EQ(a[3], "RCPT TO:a@x");
    EXPECT_TRUE(is_time_stamp(a[4])) << a[4];
    EXPECT_EQ(a[5], "Subject:From SoftWare Reply Question-");
    EXPECT_EQ(a[6], " Machine2 AC Failed");
    EXPECT_EQ(spawned()[1][3], "RCPT TO:b@y");

    spawned().clear();
    EXPECT_EQ(mail_notify("mx", "ups@x", "", "Test Mail", 1, kWhen), 1);
    EXPECT_EQ(mail_notify("mx", "ups@x", ";;", "Test Mail", 1, kWhen), 1);
    EXPECT_TRUE(spawned().empty());
}

TEST(MailNotify, ShellCharactersStayInsideOneArgument)
{
    TempProgramDir dir;
    mail_init(dir.path);
    sms_init(dir.path);
    SpawnRecorder rec;
    mail_notify("mx", "\"; touch /tmp/pwned; \"$(id)", "a@x", "AC Failed", 1, kWhen);
    ASSERT_EQ(spawned().size(), 1u);
    EXPECT_EQ(spawned()[0][2], "MAIL FROM:\"; touch /tmp/pwned; \"$(id)");
    sms_notify(0, "\"; touch /tmp/pwned; \"", "", "0911", "T", 1, kWhen);
    ASSERT_EQ(spawned().size(), 2u);
    EXPECT_EQ(spawned()[1][2], "\"; touch /tmp/pwned; \"");
    EXPECT_EQ(spawned()[1][3], "0911");
}

// The line the shell would have run: program_dir "mail", two blanks, then
// the quoted arguments and " &". At most 511 characters.
TEST(MailNotify, CommandLineOver511CharactersIsRefused)
{
    TempProgramDir dir;
    mail_init(dir.path);
    SpawnRecorder rec;
    std::string fixed = dir.path + "mail  \"mx\" \"MAIL FROM:s\" \"RCPT TO:\" \"2026/12/07 10:00:00\""
                        " \"Subject:From SoftWare Reply Question-\" \" Machine1 T\" &";
    std::string fits = std::string(511 - fixed.size() - 2, 'r') + "@x";
    mail_notify("mx", "s", fits.c_str(), "T", 1, kWhen);
    EXPECT_EQ(spawned().size(), 1u);
    std::string over = "r" + fits;
    testing::internal::CaptureStdout();
    EXPECT_EQ(mail_notify("mx", "s", over.c_str(), "T", 1, kWhen), -1) << "reported, not passed as sent";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(spawned().size(), 1u) << "nothing is started for a 512-character line";
    EXPECT_NE(out.find("refused"), std::string::npos);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
}

TEST(MailNotify, MissingSenderProgramIsReportedNotPassedAsSent)
{
    TempProgramDir dir; // holds no mail program
    mail_init(dir.path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(mail_notify("mx", "ups@x", "a@x", "Test Mail", 1, kWhen), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
}

TEST(SmsStore, MissingFileGetsPrivateDefaultsAndGatewayLine)
{
    TempProgramDir dir;
    sms_init(dir.path);
    std::string path = dir.path + "Set/SMS.ang";
    EXPECT_EQ(slurp(path), "0\n\n\n\n\n000000000\n");
    struct stat st;
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::ofstream(path) << "x\nid\napi\npw\n1;2\n000000011\n";
    sms_settings_read(path);
    EXPECT_EQ(sms_settings_get().sms_gateway, 0) << "a first line without digits gives 0";
    std::ofstream(path) << "7\nid\napi\npw\n0911\n000000011\n";
    testing::internal::CaptureStdout();
    sms_settings_read(path);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              path + ": line 1, gateway 7, is neither 0 nor 1: no SMS can be sent\n");
    EXPECT_EQ(sms_settings_get().sms_gateway, 7) << "kept as written";
    std::ofstream(path) << "1\nid\napi\npw\n1;2\n000000011\n";
    testing::internal::CaptureStdout();
    sms_settings_read(path);
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("gateway"), std::string::npos);
    SmsSettings s = sms_settings_get();
    EXPECT_EQ(s.sms_gateway, 1);
    EXPECT_STREQ(s.sms_password, "pw");
    EXPECT_STREQ(s.sms_events, "000000011");
    ASSERT_TRUE(sms_settings_write());
    EXPECT_EQ(slurp(path), "1\nid\napi\npw\n1;2\n000000011\n");
}

TEST(SmsNotify, ArgumentsInSenderOrderWithOneBasedGateway)
{
    TempProgramDir dir;
    sms_init(dir.path);
    SpawnRecorder rec;
    EXPECT_EQ(sms_notify(1, "acct", "api7", "0911;0922", "Battery Low", 3, kWhen), 0);
    ASSERT_EQ(spawned().size(), 2u);
    const std::vector<std::string> &a = spawned()[0];
    ASSERT_EQ(a.size(), 7u) << "no password among the arguments";
    EXPECT_EQ(a[0], dir.path + "sms");
    EXPECT_EQ(a[1], "2");
    EXPECT_EQ(a[2], "acct");
    EXPECT_EQ(a[3], "0911");
    EXPECT_EQ(a[4], "api7");
    EXPECT_TRUE(is_time_stamp(a[5]));
    EXPECT_EQ(a[6], " Machine3 Battery Low");
    EXPECT_EQ(spawned()[1][3], "0922");
    EXPECT_EQ(spawned()[1][2], "acct");
    spawned().clear();
    EXPECT_EQ(sms_notify(0, "acct", "", ";", "Test Message", 1, kWhen), 1);
    EXPECT_TRUE(spawned().empty());
}

TEST(Spawn, StartsWithoutAShellAndReapsItsChildren)
{
    TempProgramDir dir;
    std::string marker = dir.path + "ran";
    std::string evil = "x; touch " + marker;
    // /bin/echo gets the text as one argument; a shell would run the touch.
    ASSERT_TRUE(spawn_command("echo", {"echo", evil}));
    ASSERT_TRUE(spawn_command("true", {"true"}));
    for (int i = 0; i < 100 && spawn_pending() > 0; i++) {
        usleep(20 * 1000);
        spawn_reap();
    }
    EXPECT_EQ(spawn_pending(), 0) << "every ended child is reaped";
    struct stat st;
    EXPECT_NE(stat(marker.c_str(), &st), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(spawn_command("nonexistent-program", {"nonexistent-program-xyz"}));
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
}

} // namespace

namespace {

// A line that does not fit its field is not used at all (a cut address is
// another address), and entries that are no address or number are skipped.
TEST(NotifierFiles, OverlongLinesAreRefusedWholeAndImplausibleEntriesSkipped)
{
    TempProgramDir dir;
    ensure_dir(dir.path + "Set/");
    std::string cut(250, 'a');
    std::ofstream(dir.path + "Set/Mail.ang")
        << "mx\r\nups@x\r\n" << cut << "@x.test;" << cut << "@y.test\r\n111111111\r\n";
    testing::internal::CaptureStdout();
    mail_init(dir.path);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("line 3 is longer than 255"), std::string::npos) << out;
    EXPECT_STREQ(mail_settings_get().mail_receivers, "");
    EXPECT_STREQ(mail_settings_get().mail_events, "111111111") << "CR LF read as LF";

    std::ofstream(dir.path + "Set/SMS.ang") << "0\nid\n\npw\n0911 222 333;12;call me;+44-20\n000000001\n";
    testing::internal::CaptureStdout();
    sms_init(dir.path);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    SpawnRecorder rec;
    SmsSettings s = sms_settings_get();
    sms_notify(s.sms_gateway, s.sms_id, s.sms_api_id, s.sms_phones, "T", 1, kWhen);
    ASSERT_EQ(spawned().size(), 2u);
    EXPECT_EQ(spawned()[0][3], "0911 222 333");
    EXPECT_EQ(spawned()[1][3], "+44-20");

    struct {
        const char *text;
        bool ok;
    } addresses[] = {{"a@b", true}, {"a.b+c@d.example", true}, {"@b", false}, {"a@", false},
                     {"a@b@c", false}, {"a b@c", false}, {"<a@b>", false}, {"ab", false}};
    for (const auto &a : addresses)
        EXPECT_EQ(plausible_address(a.text), a.ok) << a.text;
}

} // namespace
