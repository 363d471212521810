// The SMS setting page: its text rules (the masked password, the gateway
// names, the texts each gateway needs, the event rows), and the page itself
// driven by key bytes in a curses screen whose output goes nowhere, with the
// sender starts recorded instead of made.
#include "console/screens/sms_page.h"

#include <curses.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "console/screens/menu.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/paths.h"
#include "tests/curses_screen.h"
#include "tests/spawn_recorder.h"
#include "tests/tempdir.h"

namespace {

const std::string MASK = "**************";

SmsSettings record(int gateway, const char *id, const char *api_id, const char *password,
                   const char *phones, const char *events = "000000000")
{
    SmsSettings s;
    memset(&s, 0, sizeof s);
    s.sms_gateway = static_cast<int8_t>(gateway);
    snprintf(s.sms_id, sizeof s.sms_id, "%s", id);
    snprintf(s.sms_api_id, sizeof s.sms_api_id, "%s", api_id);
    snprintf(s.sms_password, sizeof s.sms_password, "%s", password);
    snprintf(s.sms_phones, sizeof s.sms_phones, "%s", phones);
    snprintf(s.sms_events, sizeof s.sms_events, "%s", events);
    return s;
}

const std::string NAMES[SMS_GATEWAY_COUNT] = {"gw-one.example.net", "gw-two.example.net"};

TEST(SmsPageText, ThePasswordIsAlwaysFourteenAsterisks)
{
    EXPECT_EQ(MASK.size(), 14u);
    const std::string long_one(200, 'p');
    for (const char *password : {"", "x", "secret", long_one.c_str()}) {
        SmsPageView v = sms_page_view(record(0, "id", "", password, "1"), NAMES);
        EXPECT_EQ(v.password, MASK) << "password of " << strlen(password) << " characters";
    }
}

TEST(SmsPageText, TheGatewayNameIsTheHostOfItsTemplate)
{
    EXPECT_EQ(sms_page_gateway_name("https://sms1.example.com/api/send?user={id}", 0),
              "sms1.example.com");
    EXPECT_EQ(sms_page_gateway_name("POST http://127.0.0.1:8080/post?pw={password}", 1),
              "127.0.0.1");
    EXPECT_EQ(sms_page_gateway_name("https://me:pw@gw.example.org:8443/x", 0), "gw.example.org");
}

TEST(SmsPageText, AnUnusableTemplateNamesItsLine)
{
    EXPECT_EQ(sms_page_gateway_name("", 0), "(no URL in SMSGateway.ang line 1)");
    EXPECT_EQ(sms_page_gateway_name("ftp://host/path", 1), "(no URL in SMSGateway.ang line 2)");
}

TEST(SmsPageText, TheFieldShowsTheChosenGatewaysName)
{
    EXPECT_EQ(sms_page_view(record(0, "", "", "", ""), NAMES).gateway, NAMES[0]);
    EXPECT_EQ(sms_page_view(record(1, "", "", "", ""), NAMES).gateway, NAMES[1]);
    EXPECT_EQ(sms_page_view(record(2, "", "", "", ""), NAMES).gateway, "(unknown gateway)");
    EXPECT_EQ(sms_page_view(record(-1, "", "", "", ""), NAMES).gateway, "(unknown gateway)");
}

TEST(SmsPageText, TheApiIdShowsOnlyBesideTheSecondGateway)
{
    SmsPageView zero = sms_page_view(record(0, "id", "api", "pw", "1"), NAMES);
    EXPECT_EQ(zero.api_caption, "");
    EXPECT_EQ(zero.api_id, "");
    SmsPageView one = sms_page_view(record(1, "id", "api", "pw", "1"), NAMES);
    EXPECT_EQ(one.api_caption, "api_id:");
    EXPECT_EQ(one.api_id, "api");
}

TEST(SmsPageText, TheFirstGatewayNeedsIdPasswordAndPhones)
{
    EXPECT_EQ(sms_page_test_refusal(record(0, "id", "", "pw", "123")), nullptr);
    const char *fail = "Test SMS fail, check input data.";
    EXPECT_STREQ(sms_page_test_refusal(record(0, "", "", "pw", "123")), fail);
    EXPECT_STREQ(sms_page_test_refusal(record(0, "id", "", "", "123")), fail);
    EXPECT_STREQ(sms_page_test_refusal(record(0, "id", "", "pw", "")), fail);
}

TEST(SmsPageText, TheSecondGatewayAlsoNeedsTheApiId)
{
    const char *fail = "Test SMS fail, check input data.";
    EXPECT_STREQ(sms_page_test_refusal(record(1, "id", "", "pw", "123")), fail);
    EXPECT_EQ(sms_page_test_refusal(record(1, "id", "api", "pw", "123")), nullptr);
    EXPECT_STREQ(sms_page_test_refusal(record(1, "", "api", "pw", "123")), fail);
    EXPECT_STREQ(sms_page_test_refusal(record(1, "id", "api", "", "123")), fail);
    EXPECT_STREQ(sms_page_test_refusal(record(1, "id", "api", "pw", "")), fail);
}

TEST(SmsPageText, AnUnknownGatewayIsRefusedWhateverIsFilledIn)
{
    EXPECT_STREQ(sms_page_test_refusal(record(2, "id", "api", "pw", "123")),
                 "Test SMS fail, choose the SMS server.");
    EXPECT_STREQ(sms_page_test_refusal(record(-3, "", "", "", "")),
                 "Test SMS fail, choose the SMS server.");
}

TEST(SmsPageText, EventRowsAreSeventyCharactersWithTheirFlag)
{
    SmsPageView v = sms_page_view(record(0, "", "", "", "", "000000011"), NAMES);
    EXPECT_EQ(v.rows[0], "         Utility Fail           [ Enable  ]                           ");
    EXPECT_EQ(v.rows[1], "         Battery Low            [ Disable ]                           ");
    EXPECT_EQ(v.rows[6], "         Connect UPS            [ Enable  ]                           ");
    for (const std::string &row : v.rows)
        EXPECT_EQ(row.size(), 70u) << row;
}

TEST(SmsPageText, TogglingRowsFlipsTheirFlagsAndNeverFlagsZeroAndThree)
{
    SmsSettings s = record(0, "", "", "", "", "101x00000");
    const int flag_of_row[SMS_PAGE_EVENT_ROWS] = {7, 6, 5, 4, 2, 1, 8};
    for (int row = 0; row < SMS_PAGE_EVENT_ROWS; row++) {
        char before = s.sms_events[flag_of_row[row]];
        sms_page_toggle_row(&s, row);
        EXPECT_EQ(s.sms_events[flag_of_row[row]], before == '0' ? '1' : '0') << "row " << row;
    }
    EXPECT_STREQ(s.sms_events, "110x11111") << "flags 0 and 3 kept, the others flipped";
    sms_page_toggle_row(&s, 7);
    sms_page_toggle_row(&s, -1);
    EXPECT_STREQ(s.sms_events, "110x11111") << "no row outside 0..6";
}

TEST(SmsPageText, AFlagOtherThanZeroTogglesToZero)
{
    SmsSettings s = record(0, "", "", "", "", "00000000?");
    sms_page_toggle_row(&s, 6);
    EXPECT_EQ(s.sms_events[8], '0');
}

// The page in a curses screen writing to /dev/null, its files in a
// temporary program directory, the menu and both popups registered.
// A page is built once per process, as at start-up, so each of these tests
// needs a process of its own (ctest runs every TEST so).
class SmsPageScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(curses.term, nullptr);
        build_popups();
        menu_build(0, 0, 80, 24);
        sms_page_build(0, 0, 80, 24);
        sms_init(dir.path);
    }
    void show(const SmsSettings &s)
    {
        sms_settings_set(s);
        switch_screen(SCREEN_SMS);
    }
    void keys(std::initializer_list<int> bytes)
    {
        for (int b : bytes)
            sms_page_key(b);
    }
    // What the terminal shows, under the name these tests use.
    std::string cells(int row, int col, int n) { return screen_cells(row, col, n); }
    std::string screen_text()
    {
        std::string s;
        for (int r = 0; r < 24; r++)
            s += cells(r, 0, 80) + "\n";
        return s;
    }
    std::string message() { return cells(18, 23, 45); }
    std::string file_text() { return file_contents(dir.path + "Set/SMS.ang"); }

    TempProgramDir dir;
    CursesScreen curses;
};

TEST_F(SmsPageScreen, ArrivalShowsTheGatewayHostMaskedPasswordAndNoApiIdForTheFirstGateway)
{
    show(record(0, "account", "left over", "pw", "111;222", "000000010"));
    EXPECT_EQ(cells(4, 5, 27), "SMS SERVER:sms1.example.com") << screen_text();
    EXPECT_EQ(cells(5, 39, 7), "       ") << "no api_id: caption";
    EXPECT_EQ(cells(5, 9, 7), "account");
    EXPECT_EQ(cells(6, 14, 15), MASK + " ");
    EXPECT_EQ(cells(7, 18, 7), "111;222");
    EXPECT_STREQ(sms_settings_get().sms_api_id, "") << "gateway 0 drops the API id";
    EXPECT_EQ(cells(10, 5, 70), "         Utility Fail           [ Enable  ]                           ");
    EXPECT_EQ(cells(11, 5, 43), "         Battery Low            [ Disable ]");
    EXPECT_TRUE(std::filesystem::exists(dir.path + "Set/SMSGateway.ang"))
        << "the gateway file is written with its defaults when missing";
}

TEST_F(SmsPageScreen, FieldsShowTheirFirstCharactersOnly)
{
    std::string id(40, 'i'), api(40, 'a'), phones(80, '5');
    show(record(1, id.c_str(), api.c_str(), "pw", phones.c_str()));
    EXPECT_EQ(cells(5, 9, 26), std::string(25, 'i') + " ");
    EXPECT_EQ(cells(5, 39, 36), "api_id:" + std::string(29, 'a'));
    EXPECT_EQ(cells(7, 18, 58), std::string(57, '5') + " ");
}

TEST_F(SmsPageScreen, SwitchingGatewaysShowsAndHidesTheApiIdAndEmptiesIt)
{
    show(record(0, "id", "", "pw", "1"));
    keys({KEY_BYTE_ENTER});
    ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_EQ(list_popup_selected(), 0);
    EXPECT_STREQ(list_popup_row_text(0), "sms1.example.com");
    EXPECT_STREQ(list_popup_row_text(1), "sms2.example.com");
    screen_list_choice(1, "sms2.example.com");
    return_to_previous();
    EXPECT_EQ(cells(5, 39, 7), "api_id:");
    EXPECT_EQ(cells(4, 16, 16), "sms2.example.com");

    keys({KEY_BYTE_RIGHT, KEY_BYTE_ENTER}); // to the API id field
    ASSERT_EQ(current_screen(), SCREEN_INPUT_BOX);
    for (char c : std::string("k42"))
        input_box_key(c);
    input_box_key(KEY_BYTE_ENTER);
    EXPECT_STREQ(sms_settings_get().sms_api_id, "k42");
    EXPECT_EQ(cells(5, 46, 3), "k42");

    keys({KEY_BYTE_UP, KEY_BYTE_ENTER});
    ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_EQ(list_popup_selected(), 1) << "the popup opens on the gateway in use";
    screen_list_choice(0, "sms1.example.com");
    return_to_previous();
    EXPECT_EQ(cells(5, 39, 10), "          ");
    EXPECT_STREQ(sms_settings_get().sms_api_id, "");

    keys({KEY_BYTE_ENTER});
    screen_list_choice(1, "sms2.example.com");
    return_to_previous();
    EXPECT_EQ(cells(5, 39, 10), "api_id:   ") << "back at the second gateway the API id is empty";
}

TEST_F(SmsPageScreen, EnterOnTheApiIdDoesNothingForTheFirstGateway)
{
    show(record(0, "id", "", "pw", "1"));
    keys({KEY_BYTE_DOWN, KEY_BYTE_RIGHT, KEY_BYTE_ENTER});
    EXPECT_EQ(current_screen(), SCREEN_SMS);
}

TEST_F(SmsPageScreen, ThePasswordBoxOpensEmptyAndWhatIsTypedReplacesIt)
{
    show(record(0, "id", "", "old secret", "1"));
    keys({KEY_BYTE_DOWN, KEY_BYTE_DOWN, KEY_BYTE_ENTER});
    ASSERT_EQ(current_screen(), SCREEN_INPUT_BOX);
    EXPECT_STREQ(input_box_text(), "") << "the stored password is never shown";
    for (char c : std::string("abc"))
        input_box_key(c);
    input_box_key(KEY_BYTE_ENTER);
    EXPECT_STREQ(sms_settings_get().sms_password, "abc");
    EXPECT_EQ(cells(6, 14, 15), MASK + " ");

    keys({KEY_BYTE_ENTER});
    input_box_key(KEY_BYTE_ENTER);
    EXPECT_STREQ(sms_settings_get().sms_password, "") << "Enter alone empties it";
    EXPECT_EQ(cells(6, 14, 15), MASK + " ");
}

TEST_F(SmsPageScreen, TheRowsToggleTheirFlagsOnly)
{
    show(record(0, "", "", "", "", "101100000"));
    // 13 -> 14 -> 16 -> 17 -> 18 (Utility Fail) ... 24 (Connect UPS)
    keys({KEY_BYTE_DOWN, KEY_BYTE_DOWN, KEY_BYTE_DOWN, KEY_BYTE_DOWN});
    for (int row = 0; row < SMS_PAGE_EVENT_ROWS; row++)
        keys({KEY_BYTE_ENTER, KEY_BYTE_DOWN});
    EXPECT_STREQ(sms_settings_get().sms_events, "110111111");
    EXPECT_EQ(cells(16, 14, 34), "Connect UPS            [ Enable  ]");
}

TEST_F(SmsPageScreen, SendTestStartsTheSenderOncePerNumber)
{
    SpawnRecorder recorder;
    show(record(1, "acct", "api7", "pw", "111;;222"));
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_LEFT, KEY_BYTE_ENTER}); // [Send Test]
    ASSERT_EQ(spawned().size(), 2u);
    EXPECT_EQ(spawned()[0][1], "2") << "the sender takes the gateway 1-based";
    ASSERT_EQ(spawned()[0].size(), 7u) << "no password: the sender reads the saved one";
    EXPECT_EQ(spawned()[0][2], "acct");
    EXPECT_EQ(spawned()[0][3], "111");
    EXPECT_EQ(spawned()[0][4], "api7");
    EXPECT_EQ(spawned()[0][6], " Machine1 Test Message");
    EXPECT_EQ(spawned()[1][3], "222");
    EXPECT_EQ(message().substr(0, 33), "Test SMS has Send,check received.");
}

TEST_F(SmsPageScreen, SendTestRefusesMissingTextsAndEmptyNumberLists)
{
    SpawnRecorder recorder;
    show(record(1, "acct", "", "pw", "111"));
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_LEFT, KEY_BYTE_ENTER});
    EXPECT_EQ(message().substr(0, 32), "Test SMS fail, check input data.");
    EXPECT_TRUE(spawned().empty());

    SmsSettings s = record(0, "acct", "", "pw", ";;");
    sms_settings_set(s);
    keys({KEY_BYTE_ENTER});
    EXPECT_EQ(message().substr(0, 44), "Please input a Mobile Phone number at least.");
    EXPECT_TRUE(spawned().empty());
}

TEST_F(SmsPageScreen, AnUnknownGatewayShowsAsSuchAndSendTestStartsNothing)
{
    SpawnRecorder recorder;
    show(record(5, "acct", "api", "pw", "111"));
    EXPECT_EQ(cells(4, 16, 17), "(unknown gateway)");
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_LEFT, KEY_BYTE_ENTER});
    EXPECT_EQ(message().substr(0, 37), "Test SMS fail, choose the SMS server.");
    EXPECT_TRUE(spawned().empty());
    keys({KEY_BYTE_DOWN, KEY_BYTE_ENTER});
    ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
    EXPECT_EQ(list_popup_selected(), 0);
}

TEST_F(SmsPageScreen, SaveWritesTheFileAndQueuesTheReload)
{
    show(record(1, "acct", "api", "pw", "111", "000000011"));
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_ENTER}); // [ Save ]
    EXPECT_EQ(file_text(), "1\nacct\napi\npw\n111\n000000011\n");
    EXPECT_EQ(message().substr(0, 27), "      =====!!Save OK!!=====");
    EXPECT_EQ(pending(), "RefreshSMS");
    EXPECT_EQ(current_screen(), SCREEN_SMS);
}

TEST_F(SmsPageScreen, AFailedSaveSaysSoAndQueuesNothing)
{
    show(record(1, "acct", "api", "pw", "111"));
    std::filesystem::remove(dir.path + "Set/SMS.ang");
    std::filesystem::create_directory(dir.path + "Set/SMS.ang");
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_ENTER});
    EXPECT_EQ(message().substr(0, 36), "Save fail, cannot write Set/SMS.ang.");
    EXPECT_EQ(pending(), "");
}

TEST_F(SmsPageScreen, CancelDropsUnsavedEditsAndGoesToTheMenu)
{
    show(record(0, "saved", "", "pw", "111"));
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_ENTER, KEY_BYTE_RIGHT}); // save, to [Cancel]
    SmsSettings s = sms_settings_get();
    snprintf(s.sms_phones, sizeof s.sms_phones, "999");
    sms_settings_set(s);
    keys({KEY_BYTE_ENTER});
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    EXPECT_STREQ(sms_settings_get().sms_phones, "111");
}

TEST_F(SmsPageScreen, EscDropsUnsavedEditsAndTheMessage)
{
    show(record(0, "saved", "", "pw", "111"));
    keys({KEY_BYTE_UP, KEY_BYTE_LEFT, KEY_BYTE_ENTER}); // save
    SmsSettings s = sms_settings_get();
    snprintf(s.sms_id, sizeof s.sms_id, "unsaved");
    sms_settings_set(s);
    keys({KEY_BYTE_ESC});
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    EXPECT_STREQ(sms_settings_get().sms_id, "saved");
    switch_screen(SCREEN_SMS);
    EXPECT_EQ(message(), std::string(45, ' '));
}

} // namespace
