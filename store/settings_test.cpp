#include "store/settings.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "store/schedule.h"
#include "tests/tempdir.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void expect_defaults(const SettingsRecord &r)
{
    EXPECT_STREQ(r.machine_mode, "");
    EXPECT_STREQ(r.link_kind, "");
    EXPECT_STREQ(r.link_device, "");
    EXPECT_STREQ(r.snmp_community, "");
    EXPECT_EQ(r.ac_fail_delay, 10);
    EXPECT_EQ(r.battery_low_delay, 1);
    EXPECT_EQ(r.ups_shutdown_delay, 2);
    EXPECT_EQ(r.machine_number, 1);
    EXPECT_STREQ(r.baud_rate, "2400");
}

TEST(Settings, MissingDirectoryAndFileGiveDefaults)
{
    TempProgramDir dir;
    settings_load(dir.path);
    struct stat st;
    ASSERT_EQ(stat((dir.path + "Set").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir.path + "Set/Setting.ang").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    expect_defaults(settings_get());
}

TEST(Settings, NineLinesFillEveryField)
{
    TempProgramDir dir;
    settings_load(dir.path);
    std::ofstream(dir.path + "Set/Setting.ang")
        << "Remote-Multiple\nTCP/IP\n10.0.0.7\npublic\n5\n0\n03\n4\n9600\n";
    settings_load(dir.path);
    SettingsRecord r = settings_get();
    EXPECT_STREQ(r.machine_mode, "Remote-Multiple");
    EXPECT_STREQ(r.link_kind, "TCP/IP");
    EXPECT_STREQ(r.link_device, "10.0.0.7");
    EXPECT_STREQ(r.snmp_community, "public");
    EXPECT_EQ(r.ac_fail_delay, 5);
    EXPECT_EQ(r.battery_low_delay, 0);
    EXPECT_EQ(r.ups_shutdown_delay, 3) << "a leading zero is accepted";
    EXPECT_EQ(r.machine_number, 4);
    EXPECT_STREQ(r.baud_rate, "9600");
}

TEST(Settings, SaveWritesNineLinesAndReadsThemBack)
{
    TempProgramDir dir;
    settings_load(dir.path);
    EXPECT_EQ(settings_save("Local-Single", "RS232", "/dev/ttyS0", "", "10", "1", "2", "1",
                            "2400"),
              0);
    EXPECT_EQ(slurp(dir.path + "Set/Setting.ang"),
              "Local-Single\nRS232\n/dev/ttyS0\n\n10\n1\n2\n1\n2400\n");
    EXPECT_EQ(settings_link_device(), "/dev/ttyS0");

    settings_save("Local-Multiple", "RS232", "/dev/x\nline", "", "7", "1", "2", "3", "4800");
    EXPECT_EQ(slurp(dir.path + "Set/Setting.ang"),
              "Local-Multiple\nRS232\n/dev/x\n\n7\n1\n2\n3\n4800\n")
        << "a newline inside a value must not shift the later lines";
    settings_load(dir.path);
    EXPECT_EQ(settings_ac_fail_delay(), 7);
    EXPECT_EQ(settings_machine_number(), 3);
}

TEST(Settings, ShortFileKeepsDefaultsForMissingLines)
{
    TempProgramDir dir;
    settings_load(dir.path);
    std::ofstream(dir.path + "Set/Setting.ang") << "Local-Single\nRS232\n/dev/ttyUSB0\n\n3";
    settings_load(dir.path);
    SettingsRecord r = settings_get();
    EXPECT_STREQ(r.link_device, "/dev/ttyUSB0");
    EXPECT_EQ(r.ac_fail_delay, 3) << "a last line without its newline is taken";
    EXPECT_EQ(r.battery_low_delay, 1);
    EXPECT_EQ(r.machine_number, 1);
    EXPECT_STREQ(r.baud_rate, "2400");
}

TEST(Settings, OverlongLinesAreCutToTheFieldWidth)
{
    TempProgramDir dir;
    settings_load(dir.path);
    std::ofstream(dir.path + "Set/Setting.ang")
        << std::string(40, 'M') << "\nRS232-and-more\n" << std::string(300, 'd')
        << "\n\n12345678901234567890123456789\n1\n2\n1\n24000000\n";
    settings_load(dir.path);
    SettingsRecord r = settings_get();
    EXPECT_EQ(std::string(r.machine_mode), std::string(19, 'M'));
    EXPECT_STREQ(r.link_kind, "RS232-and");
    EXPECT_EQ(std::string(r.link_device), std::string(255, 'd'));
    EXPECT_EQ(r.ac_fail_delay, 2147483647) << "an over-long number is cut, then converted";
    EXPECT_EQ(r.machine_number, 1);
    EXPECT_STREQ(r.baud_rate, "2400000");
}

// A long line (the community, a field the daemon may not use) neither moves
// the delays out of the read nor goes unsaid.
TEST(Settings, LongLineIsReportedAndTheLaterLinesAreRead)
{
    TempProgramDir dir;
    settings_load(dir.path);
    std::ofstream(dir.path + "Set/Setting.ang")
        << "Local-Single\nRS232\n/dev/ttyS0\n" << std::string(1160, 'c') << "\n3\n4\n5\n2\n9600\n";
    testing::internal::CaptureStdout();
    settings_load(dir.path);
    std::string out = testing::internal::GetCapturedStdout();
    SettingsRecord r = settings_get();
    EXPECT_EQ(std::string(r.snmp_community), std::string(255, 'c'));
    EXPECT_EQ(r.ac_fail_delay, 3);
    EXPECT_EQ(r.battery_low_delay, 4);
    EXPECT_EQ(r.ups_shutdown_delay, 5);
    EXPECT_EQ(r.machine_number, 2);
    EXPECT_STREQ(r.baud_rate, "9600");
    EXPECT_NE(out.find("Setting.ang: line 4 is 1160 characters long; only its first 255 are used"),
              std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

// SIGKILL at any moment of the rewrites the console does (the settings saved,
// a schedule entry added and deleted) leaves each file whole: one version
// of the settings or the other, and only whole schedule lines.
TEST(Settings, KillAmidRewritesLeavesWholeFiles)
{
    TempProgramDir dir;
    settings_load(dir.path);
    const std::string a = "Local-Single\nRS232\n/dev/ttyS0\n\n10\n1\n2\n1\n2400\n";
    const std::string b = "Local-Multiple\nRS232\n/dev/ttyUSB1\npublic\n7\n3\n4\n4\n9600\n";
    ASSERT_EQ(settings_save("Local-Single", "RS232", "/dev/ttyS0", "", "10", "1", "2", "1", "2400"),
              0);
    schedule_load();
    unsigned seed = 11;
    for (int round = 0; round < 40; round++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; i++) {
                if (i % 2)
                    settings_save("Local-Single", "RS232", "/dev/ttyS0", "", "10", "1", "2", "1",
                                  "2400");
                else
                    settings_save("Local-Multiple", "RS232", "/dev/ttyUSB1", "public", "7", "3",
                                  "4", "4", "9600");
                int id = schedule_next_id();
                schedule_add(2, "2026/12/07", 8, 30, 'T', '0', 0, 0, 0, "");
                if (id > 3)
                    schedule_delete(id - 3);
            }
        }
        usleep(500 + rand_r(&seed) % 20000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        std::string text = slurp(dir.path + "Set/Setting.ang");
        ASSERT_TRUE(text == a || text == b) << "round " << round << ": " << text;
        std::string plan = slurp(dir.path + "DataBase/Schedule.ang");
        ASSERT_EQ(plan.size() % SCHEDULE_LINE_LEN, 0u) << plan;
        for (size_t at = SCHEDULE_LINE_LEN - 1; at < plan.size(); at += SCHEDULE_LINE_LEN)
            ASSERT_EQ(plan[at], '\n') << plan;
    }
    schedule_reload();
    EXPECT_GT(schedule_count(), 0);
}

} // namespace
