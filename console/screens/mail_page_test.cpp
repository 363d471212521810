// The mail setting page: the event rows and their flags, typed fields, the
// test mail's checks, and the page itself built in a curses screen whose
// output goes nowhere, read back from what curses last sent to the terminal.
// The mail sender is never started: the spawn seam records its arguments.
#include "console/screens/mail_page.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/client.h"
#include "console/screens/menu.h"
#include "console/ui/screen.h"
#include "store/paths.h"
#include "tests/curses_screen.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

MailSettings settings_of(const char *server, const char *sender, const char *receivers,
                         const char *events = "000000000")
{
    MailSettings m;
    memset(&m, 0, sizeof m);
    snprintf(m.mail_server, sizeof m.mail_server, "%s", server);
    snprintf(m.mail_sender, sizeof m.mail_sender, "%s", sender);
    snprintf(m.mail_receivers, sizeof m.mail_receivers, "%s", receivers);
    snprintf(m.mail_events, sizeof m.mail_events, "%s", events);
    return m;
}

TEST(MailRows, FlagOfEachRow)
{
    const int flags[7] = {7, 6, 5, 4, 2, 1, 8};
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(mail_page_flag_index(MAIL_PAGE_FIRST_ROW + i), flags[i]);
    for (int w : {0, 13, 21, 24, -1})
        EXPECT_EQ(mail_page_flag_index(w), -1) << w;
}

TEST(MailRows, TextsInBothStates)
{
    EXPECT_EQ(mail_page_row_text(14, "000000010"),
              "         Utility Fail           [ Enable  ]                           ");
    EXPECT_EQ(mail_page_row_text(14, "111111101"),
              "         Utility Fail           [ Disable ]                           ");
    EXPECT_EQ(mail_page_row_text(18, "001000000"),
              "         Test in Progress       [ Enable  ]                           ");
    EXPECT_EQ(mail_page_row_text(20, "000000000"),
              "         Connect UPS            [ Disable ]                           ");
    EXPECT_EQ(mail_page_row_text(20, "00000000x"),
              "         Connect UPS            [ Disable ]                           ")
        << "anything but '1' is disabled";
    for (int w = MAIL_PAGE_FIRST_ROW; w <= MAIL_PAGE_LAST_ROW; w++) {
        EXPECT_EQ(mail_page_row_text(w, "111111111").size(), 70u);
        EXPECT_EQ(mail_page_row_text(w, "111111111").substr(32, 11), "[ Enable  ]");
    }
    EXPECT_EQ(mail_page_row_text(20, "0000"), mail_page_row_text(20, "000000000"))
        << "a short flag text reads as disabled";
    EXPECT_EQ(mail_page_row_text(11, "111111111"), "");
}

TEST(MailRows, ToggleTouchesOnlyItsFlag)
{
    char events[10] = "000000000";
    mail_page_toggle(events, 20);
    EXPECT_STREQ(events, "000000001");
    mail_page_toggle(events, 20);
    EXPECT_STREQ(events, "000000000");
    char odd[10] = "x0x1x0x0x";
    mail_page_toggle(odd, 14);
    EXPECT_STREQ(odd, "x0x1x0x1x") << "'0' becomes '1'";
    mail_page_toggle(odd, 20);
    EXPECT_STREQ(odd, "x0x1x0x10") << "anything else becomes '0'";
}

TEST(MailRows, FlagsZeroAndThreeAreNeverChanged)
{
    char events[10] = "100100000";
    for (int round = 0; round < 3; round++)
        for (int w = 0; w < 30; w++)
            mail_page_toggle(events, w);
    EXPECT_EQ(events[0], '1');
    EXPECT_EQ(events[3], '1');
    EXPECT_STREQ(events, "111111111") << "three toggles of each row";
}

TEST(MailInput, EachFieldWithoutControlCharactersAndCut)
{
    MailSettings m = settings_of("", "", "");
    mail_page_input(&m, MAIL_PAGE_SERVER, "mx.example.test:25");
    mail_page_input(&m, MAIL_PAGE_SENDER, "ups@\x02host\x7f.test");
    mail_page_input(&m, MAIL_PAGE_RECEIVERS, "a@x.test;b@y.test\x05");
    EXPECT_STREQ(m.mail_server, "mx.example.test:25");
    EXPECT_STREQ(m.mail_sender, "ups@host.test");
    EXPECT_STREQ(m.mail_receivers, "a@x.test;b@y.test");
    std::string long_text(300, 'r');
    mail_page_input(&m, MAIL_PAGE_RECEIVERS, long_text.c_str());
    EXPECT_EQ(std::string(m.mail_receivers), long_text.substr(0, 255));
    mail_page_input(&m, MAIL_PAGE_FIRST_ROW, "x");
    mail_page_input(&m, MAIL_PAGE_SAVE, "x");
    EXPECT_STREQ(m.mail_server, "mx.example.test:25") << "other widgets take no text";
    EXPECT_STREQ(m.mail_events, "000000000");
}

TEST(MailSendTest, MissingFieldsStartNothing)
{
    SpawnRecorder recorder;
    for (const MailSettings &m : {settings_of("", "s@x", "r@x"), settings_of("mx", "", "r@x"),
                                  settings_of("mx", "s@x", "")})
        EXPECT_STREQ(mail_page_send_test(m), "Test Mail fail, check input data.");
    EXPECT_TRUE(spawned().empty());
}

TEST(MailSendTest, OnlySeparatorsAsksForAReceiver)
{
    SpawnRecorder recorder;
    EXPECT_STREQ(mail_page_send_test(settings_of("mx", "s@x", ";;")),
                 "Please input an receiver mailbox at least.");
    EXPECT_TRUE(spawned().empty());
}

TEST(MailSendTest, TwoReceiversTwoMails)
{
    SpawnRecorder recorder;
    EXPECT_STREQ(mail_page_send_test(settings_of("127.0.0.1:2525", "ups@h", "a@x;b@y;")),
                 "Test Mail has send, check received.");
    ASSERT_EQ(spawned().size(), 2u) << "a trailing ';' adds no third";
    EXPECT_EQ(spawned()[0][1], "127.0.0.1:2525");
    EXPECT_EQ(spawned()[0][2], "MAIL FROM:ups@h");
    EXPECT_EQ(spawned()[0][3], "RCPT TO:a@x");
    EXPECT_EQ(spawned()[1][3], "RCPT TO:b@y");
    EXPECT_EQ(spawned()[0][6], " Machine1 Test Mail");
}

// The page itself, in a terminal that goes nowhere, over a mail file of its
// own program directory.
class MailPage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempProgramDir();
        curses = new CursesScreen();
        if (curses->term == nullptr)
            return;
        build_popups();
        menu_build(0, 0, 80, 24);
        mail_page_build(0, 0, 80, 24);
        mail_init(program_dir());
    }
    static void TearDownTestSuite()
    {
        delete curses;
        delete dir;
    }
    void SetUp() override
    {
        ASSERT_NE(curses->term, nullptr);
        std::filesystem::remove_all(path());
        write_file("mx.test\nups@host.test\na@x.test\n100100000\n");
        machine_setup(client_unit(0), KIND_REMOTE, 1);
        // Esc reads the file back and clears the message.
        switch_screen(SCREEN_MAIL);
        mail_page_key(KEY_BYTE_ESC);
        switch_screen(SCREEN_MAIL);
        home();
    }
    // The focus to the server field: Down from any button goes there; the
    // fields and rows reach a button by Right, then Right again.
    static void home()
    {
        for (int i = 0; i < 3; i++)
            mail_page_key(KEY_BYTE_RIGHT); // 11..13 -> 14 -> 22, rows -> 22, buttons -> 23/21
        mail_page_key(KEY_BYTE_DOWN);
    }
    static std::string path() { return program_dir() + "Set/Mail.ang"; }
    static void write_file(const std::string &text) { std::ofstream(path()) << text; }
    static std::string file() { return file_contents(path()); }
    static void down(int n)
    {
        for (int i = 0; i < n; i++)
            mail_page_key(KEY_BYTE_DOWN);
    }
    // What the terminal shows, under the name these tests use.
    static std::string screen(int row, int col, int n) { return screen_cells(row, col, n); }

    static inline TempProgramDir *dir = nullptr;
    static inline CursesScreen *curses = nullptr;
};

TEST_F(MailPage, DrawsTheLayout)
{
    EXPECT_EQ(screen(1, 30, 20), "    Mail Setting    ");
    EXPECT_EQ(screen(4, 5, 20), "MAIL SERVER:mx.test ");
    EXPECT_EQ(pair_at(4, 17), 2) << "the focused field";
    EXPECT_EQ(screen(5, 5, 25), "USER E-MAIL:ups@host.test");
    EXPECT_EQ(screen(6, 5, 16), "MAIL TO:a@x.test");
    EXPECT_EQ(screen(7, 5, 70), std::string(70, '-'));
    EXPECT_EQ(screen(9, 5, 70),
              "         Utility Fail           [ Disable ]                           ");
    EXPECT_EQ(screen(15, 14, 34), "Connect UPS            [ Disable ]");
    EXPECT_EQ(screen(19, 9, 11), "[Send Test]");
    EXPECT_EQ(screen(19, 32, 8), "[ Save ]");
    EXPECT_EQ(screen(19, 48, 8), "[Cancel]");
    EXPECT_EQ(pair_at(3, 10), 3) << "the panel's light edge";
    EXPECT_EQ(pair_at(22, 10), 4) << "the panel's dark edge";
    EXPECT_EQ(pair_at(10, 77), 5) << "the shadow";
}

TEST_F(MailPage, ConnectRowTogglesAndOnlyItsFlagIsSaved)
{
    down(9); // 11 -> 12 -> 13 -> 14 ... -> 20
    mail_page_key(KEY_BYTE_ENTER);
    EXPECT_EQ(screen(15, 5, 70),
              "         Connect UPS            [ Enable  ]                           ");
    EXPECT_EQ(screen(9, 37, 11), "[ Disable ]");
    mail_page_key(KEY_BYTE_RIGHT); // Save
    EXPECT_EQ(pending(), "");
    mail_page_key(KEY_BYTE_ENTER);
    EXPECT_EQ(screen(17, 23, 27), "      =====!!Save OK!!=====");
    EXPECT_EQ(pair_at(17, 29), 9);
    EXPECT_EQ(current_screen(), SCREEN_MAIL) << "the page stays";
    EXPECT_EQ(file(), "mx.test\nups@host.test\na@x.test\n100100001\n")
        << "flags 0 and 3 written back as they were";
    EXPECT_EQ(pending(), "RefreshMail");
    machine_setup(client_unit(0), KIND_REMOTE, 1);
    mail_page_key(KEY_BYTE_ENTER);
    EXPECT_EQ(pending(), "RefreshMail") << "a second save sends it again";
}

TEST_F(MailPage, SaveThatCannotWriteSaysSo)
{
    std::filesystem::remove(path());
    std::filesystem::create_directory(path()); // nothing can be renamed over it
    mail_page_key(KEY_BYTE_UP);
    mail_page_key(KEY_BYTE_RIGHT); // Save
    mail_page_key(KEY_BYTE_ENTER);
    EXPECT_EQ(screen(17, 23, 29), "      =====!!Save Fail!!=====");
    EXPECT_EQ(pending(), "") << "nothing to reload";
}

} // namespace
