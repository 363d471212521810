// The configuration page: the form's rules (option lists, Enter per field,
// list choices, typed device, the nine texts of a save), and the page itself
// built in a curses screen whose output goes nowhere, read back from what
// curses last sent to the terminal.
#include "console/screens/config.h"

#include <curses.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "console/client.h"
#include "console/screens/menu.h"
#include "console/ui/popup.h"
#include "console/ui/screen.h"
#include "store/paths.h"
#include "tests/curses_screen.h"
#include "tests/tempdir.h"

namespace {

SettingsRecord record_of(const char *mode, const char *link, const char *device,
                         const char *community, int ac, int low, int ups, int units,
                         const char *baud)
{
    SettingsRecord s;
    memset(&s, 0, sizeof s);
    snprintf(s.machine_mode, sizeof s.machine_mode, "%s", mode);
    snprintf(s.link_kind, sizeof s.link_kind, "%s", link);
    snprintf(s.link_device, sizeof s.link_device, "%s", device);
    snprintf(s.snmp_community, sizeof s.snmp_community, "%s", community);
    s.ac_fail_delay = ac;
    s.battery_low_delay = low;
    s.ups_shutdown_delay = ups;
    s.machine_number = units;
    snprintf(s.baud_rate, sizeof s.baud_rate, "%s", baud);
    return s;
}

std::vector<std::string> options(int field)
{
    int count = -1;
    const char *const *items = config_options(field, &count);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++)
        out.push_back(items[i]);
    return out;
}

TEST(ConfigOptions, ListsInTheirOrder)
{
    EXPECT_EQ(options(CONFIG_FIELD_MODE), (std::vector<std::string>{
                                              "Local-Single", "Local-Multiple", "Remote-Single",
                                              "Remote-Multiple"}));
    EXPECT_EQ(options(CONFIG_FIELD_LINK), (std::vector<std::string>{"RS232", "USB", "SNMP", "HID"}));
    EXPECT_EQ(options(CONFIG_FIELD_UNITS), (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(options(CONFIG_FIELD_BAUD), (std::vector<std::string>{"2400", "4800", "9600"}));
    for (int field : {CONFIG_FIELD_AC_FAIL, CONFIG_FIELD_BATTERY_LOW, CONFIG_FIELD_UPS_SHUTDOWN}) {
        std::vector<std::string> delays = options(field);
        ASSERT_EQ(delays.size(), 100u);
        for (int i = 0; i < 100; i++)
            EXPECT_EQ(delays[i], std::to_string(i)) << "no leading zeros";
    }
}

TEST(ConfigOptions, FieldsWithoutAList)
{
    const int fields[] = {CONFIG_FIELD_DEVICE, CONFIG_FIELD_COMMUNITY, CONFIG_BUTTON_SAVE, 0, 99};
    for (int field : fields) {
        int count = -1;
        EXPECT_EQ(config_options(field, &count), nullptr) << field;
        EXPECT_EQ(count, 0);
    }
}

TEST(ConfigFill, EveryFieldFromTheRecord)
{
    ConfigForm f;
    config_fill(&f, record_of("Remote-Multiple", "TCP/IP", "10.1.2.3", "public", 5, 0, 99, 3,
                              "9600"));
    EXPECT_EQ(f.mode, "Remote-Multiple");
    EXPECT_EQ(f.link, "TCP/IP");
    EXPECT_EQ(f.device_text, "10.1.2.3");
    EXPECT_EQ(f.community_text, "public");
    EXPECT_EQ(f.ac_fail_delay, "5");
    EXPECT_EQ(f.battery_low_delay, "0");
    EXPECT_EQ(f.ups_shutdown_delay, "99");
    EXPECT_EQ(f.machine_number, "3");
    EXPECT_EQ(f.baud_rate, "9600");
    EXPECT_EQ(f.mode_index, 3);
    EXPECT_EQ(f.link_index, 0);
    EXPECT_EQ(f.device_caption, "Connect IP :");
    EXPECT_EQ(f.community_caption, "") << "not an SNMP link";

    config_fill(&f, record_of("Local-Single", "USB", "", "", 10, 1, 2, 1, "2400"));
    EXPECT_EQ(f.mode_index, 0);
    EXPECT_EQ(f.link_index, 1);
    EXPECT_EQ(f.device_caption, "Connect device :");

    config_fill(&f, record_of("Local-Single", "HID", "051d:0002:AB12", "", 10, 1, 2, 1, "2400"));
    EXPECT_EQ(f.link_index, CONFIG_LINK_HID);
    EXPECT_EQ(f.device_text, "051d:0002:AB12");
    EXPECT_EQ(f.device_caption, "Connect device :");
}

TEST(ConfigFill, UnknownModeKeepsIndexAndCaption)
{
    ConfigForm f;
    config_fill(&f, record_of("Remote-Single", "TCP/IP", "10.0.0.1", "", 10, 1, 2, 1, "2400"));
    config_fill(&f, record_of("Bogus", "RS232", "/dev/x", "", 10, 1, 2, 1, "2400"));
    EXPECT_EQ(f.mode, "Bogus") << "shown as it is";
    EXPECT_EQ(f.mode_index, 2);
    EXPECT_EQ(f.device_caption, "Connect IP :");
}

TEST(ConfigFill, HandEditedValuesOutsideTheListsAreShownAsTheyAre)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "RS232", "/dev/x", "", 120, -5, 100, 7, "19200"));
    EXPECT_EQ(f.ac_fail_delay, "120");
    EXPECT_EQ(f.battery_low_delay, "-5");
    EXPECT_EQ(f.ups_shutdown_delay, "100");
    EXPECT_EQ(f.machine_number, "7");
    EXPECT_EQ(f.baud_rate, "19200") << "a save keeps it instead of writing an empty line";
    std::vector<std::string> texts = config_save_texts(f);
    EXPECT_EQ(texts[4], "120");
    EXPECT_EQ(texts[8], "19200");
}

TEST(ConfigEnter, PerFieldAndMode)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "RS232", "/dev/ttyS1", "", 10, 1, 2, 1, "2400"));
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_MODE), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_LINK), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), CONFIG_ASK_DEVICE);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_COMMUNITY), CONFIG_NOTHING);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_AC_FAIL), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_BATTERY_LOW), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_UPS_SHUTDOWN), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_UNITS), CONFIG_NOTHING) << "a single mode";
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_BAUD), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_BUTTON_SAVE), CONFIG_SAVE);
    EXPECT_EQ(config_enter_action(f, CONFIG_BUTTON_CANCEL), CONFIG_CANCEL);
    EXPECT_EQ(config_enter_action(f, 4), CONFIG_NOTHING) << "a caption";

    config_choose(&f, CONFIG_FIELD_LINK, 1, "USB");
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), CONFIG_NOTHING) << "USB has no device";

    config_choose(&f, CONFIG_FIELD_MODE, 1, "Local-Multiple");
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_UNITS), CONFIG_LIST);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), CONFIG_ASK_DEVICE);

    config_choose(&f, CONFIG_FIELD_MODE, 2, "Remote-Single");
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_LINK), CONFIG_NOTHING);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), CONFIG_ASK_IP);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_UNITS), CONFIG_NOTHING);

    config_choose(&f, CONFIG_FIELD_MODE, 3, "Remote-Multiple");
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_UNITS), CONFIG_LIST);
}

TEST(ConfigEnter, StoredRs232AfterACancelledUsbChoiceAsksForTheDeviceAgain)
{
    SettingsRecord saved = record_of("Local-Single", "RS232", "/dev/ttyS1", "", 10, 1, 2, 1,
                                     "2400");
    ConfigForm f;
    config_fill(&f, saved);
    config_choose(&f, CONFIG_FIELD_LINK, 1, "USB");
    config_fill(&f, saved);
    EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), CONFIG_ASK_DEVICE);
    EXPECT_EQ(f.device_text, "/dev/ttyS1");
}

TEST(ConfigChoose, RemoteSingleEmptiesDeviceAndCommunityAndHasOneUnit)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Multiple", "RS232", "/dev/ttyS1", "public", 10, 1, 2, 4,
                              "2400"));
    config_choose(&f, CONFIG_FIELD_MODE, 2, "Remote-Single");
    EXPECT_EQ(f.mode, "Remote-Single");
    EXPECT_EQ(f.link, "TCP/IP");
    EXPECT_EQ(f.device_caption, "Connect IP :");
    EXPECT_EQ(f.device_text, "");
    EXPECT_EQ(f.community_text, "");
    EXPECT_EQ(f.community_caption, "");
    EXPECT_EQ(f.machine_number, "1");
    EXPECT_EQ(f.mode_index, 2);
    EXPECT_EQ(f.link_index, 0);
}

TEST(ConfigChoose, LocalMultipleKeepsTheUnitCount)
{
    ConfigForm f;
    config_fill(&f, record_of("Remote-Multiple", "TCP/IP", "10.0.0.1", "", 10, 1, 2, 3, "2400"));
    config_choose(&f, CONFIG_FIELD_MODE, 1, "Local-Multiple");
    EXPECT_EQ(f.link, "RS232");
    EXPECT_EQ(f.device_caption, "Connect device :");
    EXPECT_EQ(f.device_text, "/dev/ttyS0");
    EXPECT_EQ(f.machine_number, "3");
    config_choose(&f, CONFIG_FIELD_MODE, 0, "Local-Single");
    EXPECT_EQ(f.machine_number, "1");
}

TEST(ConfigChoose, LinkKindSetsTheDeviceAndCommunityRows)
{
    struct Row {
        int index;
        const char *link, *device_caption, *device, *community_caption, *community;
        int enter_device, enter_community;
    };
    // One after another, so each row also leaves the one before it.
    const Row rows[] = {
        {1, "USB", "Connect device :", "", "", "", CONFIG_NOTHING, CONFIG_NOTHING},
        {2, "SNMP", "Connect IP :", "", "SNMP Community Name :", "ngroup", CONFIG_ASK_IP,
         CONFIG_ASK_COMMUNITY},
        {0, "RS232", "Connect device :", "/dev/ttyS0", "", "", CONFIG_ASK_DEVICE, CONFIG_NOTHING},
        {2, "SNMP", "Connect IP :", "", "SNMP Community Name :", "ngroup", CONFIG_ASK_IP,
         CONFIG_ASK_COMMUNITY},
        {1, "USB", "Connect device :", "", "", "", CONFIG_NOTHING, CONFIG_NOTHING},
        {3, "HID", "Connect device :", "", "", "", CONFIG_ASK_DEVICE, CONFIG_NOTHING},
        {0, "RS232", "Connect device :", "/dev/ttyS0", "", "", CONFIG_ASK_DEVICE, CONFIG_NOTHING},
    };
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "RS232", "/dev/ttyUSB3", "public", 10, 1, 2, 1,
                              "2400"));
    for (const Row &r : rows) {
        config_choose(&f, CONFIG_FIELD_LINK, r.index, r.link);
        EXPECT_EQ(f.link, r.link);
        EXPECT_EQ(f.link_index, r.index) << r.link;
        EXPECT_EQ(f.device_caption, r.device_caption) << r.link;
        EXPECT_EQ(f.device_text, r.device) << r.link;
        EXPECT_EQ(f.community_caption, r.community_caption) << r.link;
        EXPECT_EQ(f.community_text, r.community) << r.link;
        EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_DEVICE), r.enter_device) << r.link;
        EXPECT_EQ(config_enter_action(f, CONFIG_FIELD_COMMUNITY), r.enter_community) << r.link;
    }
}

TEST(ConfigInput, HidDeviceNamesAUnitOrNone)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "HID", "", "", 10, 1, 2, 1, "2400"));
    const struct {
        const char *typed;
        bool taken;
    } devices[] = {
        {"051d:0002", true}, {"051d:0002:AB1234", true}, {"", true},
        {"051d", false},     {"051d:2", false},          {"/dev/hidraw0", false},
        {"051d:0002:", false},
    };
    for (const auto &d : devices) {
        std::string before = f.device_text;
        const char *refused = config_input(&f, CONFIG_FIELD_DEVICE, d.typed);
        EXPECT_EQ(refused == nullptr, d.taken) << d.typed;
        EXPECT_EQ(f.device_text, d.taken ? d.typed : before) << d.typed;
        if (!d.taken) {
            EXPECT_STREQ(refused, CONFIG_BAD_HID_TEXT);
        }
    }
}

TEST(ConfigInput, SnmpAddressCommunityAndAModeChange)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "SNMP", "192.0.2.7", "private", 10, 1, 2, 1,
                              "2400"));
    EXPECT_EQ(f.link_index, CONFIG_LINK_SNMP);
    EXPECT_EQ(f.device_caption, "Connect IP :");
    EXPECT_EQ(f.community_caption, "SNMP Community Name :");

    const struct {
        const char *typed;
        bool taken;
    } addresses[] = {
        {"192.0.2.9:65535", true}, {"192.0.2.9:1", true},   {"\x02" "10.1.1.1\x05", true},
        {"", false},               {"192.0.2", false},      {"192.0.2.256", false},
        {"192.0.2.9:", false},     {"192.0.2.9:0", false},  {"192.0.2.9:65536", false},
        {"192.0.2.9:16a", false},  {"ups.example.net", false},
    };
    for (const auto &a : addresses) {
        std::string before = f.device_text;
        const char *refused = config_input(&f, CONFIG_FIELD_DEVICE, a.typed);
        EXPECT_EQ(refused == nullptr, a.taken) << a.typed;
        EXPECT_EQ(f.device_text, a.taken ? input_box_printable(a.typed) : before) << a.typed;
        if (!a.taken) {
            EXPECT_STREQ(refused, "Invalid IP, input a.b.c.d or a.b.c.d:port.");
        }
    }

    EXPECT_EQ(config_input(&f, CONFIG_FIELD_COMMUNITY, "\x1bsecret community\x02"), nullptr);
    EXPECT_EQ(f.community_text, "secret community");
    EXPECT_EQ(config_save_texts(f)[1], "SNMP");
    EXPECT_EQ(config_save_texts(f)[2], "10.1.1.1");
    EXPECT_EQ(config_save_texts(f)[3], "secret community");

    config_choose(&f, CONFIG_FIELD_MODE, 0, "Local-Single");
    EXPECT_EQ(f.community_text, "") << "a mode choice empties the community";
    EXPECT_EQ(f.community_caption, "");
    EXPECT_EQ(f.link, "RS232");
    config_input(&f, CONFIG_FIELD_COMMUNITY, "typed");
    EXPECT_EQ(f.community_text, "") << "no community without the SNMP link";
    EXPECT_EQ(config_input(&f, CONFIG_FIELD_DEVICE, "not an address"), nullptr);
    EXPECT_EQ(f.device_text, "not an address") << "a device path is not an address";
}

TEST(ConfigChoose, ValuesLeaveLongDeviceAndCommunityWhole)
{
    std::string device = "/dev/" + std::string(95, 'd');
    std::string community = std::string(60, 'c');
    ConfigForm f;
    config_fill(&f, record_of("Local-Multiple", "RS232", device.c_str(), community.c_str(), 10,
                              1, 2, 1, "2400"));
    config_choose(&f, CONFIG_FIELD_AC_FAIL, 7, "7");
    config_choose(&f, CONFIG_FIELD_BATTERY_LOW, 3, "3");
    config_choose(&f, CONFIG_FIELD_UPS_SHUTDOWN, 0, "0");
    config_choose(&f, CONFIG_FIELD_UNITS, 1, "2");
    config_choose(&f, CONFIG_FIELD_BAUD, 2, "9600");
    EXPECT_EQ(f.device_text, device) << "not cut to the 35 characters the field shows";
    EXPECT_EQ(f.community_text, community);
    EXPECT_EQ(config_save_texts(f),
              (std::vector<std::string>{"Local-Multiple", "RS232", device, community, "7", "3",
                                        "0", "2", "9600"}));
}

TEST(ConfigChoose, IndexOutsideTheListChangesNothing)
{
    ConfigForm f;
    config_fill(&f, record_of("Local-Single", "RS232", "/dev/ttyS1", "", 10, 1, 2, 1, "2400"));
    config_choose(&f, CONFIG_FIELD_MODE, 4, "x");
    config_choose(&f, CONFIG_FIELD_LINK, 4, "x");
    config_choose(&f, CONFIG_FIELD_LINK, 0, nullptr);
    EXPECT_EQ(f.mode, "Local-Single");
    EXPECT_EQ(f.link, "RS232");
    EXPECT_EQ(f.device_text, "/dev/ttyS1");
}

TEST(ConfigInput, DeviceTakenWholeWithoutControlCharacters)
{
    ConfigForm f;
    std::string path = "/dev/" + std::string(95, 'p');
    config_input(&f, CONFIG_FIELD_DEVICE, path.c_str());
    EXPECT_EQ(f.device_text, path);
    config_input(&f, CONFIG_FIELD_DEVICE, "\x02/dev/\x1bttyS\x7f" "1\x05");
    EXPECT_EQ(f.device_text, "/dev/ttyS1");
    config_input(&f, CONFIG_FIELD_AC_FAIL, "other");
    config_input(&f, CONFIG_FIELD_DEVICE, nullptr);
    EXPECT_EQ(f.device_text, "/dev/ttyS1") << "only the device field takes typed text";
}

// The page itself, in a terminal that goes nowhere, over a settings file of
// its own program directory.
class ConfigPage : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempProgramDir();
        curses = new CursesScreen();
        if (curses->term == nullptr)
            return;
        build_popups();
        menu_build(0, 0, 80, 24);
        config_build(0, 0, 80, 24);
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
        write_settings("Local-Single\nRS232\n/dev/ttyS1\npublic\n10\n1\n2\n1\n4800\n");
        settings_load(program_dir());
        machine_setup(client_unit(0), KIND_REMOTE, 1);
        client_set_machine_count(1);
        // Esc fills the page from the record; Left, Down, Down brings the
        // focus home to "UPS type" from anywhere.
        switch_screen(SCREEN_CONFIG);
        config_key(KEY_BYTE_ESC);
        switch_screen(SCREEN_CONFIG);
        keys({KEY_BYTE_LEFT, KEY_BYTE_DOWN, KEY_BYTE_DOWN});
    }
    static std::string path() { return program_dir() + "Set/Setting.ang"; }
    static void write_settings(const std::string &text) { std::ofstream(path()) << text; }
    static std::string file() { return file_contents(path()); }
    static void keys(std::initializer_list<int> list)
    {
        for (int k : list)
            config_key(k);
    }
    static void down(int n)
    {
        for (int i = 0; i < n; i++)
            config_key(KEY_BYTE_DOWN);
    }
    // Enter in the list popup on item `index`.
    static void choose(int index)
    {
        ASSERT_EQ(current_screen(), SCREEN_LIST_POPUP);
        list_popup_move(index - list_popup_selected());
        std::string text = list_popup_row_text(list_popup_row());
        screen_list_choice(list_popup_selected(), text.c_str());
        return_to_previous();
    }
    // What the terminal shows, under the name these tests use.
    static std::string screen(int row, int col, int n) { return screen_cells(row, col, n); }

    static inline TempProgramDir *dir = nullptr;
    static inline CursesScreen *curses = nullptr;
};

TEST_F(ConfigPage, DrawsTheLayout)
{
    EXPECT_EQ(screen(0, 2, 20), "Tarvo Mains Sentinel");
    EXPECT_EQ(screen(1, 28, 21), "Configuration Setting");
    EXPECT_EQ(screen(6, 4, 36), std::string(25, ' ') + "UPS type : ")
        << "captions end in column 38";
    EXPECT_EQ(screen(8, 23, 16), "Connect device :");
    EXPECT_EQ(screen(10, 4, 41), "    OS shutdown delay time when AC Fail :");
    EXPECT_EQ(screen(6, 40, 21), "Local-Single         ");
    EXPECT_EQ(pair_at(6, 40), 2) << "the focused field";
    EXPECT_EQ(pair_at(7, 40), 3);
    EXPECT_EQ(screen(8, 40, 10), "/dev/ttyS1");
    EXPECT_EQ(screen(9, 40, 6), "public") << "the community is carried, without a caption";
    EXPECT_EQ(screen(10, 46, 2), "10");
    EXPECT_EQ(screen(11, 46, 2), " 1") << "numbers right-justified in two columns";
    EXPECT_EQ(screen(13, 46, 2), " 2");
    EXPECT_EQ(screen(14, 46, 2), " 1");
    EXPECT_EQ(screen(15, 46, 5), "4800 ");
    EXPECT_EQ(screen(10, 50, 17), "Min(0 is Disable)");
    EXPECT_EQ(screen(18, 26, 8), "[ Save ]");
    EXPECT_EQ(screen(18, 43, 8), "[Cancel]");
    EXPECT_EQ(pair_at(5, 10), 3) << "the panel's light edge";
    EXPECT_EQ(pair_at(21, 10), 4) << "the panel's dark edge";
    EXPECT_EQ(pair_at(22, 10), 5) << "the shadow";
    EXPECT_EQ(pair_at(12, 0), 1);
}

TEST_F(ConfigPage, FocusFollowsTheNeighbourTable)
{
    down(8);
    EXPECT_EQ(pair_at(15, 46), 2) << "Down from the unit count goes to the baud rate";
    config_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(18, 26), 2) << "then to Save";
    config_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(18, 43), 2) << "then to Cancel";
    config_key(KEY_BYTE_UP);
    EXPECT_EQ(pair_at(15, 46), 2) << "Up from Cancel goes to the baud rate";
    config_key(KEY_BYTE_RIGHT);
    EXPECT_EQ(pair_at(18, 43), 2) << "Right always goes to Cancel";
    config_key(KEY_BYTE_DOWN);
    EXPECT_EQ(pair_at(6, 40), 2) << "Down from Cancel wraps to the mode";
    config_key(KEY_BYTE_UP);
    EXPECT_EQ(pair_at(18, 26), 2) << "Up from the mode goes to Save";
}

TEST_F(ConfigPage, SaveWritesNineLinesQueuesRefreshSetOnceAndSetsTheUnitCount)
{
    config_key(KEY_BYTE_ENTER);
    choose(1); // Local-Multiple
    EXPECT_EQ(screen(8, 40, 11), "/dev/ttyS0 ");
    EXPECT_EQ(screen(9, 40, 6), "      ") << "the community goes with a mode choice";
    down(7);
    config_key(KEY_BYTE_ENTER);
    choose(2); // three units
    down(1);
    config_key(KEY_BYTE_ENTER);
    choose(2); // 9600
    EXPECT_EQ(pending(), "");
    down(1);
    config_key(KEY_BYTE_ENTER);
    EXPECT_EQ(file(), "Local-Multiple\nRS232\n/dev/ttyS0\n\n10\n1\n2\n3\n9600\n");
    EXPECT_EQ(pending(), "RefreshSet") << "ten bytes, no terminator";
    EXPECT_EQ(client_machine_count(), 3);
    EXPECT_EQ(settings_machine_number(), 3) << "the record was loaded again";
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    switch_screen(SCREEN_CONFIG);
    EXPECT_EQ(screen(14, 46, 2), " 3") << "the fields show what was written";
}

TEST_F(ConfigPage, SaveThatCannotWriteSaysSoAndKeepsTheEdits)
{
    std::filesystem::remove(path());
    std::filesystem::create_directory(path()); // nothing can be renamed over it
    down(4);
    config_key(KEY_BYTE_ENTER);
    choose(42);
    keys({KEY_BYTE_LEFT, KEY_BYTE_ENTER});
    EXPECT_EQ(current_screen(), SCREEN_CONFIG);
    EXPECT_EQ(screen(16, 20, 41), "Save fail, can not write Set/Setting.ang.");
    EXPECT_EQ(pair_at(16, 20), 9);
    EXPECT_EQ(screen(10, 46, 2), "42") << "the edit stays for another try";
    EXPECT_EQ(pending(), "") << "nothing to reload";
    EXPECT_EQ(client_machine_count(), 1);
    config_key(KEY_BYTE_ESC);
    switch_screen(SCREEN_CONFIG);
    EXPECT_EQ(screen(16, 20, 41), std::string(41, ' ')) << "Esc clears the message";
}

TEST_F(ConfigPage, SnmpLinkTypedAndSaved)
{
    config_key(KEY_BYTE_DOWN);
    config_key(KEY_BYTE_ENTER);
    choose(2); // SNMP
    EXPECT_EQ(screen(7, 40, 5), "SNMP ");
    EXPECT_EQ(screen(8, 4, 35), std::string(23, ' ') + "Connect IP :");
    EXPECT_EQ(screen(8, 40, 10), std::string(10, ' ')) << "the address starts empty";
    EXPECT_EQ(screen(9, 4, 35), std::string(14, ' ') + "SNMP Community Name :");
    EXPECT_EQ(screen(9, 40, 7), "ngroup ");

    auto type = [](const std::string &text) {
        ASSERT_EQ(current_screen(), SCREEN_INPUT_BOX);
        for (char c : text)
            screen_key(c);
        screen_key(KEY_BYTE_ENTER);
    };
    config_key(KEY_BYTE_DOWN);
    config_key(KEY_BYTE_ENTER);
    EXPECT_EQ(screen(11, 11, 24), "Please input connect IP.");
    type("192.0.2.7:1161");
    EXPECT_EQ(screen(8, 40, 14), "192.0.2.7:1161");

    config_key(KEY_BYTE_DOWN);
    config_key(KEY_BYTE_ENTER);
    EXPECT_EQ(screen(11, 11, 33), "Please input SNMP Community Name.");
    EXPECT_EQ(screen(12, 11, 32), "Press Enter to confirm and exit.");
    EXPECT_STREQ(input_box_text(), "ngroup");
    for (int i = 0; i < 6; i++)
        screen_key(KEY_BYTE_BACKSPACE);
    type("private");
    EXPECT_EQ(screen(9, 40, 8), "private ");

    keys({KEY_BYTE_LEFT, KEY_BYTE_ENTER});
    EXPECT_EQ(current_screen(), SCREEN_MENU);
    EXPECT_EQ(settings_link_kind(), "SNMP");
    EXPECT_EQ(settings_link_device(), "192.0.2.7:1161");
    EXPECT_EQ(settings_snmp_community(), "private");
    EXPECT_EQ(file(), "Local-Single\nSNMP\n192.0.2.7:1161\nprivate\n10\n1\n2\n1\n4800\n");
}

} // namespace
